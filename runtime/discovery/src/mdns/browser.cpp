#include "discovery/mdns/browser.h"

#include "base/text.h"

#include <algorithm>

namespace qrv::discovery {

using qrv::ascii_lower;

namespace {

constexpr Duration kMaxQueryInterval = seconds(60);
constexpr Duration kMaxResolveInterval = seconds(8);
constexpr size_t kKnownAnswersPerMessage = 24;
constexpr size_t kQuestionsPerMessage = 32;
// How long after a question an answer to it counts as asked for: responders
// answer shared records within 120 ms, and within 500 ms when the query was
// truncated. A stranger's announcement that happens to arrive within it
// looks the same, so only the first few answers to each question get the
// credit (one per 256 records the cache holds: 16 for the usual size), too
// few for a flood that happens to coincide with our questions to crowd out
// what was there.
constexpr Duration kAnswerWindow = milliseconds(500);
constexpr size_t kRecordsPerCredit = 256;
// The newest SRV records of an instance, and address records of each
// target, that candidates() combines: a flood of records for one name
// must not make every lookup by name a pass over their product.
constexpr size_t kCandidateRecords = 8;


// The services are worked out again at once for the first few changes;
// after that, once per interval at most, so that under a flood of answers
// this work (which grows with the cache) stays a small share of the time
// and the socket is read in time. A quiet network sees every change at once.
constexpr Duration kRebuildInterval = milliseconds(100);
constexpr int kRebuildsAtOnce = 4;
// The pass over the cache that looks for instances to resolve runs once per
// this interval at most, for the same reason.
constexpr Duration kResolvePassInterval = milliseconds(100);

}  // namespace

Browser::Browser(Name service_type, std::vector<unsigned> interfaces, size_t capacity, uint64_t seed)
    : type_(std::move(service_type)), interfaces_(std::move(interfaces)), random_(seed), cache_(capacity, seed + 1)
{
}

void Browser::start(TimePoint now)
{
    started_ = true;
    // A short random delay keeps browsers started together from asking at
    // the same moment.
    next_query_ = now + random_.between(20, 120);
    query_interval_ = seconds(1);
}

bool Browser::is_instance_name(const Name& n) const
{
    if (n.labels.size() != type_.labels.size() + 1)
        return false;
    for (size_t i = 0; i < type_.labels.size(); ++i)
        if (!equal_nocase(n.labels[i + 1], type_.labels[i]))
            return false;
    return true;
}

bool Browser::wanted(const Record& r, const std::vector<Name>& targets_in_message) const
{
    if (r.klass != kClassIN)
        return false;
    switch (r.type) {
    case kTypePTR:
        return r.name.equals(type_) && is_instance_name(r.target);
    case kTypeSRV:
    case kTypeTXT:
        return is_instance_name(r.name);
    case kTypeA: {
        for (const auto& t : targets_in_message)
            if (t.equals(r.name))
                return true;
        // An address is kept only for a host that one of our SRV records
        // names (in this message or already cached).
        return srv_targets_.count(r.name.key()) > 0;
    }
    default:
        return false;
    }
}

void Browser::on_message(const Message& m, unsigned ifindex, TimePoint now)
{
    if (!m.is_response() || m.opcode() != 0 || m.rcode() != 0)
        return;
    std::vector<Name> targets;
    for (const auto* section : {&m.answers, &m.additionals})
        for (const auto& r : *section)
            if (r.type == kTypeSRV && is_instance_name(r.name))
                targets.push_back(r.target);
    // The records of an answer to our question (its additionals included:
    // the same responder sent them) rank above what strangers send unasked.
    const bool solicited = answers_our_question(m, now);
    std::vector<const Record*> keep;
    for (const auto* section : {&m.answers, &m.additionals})
        for (const auto& r : *section) {
            if (!wanted(r, targets)) {
                ++ignored_;
                continue;
            }
            keep.push_back(&r);
        }
    if (!keep.empty() && cache_.size() + keep.size() > cache_.capacity()) {
        // Renewals need no room; new records do. Before anything goes, the
        // marks of what is resolved now: a source that just got resolved
        // counts as such (the throttled rebuilds could be behind), and this
        // message's records all stay.
        const auto fresh = size_t(std::count_if(keep.begin(), keep.end(), [&](const Record* r) {
            return r->ttl != 0 && !cache_.contains(*r, ifindex);
        }));
        if (cache_.size() + fresh > cache_.capacity()) {
            rebuild();
            cache_.make_room(fresh);
        }
    }
    bool changed = false;
    for (const Record* r : keep) {
        if (r->type == kTypeSRV && r->ttl != 0)
            srv_targets_.insert(r->target.key());
        changed = cache_.insert(*r, ifindex, now, solicited) || changed;
    }
    if (changed) {
        rebuild_soon(now);
        resolve_wanted_ = true;
    }
}

bool Browser::answers_our_question(const Message& m, TimePoint now)
{
    if (asked_.empty())
        return false;
    for (const Record& r : m.answers) {
        auto it = asked_.find({r.name.key(), r.type});
        if (it != asked_.end() && now - it->second.at <= kAnswerWindow && it->second.credits > 0) {
            --it->second.credits;
            return true;
        }
    }
    return false;
}

void Browser::rebuild_soon(TimePoint now)
{
    // A bucket of kRebuildsAtOnce tokens, one more each interval.
    if (rebuild_tokens_ == kRebuildsAtOnce) {
        refill_at_ = now;
    } else if (now >= refill_at_ + kRebuildInterval) {
        const auto n = (now - refill_at_) / kRebuildInterval;
        rebuild_tokens_ = int(std::min<int64_t>(kRebuildsAtOnce, rebuild_tokens_ + n));
        refill_at_ = rebuild_tokens_ == kRebuildsAtOnce ? now : refill_at_ + n * kRebuildInterval;
    }
    if (rebuild_tokens_ > 0) {
        --rebuild_tokens_;
        rebuild();
        dirty_ = false;
    } else {
        dirty_ = true;
    }
}

namespace {

// The records of one name and type, the newest first (in the cache's order
// where they came together). A record its owner replaced (cache-flush)
// stays a second more, so that the rest of the owner's answer can arrive:
// the old port or text must not be taken for the current one meanwhile.
std::vector<const CachedRecord*> newest_first(std::vector<const CachedRecord*> records)
{
    std::stable_sort(records.begin(), records.end(),
                     [](const CachedRecord* a, const CachedRecord* b) { return a->received > b->received; });
    return records;
}

}  // namespace

void Browser::rebuild()
{
    std::vector<BrowsedService> next;
    std::vector<const CachedRecord*> used;  // records of resolved services
    srv_targets_.clear();
    for (const auto* ptr : cache_.find(type_, kTypePTR))
        for (const auto* srv : cache_.find(ptr->record.target, kTypeSRV))
            srv_targets_.insert(srv->record.target.key());
    for (const auto* ptr : cache_.find(type_, kTypePTR)) {
        if (ptr->goodbye)
            continue;
        const Name& instance = ptr->record.target;
        for (const auto* srv : newest_first(cache_.on_interface(instance, kTypeSRV, ptr->ifindex))) {
            if (srv->goodbye)
                continue;
            auto addresses = newest_first(cache_.on_interface(srv->record.target, kTypeA, ptr->ifindex));
            if (addresses.empty())
                continue;
            BrowsedService s;
            s.instance = instance.labels.front();
            s.target = srv->record.target;
            s.port = srv->record.port;
            s.address = addresses.front()->record.address;
            s.ifindex = ptr->ifindex;
            auto txt = newest_first(cache_.on_interface(instance, kTypeTXT, ptr->ifindex));
            if (!txt.empty()) {
                s.txt = txt.front()->record.strings;
                used.push_back(txt.front());
            }
            used.insert(used.end(), {ptr, srv, addresses.front()});
            next.push_back(std::move(s));
            break;  // one SRV per instance and interface
        }
    }
    std::sort(next.begin(), next.end(), [](const BrowsedService& a, const BrowsedService& b) {
        return std::tie(a.instance, a.ifindex) < std::tie(b.instance, b.ifindex);
    });
    cache_.mark_in_service(used);
    if (next != services_) {
        services_ = std::move(next);
        ++generation_;
    }
}

std::vector<BrowsedService> Browser::candidates(std::string_view instance) const
{
    std::vector<std::pair<TimePoint, BrowsedService>> found;
    for (const auto* ptr : cache_.find(type_, kTypePTR)) {
        const Name& name = ptr->record.target;
        if (ptr->goodbye || !equal_nocase(name.labels.front(), instance))
            continue;
        const auto txt = newest_first(cache_.on_interface(name, kTypeTXT, ptr->ifindex));
        auto srvs = newest_first(cache_.on_interface(name, kTypeSRV, ptr->ifindex));
        srvs.resize(std::min(srvs.size(), kCandidateRecords));
        for (const auto* srv : srvs) {
            if (srv->goodbye)
                continue;
            auto addresses = newest_first(cache_.on_interface(srv->record.target, kTypeA, ptr->ifindex));
            addresses.resize(std::min(addresses.size(), kCandidateRecords));
            for (const auto* a : addresses) {
                if (a->goodbye)
                    continue;
                BrowsedService s{name.labels.front(), srv->record.target, srv->record.port, a->record.address,
                                 txt.empty() ? std::vector<std::string>() : txt.front()->record.strings,
                                 ptr->ifindex};
                found.emplace_back(std::max(srv->received, a->received), std::move(s));
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<BrowsedService> out;
    for (auto& f : found)
        if (std::find(out.begin(), out.end(), f.second) == out.end())
            out.push_back(std::move(f.second));
    return out;
}

void Browser::add_resolve_questions(TimePoint now, std::vector<Question>& questions)
{
    std::map<std::string, Pending> still;
    for (const auto* ptr : cache_.find(type_, kTypePTR)) {
        const Name& instance = ptr->record.target;
        const std::string key = ascii_lower(instance.labels.front());
        if (still.count(key))
            continue;
        const auto srv = cache_.find(instance, kTypeSRV);
        const auto txt = cache_.find(instance, kTypeTXT);
        bool have_address = false;
        for (const auto* s : srv)
            have_address = have_address || !cache_.find(s->record.target, kTypeA).empty();
        if (!srv.empty() && !txt.empty() && have_address)
            continue;
        auto it = resolving_.find(key);
        Pending p = it != resolving_.end() ? it->second : Pending{now, seconds(1)};
        if (p.next <= now && questions.size() + 3 <= kQuestionsPerMessage) {
            if (srv.empty())
                questions.push_back(Question{instance, kTypeSRV});
            if (txt.empty())
                questions.push_back(Question{instance, kTypeTXT});
            if (!have_address)
                for (const auto* s : srv)
                    questions.push_back(Question{s->record.target, kTypeA});
            p.next = now + p.interval;
            p.interval = std::min<Duration>(p.interval * 2, kMaxResolveInterval);
        }
        still[key] = p;
    }
    resolving_ = std::move(still);
}

void Browser::emit(std::vector<Question> questions, TimePoint now, std::vector<Outgoing>& out)
{
    if (questions.empty())
        return;
    for (const auto& q : questions)
        asked_[{q.name.key(), q.type}] = Asked{now, int(std::max<size_t>(1, cache_.capacity() / kRecordsPerCredit))};
    const bool asks_ptr = std::any_of(questions.begin(), questions.end(),
                                      [&](const Question& q) { return q.type == kTypePTR && q.name.equals(type_); });
    for (unsigned ifindex : interfaces_) {
        // Known answers: the instances cached on this interface with more
        // than half their TTL left that once answered a question of ours;
        // split over several messages when many, all but the last marked
        // truncated. One that only came unasked (an announcement, or the
        // answer to another's question) is left out, so that its owner
        // answers us and it gains the standing of an answer.
        std::vector<Record> known;
        if (asks_ptr)
            for (const auto* ptr : cache_.on_interface(type_, kTypePTR, ifindex)) {
                const uint32_t left = RecordCache::remaining_ttl(*ptr, now);
                if (left * 2 > ptr->record.ttl && ptr->solicited) {
                    Record r = ptr->record;
                    r.ttl = left;
                    known.push_back(std::move(r));
                }
            }
        size_t at = 0;
        bool first = true;
        do {
            Outgoing o;
            o.ifindex = ifindex;
            if (first)
                o.message.questions = questions;
            const size_t n = std::min(kKnownAnswersPerMessage, known.size() - at);
            o.message.answers.assign(known.begin() + at, known.begin() + at + n);
            at += n;
            if (at < known.size())
                o.message.flags |= kFlagTruncated;
            out.push_back(std::move(o));
            first = false;
        } while (at < known.size());
    }
}

void Browser::tick(TimePoint now, std::vector<Outgoing>& out)
{
    bool silent = false;
    if (cache_.expire(now, &silent))
        dirty_ = true;
    if (silent && started_) {
        // A resolved instance went without a goodbye: perhaps only its
        // answers were lost (a flood fills receive queues). Ask again soon,
        // so that what answers counts as asked for and gets back in; the
        // interval doubles from there as at the start.
        next_query_ = std::min(next_query_, now + random_.between(20, 120));
        query_interval_ = seconds(1);
    }
    std::erase_if(asked_, [&](const auto& q) { return now - q.second.at > kAnswerWindow; });
    if (dirty_)
        rebuild_soon(now);
    if (!started_)
        return;
    std::vector<Question> questions;
    if (now >= next_query_) {
        questions.push_back(Question{type_, kTypePTR});
        next_query_ = now + query_interval_;
        query_interval_ = std::min<Duration>(query_interval_ * 2, kMaxQueryInterval);
    }
    for (auto& due : cache_.take_due_refreshes(now)) {
        const Name& name = due.first;
        const uint16_t type = due.second;
        const bool dup = std::any_of(questions.begin(), questions.end(),
                                     [&](const Question& q) { return q.type == type && q.name.equals(name); });
        if (!dup && questions.size() < kQuestionsPerMessage)
            questions.push_back(Question{name, type});
    }
    if (now >= next_resolve_pass_) {
        add_resolve_questions(now, questions);
        next_resolve_pass_ = now + kResolvePassInterval;
        resolve_wanted_ = false;
    }
    emit(std::move(questions), now, out);
}

TimePoint Browser::next_deadline() const
{
    TimePoint next = started_ ? next_query_ : kNever;
    if (dirty_)
        next = std::min(next, refill_at_ + kRebuildInterval);
    next = std::min(next, cache_.next_event());
    if (started_ && resolve_wanted_)
        next = std::min(next, next_resolve_pass_);
    for (const auto& [k, p] : resolving_)
        next = std::min(next, std::max(p.next, next_resolve_pass_));
    return next;
}

}  // namespace qrv::discovery

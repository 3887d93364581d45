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
// answer within half a second, a little more when the query was truncated.
constexpr Duration kAnswerWindow = seconds(1);


// The services are worked out again at once for the first few changes of
// each interval; under a flood of answers, the rest wait for the interval's
// end. A quiet network sees every change at once.
constexpr Duration kRebuildInterval = milliseconds(100);
constexpr int kRebuildsAtOnce = 4;

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
    bool changed = false;
    for (const auto* section : {&m.answers, &m.additionals})
        for (const auto& r : *section) {
            if (!wanted(r, targets)) {
                ++ignored_;
                continue;
            }
            if (r.type == kTypeSRV && r.ttl != 0)
                srv_targets_.insert(r.target.key());
            changed = cache_.insert(r, ifindex, now, solicited) || changed;
        }
    if (changed)
        rebuild_soon(now);
}

bool Browser::answers_our_question(const Message& m, TimePoint now) const
{
    if (asked_.empty())
        return false;
    return std::any_of(m.answers.begin(), m.answers.end(), [&](const Record& r) {
        auto it = asked_.find({r.name.key(), r.type});
        return it != asked_.end() && now - it->second <= kAnswerWindow;
    });
}

void Browser::rebuild_soon(TimePoint now)
{
    if (now >= window_start_ + kRebuildInterval) {
        window_start_ = now;
        rebuilds_in_window_ = 0;
    }
    if (rebuilds_in_window_ < kRebuildsAtOnce) {
        ++rebuilds_in_window_;
        rebuild();
        dirty_ = false;
    } else {
        dirty_ = true;
    }
}

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
        for (const auto* srv : cache_.on_interface(instance, kTypeSRV, ptr->ifindex)) {
            if (srv->goodbye)
                continue;
            auto addresses = cache_.on_interface(srv->record.target, kTypeA, ptr->ifindex);
            if (addresses.empty())
                continue;
            BrowsedService s;
            s.instance = instance.labels.front();
            s.target = srv->record.target;
            s.port = srv->record.port;
            s.address = addresses.front()->record.address;
            s.ifindex = ptr->ifindex;
            auto txt = cache_.on_interface(instance, kTypeTXT, ptr->ifindex);
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
        asked_[{q.name.key(), q.type}] = now;
    const bool asks_ptr = std::any_of(questions.begin(), questions.end(),
                                      [&](const Question& q) { return q.type == kTypePTR && q.name.equals(type_); });
    for (unsigned ifindex : interfaces_) {
        // Known answers: the instances cached on this interface with more
        // than half their TTL left; split over several messages when many,
        // all but the last marked truncated.
        std::vector<Record> known;
        if (asks_ptr)
            for (const auto* ptr : cache_.on_interface(type_, kTypePTR, ifindex)) {
                const uint32_t left = RecordCache::remaining_ttl(*ptr, now);
                if (left * 2 > ptr->record.ttl) {
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
    if (cache_.expire(now))
        dirty_ = true;
    std::erase_if(asked_, [&](const auto& q) { return now - q.second > kAnswerWindow; });
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
    add_resolve_questions(now, questions);
    emit(std::move(questions), now, out);
}

TimePoint Browser::next_deadline() const
{
    TimePoint next = started_ ? next_query_ : kNever;
    if (dirty_)
        next = std::min(next, window_start_ + kRebuildInterval);
    next = std::min(next, cache_.next_event());
    for (const auto& [k, p] : resolving_)
        next = std::min(next, p.next);
    return next;
}

}  // namespace qrv::discovery

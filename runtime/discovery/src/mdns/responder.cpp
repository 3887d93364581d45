#include "discovery/mdns/responder.h"

#include <algorithm>
#include <tuple>

#include "discovery/common/instance_name.h"

namespace qrv::discovery {

namespace {

constexpr Duration kProbeInterval = milliseconds(250);
constexpr Duration kAnnounceInterval = seconds(1);
constexpr Duration kTieBreakBackoff = seconds(1);
constexpr int kProbes = 3;
constexpr int kAnnouncements = 2;
constexpr Duration kDefendInterval = milliseconds(250);
constexpr Duration kHoldInterval = seconds(1);
constexpr int kGoodbyes = 2;
constexpr uint32_t kLegacyUnicastTtl = 10;

bool contains(const std::vector<Record>& list, const Record& r)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const Record& o) { return o.type == r.type && o.name.equals(r.name) && o.same_data(r); });
}

// Known-answer suppression: drops what the asker already holds with at
// least half its lifetime left.
void drop_known_answers(std::vector<Record>& answers, const Message& query)
{
    std::erase_if(answers, [&](const Record& r) {
        return std::any_of(query.answers.begin(), query.answers.end(), [&](const Record& k) {
            return k.type == r.type && k.name.equals(r.name) && k.same_data(r) && k.ttl * 2 >= r.ttl;
        });
    });
}

// The reply to a query: multicast, or to a legacy resolver (one that asks
// from a port other than the multicast one) directly, echoing its id and
// questions, with short TTLs and no cache-flush bits.
Outgoing reply_to(const Message& query, unsigned ifindex, uint32_t source_address, uint16_t source_port,
                  std::vector<Record> answers, std::vector<Record> additionals)
{
    Outgoing o;
    o.ifindex = ifindex;
    o.message.flags = kFlagResponse | kFlagAuthoritative;
    if (source_port != kMdnsPort) {
        o.unicast_address = source_address;
        o.unicast_port = source_port;
        o.message.id = query.id;
        o.message.questions = query.questions;
        for (auto* list : {&answers, &additionals})
            for (auto& r : *list) {
                r.ttl = std::min(r.ttl, kLegacyUnicastTtl);
                r.cache_flush = false;
            }
    }
    o.message.answers = std::move(answers);
    o.message.additionals = std::move(additionals);
    return o;
}

}  // namespace

struct Responder::Reply {
    std::vector<Record> answers, additionals;
    void answer(Record r)
    {
        if (!contains(answers, r))
            answers.push_back(std::move(r));
    }
    void additional(Record r)
    {
        if (!contains(additionals, r))
            additionals.push_back(std::move(r));
    }
};

Responder::Responder(Name service_type, std::string host_label, Name target, std::vector<LocalInterface> interfaces,
                     uint64_t seed)
    : type_(std::move(service_type)),
      services_(Name::of({"_services", "_dns-sd", "_udp", "local"})),
      host_(std::move(host_label)),
      target_(std::move(target)),
      interfaces_(std::move(interfaces)),
      random_(seed)
{
}

bool Responder::label_taken(const std::string& label, uint64_t except) const
{
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.id != except && e.state != State::leaving && equal_nocase(e.name.labels.front(), label);
    });
}

void Responder::relabel(Entry& e)
{
    // Names of this process never collide with each other: skip numbers
    // that another entry here already uses.
    while (label_taken(instance_label(host_, e.offer.source_name, e.number), e.id))
        ++e.number;
    e.name = Name::of({instance_label(host_, e.offer.source_name, e.number)}).plus(type_);
}

uint64_t Responder::add(ServiceOffer offer, TimePoint now)
{
    Entry e;
    e.id = next_id_++;
    e.offer = std::move(offer);
    e.state = State::waiting;
    e.next = now + random_.between(0, 250);
    relabel(e);
    entries_.push_back(std::move(e));
    return entries_.back().id;
}

void Responder::remove(uint64_t id, TimePoint now)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id != id)
            continue;
        if (it->state == State::leaving)
            return;
        if (it->published) {
            // Announced at some time (perhaps probing again after a
            // conflict): the records others cache carry the announced name.
            it->name = *it->published;
            it->state = State::leaving;
            it->step = 0;
            it->next = now;
        } else {
            // Never announced: nobody has it cached, nothing to withdraw.
            entries_.erase(it);
        }
        return;
    }
}

void Responder::remove_all(TimePoint now)
{
    std::vector<uint64_t> ids;
    for (const auto& e : entries_)
        ids.push_back(e.id);
    for (auto id : ids)
        remove(id, now);
}

std::optional<std::string> Responder::label(uint64_t id) const
{
    for (const auto& e : entries_)
        if (e.id == id)
            return e.name.labels.front();
    return std::nullopt;
}

bool Responder::announced(uint64_t id) const
{
    for (const auto& e : entries_)
        if (e.id == id)
            return e.state == State::announcing || e.state == State::live;
    return false;
}

bool Responder::contested(uint64_t id) const
{
    for (const auto& e : entries_)
        if (e.id == id)
            return e.contested;
    return false;
}

uint32_t Responder::address_on(unsigned ifindex) const
{
    for (const auto& i : interfaces_)
        if (i.ifindex == ifindex)
            return i.address;
    return 0;
}

Record Responder::ptr_record(const Entry& e) const
{
    return make_ptr(type_, e.name, kRecordTtl);
}

Record Responder::srv_record(const Entry& e) const
{
    return make_srv(e.name, target_, e.offer.port, kRecordTtl);
}

Record Responder::txt_record(const Entry& e) const
{
    return make_txt(e.name, e.offer.txt, kRecordTtl);
}

Record Responder::address_record(unsigned ifindex) const
{
    return make_a(target_, address_on(ifindex), kRecordTtl);
}

Record Responder::services_record() const
{
    return make_ptr(services_, type_, kRecordTtl);
}

bool Responder::lost_tie_break(const Entry& e, const std::vector<Record>& theirs) const
{
    // Both sides' proposed records, sorted by class, type and data; the
    // first difference decides, and the side whose data sorts later wins.
    using Sortable = std::tuple<uint16_t, uint16_t, std::vector<uint8_t>>;
    auto sorted = [](const std::vector<Record>& rs) {
        std::vector<Sortable> out;
        for (const auto& r : rs)
            out.emplace_back(r.klass, r.type, r.canonical_rdata());
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto ours = sorted({srv_record(e), txt_record(e)});
    const auto other = sorted(theirs);
    return ours < other;
}

void Responder::conflict(Entry& e, TimePoint now)
{
    ++conflicts_;
    if (e.state == State::waiting || e.state == State::probing) {
        ++e.number;
        relabel(e);
    }
    // A conflict after announcing: probe again; the other side's answers
    // then lead to a new name.
    e.state = State::waiting;
    e.step = 0;
    e.next = now;
}

void Responder::hold(Entry& e, TimePoint now)
{
    ++conflicts_;
    e.contested = true;
    if (e.state != State::live || now < e.claimed + kHoldInterval)
        return;
    e.claimed = now;
    e.state = State::announcing;
    e.step = kAnnouncements - 1;
    e.next = now;
}

void Responder::on_message(const Message& m, unsigned ifindex, uint32_t source_address, uint16_t source_port,
                           TimePoint now, std::vector<Outgoing>& out)
{
    if (m.opcode() != 0 || m.rcode() != 0)
        return;
    if (m.is_response()) {
        on_response(m, now);
        return;
    }
    // A query: first the probes of others for names we are probing too.
    on_probes(m, now);
    answer(m, ifindex, source_address, source_port, out);
}

void Responder::on_response(const Message& m, TimePoint now)
{
    for (auto& e : entries_) {
        if (e.state == State::leaving)
            continue;
        const Record srv = srv_record(e), txt = txt_record(e);
        bool clash = false, withdrawn = false;
        for (const auto* section : {&m.answers, &m.additionals})
            for (const auto& r : *section) {
                // A goodbye for one of our records that we did not send
                // (we are not leaving): somebody else's, or a spoof.
                if (r.ttl == 0 && r.klass == kClassIN &&
                    (r.name.equals(e.name) || (r.type == kTypePTR && r.target.equals(e.name))))
                    withdrawn = true;
                if (r.ttl == 0 || !r.name.equals(e.name) || r.klass != kClassIN)
                    continue;
                if ((r.type == kTypeSRV && !r.same_data(srv)) || (r.type == kTypeTXT && !r.same_data(txt)))
                    clash = true;
            }
        if (clash && e.offer.holds_name && (e.state == State::live || e.state == State::announcing)) {
            hold(e, now);
        } else if (clash) {
            conflict(e, now);
        } else if (withdrawn && e.state == State::live) {
            // Announce again, so that caches which took the goodbye have
            // the records back within their second of grace; at most four
            // times a second, so that a flood of goodbyes is no lever for
            // a flood of answers.
            e.state = State::announcing;
            e.step = kAnnouncements - 1;
            e.next = std::max(now, e.defended + kDefendInterval);
            e.defended = e.next;
        }
    }
}

void Responder::on_probes(const Message& m, TimePoint now)
{
    for (auto& e : entries_) {
        if (e.state != State::probing)
            continue;
        std::vector<Record> theirs;
        for (const auto& r : m.authorities)
            if (r.name.equals(e.name))
                theirs.push_back(r);
        if (theirs.empty())
            continue;
        const bool identical = theirs.size() == 2 && contains(theirs, srv_record(e)) && contains(theirs, txt_record(e));
        if (!identical && lost_tie_break(e, theirs)) {
            e.state = State::waiting;
            e.step = 0;
            e.next = now + kTieBreakBackoff;
        }
    }
}

bool Responder::any_live() const
{
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.state == State::announcing || e.state == State::live; });
}

void Responder::answer_question(const Question& q, unsigned ifindex, bool any_live, Reply& reply) const
{
    const bool any = q.type == kTypeANY;
    for (const auto& e : entries_) {
        if (e.state != State::announcing && e.state != State::live)
            continue;
        if (q.name.equals(type_) && (any || q.type == kTypePTR)) {
            reply.answer(ptr_record(e));
            reply.additional(srv_record(e));
            reply.additional(txt_record(e));
            reply.additional(address_record(ifindex));
        }
        if (q.name.equals(e.name)) {
            if (any || q.type == kTypeSRV) {
                reply.answer(srv_record(e));
                reply.additional(address_record(ifindex));
            }
            if (any || q.type == kTypeTXT)
                reply.answer(txt_record(e));
        }
    }
    // The host's address and the list of service types only while some
    // instance is announced.
    if (any_live && q.name.equals(target_) && (any || q.type == kTypeA))
        reply.answer(address_record(ifindex));
    if (any_live && q.name.equals(services_) && (any || q.type == kTypePTR))
        reply.answer(services_record());
}

void Responder::answer(const Message& query, unsigned ifindex, uint32_t source_address, uint16_t source_port,
                       std::vector<Outgoing>& out) const
{
    Reply reply;
    const bool live = any_live();
    for (const auto& q : query.questions)
        if (q.klass == kClassIN || q.klass == kClassAny)
            answer_question(q, ifindex, live, reply);
    drop_known_answers(reply.answers, query);
    if (reply.answers.empty())
        return;
    std::erase_if(reply.additionals, [&](const Record& r) { return contains(reply.answers, r); });
    out.push_back(reply_to(query, ifindex, source_address, source_port, std::move(reply.answers),
                           std::move(reply.additionals)));
}

void Responder::advance(Entry& e, TimePoint now, Due& due)
{
    switch (e.state) {
    case State::waiting:
        e.state = State::probing;
        e.step = 1;
        e.next = now + kProbeInterval;
        due.probing.push_back(&e);
        break;
    case State::probing:
        if (e.step < kProbes) {
            ++e.step;
            e.next = now + kProbeInterval;
            due.probing.push_back(&e);
        } else {
            e.state = State::announcing;
            e.published = e.name;
            e.step = 1;
            e.next = now + kAnnounceInterval;
            due.announcing.push_back(&e);
        }
        break;
    case State::announcing:
        due.announcing.push_back(&e);
        if (++e.step >= kAnnouncements) {
            e.state = State::live;
            e.next = kNever;
        } else {
            e.next = now + kAnnounceInterval;
        }
        break;
    case State::live:
        e.next = kNever;
        break;
    case State::leaving:
        // Sent twice, a moment apart, so that one lost datagram does not
        // leave the source listed until its records expire.
        due.leaving.push_back(&e);
        e.next = ++e.step < kGoodbyes ? now + kGoodbyeInterval : kNever;
        break;
    }
}

Outgoing Responder::probe(unsigned ifindex, const std::vector<const Entry*>& entries) const
{
    Outgoing o;
    o.ifindex = ifindex;
    for (const auto* e : entries) {
        o.message.questions.push_back(Question{e->name, kTypeANY});
        o.message.authorities.push_back(srv_record(*e));
        o.message.authorities.push_back(txt_record(*e));
    }
    return o;
}

Outgoing Responder::announcement(unsigned ifindex, const std::vector<const Entry*>& entries) const
{
    Outgoing o;
    o.ifindex = ifindex;
    o.message.flags = kFlagResponse | kFlagAuthoritative;
    for (const auto* e : entries) {
        o.message.answers.push_back(ptr_record(*e));
        o.message.answers.push_back(srv_record(*e));
        o.message.answers.push_back(txt_record(*e));
    }
    o.message.answers.push_back(address_record(ifindex));
    o.message.answers.push_back(services_record());
    return o;
}

Outgoing Responder::goodbye(unsigned ifindex, const std::vector<const Entry*>& entries, bool last) const
{
    Outgoing o;
    o.ifindex = ifindex;
    o.message.flags = kFlagResponse | kFlagAuthoritative;
    for (const auto* e : entries)
        for (Record r : {ptr_record(*e), srv_record(*e), txt_record(*e)}) {
            r.ttl = 0;
            o.message.answers.push_back(std::move(r));
        }
    if (last) {
        Record a = address_record(ifindex);
        a.ttl = 0;
        o.message.answers.push_back(std::move(a));
    }
    return o;
}

void Responder::tick(TimePoint now, std::vector<Outgoing>& out)
{
    Due due;
    for (auto& e : entries_)
        if (e.next <= now)
            advance(e, now, due);
    const bool others_remain = any_live();
    for (const auto& i : interfaces_) {
        if (!due.probing.empty())
            out.push_back(probe(i.ifindex, due.probing));
        if (!due.announcing.empty())
            out.push_back(announcement(i.ifindex, due.announcing));
        if (!due.leaving.empty())
            out.push_back(goodbye(i.ifindex, due.leaving, !others_remain));
    }
    std::erase_if(entries_, [](const Entry& e) { return e.state == State::leaving && e.next == kNever; });
}

TimePoint Responder::next_deadline() const
{
    TimePoint next = kNever;
    for (const auto& e : entries_)
        next = std::min(next, e.next);
    return next;
}

}  // namespace qrv::discovery

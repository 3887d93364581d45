#include "discovery/unicast/unicast_browser.h"

#include <algorithm>

#include "base/log.h"
#include "base/text.h"
#include "discovery/unicast/dns_update.h"
#include "discovery/unicast/unicast_publisher.h"

namespace qrv::discovery {

namespace {

constexpr milliseconds kMaxBackoff{30000};
constexpr seconds kRecheckUnleased{30};  // instances without refresh fields

Name service_name(const Name& domain)
{
    return Name::of({"_qrv", "_tcp"}).plus(domain);
}

// A change of a live instance that browsers report: where it is, or which
// source it is and for whom.
bool moved_or_renamed(const UnicastService& old, const UnicastService& now)
{
    return !(old == now) && (old.address != now.address || old.port != now.port ||
                             txt_value(old.txt, "id") != txt_value(now.txt, "id") ||
                             txt_value(old.txt, "groups") != txt_value(now.txt, "groups"));
}

}  // namespace

void UnicastBrowser::set_targets(const std::vector<BrowseTarget>& targets, TimePoint now)
{
    std::vector<Target> next;
    for (const auto& where : targets) {
        auto it = std::find_if(targets_.begin(), targets_.end(), [&](const Target& t) { return t.where == where; });
        if (it != targets_.end()) {
            next.push_back(std::move(*it));
        } else {
            Target t;
            t.where = where;
            t.next_poll = now;
            next.push_back(std::move(t));
        }
    }
    size_t before = 0, after = 0;
    for (const auto& t : targets_)
        before += t.instances.size();
    for (const auto& t : next)
        after += t.instances.size();
    targets_ = std::move(next);
    if (before != after)
        ++generation_;
}

const Message* UnicastBrowser::answer(const DnsClient::Reply& reply, Target& target)
{
    ++stats_.queries;
    const char* why = nullptr;
    if (reply.status != DnsClient::Status::ok)
        why = reply.error.c_str();
    else if (reply.message.rcode() != kRcodeNoError && reply.message.rcode() != kRcodeNxDomain)
        why = rcode_text(reply.message.rcode());
    if (!why)
        return &reply.message;
    ++stats_.failures;
    if (!target.failing)
        QRV_LOG_AT(warn, discovery, "could not browse %s at %s: %s", target.where.domain.text().c_str(),
                   target.where.server.text().c_str(), why);
    target.failing = true;
    return nullptr;
}

struct UnicastBrowser::Lookup {
    UnicastService found;
    Name host;              // the SRV target
    bool answered = false;  // both the SRV and the TXT question
    bool have_srv = false, have_txt = false, have_address = false;

    // The first address of the SRV target among the records.
    void take_address(const std::vector<Record>& records)
    {
        for (const auto& r : records)
            if (have_srv && r.type == kTypeA && r.name.equals(host) && !have_address) {
                found.address = r.address;
                have_address = true;
            }
    }
};

UnicastBrowser::Lookup UnicastBrowser::look_up(Target& target, const Name& name, const std::string& label,
                                               const UnicastQuery& query)
{
    Lookup l;
    l.found.instance = label;
    const auto srv_reply = query(target.where.server, make_query(name, kTypeSRV, 0));
    const Message* srv = answer(srv_reply, target);
    const auto txt_reply = srv ? query(target.where.server, make_query(name, kTypeTXT, 0)) : DnsClient::Reply{};
    const Message* txt = srv ? answer(txt_reply, target) : nullptr;
    l.answered = srv && txt;
    if (!l.answered)
        return l;
    for (const auto& r : srv->answers)
        if (r.type == kTypeSRV && r.name.equals(name) && !l.have_srv && r.port != 0) {
            l.found.port = r.port;
            l.host = r.target;
            l.have_srv = true;
        }
    for (const auto& r : txt->answers)
        if (r.type == kTypeTXT && r.name.equals(name) && !l.have_txt) {
            l.found.txt = r.strings;
            l.have_txt = true;
        }
    // The server may add the host's address to the SRV answer; else it is
    // asked for.
    for (const auto* section : {&srv->answers, &srv->additionals})
        l.take_address(*section);
    if (l.have_srv && l.have_txt && !l.have_address) {
        const auto a_reply = query(target.where.server, make_query(l.host, kTypeA, 0));
        if (const Message* a = answer(a_reply, target))
            l.take_address(a->answers);
    }
    return l;
}

void UnicastBrowser::take_live(Instance& instance, UnicastService found, std::optional<uint64_t> stale,
                               TimePoint now, uint64_t unix_now)
{
    instance.reported_expired = false;
    if (auto label = txt_value(found.txt, kTxtLabel); label && equal_nocase(*label, found.instance))
        found.instance = *label;
    instance.service = std::move(found);
    if (!stale) {
        instance.next_resolve = now + kRecheckUnleased;
        return;
    }
    // Asked again when the lease ends (a refresh time from the future,
    // clocks apart, counts as now), and at a third of the lease: a source
    // that ended and started again under the same name between two polls
    // leaves the PTR set unchanged.
    uint64_t lease = 0;
    stale_after(instance.service.txt, &lease);
    const auto left = int64_t(std::min(*stale, unix_now + lease) - unix_now);
    instance.next_resolve = now + seconds(std::min(left, std::max<int64_t>(1, int64_t(lease) / 3)));
}

void UnicastBrowser::note_unresolved(Target& target, Instance& instance, const Lookup& lookup, const Name& name,
                                     TimePoint now, uint64_t unix_now)
{
    uint64_t lease = 0;
    const uint64_t stale_at = lookup.have_txt ? stale_after(lookup.found.txt, &lease).value_or(0) : 0;
    if (lookup.have_srv && stale_at != 0 && stale_at + lease <= unix_now && !instance.reported_expired &&
        expired_.size() < kMaxInstances) {
        expired_.push_back(Expired{target.where, name, lookup.found.txt, lookup.host});
        instance.reported_expired = true;
    }
    // Records missing or stale: look again soon, since a new holder may
    // take the name over (the PTR set does not change then); the PTR poll
    // drops the instance as soon as its PTR record goes.
    instance.next_resolve = now + poll_ * 2;
}

bool UnicastBrowser::resolve(Target& target, Instance& instance, TimePoint now, uint64_t unix_now,
                             const UnicastQuery& query)
{
    const Name name = Name::of({instance.service.instance}).plus(service_name(target.where.domain));
    Lookup lookup = look_up(target, name, instance.service.instance, query);
    const bool complete = lookup.have_srv && lookup.have_txt;
    const bool was = instance.resolved;
    const UnicastService old = instance.service;
    // Refresh times are whole seconds: one second early, so that a source
    // whose process died is gone within its lease, never a second after.
    auto stale = lookup.have_txt ? stale_after(lookup.found.txt) : std::optional<uint64_t>();
    if (stale && *stale > 0)
        *stale -= 1;
    instance.resolved = complete && lookup.have_address && (!stale || *stale > unix_now);
    if (!lookup.answered || (complete && !lookup.have_address)) {
        // Asking failed. It is asked only at first sight and when the lease
        // ran out, so the instance is not (or no longer) known to live.
        instance.resolved = false;
        if (was)
            ++generation_;
        instance.next_resolve = now + std::max<milliseconds>(poll_, milliseconds(1000));
        return lookup.answered;
    }
    if (instance.resolved)
        take_live(instance, std::move(lookup.found), stale, now, unix_now);
    else
        note_unresolved(target, instance, lookup, name, now, unix_now);
    if (was != instance.resolved || (instance.resolved && moved_or_renamed(old, instance.service)))
        ++generation_;
    return true;
}

void UnicastBrowser::poll(Target& target, TimePoint now, uint64_t unix_now, const UnicastQuery& query)
{
    const Name service = service_name(target.where.domain);
    const auto reply = query(target.where.server, make_query(service, kTypePTR, 0));
    const Message* m = answer(reply, target);
    if (!m) {
        target.backoff = std::clamp(target.backoff * 2, poll_, kMaxBackoff);
        target.next_poll = now + target.backoff;
        return;
    }
    if (target.failing)
        QRV_LOG_AT(info, discovery, "browsing %s at %s again", target.where.domain.text().c_str(),
                   target.where.server.text().c_str());
    target.failing = false;
    target.backoff = milliseconds(0);
    target.next_poll = now + poll_;

    std::map<std::string, std::string> listed;  // key -> label
    for (const auto& r : m->answers) {
        if (r.type != kTypePTR || !r.name.equals(service) || r.target.labels.size() != service.labels.size() + 1 ||
            !Name{std::vector(r.target.labels.begin() + 1, r.target.labels.end())}.equals(service)) {
            ++stats_.records_ignored;
            continue;
        }
        if (listed.size() < kMaxInstances)
            listed.emplace(ascii_lower(r.target.labels[0]), r.target.labels[0]);
        else
            ++stats_.records_ignored;
    }
    for (auto it = target.instances.begin(); it != target.instances.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        if (it->second.resolved)
            ++generation_;
        it = target.instances.erase(it);
    }
    for (const auto& [key, label] : listed) {
        auto [it, added] = target.instances.try_emplace(key);
        if (added) {
            it->second.service.instance = label;
            it->second.next_resolve = now;
        }
        // A server that stops answering ends the round: the rest waits
        // for the next poll instead of a timeout each.
        if (it->second.next_resolve <= now && !resolve(target, it->second, now, unix_now, query))
            break;
    }
}

TimePoint UnicastBrowser::run(TimePoint now, uint64_t unix_now, const UnicastQuery& query)
{
    TimePoint next = kNever;
    for (auto& target : targets_) {
        if (target.next_poll <= now)
            poll(target, now, unix_now, query);
        // A lease that ends between polls hides its instance on time; with
        // the server out of reach it is hidden without asking.
        for (auto& [key, instance] : target.instances) {
            if (instance.next_resolve > now)
                continue;
            if (!target.failing) {
                if (!resolve(target, instance, now, unix_now, query))
                    target.failing = true;
            } else {
                if (instance.resolved)
                    ++generation_;
                instance.resolved = false;
                instance.next_resolve = target.next_poll;
            }
        }
        next = std::min(next, target.next_poll);
        for (const auto& [key, instance] : target.instances)
            next = std::min(next, instance.next_resolve);
    }
    return next;
}

std::vector<UnicastService> UnicastBrowser::services() const
{
    std::vector<UnicastService> out;
    for (const auto& target : targets_)
        for (const auto& [key, instance] : target.instances)
            if (instance.resolved)
                out.push_back(instance.service);
    return out;
}

}  // namespace qrv::discovery

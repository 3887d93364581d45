#include "discovery/mdns/record_cache.h"

#include <algorithm>

namespace qrv::discovery {

namespace {

// Received TTLs are bounded so that time arithmetic cannot overflow and a
// stray record cannot claim to live for decades.
constexpr uint32_t kMaxTtlSeconds = 24 * 3600;

}  // namespace

RecordCache::RecordCache(size_t capacity, uint64_t seed) : capacity_(std::max<size_t>(capacity, 1)), random_(seed) {}

std::string RecordCache::name_key(const Name& n)
{
    return n.key();
}

void RecordCache::schedule_refresh(CachedRecord& r)
{
    if (r.refresh_step >= 4 || r.record.ttl == 0) {
        r.next_refresh = kNever;
        return;
    }
    const auto ttl = std::chrono::duration_cast<milliseconds>(r.expires - r.received);
    const int percent = 80 + 5 * r.refresh_step;
    const auto jitter = milliseconds(ttl.count() * int64_t(random_.next() % 201) / 10000);  // 0..2 %
    r.next_refresh = r.received + milliseconds(ttl.count() * percent / 100) + jitter;
}

int RecordCache::standing(const CachedRecord& r)
{
    return (r.in_service ? 2 : 0) + (r.solicited ? 1 : 0);
}

void RecordCache::make_room(size_t needed)
{
    // Victims in order: the lowest standing first; within one, the newest
    // arrival, then the one nearest its expiry.
    std::vector<std::map<Key, CachedRecord>::iterator> all;
    all.reserve(entries_.size());
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        all.push_back(it);
    const auto before = [](const auto& a, const auto& b) {
        const CachedRecord& x = a->second;
        const CachedRecord& y = b->second;
        if (standing(x) != standing(y))
            return standing(x) < standing(y);
        if (x.first_seen != y.first_seen)
            return x.first_seen > y.first_seen;
        return x.expires < y.expires;
    };
    const size_t n = std::min(all.size(), std::max<size_t>({1, capacity_ / 8, needed}));
    if (n == 0)
        return;
    std::nth_element(all.begin(), all.begin() + (ptrdiff_t)(n - 1), all.end(), before);
    for (size_t i = 0; i < n; ++i) {
        entries_.erase(all[i]);
        ++evictions_;
    }
}

void RecordCache::mark_in_service(const std::vector<const CachedRecord*>& records)
{
    for (auto& [key, c] : entries_)
        c.in_service = false;
    // The pointers come from this cache's own entries.
    for (const CachedRecord* r : records)
        const_cast<CachedRecord*>(r)->in_service = true;
}

bool RecordCache::insert(const Record& record, unsigned ifindex, TimePoint now, bool solicited)
{
    const std::string name = name_key(record.name);
    Key key{name, record.type, ifindex, record.canonical_rdata()};
    auto it = entries_.find(key);
    bool changed = false;

    if (record.ttl == 0) {
        // A goodbye: the record goes in one second.
        if (it != entries_.end()) {
            it->second.expires = std::min(it->second.expires, now + seconds(1));
            it->second.next_refresh = kNever;
            const bool changed = !it->second.goodbye;
            it->second.goodbye = true;
            return changed;
        }
        return false;
    }

    if (record.cache_flush) {
        // The owner says this is the whole set of this name and type: the
        // others received more than a second ago go in a second.
        auto lo = entries_.lower_bound(Key{name, record.type, ifindex, {}});
        for (auto p = lo; p != entries_.end(); ++p) {
            const auto& [n, t, i, d] = p->first;
            if (n != name || t != record.type || i != ifindex)
                break;
            if (p != it && p->second.received + seconds(1) < now)
                p->second.expires = std::min(p->second.expires, now + seconds(1));
        }
    }

    if (it == entries_.end()) {
        if (entries_.size() >= capacity_)
            make_room(1);
        it = entries_.emplace(std::move(key), CachedRecord{}).first;
        it->second.first_seen = now;
        changed = true;
    }
    CachedRecord& c = it->second;
    c.record = record;
    c.ifindex = ifindex;
    c.received = now;
    c.expires = now + seconds(std::min(record.ttl, kMaxTtlSeconds));
    c.refresh_step = 0;
    c.solicited = c.solicited || solicited;
    changed = changed || c.goodbye;
    c.goodbye = false;
    schedule_refresh(c);
    return changed;
}

bool RecordCache::expire(TimePoint now, bool* silent)
{
    bool lost = false;
    const auto n = std::erase_if(entries_, [&](const auto& e) {
        if (e.second.expires > now)
            return false;
        lost = lost || (e.second.in_service && !e.second.goodbye);
        return true;
    });
    if (silent)
        *silent = lost;
    return n > 0;
}

bool RecordCache::contains(const Record& record, unsigned ifindex) const
{
    return entries_.count(Key{name_key(record.name), record.type, ifindex, record.canonical_rdata()}) > 0;
}

std::vector<const CachedRecord*> RecordCache::find(const Name& name, uint16_t type) const
{
    std::vector<const CachedRecord*> out;
    const std::string n = name_key(name);
    for (auto p = entries_.lower_bound(Key{n, type, 0, {}}); p != entries_.end(); ++p) {
        if (std::get<0>(p->first) != n || std::get<1>(p->first) != type)
            break;
        out.push_back(&p->second);
    }
    return out;
}

std::vector<const CachedRecord*> RecordCache::on_interface(const Name& name, uint16_t type, unsigned ifindex) const
{
    auto all = find(name, type);
    std::erase_if(all, [&](const CachedRecord* r) { return r->ifindex != ifindex; });
    return all;
}

std::vector<std::pair<Name, uint16_t>> RecordCache::take_due_refreshes(TimePoint now)
{
    std::vector<std::pair<Name, uint16_t>> out;
    for (auto& entry : entries_) {
        CachedRecord& c = entry.second;
        if (c.next_refresh > now)
            continue;
        ++c.refresh_step;
        schedule_refresh(c);
        const bool known = std::any_of(out.begin(), out.end(), [&](const auto& q) {
            return q.second == c.record.type && q.first.equals(c.record.name);
        });
        if (!known)
            out.emplace_back(c.record.name, c.record.type);
    }
    return out;
}

TimePoint RecordCache::next_event() const
{
    TimePoint next = kNever;
    for (const auto& [key, c] : entries_)
        next = std::min({next, c.expires, c.next_refresh});
    return next;
}

uint32_t RecordCache::remaining_ttl(const CachedRecord& r, TimePoint now)
{
    if (r.expires <= now)
        return 0;
    return uint32_t(std::chrono::duration_cast<seconds>(r.expires - now).count());
}

}  // namespace qrv::discovery

// The browser's cache of received records, per interface. Each record lives
// for its TTL from the time it was last received; a goodbye (TTL 0) or a
// cache-flush from the owner shortens that to one second (a goodbye also
// marks the record, so that the browser stops offering it at once). The
// cache holds at most `capacity` records. When full, a record's standing
// decides what makes room: first records of no resolved service that came
// unasked, then those that came in answer to a question of ours, then
// records of resolved services (unasked, then answers). Within a standing
// the newest arrival goes first; a renewal is no new arrival. So a flood of
// strangers can neither grow memory nor push out a record that was there
// before it, and a source that answers our own questions still gets in
// while a cache full of strangers is being flooded. Room is made an eighth
// of the cache at a time, so that a flood costs one pass over the cache per
// many records.
// Each record also carries its refresh points (80, 85, 90 and 95 per cent of
// its TTL, each plus up to 2 per cent at random) at which the browser asks
// for it again.
#ifndef QRV_DISCOVERY_RECORD_CACHE_H
#define QRV_DISCOVERY_RECORD_CACHE_H

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "discovery/common/clock.h"

namespace qrv::discovery {

struct CachedRecord {
    Record record;
    unsigned ifindex = 0;
    TimePoint first_seen{};  // when this record entered the cache
    TimePoint received{};
    TimePoint expires{};
    int refresh_step = 0;  // refresh queries asked for so far (0..4)
    TimePoint next_refresh = kNever;
    bool goodbye = false;  // withdrawn by its owner; kept one second more
    bool in_service = false;  // part of a service the browser resolved
    bool solicited = false;   // came (once at least) in answer to a question of ours
};

class RecordCache {
public:
    explicit RecordCache(size_t capacity, uint64_t seed = 1);

    // Adds or renews a record; `solicited` when it answers a question we
    // asked (the mark stays once given). True when the set of records
    // changed (a new record, or one removed to make room).
    bool insert(const Record& record, unsigned ifindex, TimePoint now, bool solicited = false);
    // Drops what has expired; true when anything went. `silent`, when
    // given, tells whether a record of a resolved service went without a
    // goodbye (its owner stopped answering, or its answers were lost).
    bool expire(TimePoint now, bool* silent = nullptr);

    // True when this record (name, type, interface and data) is cached.
    bool contains(const Record& record, unsigned ifindex) const;
    // Every live record of that name and type, on any interface.
    std::vector<const CachedRecord*> find(const Name& name, uint16_t type) const;
    std::vector<const CachedRecord*> on_interface(const Name& name, uint16_t type, unsigned ifindex) const;
    // Name and type of every record whose refresh point has passed; each
    // record is reported once per refresh point.
    std::vector<std::pair<Name, uint16_t>> take_due_refreshes(TimePoint now);

    TimePoint next_event() const;
    size_t size() const { return entries_.size(); }
    size_t capacity() const { return capacity_; }
    uint64_t evictions() const { return evictions_; }

    // Removes at least `needed` records (and an eighth of the cache), by
    // standing as above. insert() calls it when the cache is full; a caller
    // that marks services first (mark_in_service) calls it before inserting
    // a batch, so that nothing of the batch goes to make room for the rest.
    void make_room(size_t needed);

    // Marks exactly these records (pointers into this cache) as making up
    // resolved services; the others lose the mark.
    void mark_in_service(const std::vector<const CachedRecord*>& records);

    // Remaining TTL in seconds at `now` (0 once expired).
    static uint32_t remaining_ttl(const CachedRecord& r, TimePoint now);

private:
    using Key = std::tuple<std::string, uint16_t, unsigned, std::vector<uint8_t>>;
    static std::string name_key(const Name& n);
    void schedule_refresh(CachedRecord& r);
    // 0 (goes first) to 3, as above.
    static int standing(const CachedRecord& r);

    size_t capacity_;
    Random random_;
    std::map<Key, CachedRecord> entries_;
    uint64_t evictions_ = 0;
};

}  // namespace qrv::discovery

#endif

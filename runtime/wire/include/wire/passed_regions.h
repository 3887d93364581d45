// The shared-memory regions that a receiver on this host keeps mapped, as
// both ends of its connection count them. The source passes a region's
// descriptor with the first frame in it and names the region by number
// after that; the receiver maps what it was passed and finds it again by
// that number. Both ends apply the same rule to the same messages, in the
// order the stream carries them (a region named or passed is the most
// recently used; passing one more than the capacity forgets the least
// recently used), so they always agree on which regions the receiver
// still has without a word about it: a region the source counts as
// forgotten is passed again, never named.
#ifndef QRV_WIRE_PASSED_REGIONS_H
#define QRV_WIRE_PASSED_REGIONS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qrv::wire {

/// Region numbers with a value each (the receiver's mapping; nothing on the
/// source's side), at most kCapacity of them. Not thread-safe: one per
/// connection, used by its one reader or writer.
template <class Value>
class PassedRegions {
public:
    /// Regions a receiver keeps mapped per connection; more than the pool
    /// of frames a sender recycles, so that a steady stream passes each
    /// region once.
    static constexpr size_t kCapacity = 20;

    /// The value kept for region, which becomes the most recently used;
    /// null when the region is not kept (never passed, or forgotten).
    Value* find(uint64_t region)
    {
        auto it = std::find_if(entries_.begin(), entries_.end(), [region](const auto& e) { return e.first == region; });
        if (it == entries_.end())
            return nullptr;
        std::rotate(it, it + 1, entries_.end());
        return &entries_.back().second;
    }

    /// Keeps value for region as the most recently used (replacing what
    /// was kept for it), forgetting the least recently used when full.
    void keep(uint64_t region, Value value)
    {
        if (Value* v = find(region)) {
            *v = std::move(value);
            return;
        }
        if (entries_.size() >= kCapacity)
            entries_.erase(entries_.begin());
        entries_.emplace_back(region, std::move(value));
    }

    size_t size() const { return entries_.size(); }

private:
    std::vector<std::pair<uint64_t, Value>> entries_;  // least recently used first
};

}  // namespace qrv::wire

#endif

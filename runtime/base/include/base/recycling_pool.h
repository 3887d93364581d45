// Large buffers handed out again once nobody references them, so that a
// steady stream of frames of one size neither allocates nor faults in pages.
#ifndef QRV_BASE_RECYCLING_POOL_H
#define QRV_BASE_RECYCLING_POOL_H

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace qrv {

/// Keeps up to a number of items and hands out one that only the pool still
/// references; makes a new one when none is free (kept while there is room,
/// otherwise used once and freed with its last reference).
///
/// Thread-safe. The item handed out is the caller's alone to fill: no one
/// else holds it, and the pool hands it out again only after every reference
/// the caller passed on has gone.
template <class T>
class RecyclingPool {
public:
    using Make = std::function<std::shared_ptr<T>()>;
    /// keep(item): false takes the item out of the pool for good (it is
    /// freed with its last reference); by default every item is kept.
    using Keep = std::function<bool(const T&)>;

    explicit RecyclingPool(size_t slots, Make make = [] { return std::make_shared<T>(); }, Keep keep = {})
        : slots_(slots), make_(std::move(make)), keep_(std::move(keep))
    {
    }

    std::shared_ptr<T> acquire()
    {
        std::lock_guard lock(mutex_);
        if (keep_)
            std::erase_if(items_, [this](const std::shared_ptr<T>& item) { return !keep_(*item); });
        for (auto& item : items_)
            if (item.use_count() == 1)  // only the pool: no one can take a new reference but us
                return item;
        auto item = make_();
        if (items_.size() < slots_)
            items_.push_back(item);
        return item;
    }

private:
    std::mutex mutex_;
    const size_t slots_;
    const Make make_;
    const Keep keep_;
    std::vector<std::shared_ptr<T>> items_;
};

}  // namespace qrv

#endif

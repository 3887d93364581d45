// A queue of items of a few kinds, each kind bounded on its own: when a kind
// is at its bound, its oldest item leaves to make room for the newest. Live
// media wants exactly this everywhere a producer must never wait for a
// consumer (a receiver's socket, a caller that captures slowly, a caller that
// reads camera commands late).
#ifndef QRV_BASE_BOUNDED_QUEUE_H
#define QRV_BASE_BOUNDED_QUEUE_H

#include <array>
#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

namespace qrv {

/// Items in arrival order, bounded per kind, dropping the oldest of a kind.
///
/// Not thread-safe: its owner locks around it. Items that leave are handed
/// back to the caller, so that their destruction (which may release shared
/// memory or write to a socket) can happen after the owner's lock.
template <class T, size_t Kinds = 1>
class BoundedQueue {
public:
    explicit BoundedQueue(std::array<size_t, Kinds> bounds) : bounds_(bounds) {}

    /// Appends item as kind. When that kind is at its bound, the oldest item
    /// of the kind leaves and is returned (with a bound of 0, item itself).
    std::optional<T> push(T item, size_t kind = 0)
    {
        std::optional<T> dropped;
        if (count_[kind] >= bounds_[kind]) {
            if (count_[kind] == 0)
                return std::optional<T>(std::move(item));
            for (auto it = items_.begin(); it != items_.end(); ++it)
                if (it->kind == kind) {
                    dropped.emplace(std::move(it->item));
                    items_.erase(it);
                    --count_[kind];
                    break;
                }
        }
        items_.push_back({std::move(item), kind});
        ++count_[kind];
        return dropped;
    }

    /// Takes the oldest item of any kind; empty when there is none.
    std::optional<T> pop()
    {
        if (items_.empty())
            return std::nullopt;
        std::optional<T> out(std::move(items_.front().item));
        --count_[items_.front().kind];
        items_.pop_front();
        return out;
    }

    /// Moves every item whose kind satisfies leave(kind) to the end of sink.
    template <class Leave, class Sink>
    void remove_kinds(Leave&& leave, Sink& sink)
    {
        for (auto it = items_.begin(); it != items_.end();) {
            if (leave(it->kind)) {
                sink.push_back(std::move(it->item));
                --count_[it->kind];
                it = items_.erase(it);
            } else {
                ++it;
            }
        }
    }

    /// Moves every item to the end of sink.
    template <class Sink>
    void clear_into(Sink& sink)
    {
        remove_kinds([](size_t) { return true; }, sink);
    }

    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    size_t count(size_t kind) const { return count_[kind]; }

private:
    struct Entry {
        T item;
        size_t kind;
    };
    const std::array<size_t, Kinds> bounds_;
    std::array<size_t, Kinds> count_{};
    std::deque<Entry> items_;
};

}  // namespace qrv

#endif

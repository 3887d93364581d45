// Live objects of one kind, owned by the library and looked up by handle.
// A call holds a shared reference for its duration, so an object destroyed
// by another thread outlives the calls still running on it; release() waits
// for them, so that the object is destroyed by the thread that destroys it.
//
// Handles are tokens, not addresses: each is drawn from one counter shared by
// every registry and is never handed out twice, so a handle that was
// destroyed (or belongs to another kind of object) finds nothing, even when
// a new object happens to live at the old one's address.
#ifndef QRV_REGISTRY_H
#define QRV_REGISTRY_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qrv {

namespace registry_detail {

// Tokens step by 16 from 16 upwards: never null, never a valid address of
// ours, and distinct across all registries for the life of the process.
inline uintptr_t next_token()
{
    static std::atomic<uintptr_t> counter{0};
    return (counter.fetch_add(1, std::memory_order_relaxed) + 1) << 4;
}

}  // namespace registry_detail

template <class T>
class Registry {
public:
    // Takes the object in and returns its new handle.
    void* add(std::shared_ptr<T> object)
    {
        const uintptr_t token = registry_detail::next_token();
        std::lock_guard lock(mutex_);
        objects_.emplace(token, std::move(object));
        return reinterpret_cast<void*>(token);
    }

    std::shared_ptr<T> find(const void* handle) const
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }

    // Removes the object and closes it, so that calls still blocked on it
    // return at once; the caller drops the last reference outside the
    // registry's lock.
    std::shared_ptr<T> remove(const void* handle)
    {
        std::shared_ptr<T> object;
        {
            std::lock_guard lock(mutex_);
            auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
            if (it == objects_.end())
                return nullptr;
            object = std::move(it->second);
            objects_.erase(it);
        }
        close(*object);
        return object;
    }

    // Wakes whatever waits on an object that is going away, for the kinds
    // of objects that block their callers.
    static void close(T& object)
    {
        if constexpr (requires { object.close(); })
            object.close();
    }

    // Takes every object out, newest first.
    std::vector<std::shared_ptr<T>> take_all()
    {
        std::vector<std::shared_ptr<T>> out;
        std::lock_guard lock(mutex_);
        out.reserve(objects_.size());
        for (auto it = objects_.rbegin(); it != objects_.rend(); ++it)
            out.push_back(std::move(it->second));
        objects_.clear();
        return out;
    }

    // Every live object, oldest first.
    std::vector<std::shared_ptr<T>> all() const
    {
        std::vector<std::shared_ptr<T>> out;
        std::lock_guard lock(mutex_);
        out.reserve(objects_.size());
        for (const auto& [token, object] : objects_)
            out.push_back(object);
        return out;
    }

    size_t size() const
    {
        std::lock_guard lock(mutex_);
        return objects_.size();
    }

private:
    mutable std::mutex mutex_;
    // Tokens grow with every add, so the map's order is creation order.
    std::map<uintptr_t, std::shared_ptr<T>> objects_;
};

// Drops the reference to an object taken out of its registry, so that it is
// destroyed on the calling thread: calls still running on it (another
// thread's, or a log hook's on one of the object's own threads, which could
// not join itself) end first. Closed objects wake their blocked callers, so
// the wait is short; past kReleaseWait the reference is dropped anyway.
inline constexpr std::chrono::seconds kReleaseWait{10};

template <class T>
void release(std::shared_ptr<T>& object)
{
    const auto give_up = std::chrono::steady_clock::now() + kReleaseWait;
    while (object && object.use_count() > 1 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    object.reset();
}

}  // namespace qrv

#endif

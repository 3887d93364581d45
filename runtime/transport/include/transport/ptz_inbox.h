// Camera commands that a sender's receivers sent, waiting for the sender's
// caller: bounded, oldest dropped first.
#ifndef QRV_TRANSPORT_PTZ_INBOX_H
#define QRV_TRANSPORT_PTZ_INBOX_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "base/bounded_queue.h"
#include "wire/wire.h"

namespace qrv::transport {

class PtzInbox {
public:
    static constexpr size_t kCapacity = 64;

    void push(const wire::PtzFields& command)
    {
        {
            std::lock_guard lock(mutex_);
            if (items_.push(command))
                ++dropped_;
        }
        ready_.notify_one();
    }

    std::optional<wire::PtzFields> pop(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_for(lock, timeout, [this] { return closed_ || !items_.empty(); }) || items_.empty())
            return std::nullopt;
        return items_.pop();
    }

    // The sender goes away: a pop waiting now returns at once, and later
    // ones do not wait.
    void close()
    {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

    uint64_t dropped() const
    {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    BoundedQueue<wire::PtzFields> items_{{kCapacity}};
    uint64_t dropped_ = 0;
    bool closed_ = false;
};

// True when the command's values lie in their ranges.
inline bool ptz_in_range(const wire::PtzFields& c)
{
    return wire::ptz_in_range(c);
}

}  // namespace qrv::transport

#endif

#include "transport/send_queue.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "base/log.h"

namespace qrv::transport {

QueueLimits QueueLimits::from_settings(const Settings& settings)
{
    QueueLimits limits;
    const char* text = text_of(settings.shm_receiver_mb);
    if (!text)
        return limits;
    char* end = nullptr;
    const long long mb = std::strtoll(text, &end, 10);
    if (end != text && *end == '\0' && mb >= 1 && mb <= 65536)
        limits.shared_bytes_floor = static_cast<uint64_t>(mb) << 20;
    else
        QRV_LOG_AT(warn, library, "QRV_SHM_RECEIVER_MB='%s' is not a number of MiB from 1 to 65536: %llu kept", text,
                   static_cast<unsigned long long>(limits.shared_bytes_floor >> 20));
    return limits;
}

size_t SendQueue::kind_of(const wire::Packet& p)
{
    switch (p.type) {
    case wire::MessageType::video:
        return video;
    case wire::MessageType::audio:
        return audio;
    default:
        return other;
    }
}

void SendQueue::push(wire::PacketPtr packet)
{
    if (!packet)
        return;
    const size_t kind = kind_of(*packet);
    const bool alone = kind == video && video_alone_bytes_ > 0 && packet->bytes.size() >= video_alone_bytes_;
    std::vector<wire::PacketPtr> dropped;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        if (alone)
            items_.remove_kinds([](size_t k) { return k == video; }, dropped);
        if (auto old = items_.push(std::move(packet), kind))
            dropped.push_back(std::move(*old));
    }
    (kind == video ? drops_.video : kind == audio ? drops_.audio : drops_.other) += dropped.size();
    ready_.notify_one();
    signal();
}

void SendQueue::signal() const
{
    if (notify_fd_ < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(notify_fd_, &one, sizeof one);
}

bool SendQueue::take_locked(wire::PacketPtr& out)
{
    out = std::move(*items_.pop());
    return out->type == wire::MessageType::video && items_.count(video) == 0;
}

bool SendQueue::pop(wire::PacketPtr& out)
{
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (closed_)
        return false;
    const bool last_video = take_locked(out);
    lock.unlock();
    if (last_video && video_taken_)
        video_taken_();
    return true;
}

SendQueue::Pop SendQueue::pop_until(wire::PacketPtr& out, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return closed_ || woken_ || !items_.empty(); }))
        return Pop::idle;
    if (closed_)
        return Pop::closed;
    woken_ = false;  // the consumer looks at its own work after any return
    if (items_.empty())
        return Pop::woken;
    const bool last_video = take_locked(out);
    lock.unlock();
    if (last_video && video_taken_)
        video_taken_();
    return Pop::item;
}

void SendQueue::wake()
{
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_one();
}

void SendQueue::close()
{
    std::vector<wire::PacketPtr> gone;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        items_.clear_into(gone);
    }
    ready_.notify_all();
    signal();
}

bool SendQueue::video_waiting() const
{
    std::lock_guard lock(mutex_);
    return items_.count(video) > 0;
}

size_t SendQueue::size() const
{
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace qrv::transport

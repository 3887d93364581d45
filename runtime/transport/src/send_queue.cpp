#include "transport/send_queue.h"

namespace qrv::transport {

SendQueue::Kind SendQueue::kind_of(const wire::Packet& p)
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
    const Kind kind = kind_of(*packet);
    const size_t cap = kind == video ? limits_.video : kind == audio ? limits_.audio : limits_.other;
    wire::PacketPtr dropped;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        if (count_[kind] >= cap) {
            for (auto it = items_.begin(); it != items_.end(); ++it) {
                if (kind_of(**it) == kind) {
                    dropped = std::move(*it);
                    items_.erase(it);
                    --count_[kind];
                    break;
                }
            }
            (kind == video ? drops_.video : kind == audio ? drops_.audio : drops_.other)++;
        }
        items_.push_back(std::move(packet));
        ++count_[kind];
    }
    ready_.notify_one();
}

bool SendQueue::pop(wire::PacketPtr& out)
{
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return closed_ || !items_.empty(); });
    if (closed_)
        return false;
    out = std::move(items_.front());
    items_.pop_front();
    --count_[kind_of(*out)];
    return true;
}

SendQueue::Pop SendQueue::pop_until(wire::PacketPtr& out, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return closed_ || !items_.empty(); }))
        return Pop::idle;
    if (closed_)
        return Pop::closed;
    out = std::move(items_.front());
    items_.pop_front();
    --count_[kind_of(*out)];
    return Pop::item;
}

void SendQueue::close()
{
    std::deque<wire::PacketPtr> gone;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        gone.swap(items_);
        count_[0] = count_[1] = count_[2] = 0;
    }
    ready_.notify_all();
}

size_t SendQueue::size() const
{
    std::lock_guard lock(mutex_);
    return items_.size();
}

}  // namespace qrv::transport

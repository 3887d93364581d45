#include "objects/frame_queue.h"

#include <algorithm>

namespace qrv {

using transport::Message;
using wire::MessageType;

namespace {

int kind_index(MessageType t)
{
    return t == MessageType::video ? 0 : t == MessageType::audio ? 1 : 2;
}

constexpr uint32_t kWantBits[3] = {wire::kWantVideo, wire::kWantAudio, wire::kWantMetadata};

}  // namespace

void FrameQueue::push(Message&& m)
{
    std::optional<Message> dropped;  // let go outside the lock: it may release a shared frame
    std::lock_guard lock(mutex_);
    const int k = kind_index(m.header.type);
    const size_t caps[3] = {bounds_.video, bounds_.audio, bounds_.metadata};
    ++counts_.received[k];
    if (!(kinds_ & kWantBits[k]))
        return;
    if (queued_[k] >= caps[k]) {
        auto it = std::find_if(frames_.begin(), frames_.end(),
                               [&](const Message& q) { return kind_index(q.header.type) == k; });
        if (it != frames_.end()) {
            dropped = std::move(*it);
            frames_.erase(it);
            --queued_[k];
            ++counts_.dropped[k];
        }
    }
    frames_.push_back(std::move(m));
    ++queued_[k];
    arrived_.notify_all();
}

void FrameQueue::clear()
{
    std::deque<Message> old;
    std::lock_guard lock(mutex_);
    old.swap(frames_);
    queued_[0] = queued_[1] = queued_[2] = 0;
}

void FrameQueue::flag_status()
{
    std::lock_guard lock(mutex_);
    status_pending_ = true;
    arrived_.notify_all();
}

void FrameQueue::discard_unwanted_locked(const bool wanted[3], std::deque<Message>& sink)
{
    for (auto it = frames_.begin(); it != frames_.end();) {
        const int k = kind_index(it->header.type);
        if (!wanted[k]) {
            sink.push_back(std::move(*it));
            it = frames_.erase(it);
            --queued_[k];
        } else {
            ++it;
        }
    }
}

std::optional<FrameQueue::Next> FrameQueue::ready_locked(Message& out)
{
    if (status_pending_) {
        status_pending_ = false;
        return Next::status;
    }
    if (frames_.empty())
        return std::nullopt;
    out = std::move(frames_.front());
    frames_.pop_front();
    --queued_[kind_index(out.header.type)];
    return Next::frame;
}

FrameQueue::Next FrameQueue::wait(const bool wanted[3], std::chrono::steady_clock::time_point deadline,
                                  Message& out)
{
    // Frames of kinds not wanted are taken out under the lock and let go
    // once it is released.
    std::deque<Message> unwanted;
    std::unique_lock lock(mutex_);
    for (;;) {
        discard_unwanted_locked(wanted, unwanted);
        if (auto next = ready_locked(out))
            return *next;
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            discard_unwanted_locked(wanted, unwanted);
            return ready_locked(out).value_or(Next::none);
        }
    }
}

FrameQueue::Counts FrameQueue::counts() const
{
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace qrv

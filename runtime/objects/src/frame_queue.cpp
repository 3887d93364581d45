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

// What a queued frame costs in the receiver's own memory (pixels in a
// source's shared memory cost it nothing).
size_t bytes_of(const Message& m)
{
    return m.fixed.size() + m.text.size() + (m.data ? m.data->size() : 0);
}


}  // namespace

void FrameQueue::push(Message&& m)
{
    std::deque<Message> dropped;  // let go outside the lock: it may release a shared frame
    std::lock_guard lock(mutex_);
    const int k = kind_index(m.header.type);
    ++counts_.received[k];
    if (!(kinds_ & kWantBits[k]) || closed_)
        return;
    bytes_ += bytes_of(m);
    if (auto old = frames_.push(std::move(m), k)) {
        ++counts_.dropped[k];
        bytes_ -= bytes_of(*old);
        dropped.push_back(std::move(*old));
    }
    while (bytes_ > byte_bound_ && frames_.size() > 1) {
        auto old = frames_.pop();
        ++counts_.dropped[kind_index(old->header.type)];
        bytes_ -= bytes_of(*old);
        dropped.push_back(std::move(*old));
    }
    arrived_.notify_all();
}

void FrameQueue::clear()
{
    std::deque<Message> old;
    std::lock_guard lock(mutex_);
    frames_.clear_into(old);
    bytes_ = 0;
}

void FrameQueue::close()
{
    std::deque<Message> old;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        frames_.clear_into(old);
        bytes_ = 0;
    }
    arrived_.notify_all();
}

void FrameQueue::flag_status()
{
    std::lock_guard lock(mutex_);
    status_pending_ = true;
    arrived_.notify_all();
}

void FrameQueue::discard_unwanted_locked(const bool wanted[3], std::deque<Message>& sink)
{
    const size_t before = sink.size();
    frames_.remove_kinds([wanted](size_t k) { return !wanted[k]; }, sink);
    for (size_t i = before; i < sink.size(); ++i)
        bytes_ -= bytes_of(sink[i]);
}

std::optional<FrameQueue::Next> FrameQueue::ready_locked(Message& out)
{
    if (closed_)
        return Next::none;
    if (status_pending_) {
        status_pending_ = false;
        return Next::status;
    }
    auto next = frames_.pop();
    if (!next)
        return std::nullopt;
    bytes_ -= bytes_of(*next);
    out = std::move(*next);
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

// The frames of a receiver waiting for capture, and the flag of a change of
// status that capture reports before them. Each kind is bounded on its own;
// beyond, the oldest of that kind is dropped and counted. All kinds together
// are also bounded in bytes, so that a source sending huge frames cannot
// fill a slow caller's memory: beyond, the oldest frames go first (the
// newest is always kept).
#ifndef QRV_FRAME_QUEUE_H
#define QRV_FRAME_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "base/bounded_queue.h"
#include "transport/message_io.h"

namespace qrv {

class FrameQueue final {
public:
    struct Bounds {
        size_t video = 4;
        size_t audio = 512;
        size_t metadata = 64;
        size_t bytes = size_t{256} << 20;  // in the receiver's own memory
    };
    struct Counts {
        uint64_t received[3] = {0, 0, 0};  // video, audio, metadata
        uint64_t dropped[3] = {0, 0, 0};
    };
    // What a wait ended with.
    enum class Next { frame, status, none };

    // kinds: wire::kWant* of the kinds kept; the others are counted as
    // received and let go (a source of the first version sends them all).
    FrameQueue(Bounds bounds, uint32_t kinds)
        : kinds_(kinds), byte_bound_(bounds.bytes), frames_({bounds.video, bounds.audio, bounds.metadata})
    {
    }

    void push(transport::Message&& message);
    // Frames of one source are not mixed with the next one's.
    void clear();
    // A change of status, reported by the next wait before any frame.
    void flag_status();
    // Ends every wait now and later with none and lets frames go: the
    // receiver is being destroyed.
    void close();

    // Waits until the deadline for a change of status or a frame of a kind
    // wanted (video, audio, metadata); frames of kinds not wanted are let
    // go. The frame is moved into out.
    Next wait(const bool wanted[3], std::chrono::steady_clock::time_point deadline, transport::Message& out);

    Counts counts() const;

private:
    void discard_unwanted_locked(const bool wanted[3], std::deque<transport::Message>& sink);
    std::optional<Next> ready_locked(transport::Message& out);

    const uint32_t kinds_;
    const size_t byte_bound_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    BoundedQueue<transport::Message, 3> frames_;  // video, audio, metadata
    size_t bytes_ = 0;  // of the frames queued
    bool status_pending_ = false;
    bool closed_ = false;
    Counts counts_;
};

}  // namespace qrv

#endif

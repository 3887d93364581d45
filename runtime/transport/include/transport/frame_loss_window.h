// How well a multicast group completes its frames: the outcome of each of
// the last frames (whole, or given up past the repair window) over the
// last seconds. A receiver falls back to its connection when the group
// loses more than one frame in a hundred. One thread.
#ifndef QRV_TRANSPORT_FRAME_LOSS_WINDOW_H
#define QRV_TRANSPORT_FRAME_LOSS_WINDOW_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace qrv::transport {

class FrameLossWindow {
public:
    using Clock = std::chrono::steady_clock;
    // The last `frames` frames, none older than `span`.
    explicit FrameLossWindow(size_t frames = 300, std::chrono::milliseconds span = std::chrono::seconds(5));

    // Frames that came whole and frames given up since the last call.
    void add(Clock::time_point now, uint64_t whole, uint64_t lost);

    struct Tally {
        uint64_t frames = 0;
        uint64_t lost = 0;
    };
    Tally tally(Clock::time_point now);
    // More than one in a hundred lost, of at least a hundred frames (fewer
    // say too little; a few frames after joining are no verdict).
    bool too_lossy(Clock::time_point now);

private:
    void forget_old(Clock::time_point now);

    struct Outcome {
        Clock::time_point at;
        bool lost = false;
    };
    const size_t most_;
    const std::chrono::milliseconds span_;
    std::deque<Outcome> outcomes_;
    uint64_t lost_ = 0;  // of outcomes_
};

}  // namespace qrv::transport

#endif

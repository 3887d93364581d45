// Paces sends on the monotonic clock. Each send occupies one slot (a video
// frame, or the duration of an audio frame's samples); the call returns at
// the end of its slot. Deadlines are computed from a fixed origin and an
// exact count of units, so they never drift; when the caller falls behind by
// more than the stall limit the clock restarts from now instead of bursting
// to catch up.
#ifndef QRV_PACING_CLOCK_H
#define QRV_PACING_CLOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qrv {

class PacingClock {
public:
    using clock = std::chrono::steady_clock;

    explicit PacingClock(std::chrono::nanoseconds stall_limit = std::chrono::milliseconds(100))
        : stall_limit_(stall_limit) {}

    // Books a slot of `units` at rate_num/rate_den units per second, starting
    // where the previous slot ended, and returns the end of the slot. A change
    // of rate starts a new timeline at `now`. Arguments that are not positive
    // or exceed 2^32 book nothing and return `now`.
    clock::time_point book(clock::time_point now, int64_t units, int64_t rate_num, int64_t rate_den);

    // Books a slot for a send that began at `entered` and sleeps until the
    // slot's end: the time the send itself took counts towards its slot.
    void pace(int64_t units, int64_t rate_num, int64_t rate_den, clock::time_point entered);
    void pace(int64_t units, int64_t rate_num, int64_t rate_den) { pace(units, rate_num, rate_den, clock::now()); }

    uint64_t resyncs() const { return resyncs_.load(); }

private:
    clock::time_point deadline() const;
    void restart(clock::time_point now);

    std::chrono::nanoseconds stall_limit_;
    bool started_ = false;
    clock::time_point origin_{};
    int64_t rate_num_ = 0;
    int64_t rate_den_ = 0;
    // Units booked since the origin. Whole multiples of rate_num_ are moved
    // into the origin as they accumulate (each is exactly rate_den_ seconds),
    // so the count stays below rate_num_ plus one slot and nothing is lost
    // to rounding however long the clock runs.
    int64_t units_ = 0;
    std::atomic<uint64_t> resyncs_{0};
};

// Sleeps until an absolute time of the monotonic clock.
void sleep_until(PacingClock::clock::time_point when);

}  // namespace qrv

#endif

#include "pacing_clock.h"

#include <cerrno>
#include <ctime>

namespace qrv {

PacingClock::clock::time_point PacingClock::deadline() const
{
    // units * den / num seconds, exactly, in nanoseconds.
    const __int128 ns = (__int128)units_ * rate_den_ * 1000000000 / rate_num_;
    return origin_ + std::chrono::nanoseconds((int64_t)ns);
}

PacingClock::clock::time_point PacingClock::book(clock::time_point now, int64_t units, int64_t rate_num,
                                                 int64_t rate_den)
{
    if (units <= 0 || rate_num <= 0 || rate_den <= 0)
        return now;
    if (!started_ || rate_num * rate_den_ != rate_den * rate_num_) {
        started_ = true;
        origin_ = now;
        rate_num_ = rate_num;
        rate_den_ = rate_den;
        units_ = 0;
    }
    // The slot starts where the previous one ended; if that is long past,
    // the caller stalled: start afresh from now.
    if (now - deadline() > stall_limit_) {
        origin_ = now;
        units_ = 0;
        ++resyncs_;
    }
    // Keep the unit count small by moving the origin forward now and then.
    if (units_ > (int64_t(1) << 40)) {
        origin_ = deadline();
        units_ = 0;
    }
    units_ += units;
    return deadline();
}

void PacingClock::pace(int64_t units, int64_t rate_num, int64_t rate_den)
{
    sleep_until(book(clock::now(), units, rate_num, rate_den));
}

void sleep_until(PacingClock::clock::time_point when)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    if (ns <= 0)
        return;
    timespec ts;
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    // steady_clock is CLOCK_MONOTONIC on Linux.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace qrv

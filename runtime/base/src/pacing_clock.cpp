#include "base/pacing_clock.h"

#include <cerrno>
#include <ctime>
#include <limits>

namespace qrv {

namespace {

constexpr __int128 kNanosPerSecond = 1000000000;
// Units and rates come from 32-bit fields; larger values are not booked, which
// keeps every product below in range.
constexpr int64_t kMaxArgument = int64_t(1) << 32;

std::chrono::nanoseconds saturated_nanos(__int128 ns)
{
    constexpr __int128 top = std::numeric_limits<int64_t>::max() / 2;
    return std::chrono::nanoseconds((int64_t)(ns > top ? top : ns));
}

}  // namespace

PacingClock::clock::time_point PacingClock::deadline() const
{
    // units * den / num seconds, in nanoseconds, rounded down. units_ stays
    // below rate_num_ plus one slot, so the offset is at most a few slots.
    const __int128 ns = (__int128)units_ * rate_den_ * kNanosPerSecond / rate_num_;
    return origin_ + saturated_nanos(ns);
}

void PacingClock::restart(clock::time_point now)
{
    origin_ = now;
    units_ = 0;
}

PacingClock::clock::time_point PacingClock::book(clock::time_point now, int64_t units, int64_t rate_num,
                                                 int64_t rate_den)
{
    if (units <= 0 || rate_num <= 0 || rate_den <= 0 || units > kMaxArgument || rate_num > kMaxArgument ||
        rate_den > kMaxArgument)
        return now;
    if (!started_ || (__int128)rate_num * rate_den_ != (__int128)rate_den * rate_num_) {
        started_ = true;
        rate_num_ = rate_num;
        rate_den_ = rate_den;
        restart(now);
    } else if (now - deadline() > stall_limit_) {
        // The slot would start where the previous one ended; that is long
        // past, so the caller stalled: start afresh from now.
        restart(now);
        ++resyncs_;
    }
    units_ += units;
    if (units_ >= rate_num_) {
        const int64_t whole = units_ / rate_num_;
        origin_ += saturated_nanos((__int128)whole * rate_den_ * kNanosPerSecond);
        units_ -= whole * rate_num_;
    }
    return deadline();
}

void PacingClock::pace(int64_t units, int64_t rate_num, int64_t rate_den, clock::time_point entered)
{
    sleep_until(book(entered, units, rate_num, rate_den));
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

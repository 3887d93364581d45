// PacingClock on synthetic time points: no sleeping, exact arithmetic.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "base/pacing_clock.h"

using qrv::PacingClock;
using namespace std::chrono_literals;
using TP = PacingClock::clock::time_point;
using ns = std::chrono::nanoseconds;

namespace {

const TP t0 = TP(1000s);

// Exact end of `units` at num/den units per second after the origin, rounded
// down to the nanosecond.
TP exact(TP origin, int64_t units, int64_t num, int64_t den)
{
    return origin + ns((int64_t)((__int128)units * den * 1000000000 / num));
}

}  // namespace

TEST(PacingClock, VideoDeadlinesStayExactOverTenMillionFrames)
{
    PacingClock clock;
    TP now = t0;
    for (int64_t n = 1; n <= 10'000'000; ++n) {
        const TP deadline = clock.book(now, 1, 30000, 1001);
        if (deadline != exact(t0, n, 30000, 1001)) {
            ADD_FAILURE() << "frame " << n << " off by " << (deadline - exact(t0, n, 30000, 1001)).count() << " ns";
            return;
        }
        now = deadline;  // a caller that returns exactly at each deadline
    }
    // 10^7 * 1001 / 30000 s = 333666.666666666... s
    EXPECT_EQ(now - t0, ns(333'666'666'666'666));
    EXPECT_EQ(clock.resyncs(), 0u);
}

TEST(PacingClock, AudioCadenceOfUnevenFramesIsExact)
{
    // 1602, 1601, 1602, 1601, 1602 samples: five frames of 30000/1001 video.
    const int64_t counts[5] = {1602, 1601, 1602, 1601, 1602};
    PacingClock clock;
    TP now = t0;
    int64_t samples = 0;
    for (int64_t i = 0; i < 1'000'000; ++i) {
        samples += counts[i % 5];
        now = clock.book(now, counts[i % 5], 48000, 1);
        ASSERT_EQ(now, exact(t0, samples, 48000, 1)) << "frame " << i;
        if (i % 30 == 29) {
            ASSERT_EQ((now - t0) % 1001ms, ns(0));  // 30 frames of 30000/1001 video: 1.001 s
        }
    }
}

TEST(PacingClock, LateCallersWithinTheStallLimitKeepTheSchedule)
{
    // A caller that sometimes returns late (but less than the stall limit)
    // gets the same absolute deadlines: no drift, the lateness is absorbed.
    PacingClock clock(100ms);
    TP now = t0;
    for (int64_t n = 1; n <= 3000; ++n) {
        const TP deadline = clock.book(now, 1, 25, 1);
        ASSERT_EQ(deadline, exact(t0, n, 25, 1));
        now = deadline + ((n % 7 == 0) ? 60ms : 0ms);
    }
    EXPECT_EQ(clock.resyncs(), 0u);
}

TEST(PacingClock, StallRestartsFromNowInsteadOfBursting)
{
    PacingClock clock(100ms);
    TP now = t0;
    for (int i = 0; i < 10; ++i)
        now = clock.book(now, 1, 30, 1);
    // The caller stalls for 2 s: the next slot begins at the call, not at the
    // end of the previous slot (which would let 60 frames out at once).
    const TP late = now + 2s;
    TP deadline = clock.book(late, 1, 30, 1);
    EXPECT_EQ(deadline, exact(late, 1, 30, 1));
    EXPECT_EQ(clock.resyncs(), 1u);
    for (int n = 2; n <= 100; ++n) {
        deadline = clock.book(deadline, 1, 30, 1);
        ASSERT_EQ(deadline, exact(late, n, 30, 1));
    }
    // Just at the limit: still on the old timeline.
    const TP edge = deadline + 100ms;
    EXPECT_EQ(clock.book(edge, 1, 30, 1), exact(late, 101, 30, 1));
    EXPECT_EQ(clock.resyncs(), 1u);
}

TEST(PacingClock, ChangeOfRateStartsANewTimeline)
{
    PacingClock clock;
    TP now = t0;
    for (int i = 0; i < 5; ++i)
        now = clock.book(now, 1, 30000, 1001);
    // 25 fps from here on: one 40 ms slot after the call.
    const TP switched = now + 5ms;
    now = clock.book(switched, 1, 25, 1);
    EXPECT_EQ(now, switched + 40ms);
    now = clock.book(now, 1, 25, 1);
    EXPECT_EQ(now, switched + 80ms);
    // The same rate written differently is no change.
    now = clock.book(now + 1ms, 1, 50, 2);
    EXPECT_EQ(now, switched + 120ms);
    EXPECT_EQ(clock.resyncs(), 0u);
}

TEST(PacingClock, MeaninglessArgumentsBookNothing)
{
    PacingClock clock;
    TP now = clock.book(t0, 1, 30, 1);
    EXPECT_EQ(now, t0 + ns(33'333'333));
    for (auto [units, num, den] : {std::tuple<int64_t, int64_t, int64_t>{0, 30, 1}, {-1, 30, 1}, {1, 0, 1},
                                   {1, 30, 0}, {1, -30, 1}, {int64_t(1) << 40, 30, 1}, {1, INT64_MAX, 1}}) {
        EXPECT_EQ(clock.book(now, units, num, den), now) << units << " " << num << "/" << den;
    }
    // The timeline is untouched.
    EXPECT_EQ(clock.book(now, 1, 30, 1), t0 + ns(66'666'666));
}

TEST(PacingClock, SlowRatesAndLargeAudioFramesStayInRange)
{
    // The slowest accepted video rate (one frame in 10 s) and the largest
    // audio frames at the highest rates, booked for a long time.
    PacingClock video;
    TP now = t0;
    for (int64_t n = 1; n <= 100000; ++n)
        now = video.book(now, 1, 1, 10);
    EXPECT_EQ(now - t0, std::chrono::duration_cast<ns>(1000000s));

    PacingClock audio;
    now = t0;
    for (int64_t n = 1; n <= 100000; ++n)
        now = audio.book(now, 1 << 20, 768000, 1);
    EXPECT_EQ(now, exact(t0, (int64_t)100000 << 20, 768000, 1));
}

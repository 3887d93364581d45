// Runs with the virtual clock preloaded: main re-executes the test with the
// shim in LD_PRELOAD. Sleeps must not take real time, and every clock
// reading must follow the virtual count.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "build_paths.h"

namespace {

using namespace std::chrono;

// Reads the kernel's monotonic clock directly, past the shim.
int64_t real_monotonic_ns()
{
    timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int64_t elapsed_ns()
{
    using fn = int64_t (*)();
    static const fn f = (fn)dlsym(RTLD_DEFAULT, "qrv_vclock_elapsed_ns");
    return f ? f() : -1;
}

TEST(VirtualClock, IsPreloaded)
{
    ASSERT_GE(elapsed_ns(), 0) << "the shim is not loaded (LD_PRELOAD)";
}

TEST(VirtualClock, StandardSleepsAdvanceClocksExactlyAndAtOnce)
{
    const int64_t real_start = real_monotonic_ns();
    const auto wall0 = system_clock::now();
    const auto mono0 = steady_clock::now();

    std::this_thread::sleep_for(hours(10));
    std::this_thread::sleep_for(nanoseconds(123456789));

    const int64_t expected = 36000LL * 1000000000 + 123456789;
    EXPECT_EQ(duration_cast<nanoseconds>(system_clock::now() - wall0).count(), expected);
    EXPECT_EQ(duration_cast<nanoseconds>(steady_clock::now() - mono0).count(), expected);
    // Ten virtual hours must pass in well under a real second.
    EXPECT_LT(real_monotonic_ns() - real_start, 1000000000LL);
}

TEST(VirtualClock, LegacySleepsAndReadersAgree)
{
    const time_t t0 = time(nullptr);
    timeval tv0{};
    gettimeofday(&tv0, nullptr);

    EXPECT_EQ(sleep(30), 0u);
    EXPECT_EQ(usleep(500000), 0);

    EXPECT_EQ(time(nullptr) - t0, 30);
    timeval tv1{};
    gettimeofday(&tv1, nullptr);
    const int64_t us = (tv1.tv_sec - tv0.tv_sec) * 1000000LL + (tv1.tv_usec - tv0.tv_usec);
    EXPECT_EQ(us, 30500000);
}

TEST(VirtualClock, ClockNanosleepRelativeAndAbsolute)
{
    timespec now{};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    timespec rel{2, 0};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, 0, &rel, nullptr), 0);

    // An absolute deadline 5 s after the first reading lands exactly there.
    timespec deadline{now.tv_sec + 5, now.tv_nsec};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr), 0);
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_EQ(after.tv_sec, deadline.tv_sec);
    EXPECT_EQ(after.tv_nsec, deadline.tv_nsec);

    // A deadline in the past does not move the clock back.
    timespec past{now.tv_sec, now.tv_nsec};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &past, nullptr), 0);
    timespec again{};
    clock_gettime(CLOCK_MONOTONIC, &again);
    EXPECT_EQ(again.tv_sec, after.tv_sec);
    EXPECT_EQ(again.tv_nsec, after.tv_nsec);
}

TEST(VirtualClock, RejectsMalformedRequests)
{
    timespec bad{0, 1000000000};
    errno = 0;
    EXPECT_EQ(nanosleep(&bad, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    timespec negative{-1, 0};
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, 0, &negative, nullptr), EINVAL);
}

TEST(VirtualClock, CpuClocksStayReal)
{
    timespec cpu{};
    EXPECT_EQ(clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu), 0);
    EXPECT_GT(cpu.tv_sec * 1000000000LL + cpu.tv_nsec, 0);
}

TEST(VirtualClock, ConcurrentSleepsAllCount)
{
    const int64_t start = elapsed_ns();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; i++)
                std::this_thread::sleep_for(milliseconds(1));
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(elapsed_ns() - start, 4000LL * 1000000);
}

// Speed-up mode: only the main thread's sleeps are shortened (here 20
// times); clocks and other threads stay real. Runs in a child started with
// the mode switched on.
TEST(VirtualClock, MainSpeedupShortensOnlyMainThreadSleeps)
{
    if (!getenv("QRV_VCLOCK_MAIN_SPEEDUP")) {
        const std::string self = "QRV_VCLOCK_MAIN_SPEEDUP=20 /proc/" + std::to_string(getpid()) +
                                 "/exe --gtest_filter=VirtualClock.MainSpeedup* >/dev/null";
        EXPECT_EQ(std::system(self.c_str()), 0) << "the speed-up mode failed; run " << self;
        return;
    }
    timespec wall{};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &wall);
    EXPECT_LT(std::abs(time(nullptr) - wall.tv_sec), 2) << "the wall clock must stay real";

    const int64_t real0 = real_monotonic_ns();
    const auto mono0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(2));
    EXPECT_EQ(sleep(1), 0u);
    const int64_t real_ns = real_monotonic_ns() - real0;
    const int64_t seen_ns = duration_cast<nanoseconds>(steady_clock::now() - mono0).count();
    EXPECT_GE(real_ns, 150000000);  // 3 s / 20
    EXPECT_LT(real_ns, 1000000000);
    EXPECT_LT(std::abs(seen_ns - real_ns), 20000000) << "readings must follow the kernel";

    const int64_t thread0 = real_monotonic_ns();
    std::thread([] { std::this_thread::sleep_for(milliseconds(200)); }).join();
    EXPECT_GE(real_monotonic_ns() - thread0, 200000000) << "other threads sleep in full";
}

}  // namespace

int main(int argc, char** argv)
{
    if (!getenv("QRV_VCLOCK_TEST_CHILD")) {
        setenv("QRV_VCLOCK_TEST_CHILD", "1", 1);
        setenv("LD_PRELOAD", qrv_test::vclock_path().c_str(), 1);
        // The sanitizer runtime must accept the shim preloaded ahead of it.
        std::string asan = "verify_asan_link_order=0";
        if (const char* a = getenv("ASAN_OPTIONS"); a && *a)
            asan = std::string(a) + ":" + asan;
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "re-exec failed: %s\n", std::strerror(errno));
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

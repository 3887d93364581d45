/* Virtual clock for tests, loaded with LD_PRELOAD.
 *
 * Every clock reading of the process comes from one virtual count of
 * nanoseconds, and every sleep advances that count at once instead of
 * blocking. The wall clock starts at a fixed instant, so runs are
 * reproducible; CPU-time clocks and clock ids this file does not know are
 * passed on to the kernel unchanged.
 *
 * With QRV_VCLOCK_MAIN_SPEEDUP=N (N > 1) the shim instead compresses only
 * the pacing of the program itself: sleeps of the process's main thread
 * really block for 1/N of their length, while every clock reading and the
 * sleeps of all other threads stay with the kernel. This suits programs
 * whose main loop waits long intervals while a library underneath talks to
 * real peers that check wall-clock time (signed DNS updates, leases).
 *
 * QRV_VCLOCK_REAL_SLEEP_MAX_MS, when set to a positive number, makes every
 * sleep also wait in real time for its own length or that many milliseconds,
 * whichever is shorter: a program that sleeps for long stretches between
 * steps then takes its steps at a pace that other processes, on real time,
 * can follow, while its own clock still jumps by the full length. */
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define VCLOCK_API __attribute__((visibility("default")))

enum { NS_PER_S = 1000000000 };

/* 2026-05-28 20:26:40 UTC: a fixed, plausible wall-clock start. */
static const int64_t realtime_base_ns = INT64_C(1780000000) * NS_PER_S;
static const int64_t monotonic_base_ns = INT64_C(1000) * NS_PER_S;

static _Atomic int64_t elapsed_ns;

/* 0: every clock is virtual; above 1: only main-thread sleeps are shortened
 * this many times and everything else is real. */
static int64_t main_speedup;

__attribute__((constructor)) static void read_mode(void)
{
    const char* text = getenv("QRV_VCLOCK_MAIN_SPEEDUP");
    if (text) {
        char* end = NULL;
        const long long n = strtoll(text, &end, 10);
        if (end != text && *end == '\0' && n > 1 && n <= 1000000)
            main_speedup = n;
    }
}

static int on_main_thread(void)
{
    return syscall(SYS_gettid) == getpid();
}

/* The real wait a sleep allows at most: -1 until read from the environment,
 * then 0 for none. */
static _Atomic int64_t real_sleep_max_ns = -1;

static int64_t real_sleep_cap(void)
{
    int64_t cap = atomic_load(&real_sleep_max_ns);
    if (cap < 0) {
        const char* text = getenv("QRV_VCLOCK_REAL_SLEEP_MAX_MS");
        const long ms = text ? strtol(text, NULL, 10) : 0;
        cap = ms > 0 && ms <= 60000 ? (int64_t)ms * 1000000 : 0;
        atomic_store(&real_sleep_max_ns, cap);
    }
    return cap;
}

/* Waits up to ns of real time, within the cap; the kernel's own sleep, not
 * the one this file replaces. */
static void real_wait(int64_t ns)
{
    const int64_t cap = real_sleep_cap();
    if (cap == 0 || ns <= 0)
        return;
    if (ns > cap)
        ns = cap;
    struct timespec t = {(time_t)(ns / NS_PER_S), (long)(ns % NS_PER_S)};
    while (syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &t, &t) != 0 && errno == EINTR) {
    }
}

/* Nanoseconds the virtual clock has advanced since the process started. */
VCLOCK_API int64_t qrv_vclock_elapsed_ns(void)
{
    return atomic_load(&elapsed_ns);
}

static void advance(int64_t ns)
{
    real_wait(ns);
    if (ns > 0)
        atomic_fetch_add(&elapsed_ns, ns);
    /* Give other threads the chance to see the new time, as a real sleep
     * would. */
    sched_yield();
}

/* Moves the clock forward to at least `target` (elapsed nanoseconds). */
static void advance_to(int64_t target)
{
    real_wait(target - atomic_load(&elapsed_ns));
    int64_t current = atomic_load(&elapsed_ns);
    while (current < target && !atomic_compare_exchange_weak(&elapsed_ns, &current, target)) {
    }
    sched_yield();
}

/* Base of a clock we virtualise, or -1 for clocks handed to the kernel. */
static int64_t clock_base(clockid_t clock)
{
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_REALTIME_ALARM:
    case CLOCK_TAI:
        return realtime_base_ns;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM:
        return monotonic_base_ns;
    default:
        return -1;
    }
}

/* The libc declarations mark these pointers as never null; callers can
 * still pass null, which must fail cleanly instead of crashing. */
__attribute__((noinline)) static int is_null(const void* p)
{
    return p == NULL;
}

static int valid_timespec(const struct timespec* ts)
{
    return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < NS_PER_S;
}

/* Saturates instead of overflowing for absurdly long sleeps. */
static int64_t to_ns(const struct timespec* ts)
{
    if (ts->tv_sec >= INT64_MAX / NS_PER_S - 1)
        return INT64_MAX / 2;
    return (int64_t)ts->tv_sec * NS_PER_S + ts->tv_nsec;
}

static struct timespec from_ns(int64_t ns)
{
    struct timespec ts;
    ts.tv_sec = (time_t)(ns / NS_PER_S);
    ts.tv_nsec = (long)(ns % NS_PER_S);
    return ts;
}

/* Speed-up mode, main thread: really sleeps 1/main_speedup of `ns` on the
 * kernel's monotonic clock. An interrupting signal ends the sleep early as a
 * real one would (-1, EINTR), with the time left given back unshortened. */
static int shortened_sleep(int64_t ns, struct timespec* remaining)
{
    advance(ns);
    struct timespec request = from_ns(ns / main_speedup);
    struct timespec left = {0, 0};
    const long rc = syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, 0, &request, &left);
    if (remaining)
        *remaining = from_ns(rc == 0 ? 0 : to_ns(&left) * main_speedup);
    return rc == 0 ? 0 : -1;
}

static int64_t kernel_now_ns(clockid_t clock)
{
    struct timespec ts = {0, 0};
    syscall(SYS_clock_gettime, clock, &ts);
    return to_ns(&ts);
}

VCLOCK_API int clock_gettime(clockid_t clock, struct timespec* ts)
{
    const int64_t base = clock_base(clock);
    if (base < 0 || main_speedup)
        return (int)syscall(SYS_clock_gettime, clock, ts);
    if (is_null(ts)) {
        errno = EFAULT;
        return -1;
    }
    const int64_t now = base + atomic_load(&elapsed_ns);
    ts->tv_sec = (time_t)(now / NS_PER_S);
    ts->tv_nsec = (long)(now % NS_PER_S);
    return 0;
}

VCLOCK_API int gettimeofday(struct timeval* restrict tv, void* restrict tz)
{
    (void)tz;
    if (!is_null(tv)) {
        const int64_t now =
            main_speedup ? kernel_now_ns(CLOCK_REALTIME) : realtime_base_ns + atomic_load(&elapsed_ns);
        tv->tv_sec = (time_t)(now / NS_PER_S);
        tv->tv_usec = (suseconds_t)((now % NS_PER_S) / 1000);
    }
    return 0;
}

VCLOCK_API time_t time(time_t* out)
{
    const int64_t ns = main_speedup ? kernel_now_ns(CLOCK_REALTIME) : realtime_base_ns + atomic_load(&elapsed_ns);
    const time_t now = (time_t)(ns / NS_PER_S);
    if (out)
        *out = now;
    return now;
}

VCLOCK_API int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    if (is_null(request)) {
        errno = EFAULT;
        return -1;
    }
    if (!valid_timespec(request)) {
        errno = EINVAL;
        return -1;
    }
    if (main_speedup) {
        if (!on_main_thread())
            return (int)syscall(SYS_nanosleep, request, remaining);
        return shortened_sleep(to_ns(request), remaining);
    }
    advance(to_ns(request));
    if (remaining) {
        remaining->tv_sec = 0;
        remaining->tv_nsec = 0;
    }
    return 0;
}

VCLOCK_API int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                               struct timespec* remaining)
{
    const int64_t base = clock_base(clock);
    if (base < 0 || (main_speedup && !on_main_thread())) {
        /* CPU-time clocks cannot be slept on (let the kernel say so), and in
         * speed-up mode other threads sleep for real. */
        const long rc = syscall(SYS_clock_nanosleep, clock, flags, request, remaining);
        return rc == 0 ? 0 : errno;
    }
    if (is_null(request))
        return EFAULT;
    if (!valid_timespec(request))
        return EINVAL;
    if (main_speedup) {
        int64_t ns = to_ns(request);
        if (flags & TIMER_ABSTIME) {
            ns -= kernel_now_ns(clock);
            if (ns <= 0)
                return 0;
        }
        const int rc = shortened_sleep(ns, (flags & TIMER_ABSTIME) ? NULL : remaining);
        return rc == 0 ? 0 : errno;
    }
    if (flags & TIMER_ABSTIME)
        advance_to(to_ns(request) - base);
    else
        advance(to_ns(request));
    if (remaining && !(flags & TIMER_ABSTIME)) {
        remaining->tv_sec = 0;
        remaining->tv_nsec = 0;
    }
    return 0;
}

VCLOCK_API unsigned int sleep(unsigned int seconds)
{
    if (main_speedup) {
        struct timespec left = {0, 0};
        const struct timespec request = {(time_t)seconds, 0};
        if (nanosleep(&request, &left) != 0)
            return (unsigned int)left.tv_sec + (left.tv_nsec > 0);
        return 0;
    }
    advance((int64_t)seconds * NS_PER_S);
    return 0;
}

VCLOCK_API int usleep(useconds_t microseconds)
{
    if (main_speedup) {
        const struct timespec request = from_ns((int64_t)microseconds * 1000);
        return nanosleep(&request, NULL);
    }
    advance((int64_t)microseconds * 1000);
    return 0;
}

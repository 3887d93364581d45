// The asynchronous video contract: the call returns without waiting for the
// copy; the previous buffer is free once the next call returns; a null frame
// waits until no buffer is in use. Buffers that the library must have let go
// of are made inaccessible, so that any late read crashes the test.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "qrv/qrv_runtime.h"
#include "guarded_buffer.h"

using namespace std::chrono_literals;
using qrv_test::GuardedBuffer;

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kStride = kWidth * 4;
constexpr size_t kBytes = (size_t)kStride * kHeight;

struct Library {
    Library() { EXPECT_TRUE(QRVlib_initialize()); }
    ~Library() { QRVlib_destroy(); }
};

QRVlib_send_instance_t make_sender(bool paced)
{
    QRVlib_send_create_t settings;
    settings.name = "Async";
    settings.pace_video = paced;
    settings.pace_audio = paced;
    return QRVlib_send_create(&settings);
}

QRVlib_video_frame_v2_t bgra(uint8_t* data)
{
    QRVlib_video_frame_v2_t f;
    f.width = kWidth;
    f.height = kHeight;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.line_stride = kStride;
    f.data = data;
    return f;
}

uint8_t newest_fill(QRVlib_send_instance_t sender)
{
    // The newest stored frame must be uniform (no torn copy): return its byte.
    QRVlib_video_frame_v2_t out;
    std::vector<uint8_t> pixels(kBytes);
    uint64_t needed = 0;
    EXPECT_TRUE(QRVlib_send_peek_video(sender, &out, pixels.data(), pixels.size(), &needed));
    for (size_t i = 1; i < pixels.size(); ++i)
        if (pixels[i] != pixels[0]) {
            ADD_FAILURE() << "stored frame mixes bytes " << (int)pixels[0] << " and " << (int)pixels[i];
            break;
        }
    return pixels[0];
}

}  // namespace

TEST(AsyncContract, PreviousBufferIsReleasedByTheNextCall)
{
    Library lib;
    QRVlib_send_instance_t sender = make_sender(false);
    ASSERT_NE(sender, nullptr);
    GuardedBuffer buffers[2] = {GuardedBuffer(kBytes, true), GuardedBuffer(kBytes, true)};
    QRVlib_video_frame_v2_t f = bgra(nullptr);
    for (int i = 0; i < 24; ++i) {
        GuardedBuffer& mine = buffers[i & 1];
        mine.unlock();
        std::memset(mine.data(), 10 + i, kBytes);
        f.data = mine.data();
        QRVlib_send_send_video_async_v2(sender, &f);
        // Frame i - 1 must be done with: its buffer goes away entirely.
        if (i > 0)
            buffers[(i - 1) & 1].lock();
        if (i > 0) {
            const int newest = newest_fill(sender);
            EXPECT_TRUE(newest == 10 + i - 1 || newest == 10 + i) << "after frame " << i << ": " << newest;
        }
    }
    QRVlib_send_send_video_async_v2(sender, nullptr);
    buffers[1].lock();  // the flush released the last one
    EXPECT_EQ(newest_fill(sender), 10 + 23);
    QRVlib_send_stats_t stats{};
    ASSERT_TRUE(QRVlib_send_get_stats(sender, &stats));
    EXPECT_EQ(stats.video_accepted, 24u);
    QRVlib_send_destroy(sender);
}

TEST(AsyncContract, RefusedFrameAndSynchronousSendAlsoReleaseTheBuffer)
{
    Library lib;
    QRVlib_send_instance_t sender = make_sender(false);
    GuardedBuffer a(kBytes, true), b(kBytes, true);
    std::memset(a.data(), 1, kBytes);
    std::memset(b.data(), 2, kBytes);
    QRVlib_video_frame_v2_t f = bgra(a.data());
    QRVlib_send_send_video_async_v2(sender, &f);
    QRVlib_video_frame_v2_t bad = bgra(b.data());
    bad.line_stride = 4;
    QRVlib_send_send_video_async_v2(sender, &bad);  // refused, but ends the loan of a
    a.lock();
    f.data = b.data();
    QRVlib_send_send_video_async_v2(sender, &f);
    QRVlib_video_frame_v2_t sync = bgra(a.data());
    a.unlock();
    std::memset(a.data(), 3, kBytes);
    QRVlib_send_send_video_v2(sender, &sync);  // a synchronous send waits for b's copy
    b.lock();
    a.lock();  // and is done with its own buffer on return
    EXPECT_EQ(newest_fill(sender), 3);
    QRVlib_send_destroy(sender);
}

TEST(AsyncContract, DestroyingTheSenderWaitsForTheCopy)
{
    Library lib;
    QRVlib_send_instance_t sender = make_sender(false);
    GuardedBuffer a(kBytes, true);
    std::memset(a.data(), 1, kBytes);
    QRVlib_video_frame_v2_t f = bgra(a.data());
    QRVlib_send_send_video_async_v2(sender, &f);
    QRVlib_send_destroy(sender);
    a.lock();
    QRVlib_send_send_video_async_v2(sender, &f);  // the handle is gone: nothing is read
}

// --- the call returns before the copy is done ---------------------------
//
// The lent buffer starts out inaccessible. The library's copy then faults;
// the handler below holds the faulting thread until the test lets it go,
// then makes the buffer readable and lets the copy resume. Meanwhile the
// test watches what the calls do.
namespace {

std::atomic<uint8_t*> g_pages{nullptr};
std::atomic<size_t> g_pages_bytes{0};
std::atomic<bool> g_faulted{false};
std::atomic<bool> g_release{false};
std::atomic<long> g_fault_thread{0};
struct sigaction g_previous;

void hold_fault(int sig, siginfo_t* info, void*)
{
    uint8_t* pages = g_pages.load();
    auto* addr = static_cast<uint8_t*>(info->si_addr);
    if (!pages || addr < pages || addr >= pages + g_pages_bytes.load()) {
        // Not ours: crash as usual.
        signal(sig, SIG_DFL);
        return;
    }
    g_fault_thread.store(syscall(SYS_gettid));
    g_faulted.store(true);
    // Held at most 10 s, so that a broken library fails instead of hanging.
    for (int i = 0; i < 10000 && !g_release.load(); ++i) {
        const timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    mprotect(pages, g_pages_bytes.load(), PROT_READ);
}

bool wait_for(const std::atomic<bool>& flag, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!flag.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    return flag.load();
}

class HeldCopy : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct sigaction sa{};
        sa.sa_sigaction = hold_fault;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        g_faulted = false;
        g_release = false;
        ASSERT_EQ(sigaction(SIGSEGV, &sa, &g_previous), 0);
        buffer_ = std::make_unique<GuardedBuffer>(kBytes, true);
        std::memset(buffer_->data(), 0x5A, kBytes);
        buffer_->lock();
        g_pages_bytes = buffer_->pages_bytes();
        g_pages = buffer_->pages();
    }
    void TearDown() override
    {
        g_release = true;
        g_pages = nullptr;
        sigaction(SIGSEGV, &g_previous, nullptr);
    }
    std::unique_ptr<GuardedBuffer> buffer_;
};

}  // namespace

TEST_F(HeldCopy, CallReturnsWhileTheCopyIsStillRunning)
{
    Library lib;
    QRVlib_send_instance_t sender = make_sender(false);
    QRVlib_video_frame_v2_t f = bgra(buffer_->data());
    QRVlib_send_send_video_async_v2(sender, &f);
    // Returned. The copy runs on a thread of the library and is held.
    ASSERT_TRUE(wait_for(g_faulted, 5s));
    EXPECT_NE(g_fault_thread.load(), syscall(SYS_gettid));
    QRVlib_send_stats_t stats{};
    ASSERT_TRUE(QRVlib_send_get_stats(sender, &stats));
    EXPECT_EQ(stats.video_accepted, 0u);

    // A flush must wait for the held copy, and so must the next frame.
    std::atomic<bool> flushed{false};
    std::thread flusher([&] {
        QRVlib_send_send_video_async_v2(sender, nullptr);
        flushed = true;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(flushed.load());
    g_release = true;
    flusher.join();
    EXPECT_TRUE(flushed.load());
    ASSERT_TRUE(QRVlib_send_get_stats(sender, &stats));
    EXPECT_EQ(stats.video_accepted, 1u);
    EXPECT_EQ(newest_fill(sender), 0x5A);
    QRVlib_send_destroy(sender);
}

TEST_F(HeldCopy, NextFrameWaitsForThePreviousCopy)
{
    Library lib;
    QRVlib_send_instance_t sender = make_sender(false);
    QRVlib_video_frame_v2_t f = bgra(buffer_->data());
    QRVlib_send_send_video_async_v2(sender, &f);
    ASSERT_TRUE(wait_for(g_faulted, 5s));

    GuardedBuffer other(kBytes, true);
    std::memset(other.data(), 0x11, kBytes);
    std::atomic<bool> returned{false};
    std::thread next([&] {
        QRVlib_video_frame_v2_t g = bgra(other.data());
        QRVlib_send_send_video_async_v2(sender, &g);
        returned = true;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(returned.load());
    g_release = true;
    next.join();
    // The first buffer is free now: take it away for good.
    g_pages = nullptr;
    buffer_->lock();
    QRVlib_send_send_video_async_v2(sender, nullptr);
    EXPECT_EQ(newest_fill(sender), 0x11);
    QRVlib_send_destroy(sender);
}

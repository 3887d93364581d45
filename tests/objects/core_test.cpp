// Parts of the runtime on their own: the registry, the worker thread and the
// sender's copies of audio.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <time.h>

#include "objects/async_worker.h"
#include "objects/registry.h"
#include "objects/sender.h"

using namespace std::chrono_literals;

namespace {

std::vector<float> floats(const qrv::StoredAudio& audio)
{
    std::vector<float> out(audio.sample_bytes.size() / sizeof(float));
    std::memcpy(out.data(), audio.sample_bytes.data(), out.size() * sizeof(float));
    return out;
}

}  // namespace

TEST(Registry, HandlesAreUniqueAcrossKindsAndNeverReused)
{
    qrv::Registry<int> ints;
    qrv::Registry<double> doubles;
    void* a = ints.add(std::make_shared<int>(1));
    void* b = doubles.add(std::make_shared<double>(2.0));
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(doubles.find(a), nullptr);
    EXPECT_EQ(ints.find(b), nullptr);
    EXPECT_EQ(*ints.find(a), 1);

    auto removed = ints.remove(a);
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(ints.remove(a), nullptr);
    EXPECT_EQ(ints.find(a), nullptr);
    for (int i = 0; i < 100; ++i)
        EXPECT_NE(ints.add(std::make_shared<int>(i)), a);
}

TEST(Registry, TakeAllHandsOutNewestFirst)
{
    qrv::Registry<int> ints;
    std::vector<void*> handles;
    for (int i = 0; i < 5; ++i)
        handles.push_back(ints.add(std::make_shared<int>(i)));
    ints.remove(handles[2]);
    const auto all = ints.all();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(*all.front(), 0);
    const auto taken = ints.take_all();
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(*taken[0], 4);
    EXPECT_EQ(*taken[1], 3);
    EXPECT_EQ(*taken[2], 1);
    EXPECT_EQ(*taken[3], 0);
    EXPECT_EQ(ints.size(), 0u);
    EXPECT_EQ(ints.find(handles[0]), nullptr);
}

TEST(AsyncWorker, SubmitWaitsForThePreviousJobOnly)
{
    qrv::AsyncWorker worker;
    std::atomic<bool> release{false}, first_done{false}, second_started{false};
    worker.submit([&] {
        while (!release)
            std::this_thread::sleep_for(1ms);
        first_done = true;
    });
    // The first submit returned although its job is held.
    std::atomic<bool> submitted{false};
    std::thread t([&] {
        worker.submit([&] { second_started = true; });
        submitted = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(submitted.load());
    release = true;
    t.join();
    EXPECT_TRUE(first_done.load());  // submit returned only after the first job ended
    worker.wait_idle();
    EXPECT_TRUE(second_started.load());
}

// A caller waiting for a long copy sleeps rather than polls: its polling
// would take a processor from the copy itself on a host of few processors.
TEST(AsyncWorker, ACallerWaitingForALongJobUsesLittleProcessorTime)
{
    const auto thread_cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    };
    qrv::AsyncWorker worker;
    const auto before = thread_cpu();
    for (int i = 0; i < 20; ++i)
        worker.submit([] { std::this_thread::sleep_for(5ms); });
    worker.wait_idle();
    // 21 waits of 5 ms each; polling through them all would cost over 40 ms.
    EXPECT_LT(thread_cpu() - before, 15ms);
}

TEST(AsyncWorker, AFailingJobDoesNotStopTheWorker)
{
    qrv::AsyncWorker worker;
    worker.submit([] { throw std::runtime_error("job failed"); });
    std::atomic<int> ran{0};
    worker.submit([&] { ++ran; });
    worker.wait_idle();
    EXPECT_EQ(ran.load(), 1);
}

// A caller that waits takes pieces of the running job beside the worker.
// Every piece runs exactly once; the finish runs once, after the last
// piece; and once wait_idle returns nothing of the job runs any more (the
// loan of a caller's buffer ends there). A piece that throws skips the
// finish without stopping the worker.
TEST(AsyncWorker, AWaitingCallerSharesThePiecesAndNothingRunsAfterTheWait)
{
    constexpr size_t kPieces = 48;
    qrv::AsyncWorker worker;
    const auto caller = std::this_thread::get_id();
    size_t by_caller = 0, by_worker = 0;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::atomic<int>> runs(kPieces);
        std::atomic<int> in_flight{0}, finishes{0};
        std::atomic<size_t> done{0}, mine{0};
        std::atomic<bool> finish_after_all{false};
        worker.submit(qrv::AsyncWorker::Job{
            kPieces,
            [&](size_t i) {
                ++in_flight;
                ++runs[i];
                if (std::this_thread::get_id() == caller)
                    ++mine;
                std::this_thread::sleep_for(100us);
                ++done;
                --in_flight;
            },
            [&] {
                finish_after_all = done.load() == kPieces && in_flight.load() == 0;
                ++finishes;
            }});
        worker.wait_idle();
        EXPECT_EQ(in_flight.load(), 0);
        EXPECT_EQ(finishes.load(), 1);
        EXPECT_TRUE(finish_after_all.load());
        for (size_t i = 0; i < kPieces; ++i)
            ASSERT_EQ(runs[i].load(), 1) << "piece " << i << " in round " << round;
        by_caller += mine;
        by_worker += kPieces - mine;
    }
    EXPECT_GT(by_caller, 0u);
    EXPECT_GT(by_worker, 0u);

    std::atomic<int> finishes{0};
    worker.submit(qrv::AsyncWorker::Job{
        4, [](size_t i) { if (i == 2) throw std::runtime_error("piece failed"); }, [&] { ++finishes; }});
    worker.submit([&] { ++finishes; });
    worker.wait_idle();
    EXPECT_EQ(finishes.load(), 1);
}

TEST(AsyncWorker, DestructionFinishesTheRunningJob)
{
    std::atomic<bool> done{false};
    {
        qrv::AsyncWorker worker;
        worker.submit([&] {
            std::this_thread::sleep_for(50ms);
            done = true;
        });
    }
    EXPECT_TRUE(done.load());
}

TEST(SenderStore, PlanarAudioIsCopiedPlaneByPlane)
{
    qrv::Sender sender(qrv::SenderSettings{"Store", "", false, false});
    // Three planes of 5 samples, 8 floats apart; the gaps hold garbage.
    std::vector<float> buf(8 * 2 + 5, -99.0f);
    for (int c = 0; c < 3; ++c)
        for (int s = 0; s < 5; ++s)
            buf[c * 8 + s] = (float)(c * 10 + s);
    QRVlib_audio_frame_v2_t a(48000, 3, 5);
    a.data = buf.data();
    a.channel_stride = 8 * 4;
    sender.send_audio(a);
    std::vector<float> stored;
    ASSERT_TRUE(sender.store().with_audio([&](const qrv::StoredAudio& s) { stored = floats(s); }));
    const std::vector<float> expected = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 20, 21, 22, 23, 24};
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(sender.stats().audio_accepted, 1u);
}

TEST(SenderStore, InterleavedAudioIsSplitIntoPlanes)
{
    qrv::Sender sender(qrv::SenderSettings{"Store", "", false, false});
    std::vector<int16_t> buf = {0, -32768, 16384, 32767, -16384, 1};
    QRVlib_audio_frame_interleaved_16s_t a(48000, 2, 3);
    a.data = buf.data();
    sender.send_audio(a);
    std::vector<float> stored;
    ASSERT_TRUE(sender.store().with_audio([&](const qrv::StoredAudio& s) { stored = floats(s); }));
    const std::vector<float> expected = {0.0f, 0.5f, -0.5f, -1.0f, 32767 / 32768.0f, 1 / 32768.0f};
    EXPECT_EQ(stored, expected);
}

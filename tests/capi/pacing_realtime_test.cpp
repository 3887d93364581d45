// Paced sends on the real clock, kept short (at most about a second each)
// and checked within a generous tolerance.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "qrv/qrv_runtime.h"
#include "guarded_buffer.h"

using qrv_test::seconds_since;

namespace {

class Paced : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QRVlib_initialize()); }
    void TearDown() override
    {
        if (sender_)
            QRVlib_send_destroy(sender_);
        QRVlib_destroy();
    }
    void make(bool pace_video, bool pace_audio)
    {
        QRVlib_send_create_t settings;
        settings.name = "Paced";
        settings.pace_video = pace_video;
        settings.pace_audio = pace_audio;
        sender_ = QRVlib_send_create(&settings);
        ASSERT_NE(sender_, nullptr);
    }
    QRVlib_send_instance_t sender_ = nullptr;
};

constexpr int kW = 320, kH = 180;

QRVlib_video_frame_v2_t frame(std::vector<uint8_t>& pixels)
{
    pixels.assign((size_t)kW * kH * 2, 0x80);
    QRVlib_video_frame_v2_t f;
    f.width = kW;
    f.height = kH;
    f.line_stride = kW * 2;
    f.data = pixels.data();
    return f;
}

}  // namespace

TEST_F(Paced, SynchronousVideoReturnsAtTheFrameRate)
{
    make(true, true);
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t f = frame(pixels);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i)
        QRVlib_send_send_video_v2(sender_, &f);
    EXPECT_NEAR(seconds_since(start), 30 * 1001 / 30000.0, 0.25);
}

TEST_F(Paced, AsynchronousVideoReturnsAtTheFrameRateOfItsRecord)
{
    make(true, false);
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t f = frame(pixels);
    f.frame_rate_num = 60;
    f.frame_rate_den = 1;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i)
        QRVlib_send_send_video_async_v2(sender_, &f);
    QRVlib_send_send_video_async_v2(sender_, nullptr);
    EXPECT_NEAR(seconds_since(start), 1.0, 0.25);
}

TEST_F(Paced, PlanarAudioReturnsAtThePaceOfItsSamples)
{
    make(false, true);
    std::vector<float> samples(4 * 1920, 0.0f);
    QRVlib_audio_frame_v2_t a;
    a.no_channels = 4;
    a.no_samples = 1920;
    a.channel_stride = 1920 * 4;
    a.data = samples.data();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)  // 40 ms each
        QRVlib_send_send_audio_v2(sender_, &a);
    EXPECT_NEAR(seconds_since(start), 0.8, 0.2);
}

TEST_F(Paced, InterleavedAudioReturnsAtThePaceOfItsSamples)
{
    make(false, true);
    std::vector<int16_t> samples(2 * 1920, 0);
    QRVlib_audio_frame_interleaved_16s_t a;
    a.no_samples = 1920;
    a.data = samples.data();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        QRVlib_util_send_send_audio_interleaved_16s(sender_, &a);
    EXPECT_NEAR(seconds_since(start), 0.8, 0.2);
}

TEST_F(Paced, VideoAndAudioKeepTheirOwnClocks)
{
    // As a video-and-audio sender does: audio of one frame, then the frame.
    // The two clocks run side by side; together they still take one frame
    // time per frame, not two.
    make(true, true);
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t f = frame(pixels);
    std::vector<float> samples(2 * 1602, 0.0f);
    QRVlib_audio_frame_v2_t a;
    a.channel_stride = 1602 * 4;
    a.data = samples.data();
    const int counts[5] = {1602, 1601, 1602, 1601, 1602};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        a.no_samples = counts[i % 5];
        QRVlib_send_send_audio_v2(sender_, &a);
        QRVlib_send_send_video_v2(sender_, &f);
    }
    EXPECT_NEAR(seconds_since(start), 1.001, 0.25);
}

TEST_F(Paced, UnpacedSendsAreNotHeldToAFrameRate)
{
    make(false, false);
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t f = frame(pixels);
    std::vector<float> samples(2 * 1920, 0.0f);
    QRVlib_audio_frame_v2_t a;
    a.no_samples = 1920;
    a.channel_stride = 1920 * 4;
    a.data = samples.data();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        QRVlib_send_send_video_async_v2(sender_, &f);
        QRVlib_send_send_video_v2(sender_, &f);
        QRVlib_send_send_audio_v2(sender_, &a);
    }
    QRVlib_send_send_video_async_v2(sender_, nullptr);
    // Paced, this would take 2 s of video and 1.2 s of audio.
    EXPECT_LT(seconds_since(start), 0.5);
    QRVlib_send_stats_t stats{};
    ASSERT_TRUE(QRVlib_send_get_stats(sender_, &stats));
    EXPECT_EQ(stats.video_accepted, 60u);
    EXPECT_EQ(stats.audio_accepted, 30u);
}

TEST_F(Paced, AStallIsFollowedByPacedFramesNotABurst)
{
    make(true, true);
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t f = frame(pixels);
    f.frame_rate_num = 50;
    f.frame_rate_den = 1;
    for (int i = 0; i < 3; ++i)
        QRVlib_send_send_video_v2(sender_, &f);
    struct timespec stall{0, 400000000};
    nanosleep(&stall, nullptr);  // 20 frame times without a send
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        QRVlib_send_send_video_v2(sender_, &f);
    // Catching up would return the first 20 at once; paced, 10 take 200 ms.
    EXPECT_NEAR(seconds_since(start), 0.2, 0.06);
    QRVlib_send_stats_t stats{};
    ASSERT_TRUE(QRVlib_send_get_stats(sender_, &stats));
    EXPECT_EQ(stats.pacing_resyncs, 1u);
}

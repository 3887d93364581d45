// Frames through the C operations: what is accepted is copied exactly, what
// is malformed is refused and counted, and nothing is read beyond what a
// record validly describes (buffers end at an inaccessible guard page).
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qrv/qrv_runtime.h"
#include "guarded_buffer.h"

using qrv_test::GuardedBuffer;

namespace {

class Frames : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QRVlib_initialize());
        QRVlib_send_create_t settings;
        settings.name = "Frames";
        settings.pace_video = false;
        settings.pace_audio = false;
        sender_ = QRVlib_send_create(&settings);
        ASSERT_NE(sender_, nullptr);
    }
    void TearDown() override
    {
        QRVlib_send_destroy(sender_);
        QRVlib_destroy();
    }

    QRVlib_send_stats_t stats() const
    {
        QRVlib_send_stats_t s{};
        EXPECT_TRUE(QRVlib_send_get_stats(sender_, &s));
        return s;
    }

    std::vector<uint8_t> peek(QRVlib_video_frame_v2_t& out) const
    {
        uint64_t needed = 0;
        QRVlib_send_peek_video(sender_, &out, nullptr, 0, &needed);
        std::vector<uint8_t> pixels(needed);
        EXPECT_TRUE(QRVlib_send_peek_video(sender_, &out, pixels.data(), pixels.size(), &needed));
        return pixels;
    }

    QRVlib_send_instance_t sender_ = nullptr;
};

QRVlib_video_frame_v2_t video(int w, int h, QRVlib_FourCC_type_e fourcc, int stride, uint8_t* data)
{
    QRVlib_video_frame_v2_t f;
    f.width = w;
    f.height = h;
    f.fourcc = fourcc;
    f.line_stride = stride;
    f.data = data;
    return f;
}

}  // namespace

TEST_F(Frames, CopyIsExactWithPaddedLines)
{
    // Lines of 64 UYVY pixels (128 bytes) 200 bytes apart; the padding holds
    // a different byte, and the last line ends right at the guard page.
    const int w = 64, h = 9, stride = 200, line = w * 2;
    GuardedBuffer buf((size_t)stride * (h - 1) + line);
    std::memset(buf.data(), 0xEE, buf.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < line; ++x)
            buf.data()[y * stride + x] = (uint8_t)(y * 31 + x);
    QRVlib_video_frame_v2_t f = video(w, h, QRVlib_FourCC_type_UYVY, stride, buf.data());
    f.frame_rate_num = 60000;
    f.timecode = 1234;
    f.timestamp = 99;
    QRVlib_send_send_video_v2(sender_, &f);

    QRVlib_video_frame_v2_t out;
    const auto pixels = peek(out);
    ASSERT_EQ(pixels.size(), (size_t)line * h);
    EXPECT_EQ(out.width, w);
    EXPECT_EQ(out.height, h);
    EXPECT_EQ(out.line_stride, line);
    EXPECT_EQ(out.frame_rate_num, 60000);
    EXPECT_EQ(out.timecode, 1234);
    EXPECT_EQ(out.timestamp, 99);
    for (int y = 0; y < h; ++y)
        ASSERT_EQ(std::memcmp(pixels.data() + y * line, buf.data() + y * stride, line), 0) << "line " << y;
    EXPECT_EQ(stats().video_accepted, 1u);
    EXPECT_EQ(stats().refused, 0u);
}

TEST_F(Frames, PeekReportsTheNewestFrameAndRefusesSmallBuffers)
{
    QRVlib_video_frame_v2_t out;
    uint64_t needed = 7;
    EXPECT_FALSE(QRVlib_send_peek_video(sender_, &out, nullptr, 0, &needed));  // nothing sent yet

    GuardedBuffer a(16 * 4 * 4), b(16 * 4 * 4);
    std::memset(a.data(), 1, a.size());
    std::memset(b.data(), 2, b.size());
    QRVlib_video_frame_v2_t f = video(16, 4, QRVlib_FourCC_type_BGRA, 64, a.data());
    QRVlib_send_send_video_v2(sender_, &f);
    f.data = b.data();
    QRVlib_send_send_video_async_v2(sender_, &f);
    QRVlib_send_send_video_async_v2(sender_, nullptr);

    std::vector<uint8_t> small(255);
    EXPECT_FALSE(QRVlib_send_peek_video(sender_, &out, small.data(), small.size(), &needed));
    EXPECT_EQ(needed, 256u);
    const auto pixels = peek(out);
    EXPECT_EQ(pixels, std::vector<uint8_t>(256, 2));
    EXPECT_EQ((uint32_t)out.fourcc, (uint32_t)QRVlib_FourCC_type_BGRA);
    EXPECT_FALSE(QRVlib_send_peek_video(sender_, nullptr, nullptr, 0, &needed));
}

TEST_F(Frames, MalformedVideoIsRefusedAndCounted)
{
    // Every record below describes more than (or something other than) the
    // 64 x 8 BGRA picture that the buffer holds; none may be read.
    const int w = 64, h = 8, line = w * 4;
    GuardedBuffer buf((size_t)line * h);
    std::memset(buf.data(), 7, buf.size());
    auto good = [&] { return video(w, h, QRVlib_FourCC_type_BGRA, line, buf.data()); };
    std::vector<std::function<void(QRVlib_video_frame_v2_t&)>> faults = {
        [](auto& f) { f.data = nullptr; },
        [](auto& f) { f.width = 0; },
        [](auto& f) { f.height = 0; },
        [](auto& f) { f.width = -64; },
        [](auto& f) { f.height = -1; },
        [](auto& f) { f.line_stride = 0; },
        [](auto& f) { f.line_stride = -256; },
        [&](auto& f) { f.line_stride = line - 4; },          // shorter than a line
        [](auto& f) { f.fourcc = (QRVlib_FourCC_type_e)0x32315659; },  // unknown code
        [](auto& f) { f.fourcc = (QRVlib_FourCC_type_e)0; },
        [](auto& f) { f.fourcc = QRVlib_FourCC_type_UYVY, f.width = 63, f.line_stride = 126; },  // odd 4:2:2
        [](auto& f) { f.width = INT_MAX, f.line_stride = INT_MAX; },  // width * 4 overflows 32 bits
        [](auto& f) { f.height = INT_MAX; },
        [](auto& f) { f.width = 16384, f.height = 16384, f.line_stride = 65536 * 2; },  // over the size cap
        [](auto& f) { f.height = 16384, f.line_stride = INT_MAX; },                      // stride x height
        [](auto& f) { f.frame_rate_num = 0; },
        [](auto& f) { f.frame_rate_den = 0; },
        [](auto& f) { f.frame_rate_num = -30000; },
        [](auto& f) { f.frame_rate_den = -1001; },
        [](auto& f) { f.frame_rate_num = 1, f.frame_rate_den = 1000000; },  // a frame every 11 days
        [](auto& f) { f.frame_rate_num = INT_MAX, f.frame_rate_den = 1; },
    };
    uint64_t expected = 0;
    std::set<std::string> reasons;  // each refusal says why, as the last error
    for (size_t i = 0; i < faults.size(); ++i) {
        QRVlib_video_frame_v2_t f = good();
        faults[i](f);
        QRVlib_send_send_video_v2(sender_, &f);
        const std::string why = QRVlib_get_last_error();
        EXPECT_EQ(why.rfind("the video frame was refused: ", 0), 0u) << "fault " << i << ": " << why;
        reasons.insert(why);
        QRVlib_send_send_video_async_v2(sender_, &f);
        EXPECT_EQ(QRVlib_get_last_error(), why) << "fault " << i;
        expected += 2;
        ASSERT_EQ(stats().refused, expected) << "fault " << i;
        ASSERT_EQ(stats().video_accepted, 0u) << "fault " << i;
    }
    QRVlib_send_send_video_v2(sender_, nullptr);  // a null synchronous frame only flushes
    EXPECT_EQ(stats().refused, expected);
    EXPECT_GE(reasons.size(), 8u);
    EXPECT_TRUE(reasons.count("the video frame was refused: UYVY needs an even width"));

    // The record as it should be is accepted: the buffer was big enough.
    QRVlib_video_frame_v2_t f = good();
    QRVlib_send_send_video_v2(sender_, &f);
    EXPECT_EQ(stats().video_accepted, 1u);
    // Slowest and fastest rates that are still accepted.
    f.frame_rate_num = 1, f.frame_rate_den = 10;
    QRVlib_send_send_video_v2(sender_, &f);
    f.frame_rate_num = 1000, f.frame_rate_den = 1;
    QRVlib_send_send_video_v2(sender_, &f);
    EXPECT_EQ(stats().video_accepted, 3u);
    EXPECT_EQ(stats().refused, expected);
}

TEST_F(Frames, PlanarAudioIsReadOnlyWithinItsPlanes)
{
    // Four planes of 480 samples, 2000 bytes apart; the last plane ends at
    // the guard page.
    const int channels = 4, samples = 480, stride = 2000;
    GuardedBuffer buf((size_t)stride * (channels - 1) + samples * 4);
    std::memset(buf.data(), 0, buf.size());
    QRVlib_audio_frame_v2_t a;
    a.no_channels = channels;
    a.no_samples = samples;
    a.channel_stride = stride;
    a.data = reinterpret_cast<float*>(buf.data());
    QRVlib_send_send_audio_v2(sender_, &a);
    EXPECT_EQ(stats().audio_accepted, 1u);

    std::vector<std::function<void(QRVlib_audio_frame_v2_t&)>> faults = {
        [](auto& f) { f.data = nullptr; },
        [](auto& f) { f.no_channels = 0; },
        [](auto& f) { f.no_channels = -2; },
        [](auto& f) { f.no_channels = 65; },  // over the channel cap
        [](auto& f) { f.no_samples = 0; },
        [](auto& f) { f.no_samples = -480; },
        [](auto& f) { f.channel_stride = 480 * 4 - 4; },  // shorter than a plane
        [](auto& f) { f.channel_stride = 0; },
        [](auto& f) { f.channel_stride = -2000; },
        [](auto& f) { f.sample_rate = 0; },
        [](auto& f) { f.sample_rate = -48000; },
        [](auto& f) { f.sample_rate = 1; },  // 480 s of audio per frame
        [](auto& f) { f.sample_rate = INT_MAX; },
        [](auto& f) { f.no_samples = INT_MAX, f.channel_stride = INT_MAX; },
        [](auto& f) { f.no_channels = INT_MAX; },
        [](auto& f) { f.no_samples = 48000 * 11, f.channel_stride = 48000 * 44; },  // 11 s in one frame
    };
    uint64_t expected = 0;
    for (size_t i = 0; i < faults.size(); ++i) {
        QRVlib_audio_frame_v2_t f = a;
        faults[i](f);
        QRVlib_send_send_audio_v2(sender_, &f);
        ++expected;
        ASSERT_EQ(stats().refused, expected) << "fault " << i;
    }
    EXPECT_EQ(stats().audio_accepted, 1u);
}

TEST_F(Frames, InterleavedAudioIsReadOnlyWithinItsSamples)
{
    const int channels = 2, samples = 1920;
    GuardedBuffer buf((size_t)channels * samples * 2);
    std::memset(buf.data(), 0, buf.size());
    QRVlib_audio_frame_interleaved_16s_t a;
    a.no_channels = channels;
    a.no_samples = samples;
    a.data = reinterpret_cast<int16_t*>(buf.data());
    QRVlib_util_send_send_audio_interleaved_16s(sender_, &a);
    EXPECT_EQ(stats().audio_accepted, 1u);

    std::vector<std::function<void(QRVlib_audio_frame_interleaved_16s_t&)>> faults = {
        [](auto& f) { f.data = nullptr; },
        [](auto& f) { f.no_channels = 0; },
        [](auto& f) { f.no_channels = -1; },
        [](auto& f) { f.no_samples = 0; },
        [](auto& f) { f.no_samples = INT_MIN; },
        [](auto& f) { f.sample_rate = 0; },
        [](auto& f) { f.sample_rate = 4000; },
        [](auto& f) { f.sample_rate = 10000000; },
        [](auto& f) { f.no_channels = INT_MAX, f.no_samples = INT_MAX; },  // the product overflows
        [](auto& f) { f.data = reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(f.data) + 1); },  // misaligned
    };
    for (size_t i = 0; i < faults.size(); ++i) {
        QRVlib_audio_frame_interleaved_16s_t f = a;
        faults[i](f);
        QRVlib_util_send_send_audio_interleaved_16s(sender_, &f);
        ASSERT_EQ(stats().refused, i + 1) << "fault " << i;
    }
    QRVlib_send_send_audio_v2(sender_, nullptr);
    QRVlib_util_send_send_audio_interleaved_16s(sender_, nullptr);
    EXPECT_EQ(stats().audio_accepted, 1u);
    EXPECT_EQ(stats().refused, faults.size());
}

// A caller that keeps every frame it captured gets an error once 256 are
// held; the frame that capture took off the queue is lost, and counted as
// dropped, with a reason in the last error. Freeing one lets frames through.
TEST_F(Frames, ACaptureBeyondTheHeldFramesIsCountedAsDroppedAndSaysWhy)
{
    char locator[256];
    ASSERT_GT(QRVlib_send_get_locator(sender_, locator, sizeof locator), 0u);
    // Converted at capture: each held frame is a buffer of the receiver's,
    // none of them a hold on the sender's memory.
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("Frames", locator), QRVlib_recv_color_format_BGRX_BGRA);
    QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&rs);
    ASSERT_NE(receiver, nullptr);
    ASSERT_GT(QRVlib_send_get_no_connections(sender_, 5000), 0);

    std::vector<uint8_t> pixels(16 * 2 * 2, 0x80);
    const QRVlib_video_frame_v2_t f = video(16, 2, QRVlib_FourCC_type_UYVY, 32, pixels.data());
    auto received = [&] {
        QRVlib_recv_stats_t s{};
        QRVlib_recv_get_stats(receiver, &s);
        return s;
    };
    // Sends one frame and captures what comes, after any change of status.
    auto send_and_capture = [&](QRVlib_video_frame_v2_t* out) {
        const uint64_t before = received().video_received;
        QRVlib_send_send_video_v2(sender_, &f);
        for (int i = 0; i < 500 && received().video_received == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        int32_t kind;
        while ((kind = QRVlib_recv_capture_v2(receiver, out, nullptr, nullptr, 5000)) ==
               QRVlib_frame_type_status_change) {
        }
        return kind;
    };
    std::vector<QRVlib_video_frame_v2_t> held(256);
    for (auto& h : held)
        ASSERT_EQ(send_and_capture(&h), QRVlib_frame_type_video);
    const uint64_t dropped = received().video_dropped;

    QRVlib_video_frame_v2_t extra;
    EXPECT_EQ(send_and_capture(&extra), QRVlib_frame_type_error);
    EXPECT_NE(std::string(QRVlib_get_last_error()).find("not freed"), std::string::npos) << QRVlib_get_last_error();
    EXPECT_EQ(received().video_dropped, dropped + 1) << "the lost frame counts as dropped";

    QRVlib_recv_free_video_v2(receiver, &held[0]);
    EXPECT_EQ(send_and_capture(&extra), QRVlib_frame_type_video);
    QRVlib_recv_free_video_v2(receiver, &extra);
    for (size_t i = 1; i < held.size(); ++i)
        QRVlib_recv_free_video_v2(receiver, &held[i]);
    EXPECT_EQ(received().video_dropped, dropped + 1);
    QRVlib_recv_destroy(receiver);
}

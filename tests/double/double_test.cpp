// The recording double itself: it reads only the bytes a record describes,
// refuses malformed records, and follows its script.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qrvlib.h"
#include "summary.h"

namespace {

std::string log_path()
{
    static const std::string path = "/tmp/qrv-double-test-" + std::to_string(getpid()) + ".log";
    return path;
}

// The double reads its script once, at its first call: set it up before
// main runs.
const bool script_ready = [] {
    unlink(log_path().c_str());
    setenv("QRV_DOUBLE_LOG", log_path().c_str(), 1);
    setenv("QRV_DOUBLE_SOURCES", "A (1)|B (2)=qrv://10.1.1.1:1;;C (3)", 1);
    setenv("QRV_DOUBLE_WAITS", "1,0@0", 1);
    setenv("QRV_DOUBLE_CAPTURES", "100,2@0", 1);
    setenv("QRV_DOUBLE_NULL_CREATE", "routing_create", 1);
    atexit([] { unlink(log_path().c_str()); });
    return true;
}();

std::string last_line()
{
    std::ifstream in(log_path());
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

bool has(const std::string& line, const std::string& part)
{
    return line.find(part) != std::string::npos;
}

QRVlib_send_instance_t unpaced_sender()
{
    QRVlib_send_create_t settings("test", nullptr, false, false);
    return QRVlib_send_create(&settings);
}

TEST(Double, VideoSummaryReadsExactlyTheDescribedLines)
{
    ASSERT_TRUE(script_ready);
    QRVlib_send_instance_t s = unpaced_sender();
    ASSERT_NE(s, nullptr);
    // 3 lines of 64 bytes in an allocation of exactly that size.
    std::vector<uint8_t> pixels(3 * 64, 7);
    QRVlib_video_frame_v2_t frame(16, 3, QRVlib_FourCC_type_BGRA);
    frame.data = pixels.data();
    frame.line_stride = 64;
    QRVlib_send_send_video_v2(s, &frame);
    EXPECT_TRUE(has(last_line(), "fourcc=BGRA")) << last_line();
    EXPECT_TRUE(has(last_line(), "bytes=192 uniform=7")) << last_line();

    pixels[100] = 9;
    QRVlib_send_send_video_async_v2(s, &frame);
    EXPECT_TRUE(has(last_line(), "bytes=192 " + qrv_double::summarize(pixels.data(), pixels.size())))
        << last_line();

    for (int i = 0; i < 192; i += 2)
        pixels[i] = 0x80, pixels[i + 1] = 0x10;
    QRVlib_send_send_video_async_v2(s, &frame);
    EXPECT_TRUE(has(last_line(), "pattern=8010")) << last_line();

    QRVlib_send_send_video_async_v2(s, nullptr);
    EXPECT_TRUE(has(last_line(), "frame=null live=1/1")) << last_line();
    QRVlib_send_destroy(s);
}

TEST(Double, MalformedRecordsAreNotRead)
{
    QRVlib_send_instance_t s = unpaced_sender();
    uint8_t byte = 0;
    QRVlib_video_frame_v2_t frame(1920, 1080);
    frame.data = &byte;
    for (int32_t stride : {-3840, 0}) {
        frame.line_stride = stride;
        QRVlib_send_send_video_v2(s, &frame);
        EXPECT_TRUE(has(last_line(), "bytes=invalid")) << last_line();
    }
    frame.line_stride = 0x7fffffff;
    frame.height = 0x7fffffff;
    QRVlib_send_send_video_v2(s, &frame);
    EXPECT_TRUE(has(last_line(), "bytes=invalid")) << last_line();

    QRVlib_audio_frame_v2_t audio(48000, 2, 100);
    QRVlib_send_send_audio_v2(s, &audio);  // no data
    EXPECT_TRUE(has(last_line(), "data=null")) << last_line();
    EXPECT_TRUE(has(last_line(), "bytes=invalid")) << last_line();
    float sample = 0;
    audio.data = &sample;
    audio.channel_stride = -400;
    QRVlib_send_send_audio_v2(s, &audio);
    EXPECT_TRUE(has(last_line(), "bytes=invalid")) << last_line();

    QRVlib_audio_frame_interleaved_16s_t pcm(48000, -2, 1920);
    int16_t value = 0;
    pcm.data = &value;
    QRVlib_util_send_send_audio_interleaved_16s(s, &pcm);
    EXPECT_TRUE(has(last_line(), "bytes=invalid")) << last_line();
    QRVlib_send_destroy(s);
}

TEST(Double, PlanarAudioSkipsTheGapsBetweenPlanes)
{
    QRVlib_send_instance_t s = unpaced_sender();
    // Two planes of 10 samples, 16 samples apart; the gap holds other bytes
    // and the allocation ends with the last described sample.
    std::vector<float> buffer(16 + 10, 0.0f);
    for (int i = 10; i < 16; i++)
        buffer[i] = 1.0f;
    QRVlib_audio_frame_v2_t audio(48000, 2, 10, QRVlib_send_timecode_synthesize, buffer.data(), 16 * 4);
    QRVlib_send_send_audio_v2(s, &audio);
    EXPECT_TRUE(has(last_line(), "channel_stride=64 metadata=null timestamp=0 bytes=80 uniform=0")) << last_line();
    QRVlib_send_destroy(s);
    EXPECT_TRUE(has(last_line(), "sender=S")) << last_line();
}

TEST(Double, HandlesAreCheckedAndDestroyedOnesReported)
{
    QRVlib_send_instance_t s = unpaced_sender();
    QRVlib_send_destroy(s);
    QRVlib_send_destroy(s);
    EXPECT_TRUE(has(last_line(), "(destroyed)")) << last_line();
    int not_a_handle = 0;
    QRVlib_send_destroy(reinterpret_cast<QRVlib_send_instance_t>(&not_a_handle));
    EXPECT_TRUE(has(last_line(), "sender=unknown")) << last_line();
    QRVlib_routing_create_t routing("Routing");
    EXPECT_EQ(QRVlib_routing_create(&routing), nullptr);
    EXPECT_TRUE(has(last_line(), "-> null")) << last_line();
}

TEST(Double, FinderFollowsTheScriptedListsAndWaits)
{
    QRVlib_find_instance_t f = QRVlib_find_create_v2(nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(QRVlib_find_wait_for_sources(f, 1000));
    EXPECT_FALSE(QRVlib_find_wait_for_sources(f, 1000));

    uint32_t count = 99;
    const QRVlib_source_t* list = QRVlib_find_get_current_sources(f, &count);
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(list[0].name, "A (1)");
    EXPECT_STREQ(list[1].name, "B (2)");
    EXPECT_STREQ(list[1].locator, "qrv://10.1.1.1:1");
    EXPECT_EQ(QRVlib_find_get_current_sources(f, &count), nullptr);
    EXPECT_EQ(count, 0u);
    for (int i = 0; i < 2; i++) {  // the last list repeats
        list = QRVlib_find_get_current_sources(f, &count);
        ASSERT_EQ(count, 1u);
        EXPECT_STREQ(list[0].name, "C (3)");
    }
    EXPECT_EQ(QRVlib_find_get_current_sources(f, nullptr), nullptr);

    QRVlib_recv_create_v3_t settings(list[0]);
    QRVlib_recv_instance_t r = QRVlib_recv_create_v3(&settings);
    QRVlib_find_destroy(f);
    EXPECT_EQ(QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 0), 100);
    EXPECT_EQ(QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 0), 2);
    EXPECT_FALSE(QRVlib_recv_ptz_is_supported(r));
    QRVlib_recv_destroy(r);
}

TEST(Double, LoadEntryFillsTheUsedSlots)
{
    const QRVlib_operation_table* t = QRVlib_v3_load();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->initialize, &QRVlib_initialize);
    EXPECT_EQ(t->destroy, &QRVlib_destroy);
    EXPECT_EQ(t->send_create, &QRVlib_send_create);
    EXPECT_EQ(t->send_destroy, &QRVlib_send_destroy);
    EXPECT_EQ(t->send_send_video_v2, &QRVlib_send_send_video_v2);
    EXPECT_EQ(t->routing_clear, &QRVlib_routing_clear);
}

}  // namespace

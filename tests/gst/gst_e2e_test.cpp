// The GStreamer elements against the real runtime and the real programs.
// run_in_netns.sh runs this binary inside a network namespace of its own,
// so that the sources of other tests stay out of sight; pipelines run both
// in this process and in gst-launch-1.0 children.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/audio/audio.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "build_paths.h"
#include "child_process.h"
#include "qrv/qrv_runtime.h"

using namespace std::chrono_literals;
using qrv_test::Child;

namespace {

const std::string kBin = qrv_test::bin_dir();
const std::string kPluginDir = qrv_test::build_dir() + "/gst";
using Clock = std::chrono::steady_clock;

bool have_gst_tools()
{
    return std::system("command -v gst-launch-1.0 >/dev/null 2>&1") == 0;
}

#define REQUIRE_GST_TOOLS()                                                                 \
    do {                                                                                    \
        if (!have_gst_tools())                                                              \
            GTEST_SKIP() << "gst-launch-1.0 is not installed (Debian: gstreamer1.0-tools)"; \
    } while (0)

std::vector<std::string> gst_tool(const std::string& tool, std::vector<std::string> args)
{
    std::vector<std::string> v = {"/usr/bin/env", tool};
    v.insert(v.end(), args.begin(), args.end());
    return v;
}

std::map<std::string, std::string> gst_env()
{
    return {{"GST_PLUGIN_PATH", kPluginDir}};
}

// A pipeline in this process, set to NULL and freed with the object.
class Pipeline {
public:
    explicit Pipeline(const std::string& description)
    {
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error) {
            ADD_FAILURE() << "cannot build \"" << description << "\": " << error->message;
            g_error_free(error);
        }
    }
    ~Pipeline()
    {
        if (pipeline_) {
            gst_element_set_state(pipeline_, GST_STATE_NULL);
            gst_object_unref(pipeline_);
        }
    }
    GstElement* get() const { return pipeline_; }
    GstAppSink* appsink(const char* name) const
    {
        GstElement* e = gst_bin_get_by_name(GST_BIN(pipeline_), name);
        gst_object_unref(e);  // the pipeline keeps it
        return GST_APP_SINK(e);
    }
    bool play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }
    // The first error on the bus within the timeout, or "".
    std::string error_within(std::chrono::milliseconds timeout)
    {
        GstBus* bus = gst_element_get_bus(pipeline_);
        GstMessage* m = gst_bus_timed_pop_filtered(bus, timeout.count() * GST_MSECOND, GST_MESSAGE_ERROR);
        std::string text;
        if (m) {
            GError* error = nullptr;
            gst_message_parse_error(m, &error, nullptr);
            text = error ? error->message : "(no text)";
            if (error)
                g_error_free(error);
            gst_message_unref(m);
        }
        gst_object_unref(bus);
        return text;
    }

private:
    GstElement* pipeline_ = nullptr;
};

struct Pulled {
    GstSample* sample = nullptr;
    ~Pulled()
    {
        if (sample)
            gst_sample_unref(sample);
    }
    GstBuffer* buffer() const { return gst_sample_get_buffer(sample); }
    GstStructure* caps() const { return gst_caps_get_structure(gst_sample_get_caps(sample), 0); }
};

std::unique_ptr<Pulled> pull(GstAppSink* sink, std::chrono::milliseconds timeout)
{
    auto p = std::make_unique<Pulled>();
    p->sample = gst_app_sink_try_pull_sample(sink, timeout.count() * GST_MSECOND);
    return p->sample ? std::move(p) : nullptr;
}

int caps_int(GstStructure* s, const char* field)
{
    int v = -1;
    gst_structure_get_int(s, field, &v);
    return v;
}

std::string unique_name(const std::string& what)
{
    return what + " " + std::to_string(getpid());
}

// The first byte of a buffer.
int first_byte(GstBuffer* buffer)
{
    guint8 b = 0;
    return gst_buffer_extract(buffer, 0, &b, 1) == 1 ? b : -1;
}

// A receiver of this process for a source, destroyed with the object.
class RuntimeReceiver {
public:
    RuntimeReceiver(const std::string& full_or_short, std::chrono::milliseconds timeout)
    {
        if (!QRVlib_initialize())
            return;
        started_ = true;
        QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
        const auto end = Clock::now() + timeout;
        while (!receiver_ && Clock::now() < end) {
            uint32_t n = 0;
            const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &n);
            for (uint32_t i = 0; i < n && !receiver_; ++i) {
                const std::string name = sources[i].name ? sources[i].name : "";
                if (name.size() > full_or_short.size() + 2 &&
                    name.compare(name.size() - full_or_short.size() - 1, full_or_short.size(), full_or_short) == 0) {
                    QRVlib_recv_create_v3_t settings;
                    settings.source = sources[i];
                    settings.color_format = QRVlib_recv_color_format_fastest;
                    settings.receiver_name = "gst test";
                    receiver_ = QRVlib_recv_create_v3(&settings);
                }
            }
            if (!receiver_)
                QRVlib_find_wait_for_sources(finder, 100);
        }
        QRVlib_find_destroy(finder);
    }
    ~RuntimeReceiver()
    {
        if (receiver_)
            QRVlib_recv_destroy(receiver_);
        if (started_)
            QRVlib_destroy();
    }
    QRVlib_recv_instance_t get() const { return receiver_; }

private:
    bool started_ = false;
    QRVlib_recv_instance_t receiver_ = nullptr;
};

// The same test pattern rendered here: one UYVY frame.
std::vector<uint8_t> reference_frame(const std::string& pattern, int width, int height)
{
    Pipeline p("videotestsrc num-buffers=1 pattern=" + pattern + " ! video/x-raw,format=UYVY,width=" +
               std::to_string(width) + ",height=" + std::to_string(height) + " ! appsink name=out");
    std::vector<uint8_t> out;
    if (!p.play())
        return out;
    auto s = pull(p.appsink("out"), 5000ms);
    if (!s)
        return out;
    GstMapInfo map;
    gst_buffer_map(s->buffer(), &map, GST_MAP_READ);
    out.assign(map.data, map.data + map.size);
    gst_buffer_unmap(s->buffer(), &map);
    return out;
}

// The arguments of gst-launch-1.0 for live videotestsrc (320x240 UYVY at 25
// frames per second) and audiotestsrc into one qrvsink publishing name.
std::vector<std::string> test_sources_into_qrvsink(const std::string& name, const std::string& pattern,
                                                   int samples_per_buffer, const std::string& audio_caps)
{
    return gst_tool("gst-launch-1.0",
                    {"videotestsrc", "pattern=" + pattern, "is-live=true", "!",
                     "video/x-raw,format=UYVY,width=320,height=240,framerate=25/1", "!", "qrvsink", "name=s",
                     "source-name=" + name, "audiotestsrc", "is-live=true",
                     "samplesperbuffer=" + std::to_string(samples_per_buffer), "!", audio_caps, "!", "s."});
}

TEST(GstPlugin, InspectListsTheFeaturesAndTheirProperties)
{
    REQUIRE_GST_TOOLS();
    Child plugin(gst_tool("gst-inspect-1.0", {"qrv"}), gst_env());
    ASSERT_EQ(plugin.wait_exit(20s), 0) << plugin.output();
    for (const char* feature : {"qrvsink", "qrvsrc", "qrvdeviceprovider"})
        EXPECT_NE(plugin.output().find(feature), std::string::npos) << feature << "\n" << plugin.output();
    EXPECT_EQ(plugin.output().find("CRITICAL"), std::string::npos) << plugin.output();

    Child sink(gst_tool("gst-inspect-1.0", {"qrvsink"}), gst_env());
    ASSERT_EQ(sink.wait_exit(20s), 0) << sink.output();
    for (const char* property : {"source-name", "groups", "sync", "SINK template: 'video'", "SINK template: 'audio'"})
        EXPECT_NE(sink.output().find(property), std::string::npos) << property;

    Child src(gst_tool("gst-inspect-1.0", {"qrvsrc"}), gst_env());
    ASSERT_EQ(src.wait_exit(20s), 0) << src.output();
    for (const char* property : {"source-name", "timeout", "color-format", "bandwidth", "audio-only",
                                 "tally-program", "SRC template: 'video'", "SRC template: 'audio'"})
        EXPECT_NE(src.output().find(property), std::string::npos) << property;
}

// Every property of both elements reads back what was set, each its own
// (the defaults first); texts that read as unset when empty do so.
TEST(GstPlugin, PropertiesReadBackWhatWasSet)
{
    GstElement* sink = gst_element_factory_make("qrvsink", nullptr);
    GstElement* src = gst_element_factory_make("qrvsrc", nullptr);
    ASSERT_NE(sink, nullptr);
    ASSERT_NE(src, nullptr);
    auto text = [](GstElement* e, const char* property) {
        gchar* v = nullptr;
        g_object_get(e, property, &v, nullptr);
        std::string out = v ? v : "(null)";
        g_free(v);
        return out;
    };
    auto flag = [](GstElement* e, const char* property) {
        gboolean v = FALSE;
        g_object_get(e, property, &v, nullptr);
        return v != FALSE;
    };
    auto number = [](GstElement* e, const char* property) {
        gint v = -1;  // enums and unsigned numbers alike fit
        g_object_get(e, property, &v, nullptr);
        return v;
    };
    EXPECT_EQ(text(sink, "source-name"), "GStreamer");
    EXPECT_EQ(text(sink, "groups"), "(null)");
    EXPECT_TRUE(flag(sink, "sync"));
    EXPECT_FALSE(flag(sink, "wait-for-connection"));
    g_object_set(sink, "source-name", "Studio", "groups", "news,sport", "sync", FALSE, "wait-for-connection", TRUE,
                 nullptr);
    EXPECT_EQ(text(sink, "source-name"), "Studio");
    EXPECT_EQ(text(sink, "groups"), "news,sport");
    EXPECT_FALSE(flag(sink, "sync"));
    EXPECT_TRUE(flag(sink, "wait-for-connection"));
    g_object_set(sink, "groups", "", nullptr);
    EXPECT_EQ(text(sink, "groups"), "(null)");

    EXPECT_EQ(text(src, "source-name"), "(null)");
    EXPECT_EQ(number(src, "timeout"), 10000);
    EXPECT_EQ(number(src, "color-format"), (int)QRVlib_recv_color_format_UYVY_BGRA);
    EXPECT_EQ(number(src, "bandwidth"), (int)QRVlib_recv_bandwidth_highest);
    EXPECT_EQ(text(src, "receiver-name"), "GStreamer");
    g_object_set(src, "source-name", "HOST (Camera)", "timeout", 2500u, "receiver-name", "Wall", nullptr);
    gst_util_set_object_arg(G_OBJECT(src), "color-format", "fastest");
    gst_util_set_object_arg(G_OBJECT(src), "bandwidth", "lowest");
    g_object_set(src, "tally-preview", TRUE, nullptr);
    EXPECT_EQ(text(src, "source-name"), "HOST (Camera)");
    EXPECT_EQ(number(src, "timeout"), 2500);
    EXPECT_EQ(number(src, "color-format"), (int)QRVlib_recv_color_format_fastest);
    EXPECT_EQ(number(src, "bandwidth"), (int)QRVlib_recv_bandwidth_lowest);
    EXPECT_EQ(text(src, "receiver-name"), "Wall");
    EXPECT_FALSE(flag(src, "tally-program"));
    EXPECT_TRUE(flag(src, "tally-preview"));
    gst_object_unref(sink);
    gst_object_unref(src);
}

// videotestsrc in a gst-launch child, our runtime's receiver here: the
// frames carry the pattern exactly as rendered here, at the pipeline's
// rate, and the audio arrives with them.
TEST(GstSink, TestPatternArrivesIntactAtThePipelineRate)
{
    REQUIRE_GST_TOOLS();
    const std::string name = unique_name("Pattern");
    Child sender(test_sources_into_qrvsink(name, "smpte100", 960,
                                           "audio/x-raw,format=F32LE,layout=non-interleaved,rate=48000,channels=2"),
                 gst_env());
    RuntimeReceiver receiver(name, 10s);
    ASSERT_NE(receiver.get(), nullptr) << sender.output();
    const auto reference = reference_frame("smpte100", 320, 240);
    ASSERT_EQ(reference.size(), 320u * 240u * 2u);

    int frames = 0, audio_frames = 0, intact = 0;
    Clock::time_point first{}, last{};
    const auto end = Clock::now() + 8s;
    while (Clock::now() < end && frames < 60) {
        QRVlib_video_frame_v2_t video;
        QRVlib_audio_frame_v2_t audio;
        const int32_t code = QRVlib_recv_capture_v2(receiver.get(), &video, &audio, nullptr, 200);
        if (code == QRVlib_frame_type_video) {
            last = Clock::now();
            if (frames++ == 0)
                first = last;
            EXPECT_EQ(video.fourcc, QRVlib_FourCC_type_UYVY);
            EXPECT_EQ(video.frame_rate_num * 1, 25 * video.frame_rate_den);
            if (video.width == 320 && video.height == 240 && video.line_stride == 640 &&
                std::memcmp(video.data, reference.data(), reference.size()) == 0)
                ++intact;
            else if (frames == 1) {
                size_t i = 0;
                while (i < reference.size() && video.data[i] == reference[i])
                    ++i;
                ADD_FAILURE() << "first frame differs at byte " << i;
            }
            QRVlib_recv_free_video_v2(receiver.get(), &video);
        } else if (code == QRVlib_frame_type_audio) {
            EXPECT_EQ(audio.sample_rate, 48000);
            EXPECT_EQ(audio.no_channels, 2);
            ++audio_frames;
            QRVlib_recv_free_audio_v2(receiver.get(), &audio);
        }
    }
    ASSERT_GE(frames, 40);
    EXPECT_EQ(intact, frames);
    EXPECT_GT(audio_frames, 40);
    const double seconds = std::chrono::duration<double>(last - first).count();
    const double rate = (frames - 1) / seconds;
    EXPECT_NEAR(rate, 25.0, 2.5);
    sender.signal(SIGINT);
}

// videotestsrc and audiotestsrc (16-bit) into one qrvsink, our runtime's
// receiver here: every frame, video and audio alike, carries its buffer's
// timestamp, and stands the same distance from its timecode (when the
// pipeline clock made it due); the 16-bit samples arrive as they were sent.
TEST(GstSink, TestSourcesKeepVideoAndAudioTimesInStep)
{
    REQUIRE_GST_TOOLS();
    const std::string name = unique_name("In Step");
    Child sender(test_sources_into_qrvsink(name, "smpte", 1920,
                                           "audio/x-raw,format=S16LE,layout=interleaved,rate=48000,channels=2"),
                 gst_env());
    RuntimeReceiver receiver(name, 10s);
    ASSERT_NE(receiver.get(), nullptr) << sender.output();
    // Timecode minus timestamp, both in 100 ns units.
    std::vector<int64_t> video_gaps, audio_gaps;
    float peak = 0;
    bool whole_16_bit = true;
    const auto end = Clock::now() + 10s;
    while (Clock::now() < end && (video_gaps.size() < 50 || audio_gaps.size() < 50)) {
        QRVlib_video_frame_v2_t video;
        QRVlib_audio_frame_v2_t audio;
        const int32_t code = QRVlib_recv_capture_v2(receiver.get(), &video, &audio, nullptr, 200);
        if (code == QRVlib_frame_type_video) {
            EXPECT_NE(video.timestamp, QRVlib_recv_timestamp_undefined);
            video_gaps.push_back(video.timecode - video.timestamp);
            QRVlib_recv_free_video_v2(receiver.get(), &video);
        } else if (code == QRVlib_frame_type_audio) {
            EXPECT_EQ(audio.sample_rate, 48000);
            EXPECT_EQ(audio.no_channels, 2);
            EXPECT_NE(audio.timestamp, QRVlib_recv_timestamp_undefined);
            audio_gaps.push_back(audio.timecode - audio.timestamp);
            for (int c = 0; c < audio.no_channels; ++c) {
                const float* plane = reinterpret_cast<const float*>(
                    reinterpret_cast<const uint8_t*>(audio.data) + (size_t)c * audio.channel_stride);
                for (int i = 0; i < audio.no_samples; ++i) {
                    peak = std::max(peak, std::abs(plane[i]));
                    whole_16_bit &= plane[i] * 32768.0f == std::round(plane[i] * 32768.0f);
                }
            }
            QRVlib_recv_free_audio_v2(receiver.get(), &audio);
        }
    }
    ASSERT_GE(video_gaps.size(), 50u);
    ASSERT_GE(audio_gaps.size(), 50u);
    std::vector<int64_t> sorted = video_gaps;
    std::sort(sorted.begin(), sorted.end());
    const int64_t gap = sorted[sorted.size() / 2];
    // Within 5 ms: far less than a frame (40 ms) or an audio buffer.
    int off = 0;
    for (const auto& gaps : {video_gaps, audio_gaps})
        for (int64_t g : gaps)
            off += std::llabs(g - gap) > 50000;
    EXPECT_EQ(off, 0) << "typical gap " << gap << ", first audio gap " << audio_gaps.front();
    // audiotestsrc's sine at its default volume of 0.8.
    EXPECT_NEAR(peak, 0.8f, 0.01f);
    EXPECT_TRUE(whole_16_bit);
    sender.signal(SIGINT);
}

// strobe_pump into an appsink here: its caps, alternating frames, and
// timestamps one frame apart in running time.
TEST(GstSrc, ReceivesStrobePumpWithItsCapsAndTiming)
{
    Child pump({kBin + "/strobe_pump"});
    Pipeline p("qrvsrc name=src source-name=\"My Video\" ! appsink name=out sync=false max-buffers=4");
    ASSERT_TRUE(p.play());
    std::vector<GstClockTime> pts;
    std::vector<int> bytes;
    for (int i = 0; i < 12; ++i) {
        auto s = pull(p.appsink("out"), 10000ms);
        ASSERT_TRUE(s) << "no frame; " << p.error_within(0ms);
        GstStructure* caps = s->caps();
        EXPECT_STREQ(gst_structure_get_string(caps, "format"), "BGRA");
        EXPECT_EQ(caps_int(caps, "width"), 1920);
        EXPECT_EQ(caps_int(caps, "height"), 1080);
        int num = 0, den = 0;
        gst_structure_get_fraction(caps, "framerate", &num, &den);
        EXPECT_EQ(num, 30000);
        EXPECT_EQ(den, 1001);
        EXPECT_EQ(gst_buffer_get_size(s->buffer()), 1920u * 1080u * 4u);
        pts.push_back(GST_BUFFER_PTS(s->buffer()));
        bytes.push_back(first_byte(s->buffer()));
    }
    for (size_t i = 1; i < pts.size(); ++i) {
        ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(pts[i]));
        EXPECT_GT(pts[i], pts[i - 1]);
        EXPECT_TRUE(bytes[i] == 0 || bytes[i] == 255) << bytes[i];
    }
    // A live source with at least one frame of latency.
    GstElement* src = gst_bin_get_by_name(GST_BIN(p.get()), "src");
    GstPad* pad = gst_element_get_static_pad(src, "video");
    GstQuery* q = gst_query_new_latency();
    EXPECT_TRUE(gst_pad_query(pad, q));
    gst_object_unref(pad);
    gst_object_unref(src);
    gboolean live = FALSE;
    GstClockTime min = 0, max = 0;
    gst_query_parse_latency(q, &live, &min, &max);
    gst_query_unref(q);
    EXPECT_TRUE(live);
    EXPECT_GE(min, 30 * GST_MSECOND);
}

// flash_beep's video and audio through both pads: the audio's caps, and
// the first loud audio within a frame of the first white picture.
TEST(GstSrc, VideoAndAudioOfFlashBeepStayInSync)
{
    Child beep({kBin + "/flash_beep"});
    Pipeline p("qrvsrc name=s source-name=\"My Video and Audio\" color-format=bgrx-bgra "
               "s.video ! appsink name=v sync=false max-buffers=200 "
               "s.audio ! appsink name=a sync=false max-buffers=400");
    ASSERT_TRUE(p.play());
    GstClockTime flash = GST_CLOCK_TIME_NONE, click = GST_CLOCK_TIME_NONE;
    const auto end = Clock::now() + 12s;
    bool seen_dark = false, heard_silence = false;
    while (Clock::now() < end && (!GST_CLOCK_TIME_IS_VALID(flash) || !GST_CLOCK_TIME_IS_VALID(click))) {
        if (!GST_CLOCK_TIME_IS_VALID(flash))
            if (auto s = pull(p.appsink("v"), 10ms)) {
                const bool white = first_byte(s->buffer()) > 128;
                seen_dark |= !white;
                if (white && seen_dark)
                    flash = GST_BUFFER_PTS(s->buffer());
            }
        if (!GST_CLOCK_TIME_IS_VALID(click))
            if (auto s = pull(p.appsink("a"), 10ms)) {
                EXPECT_EQ(caps_int(s->caps(), "rate"), 48000);
                EXPECT_EQ(caps_int(s->caps(), "channels"), 2);
                EXPECT_STREQ(gst_structure_get_string(s->caps(), "layout"), "non-interleaved");
                GstMapInfo map;
                gst_buffer_map(s->buffer(), &map, GST_MAP_READ);
                float peak = 0;
                for (size_t i = 0; i < map.size / 4; ++i)
                    peak = std::max(peak, std::abs(reinterpret_cast<const float*>(map.data)[i]));
                gst_buffer_unmap(s->buffer(), &map);
                heard_silence |= peak < 0.01f;
                if (peak > 0.1f && heard_silence)
                    click = GST_BUFFER_PTS(s->buffer());
            }
    }
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(flash)) << p.error_within(0ms);
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(click));
    const double offset_ms = ((double)click - (double)flash) / 1e6;
    EXPECT_LT(std::abs(offset_ms), 34.0) << "audio at " << click << ", video at " << flash;
}

// Video and audio pushed with matching timestamps, the picture white and
// the sound loud from the same moment: the runtime's receiver sees the
// flash and the click with timecodes less than a frame apart.
TEST(GstSink, AudioAndVideoCarryTheirTimeTogether)
{
    const std::string name = unique_name("Flash");
    Pipeline send("appsrc name=v is-live=true format=time "
                  "caps=video/x-raw,format=BGRA,width=64,height=48,framerate=30/1 ! qrvsink name=s source-name=\"" +
                  name + "\" appsrc name=a is-live=true format=time "
                  "caps=audio/x-raw,format=F32LE,layout=non-interleaved,rate=48000,channels=2 ! s.audio");
    ASSERT_TRUE(send.play());
    RuntimeReceiver receiver(name, 10s);
    ASSERT_NE(receiver.get(), nullptr);
    GstElement* v = gst_bin_get_by_name(GST_BIN(send.get()), "v");
    GstElement* a = gst_bin_get_by_name(GST_BIN(send.get()), "a");
    std::thread pusher([&] {
        GstClock* clock = gst_system_clock_obtain();
        const GstClockTime base = gst_element_get_base_time(send.get());
        const GstClockTime start = gst_clock_get_time(clock) - base + 100 * GST_MSECOND;
        const GstClockTime frame = GST_SECOND / 30;
        for (int i = 0; i < 60; ++i) {
            const bool flash = i >= 30;  // dark for a second, then white and loud
            GstBuffer* picture = gst_buffer_new_allocate(nullptr, 64 * 48 * 4, nullptr);
            gst_buffer_memset(picture, 0, flash ? 255 : 0, 64 * 48 * 4);
            GstBuffer* sound = gst_buffer_new_allocate(nullptr, 1600 * 2 * 4, nullptr);
            GstMapInfo map;
            gst_buffer_map(sound, &map, GST_MAP_WRITE);
            for (size_t k = 0; k < 1600 * 2; ++k)
                reinterpret_cast<float*>(map.data)[k] = flash ? (k % 2 ? 0.5f : -0.5f) : 0.0f;
            gst_buffer_unmap(sound, &map);
            GST_BUFFER_PTS(picture) = GST_BUFFER_PTS(sound) = start + i * frame;
            GST_BUFFER_DURATION(picture) = GST_BUFFER_DURATION(sound) = frame;
            // Audio goes ahead by a few frames, as a real source's would.
            GstClockID id = gst_clock_new_single_shot_id(clock, base + start + i * frame - 100 * GST_MSECOND);
            gst_clock_id_wait(id, nullptr);
            gst_clock_id_unref(id);
            gst_app_src_push_buffer(GST_APP_SRC(a), sound);
            gst_app_src_push_buffer(GST_APP_SRC(v), picture);
        }
        gst_object_unref(clock);
    });
    int64_t flash_tc = -1, click_tc = -1;
    const auto end = Clock::now() + 8s;
    while (Clock::now() < end && (flash_tc < 0 || click_tc < 0)) {
        QRVlib_video_frame_v2_t video;
        QRVlib_audio_frame_v2_t audio;
        const int32_t code = QRVlib_recv_capture_v2(receiver.get(), &video, &audio, nullptr, 100);
        if (code == QRVlib_frame_type_video) {
            if (flash_tc < 0 && video.data[0] == 255)
                flash_tc = video.timecode;
            QRVlib_recv_free_video_v2(receiver.get(), &video);
        } else if (code == QRVlib_frame_type_audio) {
            if (click_tc < 0 && audio.no_samples > 0 && std::abs(audio.data[0]) > 0.25f)
                click_tc = audio.timecode;
            QRVlib_recv_free_audio_v2(receiver.get(), &audio);
        }
    }
    pusher.join();
    gst_object_unref(v);
    gst_object_unref(a);
    ASSERT_GE(flash_tc, 0);
    ASSERT_GE(click_tc, 0) << send.error_within(0ms);
    // Timecodes are in 100 ns units; a frame is 333333 of them.
    EXPECT_LT(std::llabs(click_tc - flash_tc), 333333) << "click " << click_tc << ", flash " << flash_tc;
}

// A name the runtime refuses: the state change fails with its reason. A
// frame size the runtime would refuse frame by frame (1 GiB of BGRA) is an
// error at negotiation, not a stream of frames that never arrive.
TEST(GstSink, RefusedNameOrFrameSizeIsAClearError)
{
    Pipeline p("videotestsrc ! qrvsink source-name=" + std::string(250, 'x'));
    EXPECT_EQ(gst_element_set_state(p.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    const std::string error = p.error_within(1000ms);
    EXPECT_NE(error.find("cannot publish the source"), std::string::npos) << error;
    EXPECT_NE(error.find("199 bytes"), std::string::npos) << error;

    Pipeline huge("appsrc name=in format=time caps=video/x-raw,format=BGRA,width=16384,height=16384,framerate=30/1 "
                  "! qrvsink source-name=\"" + unique_name("Huge") + "\"");
    ASSERT_TRUE(huge.play());
    GstElement* in = gst_bin_get_by_name(GST_BIN(huge.get()), "in");
    gst_app_src_push_buffer(GST_APP_SRC(in), gst_buffer_new_allocate(nullptr, 16, nullptr));
    gst_object_unref(in);
    const std::string refused = huge.error_within(3000ms);
    EXPECT_NE(refused.find("16384x16384 frame takes 1024 MiB"), std::string::npos) << refused;
}

// A size change mid-stream: qrvsink follows its caps, and qrvsrc in the
// same process renegotiates without an error; its tally reaches qrvsink.
TEST(GstSink, CapsChangeMidStreamIsFollowedAndRenegotiated)
{
    const std::string name = unique_name("Resized");
    Pipeline send("appsrc name=in is-live=true format=time do-timestamp=true ! qrvsink source-name=\"" + name + "\"");
    Pipeline recv("qrvsrc source-name=\"" + name + "\" tally-program=true ! appsink name=out sync=false max-buffers=100");
    GstElement* in = gst_bin_get_by_name(GST_BIN(send.get()), "in");
    auto push_frames = [&](int width, int height, int count) {
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT, width,
                                            "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, 30, 1,
                                            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(in, "caps", caps, nullptr);
        gst_caps_unref(caps);
        for (int i = 0; i < count; ++i) {
            GstBuffer* b = gst_buffer_new_allocate(nullptr, (gsize)width * height * 4, nullptr);
            gst_buffer_memset(b, 0, (guint8)(width & 0xff), (gsize)width * height * 4);
            gst_app_src_push_buffer(GST_APP_SRC(in), b);
            std::this_thread::sleep_for(33ms);
        }
    };
    ASSERT_TRUE(send.play());
    ASSERT_TRUE(recv.play());
    std::thread pusher([&] {
        push_frames(64, 48, 45);
        push_frames(128, 96, 45);
    });
    std::vector<std::pair<int, int>> sizes;
    const auto end = Clock::now() + 10s;
    while (Clock::now() < end && (sizes.empty() || sizes.back().first != 128)) {
        auto s = pull(recv.appsink("out"), 200ms);
        if (!s)
            continue;
        const std::pair<int, int> size{caps_int(s->caps(), "width"), caps_int(s->caps(), "height")};
        EXPECT_EQ(gst_buffer_get_size(s->buffer()), (gsize)size.first * size.second * 4);
        EXPECT_EQ(first_byte(s->buffer()), size.first);
        if (sizes.empty() || sizes.back() != size)
            sizes.push_back(size);
    }
    pusher.join();
    gst_object_unref(in);
    const std::vector<std::pair<int, int>> expected = {{64, 48}, {128, 96}};
    EXPECT_EQ(sizes, expected);
    // The receiver's tally came back to the sending pipeline as a message.
    GstBus* bus = gst_element_get_bus(send.get());
    bool on_program = false;
    while (GstMessage* m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT)) {
        gboolean program = FALSE;
        if (gst_structure_has_name(gst_message_get_structure(m), "qrv-tally") &&
            gst_structure_get_boolean(gst_message_get_structure(m), "on-program", &program))
            on_program |= program;
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    EXPECT_TRUE(on_program);
    EXPECT_EQ(recv.error_within(0ms), "");
    EXPECT_EQ(send.error_within(0ms), "");
}

// A GstVideoMeta whose lines run past the memory of their buffer (pixels
// right before an unreadable page): qrvsink drops each such buffer with a
// warning, goes on with the good ones, and never reads past the memory.
TEST(GstSink, VideoMetaLinesPastTheBufferAreDropped)
{
    const std::string name = unique_name("Short Lines");
    constexpr int kWidth = 64, kHeight = 48;
    constexpr gsize kBytes = (gsize)kWidth * kHeight * 4;  // three pages
    const gsize page = (gsize)sysconf(_SC_PAGESIZE);
    ASSERT_EQ(kBytes % page, 0u);
    Pipeline send("appsrc name=in is-live=true format=time do-timestamp=true caps=video/x-raw,format=BGRA,width=" +
                  std::to_string(kWidth) + ",height=" + std::to_string(kHeight) +
                  ",framerate=30/1 ! qrvsink source-name=\"" + name + "\"");
    GstElement* in = gst_bin_get_by_name(GST_BIN(send.get()), "in");
    auto bad_buffer = [&] {
        void* mapping = mmap(nullptr, kBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mprotect(static_cast<uint8_t*>(mapping) + kBytes, page, PROT_NONE);
        std::memset(mapping, 0xbb, kBytes);
        GstBuffer* b = gst_buffer_new_wrapped_full(GstMemoryFlags(0), mapping, kBytes, 0, kBytes, mapping,
                                                   [](gpointer m) { munmap(m, 64 * 48 * 4 + sysconf(_SC_PAGESIZE)); });
        gsize offset[GST_VIDEO_MAX_PLANES] = {0};
        gint stride[GST_VIDEO_MAX_PLANES] = {kWidth * 8};  // twice a line
        gst_buffer_add_video_meta_full(b, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRA, kWidth, kHeight, 1,
                                       offset, stride);
        return b;
    };
    ASSERT_TRUE(send.play());
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        for (int i = 0; i < 240 && pushing.load(); ++i) {
            GstBuffer* good = gst_buffer_new_allocate(nullptr, kBytes, nullptr);
            gst_buffer_memset(good, 0, 0x66, kBytes);
            gst_app_src_push_buffer(GST_APP_SRC(in), i % 2 ? good : bad_buffer());
            if (i % 2 == 0)
                gst_buffer_unref(good);
            std::this_thread::sleep_for(16ms);
        }
    });
    RuntimeReceiver receiver(name, 10s);
    int good = 0, other = 0;
    const auto end = Clock::now() + 8s;
    while (receiver.get() && Clock::now() < end && good < 20) {
        QRVlib_video_frame_v2_t video;
        if (QRVlib_recv_capture_v2(receiver.get(), &video, nullptr, nullptr, 200) != QRVlib_frame_type_video)
            continue;
        ++(video.data[0] == 0x66 ? good : other);
        QRVlib_recv_free_video_v2(receiver.get(), &video);
    }
    pushing.store(false);
    pusher.join();
    gst_object_unref(in);
    ASSERT_NE(receiver.get(), nullptr);
    EXPECT_EQ(good, 20);
    EXPECT_EQ(other, 0);
    // The drops warned of once on the bus; no error.
    GstBus* bus = gst_element_get_bus(send.get());
    std::vector<std::string> warnings, errors;
    while (GstMessage* m = gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR))) {
        GError* error = nullptr;
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING)
            gst_message_parse_warning(m, &error, nullptr);
        else
            gst_message_parse_error(m, &error, nullptr);
        (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING ? warnings : errors).push_back(error->message);
        g_error_free(error);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    EXPECT_EQ(errors, std::vector<std::string>{});
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), "dropped a video buffer whose lines run past its memory"),
              1);
}

// Planar float audio whose planes start at an address that is not a
// float's (a buffer cut out of a larger one): qrvsink gathers the samples
// rather than lending them, and every buffer arrives with its values.
TEST(GstSink, AudioPlanesAtAnOddAddressArrive)
{
    const std::string name = unique_name("Odd Planes");
    constexpr int kSamples = 480;
    constexpr gsize kBytes = 2 * kSamples * 4;
    Pipeline send("qrvsink name=s source-name=\"" + name + "\" appsrc name=in is-live=true format=time "
                  "do-timestamp=true caps=audio/x-raw,format=F32LE,layout=non-interleaved,rate=48000,channels=2 "
                  "! s.audio");
    GstElement* in = gst_bin_get_by_name(GST_BIN(send.get()), "in");
    ASSERT_TRUE(send.play());
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        GstAudioInfo info;
        gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, 48000, 2, nullptr);
        info.layout = GST_AUDIO_LAYOUT_NON_INTERLEAVED;
        for (int i = 0; i < 300 && pushing.load(); ++i) {
            GstBuffer* b = gst_buffer_new_allocate(nullptr, kBytes + 2, nullptr);
            gst_buffer_resize(b, 2, kBytes);
            for (int c = 0; c < 2; ++c) {
                const std::vector<float> plane(kSamples, c == 0 ? 0.25f : -0.5f);
                gst_buffer_fill(b, (gsize)c * kSamples * 4, plane.data(), kSamples * 4);
            }
            gst_buffer_add_audio_meta(b, &info, kSamples, nullptr);
            gst_app_src_push_buffer(GST_APP_SRC(in), b);
            std::this_thread::sleep_for(10ms);
        }
    });
    RuntimeReceiver receiver(name, 10s);
    int intact = 0, other = 0;
    const auto end = Clock::now() + 6s;
    while (receiver.get() && Clock::now() < end && intact < 20) {
        QRVlib_audio_frame_v2_t audio;
        if (QRVlib_recv_capture_v2(receiver.get(), nullptr, &audio, nullptr, 200) != QRVlib_frame_type_audio)
            continue;
        const auto* second = reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(audio.data) +
                                                            audio.channel_stride);
        const bool same = audio.no_channels == 2 && audio.no_samples == kSamples && audio.data[0] == 0.25f &&
                          audio.data[kSamples - 1] == 0.25f && second[0] == -0.5f && second[kSamples - 1] == -0.5f;
        ++(same ? intact : other);
        QRVlib_recv_free_audio_v2(receiver.get(), &audio);
    }
    pushing.store(false);
    pusher.join();
    gst_object_unref(in);
    ASSERT_NE(receiver.get(), nullptr);
    EXPECT_EQ(intact, 20);
    EXPECT_EQ(other, 0);
}

// A router pointed from one source to another of a different size and
// layout: the pipeline renegotiates and goes on.
TEST(GstSrc, RoutingChangeRenegotiates)
{
    REQUIRE_GST_TOOLS();
    Child pump({kBin + "/strobe_pump"});
    const std::string small = unique_name("Small");
    Child other(gst_tool("gst-launch-1.0", {"videotestsrc", "is-live=true", "!",
                                            "video/x-raw,format=UYVY,width=320,height=240,framerate=30/1", "!",
                                            "qrvsink", "source-name=" + small}),
                gst_env());
    ASSERT_TRUE(QRVlib_initialize());
    const std::string routed = unique_name("Routed");
    QRVlib_routing_create_t settings;
    settings.name = routed.c_str();
    QRVlib_routing_instance_t router = QRVlib_routing_create(&settings);
    ASSERT_NE(router, nullptr);
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    // Points the router at the source whose name ends in "(short)".
    auto route_to = [&](const std::string& wanted) {
        const auto end = Clock::now() + 10s;
        while (Clock::now() < end) {
            uint32_t n = 0;
            const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &n);
            for (uint32_t i = 0; i < n; ++i) {
                const std::string full = sources[i].name ? sources[i].name : "";
                if (full.size() > wanted.size() + 2 && full.substr(full.size() - wanted.size() - 2) == "(" + wanted + ")")
                    return QRVlib_routing_change(router, &sources[i]);
            }
            QRVlib_find_wait_for_sources(finder, 100);
        }
        return false;
    };
    ASSERT_TRUE(route_to("My Video"));
    {
        Pipeline p("qrvsrc source-name=\"" + routed + "\" ! appsink name=out sync=false max-buffers=2 drop=true");
        ASSERT_TRUE(p.play());
        auto first = pull(p.appsink("out"), 10000ms);
        ASSERT_TRUE(first) << p.error_within(0ms);
        EXPECT_EQ(caps_int(first->caps(), "width"), 1920);
        ASSERT_TRUE(route_to(small));
        bool switched = false;
        const auto end = Clock::now() + 10s;
        while (!switched && Clock::now() < end)
            if (auto s = pull(p.appsink("out"), 200ms))
                switched = caps_int(s->caps(), "width") == 320 &&
                           std::string(gst_structure_get_string(s->caps(), "format")) == "UYVY";
        EXPECT_TRUE(switched);
        EXPECT_EQ(p.error_within(0ms), "");
    }
    QRVlib_find_destroy(finder);
    QRVlib_routing_destroy(router);
    QRVlib_destroy();
}

// switchboard points "Routing" at a randomly chosen visible source at every
// pass; the virtual clock makes its 15-second pauses a few hundred real
// milliseconds. A pipeline on "Routing" follows it between sources of other
// sizes and layouts, and goes on after each switch without an error or a
// warning.
TEST(GstSrc, FollowsSwitchboardBetweenSourcesOfDifferentSizes)
{
    REQUIRE_GST_TOOLS();
    Child pump({kBin + "/strobe_pump"});
    Child other(gst_tool("gst-launch-1.0", {"videotestsrc", "is-live=true", "!",
                                            "video/x-raw,format=UYVY,width=320,height=240,framerate=30/1", "!",
                                            "qrvsink", "source-name=" + unique_name("Small")}),
                gst_env());
    Child board({"/usr/bin/stdbuf", "-oL", kBin + "/switchboard"},
                {{"LD_PRELOAD", qrv_test::vclock_path()}, {"QRV_VCLOCK_REAL_SLEEP_MAX_MS", "300"}});
    Pipeline p("qrvsrc source-name=Routing ! appsink name=out sync=false max-buffers=2 drop=true");
    ASSERT_TRUE(p.play());
    std::set<std::string> seen;
    std::string current;
    int switches = 0, since_switch = 0;
    const auto end = Clock::now() + 30s;
    while (Clock::now() < end && (switches < 3 || since_switch < 5 || seen.size() < 2)) {
        auto s = pull(p.appsink("out"), 200ms);
        if (!s)
            continue;
        const int width = caps_int(s->caps(), "width"), height = caps_int(s->caps(), "height");
        const std::string format = gst_structure_get_string(s->caps(), "format");
        const gsize bytes_per_pixel = format == "UYVY" ? 2 : 4;
        EXPECT_GE(gst_buffer_get_size(s->buffer()), (gsize)width * height * bytes_per_pixel);
        const std::string kind = format + " " + std::to_string(width) + "x" + std::to_string(height);
        seen.insert(kind);
        if (kind != current) {
            switches += !current.empty();
            current = kind;
            since_switch = 0;
        } else {
            ++since_switch;
        }
    }
    board.signal(SIGINT);
    const std::set<std::string> both = {"BGRA 1920x1080", "UYVY 320x240"};
    EXPECT_EQ(seen, both);
    EXPECT_GE(switches, 3) << board.output();
    EXPECT_GE(since_switch, 5);
    // A switch is neither an error nor a lost connection.
    GstBus* bus = gst_element_get_bus(p.get());
    int warnings = 0, errors = 0;
    while (GstMessage* m = gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR))) {
        ++(GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR ? errors : warnings);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(warnings, 0);
}

// The same from gst-launch-1.0: the error's text, a failed run, and the
// runtime's own log in the GStreamer debug category "qrv".
TEST(GstSrc, NoSuchSourceFromTheCommandLine)
{
    REQUIRE_GST_TOOLS();
    auto env = gst_env();
    env["GST_DEBUG"] = "qrv:4";
    Child launch(gst_tool("gst-launch-1.0", {"qrvsrc", "source-name=Nowhere", "timeout=500", "!", "fakesink"}), env);
    const auto status = launch.wait_exit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(launch.output().find("no such source: Nowhere"), std::string::npos) << launch.output();
    EXPECT_NE(launch.output().find("library: started"), std::string::npos) << launch.output();
}

// A source without video (quad_hush's four channels of silence) with the
// video pad linked: once connected for the timeout without video, that pad
// ends with a warning, and the audio flows on with its caps.
TEST(GstSrc, SourceWithoutVideoEndsTheVideoPadAndPlaysTheAudio)
{
    Child hush({kBin + "/quad_hush"});
    // The timeout bounds the search as well: the source is there first.
    RuntimeReceiver visible("My Audio", 10s);
    ASSERT_NE(visible.get(), nullptr);
    Pipeline p("qrvsrc name=s source-name=\"My Audio\" timeout=2500 s.video ! fakesink "
               "s.audio ! appsink name=a sync=false max-buffers=50");
    ASSERT_TRUE(p.play());
    for (int i = 0; i < 10; ++i) {
        auto s = pull(p.appsink("a"), 10000ms);
        ASSERT_TRUE(s) << p.error_within(0ms);
        EXPECT_EQ(caps_int(s->caps(), "channels"), 4);
        GstAudioMeta* meta = gst_buffer_get_audio_meta(s->buffer());
        ASSERT_NE(meta, nullptr);
        EXPECT_EQ(meta->info.channels, 4);
    }
    GstBus* bus = gst_element_get_bus(p.get());
    GstMessage* warning = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING);
    ASSERT_NE(warning, nullptr);
    GError* error = nullptr;
    gst_message_parse_warning(warning, &error, nullptr);
    EXPECT_STREQ(error->message, "the source sends no video");
    g_error_free(error);
    gst_message_unref(warning);
    gst_object_unref(bus);
    EXPECT_EQ(p.error_within(0ms), "");
}

// The test camera: the element says that camera control is available, its
// tally property reaches the camera, and the camera's combined tally comes
// back as a message.
TEST(GstSrc, ReportsCameraControlAndSetsTheTally)
{
    Child camera({kBin + "/qrv_test_camera"});
    Pipeline p("qrvsrc source-name=\"Test Camera\" tally-program=true ! appsink name=out sync=false max-buffers=2 "
               "drop=true");
    ASSERT_TRUE(p.play());
    GstBus* bus = gst_element_get_bus(p.get());
    bool ptz = false, on_program = false;
    const auto end = Clock::now() + 10s;
    while (!(ptz && on_program) && Clock::now() < end) {
        GstMessage* m = gst_bus_timed_pop_filtered(bus, 200 * GST_MSECOND, GST_MESSAGE_ELEMENT);
        if (!m)
            continue;
        const GstStructure* s = gst_message_get_structure(m);
        gboolean connected = FALSE, supported = FALSE, program = FALSE;
        if (gst_structure_has_name(s, "qrv-status") && gst_structure_get_boolean(s, "connected", &connected) &&
            gst_structure_get_boolean(s, "ptz-supported", &supported))
            ptz = ptz || (connected && supported);
        if (gst_structure_has_name(s, "qrv-tally") && gst_structure_get_boolean(s, "on-program", &program))
            on_program = program;
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    EXPECT_TRUE(ptz);
    EXPECT_TRUE(on_program) << "the camera's tally, which this element put on program, comes back";
    EXPECT_TRUE(camera.wait_for_output("program on", 5s)) << camera.output();
}

// Audio queued while the pipeline was paused is placed when it arrived:
// once played through, fresh audio carries the running time of now, not
// that time plus the pause.
TEST(GstSrc, APauseAddsNoDelay)
{
    Child beep({kBin + "/flash_beep"});
    Pipeline p("qrvsrc name=s source-name=\"My Video and Audio\" s.audio ! appsink name=a sync=false "
               "max-buffers=1000");
    ASSERT_NE(gst_element_set_state(p.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    std::this_thread::sleep_for(3s);
    ASSERT_TRUE(p.play());
    GstClockTime last = GST_CLOCK_TIME_NONE;
    for (int i = 0; i < 100; ++i) {
        auto s = pull(p.appsink("a"), 5000ms);
        ASSERT_TRUE(s) << p.error_within(0ms);
        last = GST_BUFFER_PTS(s->buffer());
    }
    GstClock* clock = gst_element_get_clock(p.get());
    ASSERT_NE(clock, nullptr);
    const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(p.get());
    gst_object_unref(clock);
    EXPECT_LT(std::llabs((int64_t)now - (int64_t)last), 150 * (int64_t)GST_MSECOND);
}

TEST(GstSrc, NoSuchSourceIsAClearErrorWithinTheTimeout)
{
    Pipeline p("qrvsrc source-name=\"Nowhere\" timeout=1000 ! fakesink");
    const auto start = Clock::now();
    ASSERT_TRUE(p.play());
    const std::string error = p.error_within(5000ms);
    const auto took = Clock::now() - start;
    EXPECT_NE(error.find("no such source: Nowhere"), std::string::npos) << error;
    EXPECT_LT(took, 3s);
    // Shutting down after the error does not hang either.
    const auto stop = Clock::now();
    gst_element_set_state(p.get(), GST_STATE_NULL);
    EXPECT_LT(Clock::now() - stop, 2s);
}

// PLAYING, NULL, PLAYING again: every round receives; several receiving
// pipelines in one process at once.
TEST(GstSrc, RestartsAndRunsSideBySide)
{
    Child pump({kBin + "/strobe_pump"});
    Pipeline p("qrvsrc source-name=\"My Video\" ! appsink name=out sync=false max-buffers=2 drop=true");
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(p.play());
        ASSERT_TRUE(pull(p.appsink("out"), 10000ms)) << "round " << round << ": " << p.error_within(0ms);
        ASSERT_EQ(gst_element_set_state(p.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    }
    std::vector<std::unique_ptr<Pipeline>> many;
    for (int i = 0; i < 4; ++i) {
        many.push_back(std::make_unique<Pipeline>(
            "qrvsrc source-name=\"My Video\" ! appsink name=out sync=false max-buffers=2 drop=true"));
        ASSERT_TRUE(many.back()->play());
    }
    for (auto& m : many)
        EXPECT_TRUE(pull(m->appsink("out"), 10000ms));
}

// A sender that is killed and started again: the pipeline resumes without
// an error.
TEST(GstSrc, ResumesWhenTheSenderComesBack)
{
    REQUIRE_GST_TOOLS();
    const std::string name = unique_name("Comeback");
    const std::vector<std::string> send = {"videotestsrc", "is-live=true", "!",
                                           "video/x-raw,format=UYVY,width=320,height=240,framerate=30/1", "!",
                                           "qrvsink", "source-name=" + name};
    auto sender = std::make_unique<Child>(gst_tool("gst-launch-1.0", send), gst_env());
    Pipeline p("qrvsrc source-name=\"" + name + "\" ! appsink name=out sync=false max-buffers=2 drop=true");
    ASSERT_TRUE(p.play());
    ASSERT_TRUE(pull(p.appsink("out"), 10000ms)) << p.error_within(0ms);
    // Killed: no goodbye, the connection just breaks.
    sender->signal(SIGKILL);
    sender->wait_exit(5s);
    sender.reset();
    std::this_thread::sleep_for(500ms);
    while (pull(p.appsink("out"), 100ms)) {
    }
    sender = std::make_unique<Child>(gst_tool("gst-launch-1.0", send), gst_env());
    EXPECT_TRUE(pull(p.appsink("out"), 15000ms));
    EXPECT_EQ(p.error_within(0ms), "");
}

// Seconds of "Duration: H:MM:SS.fraction" in gst-discoverer-1.0's report,
// or -1.
double discovered_duration(const std::string& path)
{
    Child d(gst_tool("gst-discoverer-1.0", {path}), gst_env());
    if (d.wait_exit(20s) != 0)
        return -1;
    const size_t at = d.output().find("Duration: ");
    int h = 0, m = 0;
    double sec = 0;
    if (at == std::string::npos || sscanf(d.output().c_str() + at, "Duration: %d:%d:%lf", &h, &m, &sec) != 3)
        return -1;
    return h * 3600.0 + m * 60.0 + sec;
}

// A file made here plays onto the network through decodebin and qrvsink,
// and qrvsrc records it on the other end: the recording is as long as the
// file, within a frame.
TEST(GstFile, RoundTripKeepsTheDuration)
{
    REQUIRE_GST_TOOLS();
    const std::string dir = std::filesystem::temp_directory_path() / ("qrvgst_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::string dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    const std::string in = dir + "/in.mkv", out = dir + "/out.mkv";
    Child make(gst_tool("gst-launch-1.0",
                        {"-e", "videotestsrc", "num-buffers=90", "!", "video/x-raw,width=320,height=240,framerate=30/1",
                         "!", "vp8enc", "deadline=1", "!", "mux.", "audiotestsrc", "num-buffers=141",
                         "samplesperbuffer=1024", "!", "audio/x-raw,rate=48000", "!", "audioconvert", "!",
                         "vorbisenc", "!", "mux.", "matroskamux", "name=mux", "!", "filesink", "location=" + in}),
               gst_env());
    ASSERT_EQ(make.wait_exit(60s), 0) << make.output();
    const double expected = discovered_duration(in);
    ASSERT_GT(expected, 2.9);

    const std::string name = unique_name("Round trip");
    Child record(gst_tool("gst-launch-1.0",
                          {"-e", "qrvsrc", "name=in", "source-name=" + name, "in.video", "!", "queue", "!",
                           "videoconvert", "!", "vp8enc", "deadline=1", "!", "mux.", "in.audio", "!", "queue", "!",
                           "audioconvert", "!", "vorbisenc", "!", "mux.", "matroskamux", "name=mux", "!", "filesink",
                           "location=" + out}),
                 gst_env());
    Child play(gst_tool("gst-launch-1.0",
                        {"filesrc", "location=" + in, "!", "decodebin", "name=d", "d.", "!", "queue", "!",
                         "videoconvert", "!", "qrvsink", "name=s", "source-name=" + name, "wait-for-connection=true",
                         "d.", "!", "queue", "!", "audioconvert", "!", "s."}),
               gst_env());
    ASSERT_EQ(play.wait_exit(30s), 0) << play.output();
    std::this_thread::sleep_for(500ms);
    record.signal(SIGINT);
    ASSERT_EQ(record.wait_exit(20s), 0) << record.output();
    EXPECT_NEAR(discovered_duration(out), expected, 1.0 / 30) << record.output();
}

// gst-device-monitor-1.0 lists a running strobe_pump, ready as a qrvsrc,
// within 2 s, and in follow mode sees it go.
TEST(GstDeviceProvider, ListsASourceAndDropsItWhenItEnds)
{
    REQUIRE_GST_TOOLS();
    auto pump = std::make_unique<Child>(std::vector<std::string>{kBin + "/strobe_pump"});
    std::this_thread::sleep_for(500ms);
    const auto start = Clock::now();
    Child once(gst_tool("gst-device-monitor-1.0", {"Video/Source"}), gst_env());
    ASSERT_EQ(once.wait_exit(10s), 0) << once.output();
    EXPECT_LT(Clock::now() - start, 2500ms);
    EXPECT_NE(once.output().find("(My Video)"), std::string::npos) << once.output();
    EXPECT_NE(once.output().find("qrvsrc source-name="), std::string::npos) << once.output();

    Child follow(gst_tool("gst-device-monitor-1.0", {"-f", "Audio/Source"}), gst_env());
    ASSERT_TRUE(follow.wait_for_output("(My Video)", 5s)) << follow.output();
    // Ended as Ctrl-C ends it, the source says goodbye.
    pump->signal(SIGINT);
    EXPECT_TRUE(pump->wait_exit(5s));
    EXPECT_TRUE(follow.wait_for_output("Device removed", 3s)) << follow.output();
    follow.signal(SIGINT);
}

}  // namespace

int main(int argc, char** argv)
{
    setenv("GST_PLUGIN_PATH", kPluginDir.c_str(), 1);
    gst_init(&argc, &argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

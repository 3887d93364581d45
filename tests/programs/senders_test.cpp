// The five senders: call sequence, record fields and buffer contents.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "summary.h"
#include "test_support.h"

using namespace qrv_test;

namespace {

const std::string int64_max = "9223372036854775807";

void expect_video_defaults(const Call& c)
{
    EXPECT_EQ(c["frame_rate"], "30000/1001");
    EXPECT_EQ(c["aspect_ratio"], "0");
    EXPECT_EQ(c["frame_format"], "1");
    EXPECT_EQ(c["timecode"], int64_max);
    EXPECT_EQ(c["metadata"], "null");
    EXPECT_EQ(c["timestamp"], "0");
}

void expect_sender(const RunResult& r, const char* name, const char* pacing)
{
    const auto creates = r.of("send_create");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ((*creates[0])["name"], name);
    EXPECT_EQ((*creates[0])["option_text"], "null");
    EXPECT_EQ((*creates[0])["pace_video"] + "/" + (*creates[0])["pace_audio"], pacing);
    EXPECT_EQ(creates[0]->result, "S1");
    for (const Call* d : r.of("send_destroy"))
        EXPECT_EQ((*d)["sender"], "S1");
}

// ---------------------------------------------------------------- strobe_pump

TEST(StrobePump, FullRunAlternatesBuffersAndFlushesBeforeFreeing)
{
    const RunResult r = run({"strobe_pump"});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"send_create"}, {"send_send_video_async_v2", 1001},
                                 {"send_destroy"}, {"destroy"}}));
    expect_sender(r, "My Video", "1/1");

    const auto sends = r.of("send_send_video_async_v2");
    ASSERT_EQ(sends.size(), 1001u);
    const std::string buffer0 = (*sends[0])["data"], buffer1 = (*sends[1])["data"];
    EXPECT_NE(buffer0, buffer1);
    for (int i = 0; i < 1000; i++) {
        SCOPED_TRACE(i);
        const Call& c = *sends[i];
        EXPECT_EQ(c["sender"], "S1");
        EXPECT_EQ(c["width"], "1920");
        EXPECT_EQ(c["height"], "1080");
        EXPECT_EQ(c["fourcc"], "BGRA");
        EXPECT_EQ(c["line_stride"], "7680");
        expect_video_defaults(c);
        EXPECT_EQ(c["bytes"], "8294400");
        EXPECT_EQ(c["uniform"], i % 2 ? "255" : "0");
        EXPECT_EQ(c["data"], i % 2 ? buffer1 : buffer0);
        if (HasFailure())
            break;
    }
    // One flush, with both buffers still allocated; both are gone by the
    // time the sender is destroyed.
    EXPECT_EQ((*sends[1000])["frame"], "null");
    EXPECT_EQ((*sends[1000])["live"], "2/2");
    EXPECT_EQ((*r.of("send_destroy")[0])["live"], "0/2");
}

TEST(StrobePump, CtrlCEndsTheLoopButNotTheRelease)
{
    // During the loop: the frame under way is handed over, then the flush.
    RunResult r = run({"strobe_pump", Library::full, {{"QRV_DOUBLE_SIGINT", "send_send_video_async_v2:7"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"send_create"}, {"send_send_video_async_v2", 8},
                                 {"send_destroy"}, {"destroy"}}));
    EXPECT_EQ((*r.of("send_send_video_async_v2")[6])["uniform"], "0");
    EXPECT_EQ((*r.of("send_send_video_async_v2")[7])["frame"], "null");
    EXPECT_EQ((*r.of("send_destroy")[0])["live"], "0/2");

    // Before the first test: no frame, but the flush and the release.
    r = run({"strobe_pump", Library::full, {{"QRV_DOUBLE_SIGINT", "send_create:1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "initialize send_create send_send_video_async_v2 send_destroy destroy");
    EXPECT_EQ((*r.of("send_send_video_async_v2")[0])["frame"], "null");
}

// ----------------------------------------------------------------- rate_probe

// The pattern, computed independently of the program: floor division
// instead of shifts, explicit limits.
int pattern_component(float a, float m, float b, float x)
{
    const float pa = a * m;
    const float pb = b * x;
    const float sum = pa + pb;
    const double c = std::cos((double)sum);
    const float v = (float)(c * 0.5 + 0.5);
    if (v < 0.0f)
        return 0;
    if (v > 1.0f)
        return 255;
    const float scaled = 255.0f * v;
    return (int)std::trunc(scaled);
}

uint8_t pattern_byte(int sum, int offset)
{
    const int v = (int)std::floor(sum / 256.0) + offset;
    return (uint8_t)std::max(0, std::min(255, v));
}

std::vector<uint8_t> pattern_line(int line)
{
    std::vector<uint8_t> out(7680);
    const float m = (float)line / 2160.0f;
    for (int l = 0; l < 3840; l += 2) {
        const float x0 = (float)l / 3840.0f, x1 = (float)(l + 1) / 3840.0f;
        const int r0 = pattern_component(9.5f, m, 9.0f, x0), r1 = pattern_component(9.5f, m, 9.0f, x1);
        const int g0 = pattern_component(40.5f, m, 12.0f, x0), g1 = pattern_component(40.5f, m, 12.0f, x1);
        const int b0 = pattern_component(15.5f, m, 23.0f, x0), b1 = pattern_component(15.5f, m, 23.0f, x1);
        out[2 * l + 0] = pattern_byte(112 * b0 - 87 * g0 - 26 * r0, 128);
        out[2 * l + 1] = pattern_byte(16 * b0 + 157 * g0 + 47 * r0, 16);
        out[2 * l + 2] = pattern_byte(112 * r1 - 102 * g1 - 10 * b1, 128);
        out[2 * l + 3] = pattern_byte(16 * b1 + 157 * g1 + 47 * r1, 16);
    }
    return out;
}

std::vector<uint8_t> read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(RateProbe, PatternWindowsAndRateReports)
{
    // 6482 frames at 1 ms each on the virtual clock; frame 0's pixels dumped.
    const RunResult r = run({"rate_probe", Library::full,
                             {{"QRV_DOUBLE_SIGINT", "send_send_video_async_v2:6482"},
                              {"QRV_DOUBLE_VIDEO_COST_NS", "1000000"},
                              {"QRV_DOUBLE_NO_HASH", "1"},
                              {"QRV_DOUBLE_DUMP", "0:@DIR@/frame0.bin"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    // The first report spans 1001 sends, the later ones 1000.
    std::string expected = "Generating content for benchmark ...\nRunning benchmark ...\n"
                           "3840x2160 video encoded at 999.0fps.\n";
    for (int k = 2; k <= 6; k++)
        expected += "3840x2160 video encoded at 1000.0fps.\n";
    expected += "Benchmark stopped.\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"send_create"}, {"send_send_video_async_v2", 6483},
                                 {"send_destroy"}, {"destroy"}}));
    expect_sender(r, "Benchmark", "0/0");

    const auto sends = r.of("send_send_video_async_v2");
    const long long base = hex_pointer((*sends[0])["data"]);
    for (int j = 0; j < 6482; j++) {
        SCOPED_TRACE(j);
        const Call& c = *sends[j];
        EXPECT_EQ(c["width"], "3840");
        EXPECT_EQ(c["height"], "2160");
        EXPECT_EQ(c["fourcc"], "UYVY");
        EXPECT_EQ(c["line_stride"], "7680");
        expect_video_defaults(c);
        EXPECT_EQ(hex_pointer(c["data"]) - base, (long long)(j % 6480) * 7680);
        if (HasFailure())
            break;
    }
    EXPECT_EQ((*sends[6480])["data"], (*sends[0])["data"]);
    EXPECT_EQ((*sends[6482])["frame"], "null");
    EXPECT_EQ((*sends[6482])["live"], "4/4");
    EXPECT_EQ((*r.of("send_destroy")[0])["live"], "0/4");

    const std::vector<uint8_t> frame = read_file(r.dir->path() / "frame0.bin");
    ASSERT_EQ(frame.size(), 2160u * 7680u);
    const uint8_t first[8] = {127, 235, 128, 234, 127, 234, 128, 234};
    EXPECT_EQ(std::memcmp(frame.data(), first, 8), 0);
    const uint8_t middle[4] = {172, 143, 45, 143};
    EXPECT_EQ(std::memcmp(frame.data() + 1080 * 7680 + 1920 * 2, middle, 4), 0);
    for (int line : {0, 1, 2, 3, 255, 256, 719, 1079, 1080, 1081, 1500, 2000, 2158, 2159}) {
        SCOPED_TRACE(line);
        const std::vector<uint8_t> want = pattern_line(line);
        const uint8_t* got = frame.data() + (size_t)line * 7680;
        for (int b = 0; b < 7680; b++)
            if (got[b] != want[b]) {
                ADD_FAILURE() << "byte " << b << ": " << (int)got[b] << " != " << (int)want[b];
                break;
            }
    }
}

TEST(RateProbe, CtrlCBeforeTheFirstReportOrTheFirstFrame)
{
    RunResult r = run({"rate_probe", Library::full,
                       {{"QRV_DOUBLE_SIGINT", "send_send_video_async_v2:500"}, {"QRV_DOUBLE_NO_HASH", "1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    const std::string no_report =
        "Generating content for benchmark ...\nRunning benchmark ...\nBenchmark stopped.\n";
    EXPECT_EQ(r.out, no_report);
    EXPECT_EQ(r.of("send_send_video_async_v2").size(), 501u);

    // Ctrl-C while the content is generated: the generation completes, no
    // frame is sent, the flush and the release still run.
    r = run({"rate_probe", Library::full, {{"QRV_DOUBLE_SIGINT", "send_create:1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, no_report);
    EXPECT_EQ(r.sequence(), "initialize send_create send_send_video_async_v2 send_destroy destroy");
    EXPECT_EQ((*r.of("send_send_video_async_v2")[0])["frame"], "null");
}

// ----------------------------------------------------------------- flash_beep

struct FlashExpectation {
    std::vector<std::string> audio;  // summary per frame
};

// The audio the program must send: the unseeded generator's values, 3204
// per frame, silent frames included.
std::vector<std::string> expected_noise(int frames)
{
    static const int counts[5] = {1602, 1601, 1602, 1601, 1602};
    std::srand(1);  // the state of a never seeded generator
    std::vector<std::string> out;
    std::vector<float> planes(2 * 1602);
    for (int i = 0; i < frames; i++) {
        const float amplitude = (i % 50) <= 10 ? 2.0f : 0.0f;
        for (float& s : planes) {
            const float r = (float)std::rand();
            const float q = r / 2147483648.0f;
            const float d = q - 0.5f;
            s = d * amplitude;
        }
        const size_t bytes = (size_t)counts[i % 5] * 4;
        out.push_back(qrv_double::summarize(
            {{(const uint8_t*)planes.data(), bytes}, {(const uint8_t*)(planes.data() + 1602), bytes}}));
    }
    return out;
}

std::string summary_of(const Call& c)
{
    for (const char* key : {"uniform", "pattern", "fnv"})
        if (c.fields.count(key))
            return std::string(key) + "=" + c[key];
    return "none";
}

TEST(FlashBeep, FullRunSendsMatchingNoiseAndFlashes)
{
    const RunResult r = run({"flash_beep"});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, numbered_lines("Frame number %d send.\n", 1000));
    std::vector<Repeat> seq = {{"initialize"}, {"send_create"}};
    for (int i = 0; i < 1000; i++) {
        seq.push_back({"send_send_audio_v2"});
        seq.push_back({"send_send_video_v2"});
    }
    seq.push_back({"send_destroy"});
    seq.push_back({"destroy"});
    EXPECT_EQ(r.sequence(), ops(seq));
    expect_sender(r, "My Video and Audio", "1/1");

    static const int counts[5] = {1602, 1601, 1602, 1601, 1602};
    const std::vector<std::string> noise = expected_noise(1000);
    const auto audio = r.of("send_send_audio_v2");
    const auto video = r.of("send_send_video_v2");
    ASSERT_EQ(audio.size(), 1000u);
    ASSERT_EQ(video.size(), 1000u);
    for (int i = 0; i < 1000; i++) {
        SCOPED_TRACE(i);
        const bool flash = (i % 50) <= 10;
        const Call& a = *audio[i];
        EXPECT_EQ(a["sample_rate"], "48000");
        EXPECT_EQ(a["no_channels"], "2");
        EXPECT_EQ(a.num("no_samples"), counts[i % 5]);
        EXPECT_EQ(a["channel_stride"], "6408");
        EXPECT_EQ(a["timecode"], int64_max);
        EXPECT_EQ(a["metadata"], "null");
        EXPECT_EQ(a["timestamp"], "0");
        EXPECT_EQ(a["data"], (*audio[0])["data"]);
        EXPECT_EQ(summary_of(a), noise[i]);

        const Call& v = *video[i];
        EXPECT_EQ(v["width"], "1920");
        EXPECT_EQ(v["height"], "1080");
        EXPECT_EQ(v["fourcc"], "UYVY");
        EXPECT_EQ(v["line_stride"], "3840");
        expect_video_defaults(v);
        EXPECT_EQ(v["bytes"], "4147200");
        EXPECT_EQ(summary_of(v), flash ? "pattern=80eb" : "pattern=8010");
        EXPECT_EQ(v["data"], (*video[0])["data"]);
        if (HasFailure())
            break;
    }
}

TEST(FlashBeep, CtrlCLetsTheFrameUnderWayFinish)
{
    // Inside the audio send of frame 3 (pressed twice): frame 3 is still
    // sent in full and its line printed.
    RunResult r = run({"flash_beep", Library::full,
                       {{"QRV_DOUBLE_SIGINT", "send_send_audio_v2:4,send_send_video_v2:4"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, numbered_lines("Frame number %d send.\n", 4));
    EXPECT_EQ(r.of("send_send_audio_v2").size(), 4u);
    EXPECT_EQ(r.of("send_send_video_v2").size(), 4u);
    EXPECT_EQ(r.calls.back().op, "destroy");

    r = run({"flash_beep", Library::full, {{"QRV_DOUBLE_SIGINT", "send_create:1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "initialize send_create send_destroy destroy");
}

// ------------------------------------------------------ quad_hush, stereo_hush

struct HushCase {
    const char* program;
    const char* source;
    const char* send_op;
    void (*check)(const Call&);
};

void check_planar(const Call& c)
{
    EXPECT_EQ(c["sample_rate"], "48000");
    EXPECT_EQ(c["no_channels"], "4");
    EXPECT_EQ(c["no_samples"], "1920");
    EXPECT_EQ(c["channel_stride"], "7680");
    EXPECT_EQ(c["timecode"], int64_max);
    EXPECT_EQ(c["metadata"], "null");
    EXPECT_EQ(c["timestamp"], "0");
    EXPECT_EQ(c["bytes"], "30720");
    EXPECT_EQ(c["uniform"], "0");
}

void check_interleaved(const Call& c)
{
    EXPECT_EQ(c["sample_rate"], "48000");
    EXPECT_EQ(c["no_channels"], "2");
    EXPECT_EQ(c["no_samples"], "1920");
    EXPECT_EQ(c["timecode"], int64_max);
    EXPECT_EQ(c["level_setting"], "0");
    EXPECT_EQ(c["bytes"], "7680");
    EXPECT_EQ(c["uniform"], "0");
}

const HushCase hush_cases[] = {
    {"quad_hush", "My Audio", "send_send_audio_v2", check_planar},
    {"stereo_hush", "My 16bpp Audio", "util_send_send_audio_interleaved_16s", check_interleaved},
};

TEST(SilentAudio, FullRunsSendThousandSilentFrames)
{
    for (const HushCase& h : hush_cases) {
        SCOPED_TRACE(h.program);
        const RunResult r = run({h.program});
        ASSERT_TRUE(r.clean_exit());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, numbered_lines("Frame number %d sent.\n", 1000));
        EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"send_create"}, {h.send_op, 1000}, {"send_destroy"}, {"destroy"}}));
        expect_sender(r, h.source, "1/1");
        const auto sends = r.of(h.send_op);
        for (size_t i = 0; i < sends.size(); i++) {
            SCOPED_TRACE(i);
            h.check(*sends[i]);
            EXPECT_EQ((*sends[i])["data"], (*sends[0])["data"]);
            if (HasFailure())
                break;
        }
    }
}

TEST(SilentAudio, CtrlCDuringAndBeforeTheLoop)
{
    for (const HushCase& h : hush_cases) {
        SCOPED_TRACE(h.program);
        RunResult r = run({h.program, Library::full, {{"QRV_DOUBLE_SIGINT", std::string(h.send_op) + ":5"}}});
        ASSERT_TRUE(r.clean_exit());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, numbered_lines("Frame number %d sent.\n", 5));
        EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"send_create"}, {h.send_op, 5}, {"send_destroy"}, {"destroy"}}));

        r = run({h.program, Library::full, {{"QRV_DOUBLE_SIGINT", "send_create:1"}}});
        ASSERT_TRUE(r.clean_exit());
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(r.sequence(), "initialize send_create send_destroy destroy");
    }
}

}  // namespace

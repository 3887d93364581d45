// The monitor and the test camera against the real runtime and the real
// programs. Each test runs in a network namespace of its own, so that the
// sources of other tests running at the same time stay out of sight.
#include <gtest/gtest.h>
#include <png.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
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

int run_command(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// A network namespace with only its loopback up, removed with the object.
class Netns {
public:
    Netns() : name_("qrvtool" + std::to_string(getpid()) + "_" + std::to_string(counter_++))
    {
        ok_ = run_command("ip netns add " + name_) == 0 && run_command("ip -n " + name_ + " link set lo up") == 0;
    }
    ~Netns() { run_command("ip netns del " + name_); }
    bool ok() const { return ok_; }

    // argv for a program of the build run inside the namespace.
    std::vector<std::string> argv(const std::string& program, std::vector<std::string> args = {}) const
    {
        std::vector<std::string> v = {"/usr/bin/env", "ip", "netns", "exec", name_, kBin + "/" + program};
        v.insert(v.end(), args.begin(), args.end());
        return v;
    }

private:
    static inline int counter_ = 0;
    std::string name_;
    bool ok_ = false;
};

struct Finished {
    int status = -1;
    std::string output;
};

Finished run_in(const Netns& ns, const std::string& program, std::vector<std::string> args,
                std::chrono::milliseconds timeout = 30s)
{
    Child child(ns.argv(program, std::move(args)));
    Finished f;
    auto status = child.wait_exit(timeout);
    f.status = status ? *status : -1;
    f.output = child.output();
    return f;
}

// Runs a tool of the build until a line of its output contains `text`, then
// stops it with Ctrl-C as a user would; the status is its exit status once
// it ended (-1 when it did not), the output all it printed.
Finished run_until(const Netns& ns, const std::string& program, std::vector<std::string> args,
                   const std::string& text, std::chrono::milliseconds timeout = 20s)
{
    Child child(ns.argv(program, std::move(args)));
    child.wait_for_output(text, timeout);
    child.signal(SIGINT);
    Finished f;
    auto status = child.wait_exit(10s);
    f.status = status ? *status : -1;
    f.output = child.output();
    return f;
}

// The full name of a source of this host. A short name makes the monitor
// wait a moment for other hosts' answers; tests that are not about short
// names give the full one.
std::string on_this_host(const std::string& source)
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string(host).substr(0, std::string(host).find('.')) + " (" + source + ")";
}

std::string temp_file(const std::string& name)
{
    return (std::filesystem::temp_directory_path() / ("qrv_tools_" + std::to_string(getpid()) + "_" + name)).string();
}

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

Png read_png(const std::string& path)
{
    Png out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return out;
    image.format = PNG_FORMAT_RGB;
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr))
        return Png{};
    out.width = (int)image.width;
    out.height = (int)image.height;
    return out;
}

#define REQUIRE_NETNS(ns)                                                     \
    do {                                                                      \
        if (!(ns).ok())                                                       \
            GTEST_SKIP() << "network namespaces are not available here";      \
    } while (0)

// The moving colour pattern of the throughput benchmark, computed here on
// its own: 8640 lines of 3840 UYVY pixels.
std::vector<uint8_t> benchmark_pattern()
{
    const int width = 3840, lines = 8640;
    std::vector<uint8_t> out((size_t)width * 2 * lines);
    auto level = [](float v) { return v < 0.0f ? 0 : v > 1.0f ? 255 : (int)(255.0f * v); };
    auto comp = [&](float a, float m, float b, float x) {
        const float arg = a * m + b * x;
        return level((float)(std::cos((double)arg) * 0.5 + 0.5));
    };
    auto byte = [](int v) { return (uint8_t)std::max(0, std::min(255, v)); };
    for (int i = 0; i < lines; ++i) {
        const float m = (float)i / 2160.0f;
        for (int l = 0; l < width; l += 2) {
            const float x0 = (float)l / 3840.0f, x1 = (float)(l + 1) / 3840.0f;
            const int r0 = comp(9.5f, m, 9.0f, x0), g0 = comp(40.5f, m, 12.0f, x0), b0 = comp(15.5f, m, 23.0f, x0);
            const int r1 = comp(9.5f, m, 9.0f, x1), g1 = comp(40.5f, m, 12.0f, x1), b1 = comp(15.5f, m, 23.0f, x1);
            uint8_t* p = &out[(size_t)i * width * 2 + 2 * l];
            p[0] = byte(((112 * b0 - 87 * g0 - 26 * r0) >> 8) + 128);
            p[1] = byte(((16 * b0 + 157 * g0 + 47 * r0) >> 8) + 16);
            p[2] = byte(((112 * r1 - 102 * g1 - 10 * b1) >> 8) + 128);
            p[3] = byte(((16 * b1 + 157 * g1 + 47 * r1) >> 8) + 16);
        }
    }
    return out;
}

// BT.709 studio range to full-range RGB with the textbook coefficients.
void expected_rgb(int y, int cb, int cr, int rgb[3])
{
    const double yy = 1.164383562 * (y - 16), u = cb - 128.0, v = cr - 128.0;
    const double r = yy + 1.792741071 * v, g = yy - 0.213248614 * u - 0.532909329 * v, b = yy + 2.112401786 * u;
    auto c = [](double x) { return (int)std::lround(std::max(0.0, std::min(255.0, x))); };
    rgb[0] = c(r);
    rgb[1] = c(g);
    rgb[2] = c(b);
}

// One line of the pattern as RGB: the even pixel of a pair takes the pair's
// chroma, the odd one the mean of its pair's and the next pair's.
std::vector<int> expected_line(const uint8_t* uyvy, int width, int pairs_wanted = -1)
{
    const int pairs = pairs_wanted < 0 ? width / 2 : pairs_wanted;
    std::vector<int> rgb((size_t)pairs * 6);
    for (int p = 0; p < pairs; ++p) {
        const uint8_t* q = uyvy + 4 * p;
        const uint8_t* n = uyvy + 4 * std::min(p + 1, width / 2 - 1);
        expected_rgb(q[1], q[0], q[2], &rgb[6 * p]);
        expected_rgb(q[3], (q[0] + n[0] + 1) / 2, (q[2] + n[2] + 1) / 2, &rgb[6 * p + 3]);
    }
    return rgb;
}

bool line_matches(const uint8_t* png_row, const std::vector<int>& expected, int tolerance)
{
    for (size_t i = 0; i < expected.size(); ++i)
        if (std::abs((int)png_row[i] - expected[i]) > tolerance)
            return false;
    return true;
}

}  // namespace

TEST(MonitorSnapshot, AlternatingFramesArriveAllBlackOrAllWhite)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child sender(ns.argv("strobe_pump"));
    const std::string png = temp_file("strobe.png");
    auto snap = run_in(ns, "qrv_monitor", {"snapshot", on_this_host("My Video"), png, "--timeout", "10"});
    ASSERT_EQ(snap.status, 0) << snap.output;
    const Png pic = read_png(png);
    unlink(png.c_str());
    ASSERT_EQ(pic.width, 1920);
    ASSERT_EQ(pic.height, 1080);
    const uint8_t first = pic.rgb[0];
    EXPECT_TRUE(first == 0 || first == 255) << int(first);
    size_t odd = 0;
    for (uint8_t v : pic.rgb)
        odd += v != first;
    EXPECT_EQ(odd, 0u);
}

TEST(MonitorSnapshot, BenchmarkFrameMatchesThePatternConvertedHere)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child sender(ns.argv("rate_probe"));
    const auto pattern = benchmark_pattern();
    const std::string png = temp_file("bench.png");
    auto snap = run_in(ns, "qrv_monitor", {"snapshot", "Benchmark", png, "--timeout", "30", "--find-timeout", "30"},
                       60s);
    ASSERT_EQ(snap.status, 0) << snap.output;
    const Png pic = read_png(png);
    unlink(png.c_str());
    ASSERT_EQ(pic.width, 3840);
    ASSERT_EQ(pic.height, 2160);

    // The frame is a window starting at some line of the pattern: find it
    // from the first row, then compare every row.
    const size_t row_bytes = (size_t)3840 * 3;
    int start = -1;
    for (int line = 0; line < 6480 && start < 0; ++line)
        if (line_matches(pic.rgb.data(), expected_line(&pattern[(size_t)line * 7680], 3840, 64), 1) &&
            line_matches(pic.rgb.data(), expected_line(&pattern[(size_t)line * 7680], 3840), 1))
            start = line;
    ASSERT_GE(start, 0) << "the picture matches no window of the pattern";
    int bad_rows = 0;
    for (int y = 0; y < 2160; ++y)
        bad_rows += !line_matches(pic.rgb.data() + y * row_bytes,
                                  expected_line(&pattern[(size_t)(start + y) * 7680], 3840), 1);
    EXPECT_EQ(bad_rows, 0) << "window starting at line " << start;
}

TEST(MonitorRecord, FlashBurstsAreNoiseAndTheRestIsSilence)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child sender(ns.argv("flash_beep"));
    const std::string wav = temp_file("flash.wav");
    // One cycle is 50 frames (1.67 s); 3.5 s hold a silence run with noise
    // on both sides wherever the recording starts.
    auto rec = run_in(ns, "qrv_monitor", {"record-audio", on_this_host("My Video and Audio"), wav, "--seconds", "3.5"}, 40s);
    ASSERT_EQ(rec.status, 0) << rec.output;

    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_TRUE(f);
    std::vector<float> samples((size_t)info.frames * info.channels);
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    unlink(wav.c_str());
    ASSERT_EQ(info.channels, 2);
    ASSERT_EQ(info.samplerate, 48000);

    // Runs of noise and of silence, by blocks of one video frame's worth.
    std::vector<std::pair<bool, long>> runs;
    float peak = 0;
    for (long s = 0; s < info.frames; ++s) {
        const bool loud = std::fabs(samples[2 * s]) > 0.0f || std::fabs(samples[2 * s + 1]) > 0.0f;
        peak = std::fmax(peak, std::fabs(samples[2 * s]));
        if (runs.empty() || runs.back().first != loud)
            runs.push_back({loud, 0});
        ++runs.back().second;
    }
    EXPECT_GT(peak, 0.9f);
    EXPECT_LE(peak, 1.0f);
    // Inner runs (not cut by the start or end of the recording): noise lasts
    // 11 frames, silence 39, at 1601.6 samples a frame. Noise itself may
    // hold a rare exact zero, so short silent runs inside noise are merged.
    int bursts = 0;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
        if (runs[i].first || runs[i].second < 100)
            continue;
        EXPECT_NEAR(runs[i].second, 39 * 1601.6, 2) << "silence " << i;
        ++bursts;
    }
    EXPECT_GE(bursts, 1);
}

TEST(MonitorRecord, SixteenBitSourcesStaySixteenBitAndFloatStaysFloat)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child pcm16_source(ns.argv("stereo_hush"));
    Child float_source(ns.argv("qrv_test_camera", {"--width", "64", "--height", "36"}));
    const std::pair<const char*, int> cases[] = {{"My 16bpp Audio", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16},
                                                 {"Test Camera", SF_FORMAT_WAVEX | SF_FORMAT_FLOAT}};
    for (const auto& [source, format] : cases) {
        const std::string wav = temp_file("format.wav");
        auto rec = run_in(ns, "qrv_monitor", {"record-audio", on_this_host(source), wav, "--seconds", "0.5"}, 40s);
        ASSERT_EQ(rec.status, 0) << rec.output;
        SF_INFO info{};
        SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
        ASSERT_TRUE(f) << source;
        int map[2] = {};
        const bool has_map = sf_command(f, SFC_GET_CHANNEL_MAP_INFO, map, sizeof map) == SF_TRUE;
        sf_close(f);
        unlink(wav.c_str());
        EXPECT_EQ(info.format, format) << source;
        EXPECT_EQ(info.channels, 2) << source;
        EXPECT_EQ(info.frames, 24000) << source;
        EXPECT_TRUE(has_map && map[0] == SF_CHANNEL_MAP_LEFT && map[1] == SF_CHANNEL_MAP_RIGHT) << source;
    }
}

TEST(TestCamera, PresetCallerRecallsPresetThree)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child camera(ns.argv("qrv_test_camera", {"--width", "320", "--height", "180"}));
    ASSERT_TRUE(camera.wait_for_output("publishing", 10s)) << camera.output();
    Child caller(ns.argv("preset_caller"));
    EXPECT_TRUE(camera.wait_for_output("recall preset 3 at speed 1.0", 20s)) << camera.output();
    caller.signal(SIGINT);
    EXPECT_EQ(caller.wait_exit(10s), std::optional<int>(0));
}

// Rates the runtime refuses are refused on the command line, instead of a
// camera that publishes nothing (or, slow, takes gigabytes for its audio).
TEST(TestCamera, FrameRatesTheRuntimeRefusesEndItAtOnce)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    for (const auto& [num, den] : {std::pair{"1", "100000"}, std::pair{"240000", "1"}}) {
        auto refused = run_in(ns, "qrv_test_camera", {"--rate-num", num, "--rate-den", den, "--frames", "3"}, 10s);
        EXPECT_EQ(refused.status, 1) << num << "/" << den;
        EXPECT_EQ(refused.output, "qrv_test_camera: the frame rate must be 0.1 to 1000 frames a second\n");
    }
}

TEST(Monitor, ErrorsAreOneClearLineAndAFailureStatus)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    auto none = run_in(ns, "qrv_monitor", {"snapshot", "Nothing Here", temp_file("x.png"), "--find-timeout", "1"});
    EXPECT_NE(none.status, 0);
    EXPECT_EQ(none.output, "qrv_monitor: no such source: Nothing Here (no sources are visible)\n");

    // A timeout beyond what the clock holds is as good as no end, not none.
    Child patient(ns.argv("qrv_monitor", {"snapshot", "Nothing Here", temp_file("x.png"), "--find-timeout", "1e300"}));
    EXPECT_EQ(patient.wait_exit(1500ms), std::nullopt) << patient.output();
    patient.signal(SIGINT);
    EXPECT_EQ(patient.wait_exit(10s), std::optional<int>(1));
    EXPECT_EQ(patient.output(), "qrv_monitor: stopped while looking for Nothing Here\n");

    auto bad_preset = run_in(ns, "qrv_monitor", {"ptz", "Anything", "recall", "100"});
    EXPECT_NE(bad_preset.status, 0);
    EXPECT_NE(bad_preset.output.find("100"), std::string::npos) << bad_preset.output;

    Child audio_only(ns.argv("quad_hush"));
    auto no_video = run_in(ns, "qrv_monitor", {"snapshot", on_this_host("My Audio"), temp_file("y.png"), "--timeout", "0.5"});
    EXPECT_NE(no_video.status, 0);
    EXPECT_NE(no_video.output.find("sent no video"), std::string::npos) << no_video.output;

    auto no_ptz = run_in(ns, "qrv_monitor", {"ptz", on_this_host("My Audio"), "recall", "3", "--find-timeout", "2"});
    EXPECT_NE(no_ptz.status, 0);
    EXPECT_NE(no_ptz.output.find("does not support camera control"), std::string::npos) << no_ptz.output;

    Child camera(ns.argv("qrv_test_camera", {"--width", "64", "--height", "36"}));
    auto unwritable = run_in(ns, "qrv_monitor", {"snapshot", on_this_host("Test Camera"), "/nonexistent-folder/z.png"});
    EXPECT_NE(unwritable.status, 0);
    EXPECT_NE(unwritable.output.find("cannot write /nonexistent-folder/z.png"), std::string::npos)
        << unwritable.output;
}

TEST(MonitorOptions, ColourFormatAndBandwidthShapeWhatArrives)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child camera(ns.argv("qrv_test_camera", {"--width", "320", "--height", "180"}));
    ASSERT_TRUE(camera.wait_for_output("publishing", 10s)) << camera.output();
    Child strobe(ns.argv("strobe_pump"));
    const std::string png = temp_file("layout.png");
    struct Case {
        const char* source;
        std::vector<std::string> options;
        const char* wrote;  // what the monitor reports: size and layout received
    } cases[] = {
        {"Test Camera", {"--color-format", "bgrx-bgra"}, "(320x180 from BGRX)"},
        {"Test Camera", {"--color-format", "rgbx-rgba", "--bandwidth", "lowest"}, "(80x45 from RGBX)"},
        {"My Video", {"--color-format", "uyvy-rgba"}, "(1920x1080 from RGBA)"},
        {"My Video", {"--color-format", "fastest", "--bandwidth", "lowest"}, "(480x270 from BGRA)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"snapshot", on_this_host(c.source), png, "--timeout", "10"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto snap = run_in(ns, "qrv_monitor", args);
        ASSERT_EQ(snap.status, 0) << snap.output;
        EXPECT_NE(snap.output.find(c.wrote), std::string::npos) << snap.output;
        // Whatever the layout, the picture on disk is the frame: of the size
        // reported, and for the strobe all black or all white.
        const Png pic = read_png(png);
        EXPECT_NE(std::string(c.wrote).find(std::to_string(pic.width) + "x" + std::to_string(pic.height)),
                  std::string::npos)
            << c.wrote;
        if (std::string(c.source) == "My Video" && !pic.rgb.empty()) {
            const uint8_t first = pic.rgb[0];
            EXPECT_TRUE(first == 0 || first == 255) << int(first);
            EXPECT_TRUE(std::all_of(pic.rgb.begin(), pic.rgb.end(), [&](uint8_t v) { return v == first; }))
                << c.wrote;
        }
    }
    unlink(png.c_str());

    // Watched until a report shows the sound, then stopped with Ctrl-C.
    auto audio = run_until(ns, "qrv_monitor", {"watch", on_this_host("Test Camera"), "--bandwidth", "audio"}, "| audio ");
    ASSERT_EQ(audio.status, 0) << audio.output;
    EXPECT_NE(audio.output.find("no video | audio 48000 Hz 2 ch"), std::string::npos) << audio.output;
    EXPECT_EQ(audio.output.find("fps"), std::string::npos) << audio.output;
    const std::string wav = temp_file("camera.wav");
    auto rec =
        run_in(ns, "qrv_monitor", {"record-audio", on_this_host("Test Camera"), wav, "--seconds", "0.25", "--bandwidth", "audio"});
    EXPECT_EQ(rec.status, 0) << rec.output;
    unlink(wav.c_str());
    // A snapshot of a source asked to send no video is refused up front.
    auto bad = run_in(ns, "qrv_monitor", {"snapshot", on_this_host("Test Camera"), png, "--bandwidth", "audio"});
    EXPECT_NE(bad.status, 0);
}

// Waits until text has appeared count times in the child's output.
bool wait_for_times(Child& child, const std::string& text, int count, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int seen = 0;
        for (size_t at = child.output().find(text); at != std::string::npos; at = child.output().find(text, at + 1))
            ++seen;
        if (seen >= count)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        child.wait_for_output("\x01 nothing that is ever printed", 100ms);  // reads what there is
    }
}

TEST(MonitorTally, TheCameraPrintsEachChangeAndForgetsAMonitorThatLeft)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child camera(ns.argv("qrv_test_camera", {"--width", "64", "--height", "36"}));
    ASSERT_TRUE(camera.wait_for_output("publishing", 10s)) << camera.output();
    // Held until the camera shows it, then the monitor is stopped with Ctrl-C.
    Child program(ns.argv("qrv_monitor", {"tally", on_this_host("Test Camera"), "program", "--seconds", "30"}));
    EXPECT_TRUE(camera.wait_for_output("tally: program on, preview off", 10s)) << camera.output();
    program.signal(SIGINT);
    ASSERT_EQ(program.wait_exit(10s), std::optional<int>(0)) << program.output();
    EXPECT_NE(program.output().find("program on, preview off"), std::string::npos) << program.output();
    EXPECT_TRUE(camera.wait_for_output("tally: program off, preview off", 10s)) << camera.output();

    // Two monitors at once: the camera is on while either says so.
    Child both(ns.argv("qrv_monitor", {"tally", on_this_host("Test Camera"), "both", "--seconds", "30"}));
    EXPECT_TRUE(camera.wait_for_output("tally: program on, preview on", 10s)) << camera.output();
    auto preview = run_in(ns, "qrv_monitor", {"tally", on_this_host("Test Camera"), "preview", "--seconds", "0"});
    EXPECT_EQ(preview.status, 0) << preview.output;
    both.signal(SIGINT);
    EXPECT_EQ(both.wait_exit(10s), std::optional<int>(0));
    EXPECT_TRUE(wait_for_times(camera, "tally: program off, preview off", 2, 10s)) << camera.output();
    EXPECT_EQ(camera.output().find("tally: program off, preview on"), std::string::npos) << camera.output();

    auto bad = run_in(ns, "qrv_monitor", {"tally", "Test Camera", "sideways"});
    EXPECT_NE(bad.status, 0);
}

namespace {

// argv of a program of the build in the namespace, on a host of its own
// name (a UTS namespace), as a machine elsewhere on the network would be.
std::vector<std::string> as_host(const Netns& ns, const std::string& host, const std::string& program)
{
    auto v = ns.argv(program);
    const std::string path = v.back();
    v.pop_back();
    v.insert(v.end(), {"unshare", "--uts", "sh", "-c", "hostname " + host + " && exec " + path});
    return v;
}

// Lists until every name is visible (ten seconds at most), then stops the
// listing with Ctrl-C.
bool all_listed(const Netns& ns, const std::vector<std::string>& names)
{
    Child list(ns.argv("qrv_monitor", {"list"}));
    const auto end = std::chrono::steady_clock::now() + 10s;
    const auto listed = [&] {
        return std::all_of(names.begin(), names.end(),
                           [&](const std::string& n) { return list.output().find("+ " + n) != std::string::npos; });
    };
    while (!listed() && std::chrono::steady_clock::now() < end)
        list.wait_for_output("\x01 nothing that is ever printed", 100ms);  // reads what there is
    list.signal(SIGINT);
    return listed() && list.wait_exit(10s) == std::optional<int>(0);
}

}  // namespace

// A short name that two other hosts publish is refused with the matches;
// once this host publishes it too, this host's source is taken.
TEST(Monitor, AShortNameOfSeveralHostsIsRefusedUnlessOneIsThisHost)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child a(as_host(ns, "hosta", "strobe_pump"));
    Child b(as_host(ns, "hostb", "strobe_pump"));
    ASSERT_TRUE(all_listed(ns, {"hosta (My Video)", "hostb (My Video)"}));
    // A name of no source, looked up meanwhile: refused after its timeout.
    Child missing(ns.argv("qrv_monitor", {"snapshot", "No Such", temp_file("b.png"), "--find-timeout", "1"}));
    auto ambiguous = run_in(ns, "qrv_monitor", {"snapshot", "My Video", temp_file("a.png"), "--find-timeout", "5"});
    EXPECT_NE(ambiguous.status, 0);
    EXPECT_NE(ambiguous.output.find("is ambiguous: \"hosta (My Video)\", \"hostb (My Video)\""), std::string::npos)
        << ambiguous.output;
    const auto missing_status = missing.wait_exit(30s);
    EXPECT_TRUE(missing_status && *missing_status != 0) << missing.output();
    EXPECT_NE(missing.output().find("visible: \"hosta (My Video)\", \"hostb (My Video)\""), std::string::npos)
        << missing.output();

    const std::string here = on_this_host("My Video");
    Child local(ns.argv("strobe_pump"));
    ASSERT_TRUE(all_listed(ns, {here}));
    auto snap = run_in(ns, "qrv_monitor", {"snapshot", "My Video", temp_file("c.png"), "--find-timeout", "5"});
    EXPECT_EQ(snap.status, 0) << snap.output;
}

// What a watch shows holds now: a source that went away is reported as not
// connected, not as its last picture at 0 fps.
TEST(Monitor, WatchReportsADisconnectInsteadOfStaleFigures)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    Child pump(ns.argv("strobe_pump"));
    Child watch(ns.argv("qrv_monitor", {"watch", on_this_host("My Video"), "--seconds", "12", "--find-timeout", "10"}));
    ASSERT_TRUE(watch.wait_for_output("video ", 15s)) << watch.output();
    pump.signal(SIGINT);
    ASSERT_TRUE(pump.wait_exit(10s));
    ASSERT_TRUE(watch.wait_for_output("not connected", 10s)) << watch.output();
    const std::string after = watch.output().substr(watch.output().find("not connected"));
    EXPECT_EQ(after.find("1920x1080"), std::string::npos) << after;
    watch.signal(SIGINT);
    watch.wait_exit(10s);
}

// A mistyped interface is named; an empty list in the default scope says
// that only this host was searched.
TEST(Monitor, ListNamesUnknownInterfacesAndRemindsOfTheScope)
{
    Netns ns;
    REQUIRE_NETNS(ns);
    // Both run at once, each until it said what is looked for.
    auto typo = ns.argv("qrv_monitor", {"list"});
    typo.insert(typo.begin() + 1, "QRV_INTERFACES=lo,eht0");
    Child mistyped(typo);
    Child empty(ns.argv("qrv_monitor", {"list"}));
    EXPECT_TRUE(mistyped.wait_for_output("\"eht0\", which is no interface of this host", 10s)) << mistyped.output();
    // The reminder comes once discovery had three seconds to answer.
    EXPECT_TRUE(empty.wait_for_output("nothing found on this host; set QRV_INTERFACES", 10s)) << empty.output();
    for (Child* list : {&mistyped, &empty}) {
        list->signal(SIGINT);
        EXPECT_EQ(list->wait_exit(10s), std::optional<int>(0)) << list->output();
    }
}

namespace {

// An audio source in this process that sends 0.25 on every channel at 48 kHz
// in stereo for half a second after a receiver connects, then -0.25 in
// another format until it is destroyed. Its name is this process's own, so
// it needs no namespace to stay apart from other tests' sources.
class ChangingAudioSource {
public:
    ChangingAudioSource(int later_rate, int later_channels)
    {
        if (!QRVlib_initialize())
            return;
        const std::string name = "Changing Audio " + std::to_string(getpid());
        QRVlib_send_create_t settings(name.c_str());
        sender_ = QRVlib_send_create(&settings);
        if (!sender_)
            return;
        uint32_t n = QRVlib_send_get_published_name(sender_, nullptr, 0);
        full_name_.assign(n, '\0');
        QRVlib_send_get_published_name(sender_, full_name_.data(), n);
        full_name_.resize(n ? n - 1 : 0);
        sending_ = std::thread([this, later_rate, later_channels] {
            while (!stop_ && QRVlib_send_get_no_connections(sender_, 100) == 0) {
            }
            for (int frame = 0; !stop_; ++frame) {
                const bool later = frame >= 15;  // 15 frames of 1/30 s
                send(later ? later_rate : 48000, later ? later_channels : 2, later ? -0.25f : 0.25f);
            }
        });
    }
    ~ChangingAudioSource()
    {
        stop_ = true;
        if (sending_.joinable())
            sending_.join();
        if (sender_)
            QRVlib_send_destroy(sender_);
        QRVlib_destroy();
    }
    const std::string& name() const { return full_name_; }

private:
    void send(int rate, int channels, float value)
    {
        const int samples = rate / 30;
        std::vector<float> planes((size_t)samples * channels, value);
        QRVlib_audio_frame_v2_t a(rate, channels, samples);
        a.data = planes.data();
        a.channel_stride = samples * (int)sizeof(float);
        QRVlib_send_send_audio_v2(sender_, &a);  // paced to its samples
    }

    QRVlib_send_instance_t sender_ = nullptr;
    std::string full_name_;
    std::atomic<bool> stop_{false};
    std::thread sending_;
};

}  // namespace

// A source whose audio changes rate or channels mid-recording (a router
// switching sources does that) ends the recording with a reason and a
// failure status; the file holds what came before the change, in its format.
TEST(MonitorRecord, AChangeOfAudioFormatEndsTheRecordingWithAValidFile)
{
    const struct {
        int rate, channels;
        const char* said;
    } changes[] = {{44100, 2, "to 44100 Hz, 2 channels"}, {48000, 4, "to 48000 Hz, 4 channels"}};
    for (const auto& change : changes) {
        ChangingAudioSource source(change.rate, change.channels);
        ASSERT_FALSE(source.name().empty());
        const std::string wav = temp_file("changing.wav");
        Child rec(
            {kBin + "/qrv_monitor", "record-audio", source.name(), wav, "--seconds", "3", "--find-timeout", "10"});
        const auto status = rec.wait_exit(30s);
        ASSERT_TRUE(status);
        EXPECT_NE(*status, 0) << rec.output();
        EXPECT_NE(rec.output().find("changed from 48000 Hz, 2 channels " + std::string(change.said)),
                  std::string::npos)
            << rec.output();

        SF_INFO info{};
        SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
        ASSERT_TRUE(f) << "the file is closed as a valid WAV file";
        std::vector<float> samples((size_t)info.frames * info.channels);
        sf_readf_float(f, samples.data(), info.frames);
        sf_close(f);
        unlink(wav.c_str());
        EXPECT_EQ(info.samplerate, 48000);
        EXPECT_EQ(info.channels, 2);
        EXPECT_GT(info.frames, 0);
        EXPECT_LT(info.frames, 3 * 48000);
        EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float v) { return v == 0.25f; }))
            << "nothing after the change is written";
    }
}

// qrv_test_camera: publishes a source with a moving test pattern and a
// tone, declares camera control, and prints every camera command it gets
// and every change of its tally.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "qrv/qrv_runtime.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_interrupt(int)
{
    stop_requested.store(true);
}

// Eight vertical bars in studio-range UYVY that move one step per frame.
void draw_pattern(std::vector<uint8_t>& pixels, int width, int height, int64_t frame)
{
    static const uint8_t bars[8][3] = {  // Y, Cb, Cr (BT.709)
        {235, 128, 128}, {219, 16, 138}, {188, 154, 16}, {173, 42, 26},
        {78, 214, 230},  {63, 102, 240}, {32, 240, 118}, {16, 128, 128}};
    const int shift = (int)((frame * 8) % width);
    for (int y = 0; y < height; ++y) {
        uint8_t* line = pixels.data() + (size_t)y * width * 2;
        for (int x = 0; x < width; x += 2) {
            const uint8_t* c = bars[((x + shift) % width) * 8 / width];
            line[2 * x + 0] = c[1];
            line[2 * x + 1] = c[0];
            line[2 * x + 2] = c[2];
            line[2 * x + 3] = c[0];
        }
    }
}

void print_command(const QRVlib_ptz_command_t& c)
{
    switch (c.command) {
    case QRVlib_ptz_recall_preset:
        printf("recall preset %d at speed %.1f\n", c.preset, c.value_a);
        break;
    case QRVlib_ptz_store_preset:
        printf("store preset %d\n", c.preset);
        break;
    case QRVlib_ptz_pan_tilt:
        printf("pan at %.2f, tilt at %.2f\n", c.value_a, c.value_b);
        break;
    case QRVlib_ptz_zoom:
        printf("zoom to %.2f\n", c.value_a);
        break;
    default:
        printf("unknown camera command %d\n", (int)c.command);
        break;
    }
    fflush(stdout);
}

struct Options {
    std::string name = "Test Camera";
    int width = 1280, height = 720, rate_num = 30000, rate_den = 1001;
    double tone_hz = 1000.0;
    int64_t frames = 0;  // 0: until Ctrl-C
};

void add_options(CLI::App& app, Options& o)
{
    app.set_version_flag("--version", std::string("qrv_test_camera ") + QRV_VERSION);
    app.add_option("--name", o.name, "name of the source");
    app.add_option("--width", o.width, "pixels per line (even)")->check(CLI::Range(2, 7680));
    app.add_option("--height", o.height, "lines per frame")->check(CLI::Range(1, 4320));
    app.add_option("--rate-num", o.rate_num, "frame rate numerator")->check(CLI::Range(1, 240000));
    app.add_option("--rate-den", o.rate_den, "frame rate denominator")->check(CLI::Range(1, 100000));
    app.add_option("--tone", o.tone_hz, "tone frequency in Hz (0: silence)")->check(CLI::Range(0.0, 20000.0));
    app.add_option("--frames", o.frames, "stop after this many frames (default: until Ctrl-C)");
}

// The tone in stereo frames whose sample counts follow the frame rate
// exactly, with no drift.
class Tone {
public:
    explicit Tone(const Options& o)
        : o_(o), max_samples_((int)((int64_t)kRate * o.rate_den / o.rate_num) + 1), samples_((size_t)max_samples_ * 2)
    {
        frame_.sample_rate = kRate;
        frame_.no_channels = 2;
        frame_.channel_stride = max_samples_ * (int)sizeof(float);
        frame_.data = samples_.data();
    }

    // The audio that goes with video frame f.
    const QRVlib_audio_frame_v2_t& next(int64_t f)
    {
        const int64_t due = (f + 1) * kRate * o_.rate_den / o_.rate_num;
        frame_.no_samples = (int)(due - sent_);
        for (int s = 0; s < frame_.no_samples; ++s) {
            const double t = (double)(sent_ + s) / kRate;
            const float v = (float)(0.1 * std::sin(2.0 * M_PI * o_.tone_hz * t));  // -20 dBFS
            samples_[s] = v;
            samples_[(size_t)max_samples_ + s] = v;
        }
        sent_ = due;
        return frame_;
    }

private:
    static constexpr int kRate = 48000;
    const Options& o_;
    const int max_samples_;
    std::vector<float> samples_;
    QRVlib_audio_frame_v2_t frame_;
    int64_t sent_ = 0;
};

// Prints the camera commands and the change of tally that came since the
// last frame.
void print_control(QRVlib_send_instance_t sender)
{
    QRVlib_ptz_command_t command;
    while (QRVlib_send_get_ptz_command(sender, &command, 0))
        print_command(command);
    QRVlib_tally_t tally;
    if (QRVlib_send_get_tally(sender, &tally, 0)) {
        printf("tally: program %s, preview %s\n", tally.on_program ? "on" : "off", tally.on_preview ? "on" : "off");
        fflush(stdout);
    }
}

// Sends frames until stopped or the count is reached.
void publish(QRVlib_send_instance_t sender, const Options& o)
{
    std::vector<uint8_t> pixels((size_t)o.width * o.height * 2);
    QRVlib_video_frame_v2_t video;
    video.width = o.width;
    video.height = o.height;
    video.frame_rate_num = o.rate_num;
    video.frame_rate_den = o.rate_den;
    video.line_stride = o.width * 2;
    video.data = pixels.data();
    Tone tone(o);
    for (int64_t f = 0; !stop_requested.load() && (o.frames <= 0 || f < o.frames); ++f) {
        QRVlib_send_send_audio_v2(sender, &tone.next(f));
        draw_pattern(pixels, o.width, o.height, f);
        QRVlib_send_send_video_v2(sender, &video);
        print_control(sender);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"A test source: moving colour bars, a tone, and camera control"};
    Options o;
    add_options(app, o);
    CLI11_PARSE(app, argc, argv);
    if (o.width % 2) {
        fprintf(stderr, "qrv_test_camera: the width must be even\n");
        return 1;
    }
    // The runtime takes from one frame in ten seconds to 1000 a second: any
    // other rate sent nothing (and a slow one made huge audio frames).
    if ((int64_t)o.rate_num * 10 < o.rate_den || o.rate_num > (int64_t)o.rate_den * 1000) {
        fprintf(stderr, "qrv_test_camera: the frame rate must be 0.1 to 1000 frames a second\n");
        return 1;
    }

    if (!QRVlib_initialize()) {
        fprintf(stderr, "qrv_test_camera: the library cannot run here\n");
        return 1;
    }
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);

    QRVlib_send_create_t settings;
    settings.name = o.name.c_str();
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    if (!sender) {
        fprintf(stderr, "qrv_test_camera: cannot create the source \"%s\"\n", o.name.c_str());
        QRVlib_destroy();
        return 1;
    }
    QRVlib_send_set_ptz_supported(sender, true);
    printf("publishing \"%s\": %dx%d at %d/%d fps, tone %.0f Hz\n", o.name.c_str(), o.width, o.height, o.rate_num,
           o.rate_den, o.tone_hz);
    fflush(stdout);
    publish(sender, o);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}

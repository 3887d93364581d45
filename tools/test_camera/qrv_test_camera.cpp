// qrv_test_camera: publishes a source with a moving test pattern and a
// tone, declares camera control, and prints every camera command it gets
// and every change of its tally.
#include <CLI/CLI.hpp>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
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

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"A test source: moving colour bars, a tone, and camera control"};
    app.set_version_flag("--version", std::string("qrv_test_camera ") + QRV_VERSION);
    std::string name = "Test Camera";
    int width = 1280, height = 720, rate_num = 30000, rate_den = 1001;
    double tone_hz = 1000.0;
    int64_t frames = 0;
    app.add_option("--name", name, "name of the source");
    app.add_option("--width", width, "pixels per line (even)")->check(CLI::Range(2, 7680));
    app.add_option("--height", height, "lines per frame")->check(CLI::Range(1, 4320));
    app.add_option("--rate-num", rate_num, "frame rate numerator")->check(CLI::Range(1, 240000));
    app.add_option("--rate-den", rate_den, "frame rate denominator")->check(CLI::Range(1, 100000));
    app.add_option("--tone", tone_hz, "tone frequency in Hz (0: silence)")->check(CLI::Range(0.0, 20000.0));
    app.add_option("--frames", frames, "stop after this many frames (default: until Ctrl-C)");
    CLI11_PARSE(app, argc, argv);
    if (width % 2) {
        fprintf(stderr, "qrv_test_camera: the width must be even\n");
        return 1;
    }

    if (!QRVlib_initialize()) {
        fprintf(stderr, "qrv_test_camera: the library cannot run here\n");
        return 1;
    }
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);

    QRVlib_send_create_t settings;
    settings.name = name.c_str();
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    if (!sender) {
        fprintf(stderr, "qrv_test_camera: cannot create the source \"%s\"\n", name.c_str());
        QRVlib_destroy();
        return 1;
    }
    QRVlib_send_set_ptz_supported(sender, true);
    printf("publishing \"%s\": %dx%d at %d/%d fps, tone %.0f Hz\n", name.c_str(), width, height, rate_num, rate_den,
           tone_hz);
    fflush(stdout);

    std::vector<uint8_t> pixels((size_t)width * height * 2);
    QRVlib_video_frame_v2_t video;
    video.width = width;
    video.height = height;
    video.frame_rate_num = rate_num;
    video.frame_rate_den = rate_den;
    video.line_stride = width * 2;
    video.data = pixels.data();

    const int sample_rate = 48000;
    const int max_samples = (int)((int64_t)sample_rate * rate_den / rate_num) + 1;
    std::vector<float> samples((size_t)max_samples * 2);
    QRVlib_audio_frame_v2_t audio;
    audio.sample_rate = sample_rate;
    audio.no_channels = 2;
    audio.channel_stride = max_samples * (int)sizeof(float);
    audio.data = samples.data();

    // Samples per frame follow the frame rate exactly, with no drift.
    int64_t samples_sent = 0;
    for (int64_t f = 0; !stop_requested.load() && (frames <= 0 || f < frames); ++f) {
        const int64_t due = (f + 1) * sample_rate * rate_den / rate_num;
        audio.no_samples = (int)(due - samples_sent);
        for (int s = 0; s < audio.no_samples; ++s) {
            const double t = (double)(samples_sent + s) / sample_rate;
            const float v = (float)(0.1 * std::sin(2.0 * M_PI * tone_hz * t));  // -20 dBFS
            samples[s] = v;
            samples[(size_t)max_samples + s] = v;
        }
        samples_sent = due;
        QRVlib_send_send_audio_v2(sender, &audio);

        draw_pattern(pixels, width, height, f);
        QRVlib_send_send_video_v2(sender, &video);

        QRVlib_ptz_command_t command;
        while (QRVlib_send_get_ptz_command(sender, &command, 0))
            print_command(command);
        QRVlib_tally_t tally;
        if (QRVlib_send_get_tally(sender, &tally, 0)) {
            printf("tally: program %s, preview %s\n", tally.on_program ? "on" : "off", tally.on_preview ? "on" : "off");
            fflush(stdout);
        }
    }

    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}

// Latency from a sender to OBS's rendered program: a sender in this process
// sends 1920x1080 BGRA frames at 30 fps, black but for one white frame in
// every fifteen, into a QRV Source on OBS's program (libobs headless under
// Xvfb, as run_bench_obs.sh starts it). OBS hands each rendered program
// frame to a raw video callback with the time of its render; the latency of
// a white frame is that time less the moment it was sent, both on OBS's
// clock. Measured with OBS's buffering of the source and with the source's
// low-latency setting.
//
// Usage: bench_obs_latency PLUGIN_DIR [SECONDS]
// Prints "key value" lines and "row" lines for the report.
#include <obs.h>

#include "obs_headless.h"
#include <unistd.h>
#include <util/platform.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrv/qrv_runtime.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Probe {
    std::atomic<uint64_t> white_sent_ns{0};  // when the last white frame was sent
    bool was_white = false;                  // the video thread's
    std::mutex mutex;
    std::vector<double> latency_ms;

    static void on_frame(void* param, video_data* frame)
    {
        auto* p = static_cast<Probe*>(param);
        const uint8_t* middle = frame->data[0] + size_t(kHeight / 2) * frame->linesize[0] + size_t(kWidth / 2) * 4;
        const bool white = middle[0] > 128;
        const uint64_t sent = p->white_sent_ns.load();
        if (white && !p->was_white && sent && frame->timestamp > sent) {
            std::lock_guard lock(p->mutex);
            p->latency_ms.push_back(double(frame->timestamp - sent) / 1e6);
        }
        p->was_white = white;
    }
};

// Sends paced frames until told to stop; every fifteenth is white.
void send_frames(QRVlib_send_instance_t sender, Probe* probe, const std::atomic<bool>& stop)
{
    std::vector<uint8_t> black(size_t(kWidth) * kHeight * 4, 0), white(black.size(), 255);
    QRVlib_video_frame_v2_t frame(kWidth, kHeight, QRVlib_FourCC_type_BGRA, 30, 1);
    frame.line_stride = kWidth * 4;
    for (int n = 0; !stop.load(); ++n) {
        const bool is_white = n % 15 == 14;
        frame.data = is_white ? white.data() : black.data();
        if (is_white)
            probe->white_sent_ns = os_gettime_ns();
        QRVlib_send_send_video_v2(sender, &frame);
    }
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// Latency samples over a number of seconds with the source's low-latency
// setting on or off.
std::vector<double> measure(obs_source_t* source, Probe* probe, bool low_latency, double seconds)
{
    obs_data_t* settings = obs_data_create();
    obs_data_set_bool(settings, "low_latency", low_latency);
    obs_source_update(source, settings);
    obs_data_release(settings);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    {
        std::lock_guard lock(probe->mutex);
        probe->latency_ms.clear();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::lock_guard lock(probe->mutex);
    return probe->latency_ms;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_obs_latency PLUGIN_DIR [SECONDS]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
    base_set_log_handler([](int, const char*, va_list, void*) {}, nullptr);
    if (!qrv_bench::start_headless_obs(argv[1], kWidth, kHeight, VIDEO_FORMAT_BGRA, VIDEO_RANGE_FULL) || !QRVlib_initialize()) {
        std::fprintf(stderr, "bench_obs_latency: libobs, the plugin or the runtime did not start\n");
        return 1;
    }
    QRVlib_send_create_t send_settings("Latency");
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    char name[300];
    QRVlib_send_get_published_name(sender, name, sizeof name);

    Probe probe;
    std::atomic<bool> stop{false};
    std::thread sending([&] { send_frames(sender, &probe, stop); });
    obs_data_t* settings = obs_data_create();
    obs_data_set_string(settings, "source_name", name);
    obs_source_t* source = obs_source_create("qrv_source", "Latency", settings, nullptr);
    obs_data_release(settings);
    obs_scene_t* scene = obs_scene_create("latency");
    obs_scene_add(scene, source);
    obs_set_output_source(0, obs_scene_get_source(scene));
    obs_add_raw_video_callback(nullptr, Probe::on_frame, &probe);

    const auto buffered = measure(source, &probe, false, seconds);
    const auto unbuffered = measure(source, &probe, true, seconds);

    obs_remove_raw_video_callback(Probe::on_frame, &probe);
    stop = true;
    sending.join();
    obs_set_output_source(0, nullptr);
    obs_scene_release(scene);
    obs_source_release(source);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    obs_shutdown();

    for (const auto& [label, v] : {std::pair{"buffered", buffered}, std::pair{"low_latency", unbuffered}}) {
        std::printf("obs_latency_%s_samples %zu\n", label, v.size());
        std::printf("obs_latency_%s_median_ms %.1f\n", label, percentile(v, 0.5));
        std::printf("obs_latency_%s_p99_ms %.1f\n", label, percentile(v, 0.99));
    }
    // Median / p99 with the number of samples, or "no samples" rather
    // than a figure made of nothing.
    const auto figure = [](const std::vector<double>& v) {
        char text[96];
        if (v.empty())
            std::snprintf(text, sizeof text, "no samples");
        else
            std::snprintf(text, sizeof text, "%.1f / %.1f ms (%zu samples)", percentile(v, 0.5),
                          percentile(v, 0.99), v.size());
        return std::string(text);
    };
    std::printf("row OBS: latency sender to rendered program, 1920x1080 30 fps (median / p99) | %s; "
                "low latency %s (sender in the same process) | - | about a frame or two of OBS's render\n",
                figure(buffered).c_str(), figure(unbuffered).c_str());
    return buffered.empty() || unbuffered.empty() ? 1 : 0;
}

// Latency of a paced 1920x1080 UYVY stream at 30 fps through our
// elements (appsrc ! qrvsink, qrvsrc ! appsink) next to GStreamer's
// shmsink/shmsrc, in the same run and the same process: every frame
// carries its number in its first bytes, and its latency is the time from
// the moment the sending pipeline's clock reaches it (when the sink sends
// it) to its arrival at the receiving appsink. Both pipelines run on the
// system clock, so the two times compare directly. The two take turns over
// three rounds of a third of the frames each, each round starting with the
// other one, so that load from elsewhere on the host falls on both; the
// first frames of a round, sent while the receiver connects, are passed
// over.
//
// Usage: bench_gst_latency PLUGIN_DIR [FRAMES]
// Prints "key value" lines and a "row" line for the report.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr gsize kFrameBytes = (gsize)kWidth * kHeight * 2;
constexpr GstClockTime kInterval = GST_SECOND / 30;

constexpr int kRounds = 3;
constexpr int kWarmup = 5;

struct Result {
    std::vector<double> latency_ms;
    int sent = 0;
};

GstElement* launch(const std::string& description)
{
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(description.c_str(), &error);
    if (error) {
        std::fprintf(stderr, "bench_gst_latency: %s: %s\n", description.c_str(), error->message);
        g_error_free(error);
        if (p)
            gst_object_unref(p);
        return nullptr;
    }
    return p;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(q * (double)(v.size() - 1) + 0.5))];
}

// Runs one sender and one receiver pipeline; frames are pushed one interval
// apart in running time, and the sink holds each until its time comes.
Result measure(const std::string& send_tail, const std::string& recv_head, int frames)
{
    Result r;
    const std::string caps = "video/x-raw,format=UYVY,width=" + std::to_string(kWidth) +
                             ",height=" + std::to_string(kHeight) + ",framerate=30/1";
    GstElement* send = launch("appsrc name=in is-live=true format=time caps=" + caps + " ! " + send_tail);
    GstElement* recv = launch(recv_head + " ! appsink name=out sync=false max-buffers=8 drop=true");
    if (!send || !recv)
        return r;
    GstElement* in = gst_bin_get_by_name(GST_BIN(send), "in");
    GstElement* out = gst_bin_get_by_name(GST_BIN(recv), "out");
    gst_element_set_state(send, GST_STATE_PLAYING);
    gst_element_set_state(recv, GST_STATE_PLAYING);

    GstClock* clock = gst_system_clock_obtain();
    // Written by the pusher before a frame goes, read once it has arrived.
    std::vector<std::atomic<GstClockTime>> due(frames);
    for (auto& d : due)
        d.store(GST_CLOCK_TIME_NONE);
    std::thread pusher([&] {
        gst_element_get_state(send, nullptr, nullptr, 5 * GST_SECOND);
        const GstClockTime base = gst_element_get_base_time(send);
        const GstClockTime start = gst_clock_get_time(clock) - base + 200 * GST_MSECOND;
        for (int i = 0; i < frames; ++i) {
            GstBuffer* b = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
            gst_buffer_memset(b, 0, 0x80, kFrameBytes);
            const guint32 number = (guint32)i;
            gst_buffer_fill(b, 0, &number, sizeof number);
            GST_BUFFER_PTS(b) = start + (GstClockTime)i * kInterval;
            GST_BUFFER_DURATION(b) = kInterval;
            const GstClockTime at = base + GST_BUFFER_PTS(b);
            due[i].store(at);
            // Handed over a little ahead of its time, as a live source would.
            const GstClockTime hand_over = at - 10 * GST_MSECOND;
            GstClockID id = gst_clock_new_single_shot_id(clock, hand_over);
            gst_clock_id_wait(id, nullptr);
            gst_clock_id_unref(id);
            gst_app_src_push_buffer(GST_APP_SRC(in), b);
            ++r.sent;
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10 + frames / 30);
    while (std::chrono::steady_clock::now() < end && (int)r.latency_ms.size() < frames - kWarmup) {
        GstSample* s = gst_app_sink_try_pull_sample(GST_APP_SINK(out), 200 * GST_MSECOND);
        if (!s) {
            if (r.sent == frames)
                break;
            continue;
        }
        const GstClockTime now = gst_clock_get_time(clock);
        guint32 number = 0;
        gst_buffer_extract(gst_sample_get_buffer(s), 0, &number, sizeof number);
        gst_sample_unref(s);
        const GstClockTime at = number < (guint32)frames ? due[number].load() : GST_CLOCK_TIME_NONE;
        if (GST_CLOCK_TIME_IS_VALID(at) && now >= at && number >= (guint32)kWarmup)
            r.latency_ms.push_back((double)(now - at) / 1e6);
    }
    pusher.join();
    gst_object_unref(clock);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_element_set_state(recv, GST_STATE_NULL);
    gst_element_set_state(send, GST_STATE_NULL);
    gst_object_unref(recv);
    gst_object_unref(send);
    return r;
}

Result measure_shm(int frames)
{
    char dir[] = "/tmp/qrv-gst-latency-XXXXXX";
    if (!mkdtemp(dir))
        return {};
    const std::string path = std::string(dir) + "/shm";
    Result r = measure("shmsink socket-path=" + path + " shm-size=" + std::to_string(kFrameBytes * 4) +
                           " wait-for-connection=true sync=true",
                       "shmsrc socket-path=" + path + " is-live=true ! video/x-raw,format=UYVY,width=" +
                           std::to_string(kWidth) + ",height=" + std::to_string(kHeight) + ",framerate=30/1",
                       frames);
    rmdir(dir);
    return r;
}

void append(Result& to, const Result& from)
{
    to.latency_ms.insert(to.latency_ms.end(), from.latency_ms.begin(), from.latency_ms.end());
    to.sent += from.sent;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_gst_latency PLUGIN_DIR [FRAMES]\n");
        return 2;
    }
    setenv("GST_PLUGIN_PATH", argv[1], 1);
    gst_init(nullptr, nullptr);
    const int frames = argc > 2 ? std::max(10 * kRounds, std::atoi(argv[2])) : 150;
    const int per_round = frames / kRounds + kWarmup;

    Result ours, shm;
    for (int round = 0; round < kRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + round) % 2 == 0) {
                const std::string name = "Latency " + std::to_string(getpid()) + "-" + std::to_string(round);
                append(ours, measure("qrvsink source-name=\"" + name + "\" wait-for-connection=true",
                                     "qrvsrc source-name=\"" + name + "\" color-format=fastest", per_round));
            } else {
                append(shm, measure_shm(per_round));
            }
        }
    }
    const double q_med = percentile(ours.latency_ms, 0.5), q_p99 = percentile(ours.latency_ms, 0.99);
    const double s_med = percentile(shm.latency_ms, 0.5), s_p99 = percentile(shm.latency_ms, 0.99);
    std::printf("gst_latency_qrv_frames %zu\n", ours.latency_ms.size());
    std::printf("gst_latency_qrv_median_ms %.2f\n", q_med);
    std::printf("gst_latency_qrv_p99_ms %.2f\n", q_p99);
    std::printf("gst_latency_shm_frames %zu\n", shm.latency_ms.size());
    std::printf("gst_latency_shm_median_ms %.2f\n", s_med);
    std::printf("gst_latency_shm_p99_ms %.2f\n", s_p99);
    std::printf("row GStreamer elements, latency of paced 1920x1080 UYVY at 30 fps | qrvsink → qrvsrc median %.2f ms"
                " / p99 %.2f ms (%zu of %d frames, %d rounds) | shmsink → shmsrc median %.2f ms / p99 %.2f ms (%zu frames)"
                " | watch for regressions\n",
                q_med, q_p99, ours.latency_ms.size(), kRounds * (per_round - kWarmup), kRounds, s_med, s_p99, shm.latency_ms.size());
    return 0;
}

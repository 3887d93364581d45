// The receiving half of the GStreamer rate benchmarks: runs a receiving
// pipeline in this process and counts the buffers that reach its element
// named "count" (a fakesink), the way bench_link's receiver counts the
// frames it captures: the first WARMUP buffers are passed over, then FRAMES
// are stamped as they arrive, and the rate is (buffers - 1) over the time
// from the first counted buffer to the last. Nothing outside the receiving
// process looks at a buffer, so the figure is the pipelines' own.
//
// Usage: bench_gst_rate PREFIX FRAMES WARMUP PIPELINE...
// Prints "PREFIX_fps value" and "PREFIX_frames value". Gives up when no
// buffer came within 15 s of the start or 5 s of the last one, or when the
// pipeline fails; the buffers counted until then make the rate.
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Counter {
    int warmup = 0;
    int frames = 0;
    std::mutex mutex;
    std::condition_variable changed;
    int seen = 0;     // buffers so far, warm-up included
    int counted = 0;  // buffers after the warm-up
    Clock::time_point first{}, last{};
};

GstPadProbeReturn on_buffer(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& c = *static_cast<Counter*>(data);
    const auto now = Clock::now();
    const int buffers = (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST)
                            ? (int)gst_buffer_list_length(GST_PAD_PROBE_INFO_BUFFER_LIST(info))
                            : 1;
    {
        std::lock_guard lock(c.mutex);
        for (int i = 0; i < buffers; ++i) {
            if (c.seen++ < c.warmup || c.counted >= c.frames)
                continue;
            if (c.counted++ == 0)
                c.first = now;
            c.last = now;
        }
    }
    c.changed.notify_all();
    return GST_PAD_PROBE_OK;
}

// True once the bus reports an error or the end of the stream.
bool pipeline_ended(GstElement* pipeline)
{
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* m = gst_bus_pop_filtered(bus, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    gst_object_unref(bus);
    if (!m)
        return false;
    if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(m, &error, nullptr);
        std::fprintf(stderr, "bench_gst_rate: %s\n", error ? error->message : "pipeline error");
        g_clear_error(&error);
    }
    gst_message_unref(m);
    return true;
}

// Waits until the frames are counted, the pipeline ends or buffers stop.
void wait_for_frames(GstElement* pipeline, Counter& c)
{
    std::unique_lock lock(c.mutex);
    int seen = -1;
    auto idle_until = Clock::now() + std::chrono::seconds(15);
    while (c.counted < c.frames && Clock::now() < idle_until) {
        if (c.seen != seen) {
            seen = c.seen;
            if (seen > 0)
                idle_until = Clock::now() + std::chrono::seconds(5);
        }
        c.changed.wait_for(lock, std::chrono::milliseconds(100));
        lock.unlock();
        const bool ended = pipeline_ended(pipeline);
        lock.lock();
        if (ended)
            break;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_gst_rate PREFIX FRAMES WARMUP PIPELINE...\n");
        return 2;
    }
    gst_init(nullptr, nullptr);
    const std::string prefix = argv[1];
    Counter c;
    c.frames = std::max(2, std::atoi(argv[2]));
    c.warmup = std::max(0, std::atoi(argv[3]));
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launchv(const_cast<const gchar**>(argv + 4), &error);
    if (error || !pipeline) {
        std::fprintf(stderr, "bench_gst_rate: %s\n", error ? error->message : "no pipeline");
        g_clear_error(&error);
        if (pipeline)
            gst_object_unref(pipeline);
        return 2;
    }
    GstElement* count = gst_bin_get_by_name(GST_BIN(pipeline), "count");
    GstPad* pad = count ? gst_element_get_static_pad(count, "sink") : nullptr;
    if (!pad) {
        std::fprintf(stderr, "bench_gst_rate: the pipeline has no element \"count\" with a sink pad\n");
        if (count)
            gst_object_unref(count);
        gst_object_unref(pipeline);
        return 2;
    }
    gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST), on_buffer,
                      &c, nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    wait_for_frames(pipeline, c);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pad);
    gst_object_unref(count);
    gst_object_unref(pipeline);

    const double span = std::chrono::duration<double>(c.last - c.first).count();
    std::printf("%s_fps %.1f\n", prefix.c_str(), c.counted > 1 && span > 0 ? (c.counted - 1) / span : 0.0);
    std::printf("%s_frames %d\n", prefix.c_str(), c.counted);
    return c.counted > 1 ? 0 : 1;
}

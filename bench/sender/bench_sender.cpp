// Sender benchmarks: how fast the library accepts unpaced 3840x2160 UYVY
// frames, with no receiver and with one on this host, next to a plain
// memcpy of the same frames, and how evenly paced
// sends return next to an ideal absolute-deadline sleep loop. Results are
// printed as "key value" lines; intervals go to a CSV file for plotting.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_sender_setup.h"
#include "qrv/qrv_runtime.h"

namespace {

using qrv_bench::locator_of;
using qrv_bench::unpaced_sender;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Frames are windows into a buffer four frames high, one line further down
// each time, so that neither side profits from a cache-resident source.
struct Content {
    static constexpr int width = 3840, height = 2160, stride = width * 2, lines = 4 * height;
    std::vector<uint8_t> bytes = std::vector<uint8_t>((size_t)stride * lines);
    Content()
    {
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = (uint8_t)(i * 2654435761u >> 24);
    }
    uint8_t* window(int64_t j) { return bytes.data() + (size_t)(j % (lines - height)) * stride; }
};

// Frames sent before any clock starts, on every side alike, so that the
// first touch of fresh buffers (page faults) does not count.
constexpr int kWarmUpFrames = 8;

// Sends frames [first, first + count) back to back, asynchronously, and
// returns the rate at which the sender accepted them.
double accept_frames(QRVlib_send_instance_t sender, Content& content, int first, int count)
{
    QRVlib_video_frame_v2_t frame;
    frame.width = Content::width;
    frame.height = Content::height;
    frame.line_stride = Content::stride;
    const auto start = Clock::now();
    for (int j = first; j < first + count; ++j) {
        frame.data = content.window(j);
        QRVlib_send_send_video_async_v2(sender, &frame);
    }
    QRVlib_send_send_video_async_v2(sender, nullptr);
    return count / seconds_since(start);
}

// The accept rate while one receiver on this host takes every frame it can
// (it connects by the sender's locator, so over shared memory); the frames
// it captured go to *received.
double accept_with_receiver(Content& content, int frames, uint64_t* received)
{
    QRVlib_send_instance_t sender = unpaced_sender("Accept benchmark with a receiver");
    if (!sender)
        return 0;
    const std::string locator = locator_of(sender);
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("bench", locator.c_str()));
    QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&rs);
    double rate = 0;
    if (receiver && QRVlib_send_get_no_connections(sender, 5000) >= 1) {
        std::atomic<uint64_t> count{0};
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done) {
                QRVlib_video_frame_v2_t v;
                if (QRVlib_recv_capture_v2(receiver, &v, nullptr, nullptr, 100) == QRVlib_frame_type_video) {
                    ++count;
                    QRVlib_recv_free_video_v2(receiver, &v);
                }
            }
        });
        accept_frames(sender, content, 0, kWarmUpFrames);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const uint64_t before = count.load();
        rate = accept_frames(sender, content, kWarmUpFrames, frames);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        *received = count.load() - before;
        done = true;
        reader.join();
    } else {
        fprintf(stderr, "the receiver did not connect\n");
    }
    if (receiver)
        QRVlib_recv_destroy(receiver);
    QRVlib_send_destroy(sender);
    return rate;
}

void accept_rate(int frames)
{
    Content content;
    std::vector<uint8_t> sink((size_t)Content::stride * Content::height);

    // The ceiling: one copy of every frame.
    auto copy = [&](int first, int count) {
        const auto start = Clock::now();
        for (int j = first; j < first + count; ++j) {
            std::memcpy(sink.data(), content.window(j), sink.size());
            asm volatile("" : : "r"(sink.data()) : "memory");
        }
        return count / seconds_since(start);
    };
    copy(0, kWarmUpFrames);
    const double memcpy_fps = copy(kWarmUpFrames, frames);

    QRVlib_send_instance_t sender = unpaced_sender("Accept benchmark");
    if (!sender) {
        fprintf(stderr, "cannot create a sender\n");
        return;
    }
    accept_frames(sender, content, 0, kWarmUpFrames);
    const double accept_fps = accept_frames(sender, content, kWarmUpFrames, frames);
    QRVlib_send_destroy(sender);

    uint64_t received = 0;
    const double with_receiver_fps = accept_with_receiver(content, frames, &received);

    printf("accept_frames %d\n", frames);
    printf("accept_memcpy_fps %.1f\n", memcpy_fps);
    printf("accept_no_receiver_fps %.1f\n", accept_fps);
    printf("accept_ratio %.3f\n", accept_fps / memcpy_fps);
    printf("accept_one_receiver_fps %.1f\n", with_receiver_fps);
    printf("accept_one_receiver_ratio %.3f\n", with_receiver_fps / memcpy_fps);
    printf("accept_one_receiver_captured %llu\n", (unsigned long long)received);
}

struct IntervalStats {
    double mean_rate = 0, stddev_us = 0, p99_us = 0, drift_fps = 0;
};

IntervalStats analyse(const std::vector<Clock::time_point>& returns, double period_s)
{
    IntervalStats s;
    std::vector<double> intervals;
    for (size_t i = 1; i < returns.size(); ++i)
        intervals.push_back(std::chrono::duration<double>(returns[i] - returns[i - 1]).count());
    if (intervals.empty())
        return s;
    double sum = 0;
    for (double v : intervals)
        sum += v;
    const double mean = sum / intervals.size();
    double var = 0;
    std::vector<double> deviation;
    for (double v : intervals) {
        var += (v - mean) * (v - mean);
        deviation.push_back(std::fabs(v - period_s));
    }
    std::sort(deviation.begin(), deviation.end());
    s.mean_rate = 1.0 / mean;
    s.stddev_us = std::sqrt(var / intervals.size()) * 1e6;
    s.p99_us = deviation[std::min(deviation.size() - 1, (size_t)(0.99 * deviation.size()))] * 1e6;
    // Drift: the rate of the second half against the first.
    const size_t half = returns.size() / 2;
    if (half >= 2) {
        const double first = (half - 1) / std::chrono::duration<double>(returns[half - 1] - returns[0]).count();
        const double second =
            (returns.size() - half - 1) / std::chrono::duration<double>(returns.back() - returns[half]).count();
        s.drift_fps = second - first;
    }
    return s;
}

void pacing(int frames, const std::string& csv)
{
    const int64_t num = 30000, den = 1001;
    const double period = (double)den / num;

    // The ideal loop: absolute deadlines on the monotonic clock.
    std::vector<Clock::time_point> ideal;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    const int64_t origin = (int64_t)t0.tv_sec * 1000000000 + t0.tv_nsec;
    for (int k = 1; k <= frames; ++k) {
        const int64_t deadline = origin + k * den * 1000000000 / num;
        timespec ts{(time_t)(deadline / 1000000000), (long)(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        ideal.push_back(Clock::now());
    }

    QRVlib_send_create_t settings;
    settings.name = "Pacing benchmark";
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    if (!sender) {
        fprintf(stderr, "cannot create a sender\n");
        return;
    }
    std::vector<uint8_t> pixels(1920 * 1080 * 4);
    QRVlib_video_frame_v2_t frame;
    frame.width = 1920;
    frame.height = 1080;
    frame.fourcc = QRVlib_FourCC_type_BGRA;
    frame.line_stride = 1920 * 4;
    frame.data = pixels.data();
    std::vector<Clock::time_point> paced;
    for (int k = 0; k < frames; ++k) {
        std::memset(pixels.data(), (k & 1) ? 255 : 0, pixels.size());
        QRVlib_send_send_video_v2(sender, &frame);
        paced.push_back(Clock::now());
    }
    QRVlib_send_destroy(sender);

    const IntervalStats a = analyse(paced, period), b = analyse(ideal, period);
    printf("pacing_frames %d\n", frames);
    printf("pacing_mean_fps %.4f\n", a.mean_rate);
    printf("pacing_stddev_us %.1f\n", a.stddev_us);
    printf("pacing_p99_us %.1f\n", a.p99_us);
    printf("pacing_drift_fps %.5f\n", a.drift_fps);
    printf("ideal_mean_fps %.4f\n", b.mean_rate);
    printf("ideal_stddev_us %.1f\n", b.stddev_us);
    printf("ideal_p99_us %.1f\n", b.p99_us);

    if (!csv.empty()) {
        std::ofstream out(csv);
        out << "index,paced_ms,ideal_ms\n";
        for (size_t i = 1; i < paced.size() && i < ideal.size(); ++i)
            out << i << ',' << std::chrono::duration<double, std::milli>(paced[i] - paced[i - 1]).count() << ','
                << std::chrono::duration<double, std::milli>(ideal[i] - ideal[i - 1]).count() << '\n';
    }
}

// The accept rate of unpaced 1920x1080 BGRA frames with no receiver, each
// a window one line further down a buffer four frames high: the peer of
// the Python sender's benchmark (bench/python), which sends the same
// windows of a NumPy array.
void accept_bgra_rate(int frames)
{
    constexpr int width = 1920, height = 1080, stride = width * 4, lines = 4 * height;
    std::vector<uint8_t> bytes((size_t)stride * lines);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (uint8_t)(i * 2654435761u >> 24);
    QRVlib_send_instance_t sender = unpaced_sender("Accept benchmark BGRA");
    if (!sender) {
        fprintf(stderr, "cannot create a sender\n");
        return;
    }
    QRVlib_video_frame_v2_t frame(width, height, QRVlib_FourCC_type_BGRA);
    frame.line_stride = stride;
    auto send = [&](int first, int count) {
        const auto start = Clock::now();
        for (int j = first; j < first + count; ++j) {
            frame.data = bytes.data() + (size_t)(j % (lines - height)) * stride;
            QRVlib_send_send_video_async_v2(sender, &frame);
        }
        QRVlib_send_send_video_async_v2(sender, nullptr);
        return count / seconds_since(start);
    };
    send(0, kWarmUpFrames);
    printf("accept_bgra_1080_c_fps %.1f\n", send(kWarmUpFrames, frames));
    QRVlib_send_destroy(sender);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Sender benchmarks of libqrv"};
    int frames = 300;
    std::string csv;
    auto* accept = app.add_subcommand("accept", "accept rate of unpaced 3840x2160 frames against memcpy");
    accept->add_option("--frames", frames, "frames to send")->check(CLI::PositiveNumber);
    auto* accept_bgra = app.add_subcommand("accept-bgra", "accept rate of unpaced 1920x1080 BGRA frames");
    accept_bgra->add_option("--frames", frames, "frames to send")->check(CLI::PositiveNumber);
    auto* pace = app.add_subcommand("pacing", "paced sends at 30000/1001 against an ideal sleep loop");
    pace->add_option("--frames", frames, "frames to send")->check(CLI::PositiveNumber);
    pace->add_option("--csv", csv, "file for the inter-frame intervals");
    app.require_subcommand(1);
    CLI11_PARSE(app, argc, argv);

    if (!QRVlib_initialize()) {
        fprintf(stderr, "the library cannot run here\n");
        return 1;
    }
    if (*accept)
        accept_rate(frames);
    if (*accept_bgra)
        accept_bgra_rate(frames);
    if (*pace)
        pacing(frames, csv);
    QRVlib_destroy();
    return 0;
}

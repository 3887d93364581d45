// Frames per second that reach one receiver on the same host (sender and
// receiver in this process, the sender sending without pause), over the
// shared-memory path and over TCP, next to a plain memcpy of the same
// frames measured in the same run.
// Prints "key value" lines; the ratios are what to compare across machines.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_sender_setup.h"
#include "qrv/qrv_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 3840, kHeight = 2160, kStride = kWidth * 2;
constexpr size_t kFrameBytes = (size_t)kStride * kHeight;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double memcpy_rate(const std::vector<std::vector<uint8_t>>& sources, int frames)
{
    std::vector<uint8_t> dst(kFrameBytes);
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        std::memcpy(dst.data(), sources[i % sources.size()].data(), kFrameBytes);
        // Keeps the copy from being optimised away.
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    return frames / seconds_since(start);
}

// Without the Unix socket in the locator the receiver takes TCP.
std::string tcp_only(std::string locator)
{
    const size_t q = locator.find("?unix=");
    if (q == std::string::npos)
        return locator;
    const size_t amp = locator.find('&', q);
    return locator.substr(0, q) + (amp == std::string::npos ? "" : "?" + locator.substr(amp + 1));
}

// The rate at which frames reach the receiver while the sender keeps
// sending: the sender runs unpaced and skips frames for a receiver that is
// still busy (that is the design), so what counts is how many arrive per
// second, measured after a warm-up in which the buffers' pages are first
// touched, over `frames` arrivals (or 10 seconds at most).
double delivered_rate(const std::vector<std::vector<uint8_t>>& sources, int frames, bool shared,
                      uint64_t* dropped)
{
    constexpr int kWarmup = 10;
    auto sender = qrv_bench::unpaced_sender("Transport Benchmark");
    if (!sender)
        return 0;
    std::string locator = qrv_bench::locator_of(sender);
    if (!shared)
        locator = tcp_only(locator);
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("bench", locator.c_str()));
    auto receiver = QRVlib_recv_create_v3(&rs);
    if (!receiver || QRVlib_send_get_no_connections(sender, 5000) < 1)
        return 0;

    std::atomic<bool> done{false};
    std::thread feeder([&] {
        QRVlib_video_frame_v2_t f;
        f.width = kWidth;
        f.height = kHeight;
        f.line_stride = kStride;
        for (size_t i = 0; !done; ++i) {
            f.data = const_cast<uint8_t*>(sources[i % sources.size()].data());
            QRVlib_send_send_video_v2(sender, &f);
        }
    });
    int received = 0;
    Clock::time_point from{};
    QRVlib_recv_stats_t before{};
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (received < kWarmup + frames && Clock::now() < give_up) {
        QRVlib_video_frame_v2_t v;
        if (QRVlib_recv_capture_v2(receiver, &v, nullptr, nullptr, 100) != QRVlib_frame_type_video)
            continue;
        QRVlib_recv_free_video_v2(receiver, &v);
        if (++received == kWarmup) {
            from = Clock::now();
            QRVlib_recv_get_stats(receiver, &before);
        }
    }
    const double elapsed = received > kWarmup ? seconds_since(from) : 0.0;
    done = true;
    feeder.join();
    QRVlib_recv_stats_t after{};
    QRVlib_recv_get_stats(receiver, &after);
    // Frames that reached the receiver but were replaced before capture.
    *dropped = after.video_dropped - before.video_dropped;
    QRVlib_recv_destroy(receiver);
    QRVlib_send_destroy(sender);
    return elapsed > 0 ? (received - kWarmup) / elapsed : 0.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::atoi(argv[1]) : 120;
    if (!QRVlib_initialize())
        return 0;
    // Four distinct frames so that no side profits from a cache-resident source.
    std::vector<std::vector<uint8_t>> sources(4, std::vector<uint8_t>(kFrameBytes));
    for (size_t k = 0; k < sources.size(); ++k)
        for (size_t i = 0; i < kFrameBytes; ++i)
            sources[k][i] = (uint8_t)((i + k) * 2654435761u >> 24);
    const double copy = memcpy_rate(sources, frames);
    uint64_t dropped = 0, tcp_dropped = 0;
    const double delivered = delivered_rate(sources, frames, true, &dropped);
    const double tcp = delivered_rate(sources, frames, false, &tcp_dropped);
    std::printf("frames %d\n", frames);
    std::printf("memcpy_fps %.1f\n", copy);
    // The default path on this host (shared memory when offered).
    std::printf("delivered_fps %.1f\n", delivered);
    std::printf("dropped_frames %llu\n", (unsigned long long)dropped);
    std::printf("ratio_to_memcpy %.3f\n", copy > 0 ? delivered / copy : 0.0);
    // The same over TCP, as between hosts.
    std::printf("tcp_delivered_fps %.1f\n", tcp);
    std::printf("tcp_dropped_frames %llu\n", (unsigned long long)tcp_dropped);
    std::printf("tcp_ratio_to_memcpy %.3f\n", copy > 0 ? tcp / copy : 0.0);
    QRVlib_destroy();
    return 0;
}

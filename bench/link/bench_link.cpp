// Sender and receiver halves of the two-process benchmarks, each run as its
// own process (possibly in its own network namespace):
//   bench_link send   --locator FILE [--frames N | --continuous] [--width W --height H] [--interval-us U]
//                     [--photo IMAGE.jpg] [--strobe] [--fill] [--on-demand] [--cpu PREFIX]
//   bench_link recv   --locator FILE [--prefix P] [--tcp-only] [--frames N] [--warmup K] [--seconds S]
//                     [--first-frame]
//   bench_link tcp-send --host A --port P [--frames N]
//   bench_link tcp-recv --bind A --port P [--prefix P] [--frames N]
//   bench_link memcpy [--frames N]
// The sender publishes its locator through FILE; the receiver reads it. The
// sender stamps each frame's timestamp with CLOCK_MONOTONIC (shared by every
// network namespace of the host) and the receiver compares at capture.
// A continuous sender sends until its receiver has taken its N frames and
// left, so that the receiver's rate is what the link delivers, not how many
// of a short burst it caught. The receiver's first K frames (buffers being
// faulted in, TCP windows opening) are received but not counted; with
// --seconds it counts for that long after them instead of N frames, so
// that a slow link shows as a low rate rather than a long run.
// Rates are (frames - 1) over the time from the first frame to the last.
// Frames are UYVY noise by default; --photo sends a JPEG photograph scaled
// to the size with camera-like noise that differs from frame to frame (four
// variants), and --strobe alternating black and white BGRA as strobe_pump.
// With --fill every frame is written whole (zeros) just before it goes and
// is sent asynchronously from one of two buffers, as a GStreamer source
// writes each buffer and qrvsink lends it: the runtime copies one frame
// while the next is written.
// With --on-demand the sender makes each frame only once a receiver is
// ready for it (QRVlib_send_wait_video_wanted), as a renderer would, so
// that a continuous sender measures what the link carries without burning
// a processor on copies of frames the link then skips.
// Each side reports the processor time it used while frames flowed, in
// percent of one core (PREFIX_send_cpu_pct, PREFIX_cpu_pct). A receiver
// with --first-frame reports the time from its creation to its first video
// frame (PREFIX_first_frame_ms) and leaves.
// Results are "key value" lines on standard output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <turbojpeg.h>

#include "libyuv/convert_from_argb.h"
#include "libyuv/scale_argb.h"
#include "bench_sender_setup.h"
#include "qrv/qrv_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

struct Args {
    std::map<std::string, std::string> values;
    std::string get(const std::string& key, const std::string& fallback = "") const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
    long num(const std::string& key, long fallback) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
    }
    bool has(const std::string& key) const { return values.count(key) != 0; }
};

Args parse(int argc, char** argv)
{
    Args a;
    for (int i = 2; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0)
            continue;
        const std::string key(argv[i] + 2);
        const bool has_value = i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0;
        a.values.insert_or_assign(key, std::string(has_value ? argv[++i] : "1"));
    }
    return a;
}

// Four distinct frames so that no side profits from a cache-resident source.
std::vector<std::vector<uint8_t>> make_sources(size_t bytes)
{
    std::vector<std::vector<uint8_t>> s(4, std::vector<uint8_t>(bytes));
    for (size_t k = 0; k < s.size(); ++k)
        for (size_t i = 0; i < bytes; ++i)
            s[k][i] = (uint8_t)((i + k) * 2654435761u >> 24);
    return s;
}

// A photograph as UYVY frames of this size, each variant with its own
// noise of a few levels; nothing when the file does not decode.
std::vector<std::vector<uint8_t>> photo_sources(const std::string& path, int width, int height)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    std::vector<uint8_t> bgra;
    bool ok = !jpeg.empty() && tjDecompressHeader3(d, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs) == 0;
    if (ok) {
        bgra.resize((size_t)w * h * 4);
        ok = tjDecompress2(d, jpeg.data(), jpeg.size(), bgra.data(), w, w * 4, h, TJPF_BGRA, 0) == 0;
    }
    tjDestroy(d);
    if (!ok)
        return {};
    std::vector<uint8_t> scaled((size_t)width * height * 4);
    libyuv::ARGBScale(bgra.data(), w * 4, w, h, scaled.data(), width * 4, width, height, libyuv::kFilterBox);
    std::vector<std::vector<uint8_t>> s(4, std::vector<uint8_t>((size_t)width * height * 2));
    uint32_t seed = 99;
    std::vector<uint8_t> noisy(scaled.size());
    for (auto& frame : s) {
        for (size_t i = 0; i < scaled.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            noisy[i] = (uint8_t)std::clamp((int)scaled[i] + (int)(seed >> 29) - 3, 0, 255);
        }
        libyuv::ARGBToUYVY(noisy.data(), width * 4, frame.data(), width * 2, width, height);
    }
    return s;
}

// This process's user and system time so far, in seconds (/proc/self/stat).
double cpu_seconds()
{
    std::ifstream in("/proc/self/stat");
    std::string line;
    std::getline(in, line);
    // Fields after the command name, which may hold spaces: state is the
    // third field, utime the 14th and stime the 15th.
    const auto close = line.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::vector<std::string> fields;
    std::string field;
    for (char c : line.substr(close + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (fields.size() < 13)
        return 0;
    const double ticks = (double)sysconf(_SC_CLK_TCK);
    return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) / ticks;
}

// Processor use between two marks, in percent of one core.
struct CpuMark {
    double cpu = cpu_seconds();
    Clock::time_point wall = Clock::now();
    double percent_since() const
    {
        const double span = std::chrono::duration<double>(Clock::now() - wall).count();
        return span > 0 ? 100.0 * (cpu_seconds() - cpu) / span : 0.0;
    }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void report_rate(const std::string& prefix, int frames, Clock::time_point first, Clock::time_point last)
{
    const double span = std::chrono::duration<double>(last - first).count();
    std::printf("%s_frames %d\n", prefix.c_str(), frames);
    std::printf("%s_fps %.1f\n", prefix.c_str(), frames > 1 && span > 0 ? (frames - 1) / span : 0.0);
}

int run_memcpy(const Args& a)
{
    const int frames = (int)a.num("frames", 120);
    const size_t bytes = 3840u * 2160u * 2u;
    auto sources = make_sources(bytes);
    std::vector<uint8_t> dst(bytes);
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        std::memcpy(dst.data(), sources[i % sources.size()].data(), bytes);
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%s_fps %.1f\n", a.get("prefix", "memcpy").c_str(), s > 0 ? frames / s : 0.0);
    return 0;
}

int run_send(const Args& a)
{
    const int frames = (int)a.num("frames", 120);
    const int width = (int)a.num("width", 3840), height = (int)a.num("height", 2160);
    const long interval_us = a.num("interval-us", 0);
    const std::string locator_file = a.get("locator");
    if (locator_file.empty() || width <= 0 || height <= 0 || width > 16384 || height > 16384)
        return 2;
    if (!QRVlib_initialize())
        return 1;
    auto sender = qrv_bench::unpaced_sender(a.get("name", "Link Benchmark").c_str());
    if (!sender)
        return 1;
    const std::string locator = qrv_bench::locator_of(sender);
    {
        // Written whole, then renamed, so that the reader never sees half.
        const std::string tmp = locator_file + ".tmp";
        std::ofstream(tmp) << locator << "\n";
        std::rename(tmp.c_str(), locator_file.c_str());
    }
    int rc = 0;
    if (QRVlib_send_get_no_connections(sender, 15000) < 1) {
        std::fprintf(stderr, "bench_link send: no receiver connected\n");
        rc = 1;
    } else {
        const bool strobe = a.has("strobe");
        const size_t stride = (size_t)width * (strobe ? 4 : 2);
        std::vector<std::vector<uint8_t>> sources;
        if (strobe) {
            sources.assign(1, std::vector<uint8_t>(stride * (size_t)height, 0));
            sources.emplace_back(stride * (size_t)height, 255);
        } else if (a.has("photo")) {
            sources = photo_sources(a.get("photo"), width, height);
        }
        if (sources.empty())
            sources = make_sources(stride * (size_t)height);
        QRVlib_video_frame_v2_t f;
        f.width = width;
        f.height = height;
        f.line_stride = (int32_t)stride;
        if (strobe)
            f.fourcc = QRVlib_FourCC_type_BGRA;
        auto next = Clock::now();
        const CpuMark cpu_start;
        const bool continuous = a.has("continuous");
        const bool fill = a.has("fill") && sources.size() >= 2;
        const bool on_demand = a.has("on-demand");
        const auto give_up = Clock::now() + std::chrono::seconds(40);
        for (int i = 0; continuous ? Clock::now() < give_up && QRVlib_send_get_no_connections(sender, 0) > 0
                                   : i < frames;
             ++i) {
            if (interval_us > 0) {
                std::this_thread::sleep_until(next);
                next += std::chrono::microseconds(interval_us);
            }
            if (on_demand)
                QRVlib_send_wait_video_wanted(sender, 100);
            f.data = sources[i % (fill ? 2 : sources.size())].data();
            if (fill) {
                // The previous send returned: the buffer lent before it is free.
                std::memset(f.data, 0, stride * (size_t)height);
                f.timestamp = monotonic_ns();
                QRVlib_send_send_video_async_v2(sender, &f);
            } else {
                f.timestamp = monotonic_ns();
                QRVlib_send_send_video_v2(sender, &f);
            }
        }
        QRVlib_send_send_video_async_v2(sender, nullptr);  // the last loan ends
        if (a.has("cpu"))
            std::printf("%s_send_cpu_pct %.1f\n", a.get("cpu").c_str(), cpu_start.percent_since());
        // Stays until the receiver has taken what it wants and left.
        const auto until = Clock::now() + std::chrono::seconds(15);
        while (Clock::now() < until && QRVlib_send_get_no_connections(sender, 0) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // What went through a multicast group, when one was offered.
    QRVlib_send_multicast_stats_t group{};
    if (QRVlib_send_get_multicast_stats(sender, &group) && group.messages > 0)
        std::printf("group_messages %llu\ngroup_repairs %llu\ngroup_dropped %llu\n",
                    (unsigned long long)group.messages, (unsigned long long)group.repairs,
                    (unsigned long long)group.dropped);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return rc;
}

int run_recv(const Args& a)
{
    const int frames = (int)a.num("frames", 1 << 30);
    const std::string prefix = a.get("prefix", "link");
    const std::string locator_file = a.get("locator");
    std::string locator;
    for (int i = 0; i < 300 && locator.empty(); ++i) {
        std::ifstream in(locator_file);
        std::getline(in, locator);
        if (locator.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (locator.empty()) {
        std::fprintf(stderr, "bench_link recv: no locator in %s\n", locator_file.c_str());
        return 1;
    }
    if (a.has("tcp-only")) {
        // Without the local socket path the receiver can only use TCP, as
        // one on another machine would.
        const auto q = locator.find("?unix=");
        if (q != std::string::npos) {
            const auto amp = locator.find('&', q);
            if (amp == std::string::npos) {
                locator.erase(q);
            } else {
                locator.erase(q, amp - q);
                locator[q] = '?';
            }
        }
    }
    if (!QRVlib_initialize())
        return 1;
    const auto created = Clock::now();
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("bench", locator.c_str()));
    auto receiver = QRVlib_recv_create_v3(&rs);
    if (!receiver)
        return 1;
    std::vector<double> latency_us;
    int warmup = (int)std::max(0L, a.num("warmup", 0));
    const long seconds = a.num("seconds", 0);
    int received = 0;
    Clock::time_point first{}, last{};
    Clock::time_point count_until = Clock::time_point::max();
    CpuMark cpu_start;
    auto idle_until = Clock::now() + std::chrono::seconds(15);
    while (received < frames && Clock::now() < idle_until && Clock::now() < count_until) {
        QRVlib_video_frame_v2_t v;
        const auto type = QRVlib_recv_capture_v2(receiver, &v, nullptr, nullptr, 100);
        if (type != QRVlib_frame_type_video)
            continue;
        const int64_t now = monotonic_ns();
        if (a.has("first-frame")) {
            std::printf("%s_first_frame_ms %.1f\n", prefix.c_str(),
                        std::chrono::duration<double, std::milli>(Clock::now() - created).count());
            QRVlib_recv_free_video_v2(receiver, &v);
            QRVlib_recv_destroy(receiver);
            QRVlib_destroy();
            return 0;
        }
        if (warmup > 0) {
            --warmup;
            QRVlib_recv_free_video_v2(receiver, &v);
            idle_until = Clock::now() + std::chrono::milliseconds(1000);
            if (warmup == 0 && seconds > 0)
                count_until = Clock::now() + std::chrono::seconds(seconds);
            if (warmup == 0)
                cpu_start = CpuMark{};
            continue;
        }
        last = Clock::now();
        if (received++ == 0)
            first = last;
        if (v.timestamp > 0 && now >= v.timestamp)
            latency_us.push_back((double)(now - v.timestamp) / 1000.0);
        QRVlib_recv_free_video_v2(receiver, &v);
        idle_until = last + std::chrono::milliseconds(1000);
    }
    const double cpu_pct = cpu_start.percent_since();
    QRVlib_recv_stats_t st{};
    QRVlib_recv_get_stats(receiver, &st);
    QRVlib_recv_destroy(receiver);
    QRVlib_destroy();
    report_rate(prefix, received, first, last);
    std::printf("%s_dropped %llu\n", prefix.c_str(), (unsigned long long)st.video_dropped);
    std::printf("%s_latency_median_us %.0f\n", prefix.c_str(), percentile(latency_us, 0.5));
    std::printf("%s_latency_p99_us %.0f\n", prefix.c_str(), percentile(latency_us, 0.99));
    std::printf("%s_cpu_pct %.1f\n", prefix.c_str(), cpu_pct);
    return received > 0 ? 0 : 1;
}

bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// The peer: the same frames as a plain TCP byte stream, no framing at all.
int run_tcp_send(const Args& a)
{
    const int frames = (int)a.num("frames", 120);
    const size_t bytes = 3840u * 2160u * 2u;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)a.num("port", 47600));
    if (inet_pton(AF_INET, a.get("host", "127.0.0.1").c_str(), &addr.sin_addr) != 1)
        return 2;
    int fd = -1;
    for (int i = 0; i < 300; ++i) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && ::connect(fd, (sockaddr*)&addr, sizeof addr) == 0)
            break;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd < 0) {
        std::fprintf(stderr, "bench_link tcp-send: cannot connect\n");
        return 1;
    }
    auto sources = make_sources(bytes);
    bool ok = true;
    for (int i = 0; i < frames && ok; ++i)
        ok = write_all(fd, sources[i % sources.size()].data(), bytes);
    ::close(fd);
    return ok ? 0 : 1;
}

int run_tcp_recv(const Args& a)
{
    const int frames = (int)a.num("frames", 120);
    const std::string prefix = a.get("prefix", "tcp");
    const size_t bytes = 3840u * 2160u * 2u;
    int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)a.num("port", 47600));
    if (inet_pton(AF_INET, a.get("bind", "127.0.0.1").c_str(), &addr.sin_addr) != 1 ||
        ::bind(ls, (sockaddr*)&addr, sizeof addr) != 0 || ::listen(ls, 1) != 0) {
        std::fprintf(stderr, "bench_link tcp-recv: cannot listen\n");
        return 1;
    }
    const int fd = ::accept(ls, nullptr, nullptr);
    ::close(ls);
    if (fd < 0)
        return 1;
    // Each frame lands in a frame-sized buffer, as a receiver's would.
    std::vector<uint8_t> frame(bytes);
    int received = 0;
    Clock::time_point first{}, last{};
    for (;;) {
        size_t got = 0;
        while (got < bytes) {
            const ssize_t r = ::recv(fd, frame.data() + got, bytes - got, 0);
            if (r <= 0)
                break;
            got += (size_t)r;
        }
        if (got < bytes)
            break;
        last = Clock::now();
        if (received++ == 0)
            first = last;
    }
    ::close(fd);
    report_rate(prefix, received, first, last);
    return received >= frames ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const Args a = parse(argc, argv);
    if (mode == "send")
        return run_send(a);
    if (mode == "recv")
        return run_recv(a);
    if (mode == "tcp-send")
        return run_tcp_send(a);
    if (mode == "tcp-recv")
        return run_tcp_recv(a);
    if (mode == "memcpy")
        return run_memcpy(a);
    std::fprintf(stderr, "usage: bench_link send|recv|tcp-send|tcp-recv|memcpy [options]\n");
    return 2;
}

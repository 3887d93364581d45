// Receiving a 4K stream from a multicast group: processor time per GiB of
// the receiving process when the kernel hands over runs of datagrams whole
// (UDP GRO) and when it hands them over one at a time, taking turns in the
// same run. The source and the receiver are processes of their own, each
// one's time its own, optionally each in a network namespace (a host) of
// its own; the source's time is given too, as the kernel's receive path
// of a link between namespaces runs on the sending side.
// Usage: bench_multicast_receive SOURCE INTERFACE FRAMES [SOURCE_NS RECEIVER_NS]
// (SOURCE: the source's address; INTERFACE: the receiver's).
// Prints "key value" lines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qrvlib.h"
#include "transport/group_claim.h"
#include "transport/multicast_receiver.h"
#include "transport/multicast_sender.h"
#include "wire/packet.h"

using namespace qrv;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kFrameBytes = 2 << 20;  // a detailed 4K photograph, compressed
constexpr auto kInterval = std::chrono::microseconds(16683);  // 59.94 fps

struct Result {
    double seconds = 0;  // processor time, user and system
    uint64_t bytes = 0;  // of frames delivered whole
    uint64_t frames = 0;
    uint64_t lost = 0;
    uint64_t runs = 0;
    uint64_t datagrams = 0;
    uint64_t whole = 0;  // messages reassembled
    uint64_t bad = 0;    // dropped: lengths, form, or not a media message
};

double cpu_seconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void enter(const char* ns)
{
    if (!ns)
        return;
    const int fd = open((std::string("/run/netns/") + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        std::perror(ns);
        std::exit(1);
    }
    close(fd);
}

template <typename T>
void put(int fd, const T& v)
{
    if (write(fd, &v, sizeof v) != sizeof v)
        std::_Exit(2);
}

template <typename T>
T get(int fd)
{
    T v{};
    if (read(fd, &v, sizeof v) != sizeof v)
        std::_Exit(3);
    return v;
}

[[noreturn]] void receive(int in, int out, uint32_t interface, bool coalesce, const char* ns)
{
    enter(ns);
    const auto offer = get<wire::MulticastOfferFields>(in);
    std::atomic<uint64_t> bytes{0}, frames{0};
    Result r;
    {
        transport::MulticastReceiver group(
            offer, interface, std::chrono::milliseconds(60),
            [&](transport::Message&& m) {
                bytes += m.data ? m.data->size() : 0;
                ++frames;
            },
            [](std::vector<uint8_t>&&) {}, "bench", false, coalesce);
        put(out, char(1));
        get<char>(in);  // the source is done
        const auto s = group.stats();
        r.lost = s.datagrams.lost;
        r.runs = s.runs;
        r.datagrams = s.datagrams.datagrams;
        r.whole = s.datagrams.messages;
        r.bad = s.bad_messages + s.datagrams.malformed + s.datagrams.bad_lengths + s.datagrams.forged +
                s.datagrams.overflow;
    }
    r.seconds = cpu_seconds(RUSAGE_SELF);
    r.bytes = bytes;
    r.frames = frames;
    put(out, r);
    std::_Exit(0);
}

wire::PacketPtr make_frame()
{
    wire::VideoFields f;
    f.width = 3840;
    f.height = 2160;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.frame_rate_num = 60000;
    f.frame_rate_den = 1001;
    f.frame_format = 1;
    f.line_bytes = 3840 * 4;
    f.format_tag = wire::kVideoSlicedJpeg;
    auto bytes = wire::encode_video(f, "", kFrameBytes);
    std::mt19937 noise(7);
    const size_t head = bytes.size();
    bytes.resize(head + kFrameBytes);
    for (size_t i = head; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(noise());
    return wire::make_packet(wire::MessageType::video, std::move(bytes));
}

// One turn: a receiver process joins, the source sends frames frames.
void turn(uint32_t group, uint32_t source, uint32_t interface, int frames, bool coalesce, const char* ns,
          const wire::PacketPtr& frame)
{
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0)
        std::exit(1);
    const pid_t child = fork();
    if (child == 0)
        receive(down[0], up[1], interface, coalesce, ns);
    double sender_seconds = 0;
    {
        transport::MulticastSettings settings;
        transport::MulticastSender sender(group, source, settings, "bench");
        put(down[1], sender.offer());
        get<char>(up[0]);
        const double before = cpu_seconds(RUSAGE_SELF);
        auto next = Clock::now();
        for (int i = 0; i < frames; ++i) {
            sender.send(*frame);
            next += kInterval;
            std::this_thread::sleep_until(next);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sender_seconds = cpu_seconds(RUSAGE_SELF) - before;
    }
    put(down[1], char(1));
    const auto r = get<Result>(up[0]);
    waitpid(child, nullptr, 0);
    for (int fd : {down[0], down[1], up[0], up[1]})
        close(fd);
    const double gib = double(r.bytes) / (1 << 30);
    const char* name = coalesce ? "coalesced" : "single";
    std::printf("receive_%s_cpu_s_per_gib %.3f\n", name, gib > 0 ? r.seconds / gib : 0.0);
    std::printf("receive_%s_source_cpu_s_per_gib %.3f\n", name, gib > 0 ? sender_seconds / gib : 0.0);
    std::printf("receive_%s_frames %llu of %d (whole %llu, lost %llu, bad %llu)\n", name,
                (unsigned long long)r.frames, frames, (unsigned long long)r.whole, (unsigned long long)r.lost,
                (unsigned long long)r.bad);
    std::printf("receive_%s_datagrams_per_run %.1f\n", name,
                r.datagrams / double(std::max<uint64_t>(1, r.runs ? r.runs : r.datagrams)));
    std::fflush(stdout);
}

uint32_t address(const char* text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text);
        std::exit(1);
    }
    return ntohl(a.s_addr);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: %s SOURCE INTERFACE FRAMES [SOURCE_NS RECEIVER_NS]\n", argv[0]);
        return 1;
    }
    const uint32_t source = address(argv[1]), interface = address(argv[2]);
    const int frames = std::atoi(argv[3]);
    const char* source_ns = argc == 6 ? argv[4] : nullptr;
    const char* receiver_ns = argc == 6 ? argv[5] : nullptr;
    enter(source_ns);
    const auto group = transport::claim_group("bench multicast receive", transport::MulticastSettings{});
    if (!group)
        return 1;
    const auto frame = make_frame();
    // Taking turns, so that a change of load on the host falls on both.
    for (int round = 0; round < 2; ++round)
        for (const bool coalesce : {round == 0, round != 0})
            turn(group->group, source, interface, frames, coalesce, receiver_ns, frame);
    return 0;
}

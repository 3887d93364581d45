// Peers that go silent, promise much, trickle, hog the slots or run short
// of descriptors; played with raw sockets on loopback against a real
// sender, or as a fake source against a real receiver's link.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "sanitizers.h"
#include "objects/receiver.h"
#include "objects/sender.h"
#include "transport_support.h"
#include "base/socket.h"
#include "transport/client_link.h"

using namespace qrv;
using namespace std::chrono_literals;
using qrv_test::BgraFrame;
using qrv_test::open_descriptors;
using Clock = std::chrono::steady_clock;

namespace {

Scope loopback()
{
    return Scope::from_value(nullptr);
}

std::unique_ptr<Sender> make_sender(const char* name, transport::ServerOptions options = {})
{
    return std::make_unique<Sender>(SenderSettings{name, "", false, false}, loopback(), options);
}

long rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Counts what a link reports, and lets a test wait for it.
class Events final : public transport::LinkEvents {
public:
    void on_link_up(transport::ClientLink&) override { bump(ups); }
    void on_link_down(transport::ClientLink&) override
    {
        down_at = Clock::now();
        bump(downs);
    }
    void on_link_status(transport::ClientLink&, uint32_t) override {}
    void on_link_redirect(transport::ClientLink&, const std::string&) override {}
    void on_link_media(transport::ClientLink& link, transport::Message&& m) override
    {
        if (m.header.type == wire::MessageType::video && !link.shared())
            bump(tcp_frames);
        bump(frames);
    }
    void on_link_bad(transport::ClientLink&) override { bump(bad); }
    void on_link_skipped(transport::ClientLink&, bool) override {}

    // Waits until counter reaches n; false when the time is up.
    bool wait(const std::atomic<int>& counter, int n, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return counter.load() >= n; });
    }

    std::atomic<int> ups{0}, downs{0}, frames{0}, tcp_frames{0}, bad{0};
    std::atomic<Clock::time_point> down_at{};

private:
    void bump(std::atomic<int>& counter)
    {
        {
            std::lock_guard lock(mutex_);
            ++counter;
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Where a link connects; the test may move it.
struct Target {
    std::mutex mutex;
    Endpoint where;
    void set(const Endpoint& e)
    {
        std::lock_guard lock(mutex);
        where = e;
    }
    transport::ClientLink::Resolver resolver()
    {
        return [this]() -> std::optional<Endpoint> {
            std::lock_guard lock(mutex);
            return where;
        };
    }
};

// True when the peer closes the socket within the limit (what it sends
// before is read and thrown away).
bool closed_within(int fd, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    uint8_t sink[4096];
    while (Clock::now() < end) {
        if (!net::wait_readable(fd, std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now())))
            return false;
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
    }
    return false;
}

// Sends frames of one size every few milliseconds until stopped.
class FramePump {
public:
    FramePump(Sender& sender, int w, int h) : frame_(w, h, 0x5A)
    {
        thread_ = std::thread([this, &sender] {
            while (!stop_) {
                sender.send_video(frame_.record);
                std::this_thread::sleep_for(15ms);
            }
        });
    }
    ~FramePump()
    {
        stop_ = true;
        thread_.join();
    }

private:
    BgraFrame frame_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

transport::LinkOptions quick_link()
{
    transport::LinkOptions o;
    o.retry_min = 20ms;
    o.retry_max = 100ms;
    o.shared_memory = false;
    return o;
}

// --- a silent peer ---------------------------------------------------------

TEST(HostilePeers, AReceiverGivesUpOnASilentSourceAndFindsARealOne)
{
    // A fake source that greets as a real one does (a status first) and
    // then says nothing more, its socket left open.
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    const uint16_t fake_port = net::local_port(listener.get());
    std::atomic<bool> stop{false};
    std::vector<net::Fd> accepted;
    std::thread fake([&] {
        while (!stop) {
            if (!net::wait_readable(listener.get(), 50ms))
                continue;
            net::Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            transport::Message hello;
            if (peer && transport::read_message(peer.get(), hello) == transport::ReadResult::ok)
                net::write_all(peer.get(), wire::encode_status({0}));
            accepted.push_back(std::move(peer));
        }
    });
    struct Stop {
        std::atomic<bool>& flag;
        std::thread& thread;
        ~Stop()
        {
            flag = true;
            thread.join();
        }
    } stop_fake{stop, fake};

    Target target;
    target.set(Endpoint{"127.0.0.1", fake_port, "", ""});
    Events events;
    auto options = quick_link();
    options.silence_timeout = 400ms;
    transport::ClientLink link(target.resolver(), "silent test", {}, events, options);
    ASSERT_TRUE(events.wait(events.ups, 1, 5s));
    const auto up_at = Clock::now();
    ASSERT_TRUE(events.wait(events.downs, 1, 3s)) << "still connected to a silent source";
    const auto detect = std::chrono::duration_cast<std::chrono::milliseconds>(events.down_at.load() - up_at);
    std::printf("silent source detected after %lld ms (silence timeout 400 ms)\n", (long long)detect.count());
    EXPECT_GE(detect.count(), 350);
    EXPECT_LT(detect.count(), 1500);
    EXPECT_FALSE(link.connected());

    // The source is found again, now a real one.
    auto sender = make_sender("hostile real");
    target.set(sender->endpoint());
    const int ups = events.ups.load();
    ASSERT_TRUE(events.wait(events.ups, ups + 1, 5s));
    BgraFrame f(16, 16, 7);
    const int frames = events.frames.load();
    for (int i = 0; i < 50 && events.frames.load() == frames; ++i) {
        sender->send_video(f.record);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(events.frames.load(), frames);
}

// A peer that takes the connection, reads the hello and never answers:
// the receiver says it is not connected once its handshake time is up,
// and tries again after a pause rather than hanging on.
TEST(HostilePeers, ASourceThatNeverGreetsIsReportedAndRetriedWithBackoff)
{
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    const uint16_t port = net::local_port(listener.get());
    std::mutex mutex;
    std::vector<Clock::time_point> accepted_at;
    std::atomic<bool> stop{false};
    std::thread silent([&] {
        std::vector<net::Fd> kept;
        while (!stop) {
            if (!net::wait_readable(listener.get(), 20ms))
                continue;
            net::Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            transport::Message hello;
            if (peer)
                transport::read_message(peer.get(), hello);
            std::lock_guard lock(mutex);
            accepted_at.push_back(Clock::now());
            kept.push_back(std::move(peer));
        }
    });
    struct Stop {
        std::atomic<bool>& flag;
        std::thread& thread;
        ~Stop()
        {
            flag = true;
            thread.join();
        }
    } stop_silent{stop, silent};

    ReceiverLimits limits;
    limits.link = quick_link();
    limits.link.handshake_timeout = 300ms;
    const auto start = Clock::now();
    Receiver receiver(ReceiverSettings{"x", format_locator(Endpoint{"127.0.0.1", port, "", ""}), "greetless"},
                      limits);
    bool reported = false;
    while (!reported && Clock::now() < start + 5s)
        reported = receiver.capture(nullptr, nullptr, nullptr, 50) == QRVlib_frame_type_status_change;
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    ASSERT_TRUE(reported) << "no word of the source that never greeted";
    EXPECT_FALSE(receiver.status().connected);
    EXPECT_GE(after.count(), 250);
    EXPECT_LT(after.count(), 1300);
    std::printf("not connected reported after %lld ms (handshake time 300 ms)\n", (long long)after.count());

    const auto retried_by = Clock::now() + 3s;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (accepted_at.size() >= 2)
                break;
        }
        ASSERT_LT(Clock::now(), retried_by) << "no second attempt";
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex);
    EXPECT_GE(accepted_at[1] - accepted_at[0], 300ms);  // the handshake time, then the pause
}

TEST(HostilePeers, AQuietSenderKeepsItsReceiversThroughKeepalives)
{
    transport::ServerOptions server;
    server.keepalive_interval = 50ms;
    auto sender = make_sender("hostile quiet", server);
    Target target;
    target.set(sender->endpoint());
    Events tcp_events, shm_events;
    auto options = quick_link();
    options.silence_timeout = 300ms;
    transport::ClientLink tcp(target.resolver(), "quiet tcp", {}, tcp_events, options);
    options.shared_memory = true;
    transport::ClientLink shm(target.resolver(), "quiet shm", {}, shm_events, options);
    ASSERT_TRUE(tcp_events.wait(tcp_events.ups, 1, 5s));
    ASSERT_TRUE(shm_events.wait(shm_events.ups, 1, 5s));
    // No frame for ten times the silence timeout.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(tcp_events.downs.load(), 0);
    EXPECT_EQ(shm_events.downs.load(), 0);
    EXPECT_EQ(tcp.connects(), 1u);
    EXPECT_EQ(shm.connects(), 1u);
    EXPECT_TRUE(shm.shared());
}

// A source whose host vanished, listed again elsewhere: the link goes there
// at once, whether it still holds the dead connection (not yet timed out as
// silent) or waits out its pause between attempts; retries and the silence
// timeout are far longer than the test's limits.
TEST(HostilePeers, ALinkToldItsSourceMovedLeavesADeadConnectionOrAPauseAtOnce)
{
    // A dead host as the link sees it: the connection stays open and
    // nothing comes after the greeting.
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    Target target;
    target.set(Endpoint{"127.0.0.1", net::local_port(listener.get()), "", ""});
    Events events;
    auto options = quick_link();
    options.retry_min = options.retry_max = 30s;
    options.silence_timeout = 30s;
    transport::ClientLink link(target.resolver(), "moved", {}, events, options);
    ASSERT_TRUE(net::wait_readable(listener.get(), 5s));
    net::Fd dead(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    transport::Message hello;
    ASSERT_EQ(transport::read_message(dead.get(), hello), transport::ReadResult::ok);
    ASSERT_TRUE(net::write_all(dead.get(), wire::encode_status({0})));
    ASSERT_TRUE(events.wait(events.ups, 1, 5s));

    auto first = make_sender("moved first");
    target.set(first->endpoint());
    link.moved(first->endpoint());
    EXPECT_TRUE(events.wait(events.downs, 1, 1s)) << "the dead connection was kept";
    EXPECT_TRUE(events.wait(events.ups, 2, 1s)) << "not connected to where the source went";
    // Listed again where it is (another record of the same instance): the
    // connection stays.
    link.moved(first->endpoint());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(events.downs.load(), 1);

    // Gone as well; the link waits out its pause until listed elsewhere.
    first.reset();
    ASSERT_TRUE(events.wait(events.downs, 2, 5s));
    auto second = make_sender("moved second");
    target.set(second->endpoint());
    const auto listed = Clock::now();
    link.moved(second->endpoint());
    ASSERT_TRUE(events.wait(events.ups, 3, 1s)) << "the pause between attempts was kept";
    std::printf("connected %lld ms after the new listing\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - listed).count());
    BgraFrame f(16, 16, 7);
    for (int i = 0; i < 50 && events.frames.load() == 0; ++i) {
        second->send_video(f.record);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(events.frames.load(), 0);
    EXPECT_EQ(link.connects(), 3u);
}

// --- promises the peer does not keep ------------------------------------

// A video header (valid fields) that promises a 200 MiB frame.
std::vector<uint8_t> huge_video_header()
{
    wire::VideoFields v;
    v.width = 8192;
    v.height = 6400;
    v.fourcc = QRVlib_FourCC_type_BGRA;
    v.frame_rate_num = 30;
    v.frame_rate_den = 1;
    v.line_bytes = 8192 * 4;
    return wire::encode_video(v, {}, uint64_t{v.line_bytes} * v.height);
}

std::vector<uint8_t> header_of(uint8_t type, uint32_t text_len, uint64_t data_len)
{
    std::vector<uint8_t> h(wire::kHeaderBytes, 0);
    const uint32_t magic = wire::kMagic;
    std::memcpy(h.data(), &magic, 4);
    h[4] = wire::kVersion;
    h[5] = type;
    std::memcpy(h.data() + 12, &text_len, 4);
    std::memcpy(h.data() + 16, &data_len, 8);
    return h;
}

TEST(HostilePeers, PromisesBeforeAndAfterTheHelloCostNothingAndEndInTime)
{
    transport::ServerOptions server;
    server.handshake_timeout = 5s;
    server.message_timeout = 300ms;
    auto sender = make_sender("hostile promises", server);
    const Endpoint e = sender->endpoint();
    auto connect = [&] { return net::connect_tcp(e.address, e.port, 1s); };
    Target target;
    target.set(e);
    Events events;
    transport::ClientLink good(target.resolver(), "good", {}, events, quick_link());
    ASSERT_TRUE(events.wait(events.ups, 1, 5s));
    FramePump pump(*sender, 64, 16);
    ASSERT_TRUE(events.wait(events.frames, 1, 5s));
    std::this_thread::sleep_for(200ms);
    const size_t fds_before = open_descriptors();
    const long rss_before = rss_kib();

    {
        // 200 MiB promised before any hello: closed at once, nothing taken.
        auto fd = connect();
        ASSERT_TRUE(fd);
        ASSERT_TRUE(net::write_all(fd.get(), huge_video_header()));
        const auto t0 = Clock::now();
        EXPECT_TRUE(closed_within(fd.get(), 1s));
        const long rss_after = rss_kib();
        std::printf("200 MiB promised before the hello: closed after %lld ms, sender RSS %ld -> %ld KiB\n",
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
                    rss_before, rss_after);
        EXPECT_LT(rss_after - rss_before, 16 * 1024);
    }
    {
        // After a hello, a message of an unknown type beyond the bound.
        auto fd = connect();
        ASSERT_TRUE(net::write_all(fd.get(), wire::encode_hello("greedy")));
        ASSERT_TRUE(net::write_all(fd.get(), header_of(200, 0, 10u << 20)));
        EXPECT_TRUE(closed_within(fd.get(), 1s));
    }
    {
        // After a hello, a media message that receivers never send.
        auto fd = connect();
        ASSERT_TRUE(net::write_all(fd.get(), wire::encode_hello("media")));
        ASSERT_TRUE(net::write_all(fd.get(), huge_video_header()));
        EXPECT_TRUE(closed_within(fd.get(), 1s));
    }
    {
        // A small unknown message is skipped and the connection kept.
        auto fd = connect();
        ASSERT_TRUE(net::write_all(fd.get(), wire::encode_hello("later")));
        auto small = header_of(200, 0, 100);
        small.resize(small.size() + 100, 0);
        ASSERT_TRUE(net::write_all(fd.get(), small));
        EXPECT_FALSE(closed_within(fd.get(), 500ms));
    }
    {
        // After a hello, half a message and then silence.
        auto fd = connect();
        ASSERT_TRUE(net::write_all(fd.get(), wire::encode_hello("trickle")));
        const auto tally = wire::encode_tally({1});
        ASSERT_TRUE(net::write_all(fd.get(), std::span(tally).first(tally.size() / 2)));
        const auto t0 = Clock::now();
        EXPECT_TRUE(closed_within(fd.get(), 3s));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        std::printf("half a message then silence: closed after %lld ms (limit 300 ms)\n", (long long)took);
        EXPECT_GE(took, 250);
    }
    EXPECT_GE(sender->transport_stats().bad_peers, 4u);

    // The legitimate stream went on, and the sender is back where it was.
    const int frames = events.frames.load();
    EXPECT_TRUE(events.wait(events.frames, frames + 5, 5s));
    EXPECT_EQ(events.downs.load(), 0);
    const auto end = Clock::now() + 3s;
    while (open_descriptors() > fds_before && Clock::now() < end)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(open_descriptors(), fds_before);
    EXPECT_LT(rss_kib() - rss_before, 16 * 1024);
}

// --- the slots --------------------------------------------------------------

// Peers that take every slot: with hello, when they never read, else silent.
std::vector<net::Fd> crowd(const Endpoint& e, size_t n, bool hello)
{
    std::vector<net::Fd> peers;
    for (size_t i = 0; i < n; ++i) {
        auto fd = net::connect_tcp(e.address, e.port, 1s);
        if (!fd)
            continue;
        int small = 4096;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (hello)
            net::write_all(fd.get(), wire::encode_hello("hog"));
        peers.push_back(std::move(fd));
    }
    return peers;
}

void a_receiver_gets_in_when_full(bool hello)
{
    transport::ServerOptions server;
    server.max_connections = 32;
    server.handshake_timeout = 30s;
    server.max_pending_per_host = 64;  // the full-server rule, not the per-address one
    server.stall_to_evict = 200ms;
    server.shared_memory = false;
    auto sender = make_sender(hello ? "hostile full stalled" : "hostile full silent", server);
    FramePump pump(*sender, 640, 480);
    auto peers = crowd(sender->endpoint(), 32, hello);
    if (hello) {
        ASSERT_TRUE(sender->wait_connections(32, 5s));
    }
    std::this_thread::sleep_for(600ms);  // the hogs' writers are stuck by now

    Target target;
    target.set(sender->endpoint());
    Events events;
    const auto t0 = Clock::now();
    transport::ClientLink link(target.resolver(), "newcomer", {}, events, quick_link());
    ASSERT_TRUE(events.wait(events.frames, 3, 3s)) << "kept out of a full server";
    std::printf("full server (%s): a new receiver got frames after %lld ms; %llu evicted\n",
                hello ? "stalled peers" : "silent peers",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
                (unsigned long long)sender->transport_stats().evicted);
    EXPECT_GE(sender->transport_stats().evicted, 1u);
}

TEST(HostilePeers, AFullServerOfSilentPeersLetsARealReceiverIn)
{
    a_receiver_gets_in_when_full(false);
}

TEST(HostilePeers, AFullServerOfStalledPeersLetsARealReceiverIn)
{
    a_receiver_gets_in_when_full(true);
}

TEST(HostilePeers, ConnectionsWaitingForTheirHelloAreFewPerAddress)
{
    transport::ServerOptions server;
    server.handshake_timeout = 30s;
    server.max_pending_per_host = 4;
    auto sender = make_sender("hostile per address", server);
    auto peers = crowd(sender->endpoint(), 10, false);
    // The six oldest made room for the newer ones.
    int closed = 0;
    for (auto& p : peers)
        closed += closed_within(p.get(), 300ms);
    EXPECT_EQ(closed, 6);
}

// --- one descriptor short ------------------------------------------------

TEST(HostilePeers, AReceiverOutOfDescriptorsFallsBackToTcp)
{
    QRV_SKIP_OUT_OF_DESCRIPTORS_UNDER_SANITIZERS();
    auto sender = make_sender("hostile descriptors");
    ASSERT_FALSE(sender->endpoint().unix_path.empty());
    const Endpoint where = sender->endpoint();
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        // Room for the socket, none for a descriptor passed along with a
        // frame.
        qrv_test::leave_one_free_descriptor();
        Target target;
        target.set(where);
        Events events;
        transport::LinkOptions options;
        options.retry_min = 20ms;
        options.retry_max = 100ms;
        char result = 0;
        {
            transport::ClientLink link(target.resolver(), "short", {}, events, options);
            result = events.wait(events.tcp_frames, 3, 8s) ? 1 : 0;
            result |= events.ups.load() < 20 ? 2 : 0;  // no storm of reconnections
        }
        [[maybe_unused]] auto w = write(report[1], &result, 1);
        _exit(0);
    }
    close(report[1]);
    {
        FramePump pump(*sender, 64, 16);
        char result = -1;
        EXPECT_TRUE(net::wait_readable(report[0], 15s));
        EXPECT_EQ(read(report[0], &result, 1), 1);
        EXPECT_EQ(result, 3) << "1: frames over TCP, 2: few reconnections";
    }
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace

// TLS 1.3 with the site key: a session on its own (large messages both
// ways, wrong keys refused on both ends), then a real sender facing peers
// that do not prove its key, one of each kind and then a flood of them,
// and serving one that does.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "objects/sender.h"
#include "transport_support.h"
#include "base/log.h"
#include "base/site_key.h"
#include "base/socket.h"
#include "transport/client_link.h"
#include "transport/tls_stream.h"
#include "transport/tls_session.h"
#include "wire/wire.h"

using namespace qrv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using transport::LinkKeys;
using transport::TlsSession;
using qrv_test::open_descriptors;

namespace {

const std::string kKeyA = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string kKeyB = "//////////////////////////////////////////8=";

std::shared_ptr<const LinkKeys> keys(const std::string& text)
{
    return LinkKeys::make(SiteKey::parse(text, "test key"));
}

// A source on loopback whose TCP peers must prove the keys given; no
// same-host socket, so that every receiver goes through TLS.
Sender keyed_sender(const char* name, std::shared_ptr<const LinkKeys> source_keys)
{
    transport::ServerOptions options;
    options.keys = std::move(source_keys);
    options.shared_memory = false;
    return Sender(SenderSettings{name, "", false, false}, Scope::from_value(nullptr), options);
}

// Two ends of one loopback TCP connection.
std::pair<net::Fd, net::Fd> tcp_pair()
{
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    net::Fd a = net::connect_tcp("127.0.0.1", net::local_port(listener.get()), 1s);
    net::Fd b(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return {std::move(a), std::move(b)};
}

// The accepting end of one connection: its handshake runs on a thread of
// its own (as a source's serving thread runs it) while the test's thread
// runs the connecting end's.
struct Accepting {
    std::unique_ptr<TlsSession> session;
    TlsSession::Failure failure;
    std::thread thread;
    Accepting(net::Fd tcp, std::shared_ptr<const LinkKeys> k, std::chrono::milliseconds bound = 2000ms)
        : session(std::make_unique<TlsSession>(std::move(tcp), std::move(k), TlsSession::Role::accepting))
    {
        thread = std::thread([this, bound] { failure = session->handshake(Clock::now() + bound); });
    }
    ~Accepting()
    {
        if (thread.joinable())
            thread.join();
    }
    // How the handshake ended, once it has.
    const TlsSession::Failure& result()
    {
        if (thread.joinable())
            thread.join();
        return failure;
    }
    // The session as a stream (the handshake done).
    std::unique_ptr<transport::TlsStream> stream()
    {
        result();
        auto s = std::make_unique<transport::TlsStream>(std::move(session));
        s->set_timeouts(2000ms, 2000ms);
        return s;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 31 + seed + (i >> 12));
    return v;
}

}  // namespace

TEST(Tls, AStreamReadAndWrittenByOneThreadCarriesLargeMessagesAndSeesWhatIsReadAhead)
{
    const size_t before = open_descriptors();
    {
        auto [c, s] = tcp_pair();
        // The accepting side holds the new key first and the old one
        // second, as during a change of key: a peer with the old one is
        // taken too.
        Accepting accepting(std::move(s), keys(kKeyB + "\n" + kKeyA + "\n"));
        auto session = std::make_unique<TlsSession>(std::move(c), keys(kKeyA), TlsSession::Role::connecting);
        ASSERT_EQ(session->handshake(Clock::now() + 2s).reason, "");
        EXPECT_EQ(session->peer_key(), transport::PeerKey::site);
        ASSERT_EQ(accepting.result().reason, "") << accepting.result().detail;
        EXPECT_EQ(accepting.session->peer_key(), transport::PeerKey::site);
        transport::TlsStream stream(std::move(session));
        stream.set_timeouts(2000ms, 2000ms);
        const auto server = accepting.stream();

        // Up: one large write, sealed and sent in gathered records while
        // the other end reads, and small ones gathered behind it.
        const auto up = pattern(24u << 20, 4);
        std::vector<uint8_t> at_server(up.size() + 300);
        std::thread reader([&] { EXPECT_TRUE(server->read_exact(at_server)); });
        EXPECT_TRUE(stream.write(up, true));
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(stream.write(std::span(up).first(100), i < 2));
        reader.join();
        EXPECT_TRUE(std::equal(up.begin(), up.end(), at_server.begin()));
        EXPECT_TRUE(std::equal(up.begin(), up.begin() + 100, at_server.end() - 100));

        // Down: a large piece and a small one in one burst. Once the large
        // one is read, the small one may lie read ahead in the session
        // with nothing left on the socket: the stream must say so, or a
        // reader waiting on the socket would wait for nothing.
        const auto burst = pattern((8u << 20) + 100, 5);
        const std::span<const uint8_t> big(burst.data(), 8u << 20), small = std::span(burst).subspan(big.size());
        std::thread writer([&] { EXPECT_TRUE(server->write_all(burst)); });
        std::vector<uint8_t> got(big.size());
        EXPECT_TRUE(stream.read_exact(got));
        writer.join();
        EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
        pollfd p{stream.fd(), POLLIN, 0};
        for (auto until = Clock::now() + 2s; !stream.buffered() && ::poll(&p, 1, 0) == 0 && Clock::now() < until;)
            std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(stream.buffered() || (p.revents & POLLIN));
        std::vector<uint8_t> tail(small.size());
        ASSERT_TRUE(stream.read_exact(tail));
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), small.begin()));

        // The source's end is a clean end (errno 0), not silence or an
        // error; ours reaches it as the end of its stream.
        server->end_writing();
        uint8_t byte;
        errno = EINVAL;
        EXPECT_FALSE(stream.read_exact(std::span(&byte, 1)));
        EXPECT_EQ(errno, 0);
        stream.end_writing();
        errno = EINVAL;
        EXPECT_FALSE(server->read_exact(std::span(&byte, 1)));
        EXPECT_EQ(errno, 0);
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Tls, ADifferentKeyIsRefusedOnBothEnds)
{
    auto [c, s] = tcp_pair();
    Accepting server(std::move(s), keys(kKeyA));
    TlsSession client(std::move(c), keys(kKeyB), TlsSession::Role::connecting);
    const auto failure = client.handshake(Clock::now() + 2s);
    EXPECT_EQ(failure.reason, "the source does not hold this site's key");
    EXPECT_EQ(server.result().reason, "it does not hold this site's key");
    EXPECT_EQ(server.session->peer_key(), transport::PeerKey::none);
    EXPECT_FALSE(server.session->exported().has_value());
}

// Peers without the key, each refused within the bound with nothing
// passed on and nothing left behind (receivers with and without the key
// are in the C operations' tests).
TEST(Tls, ASourceWithAKeyRefusesPeersWithoutItWithinTheBound)
{
    Sender sender = keyed_sender("tls source", keys(kKeyA));
    const Endpoint at = sender.endpoint();
    // The acceptor's thread keeps a descriptor in reserve, opened once it
    // runs.
    std::this_thread::sleep_for(200ms);
    const size_t before = open_descriptors();

    // Plain TCP speaking the current wire (a receiver without a key),
    // garbage, a TLS ClientHello without our PSK, and a peer that
    // connects and says nothing.
    std::vector<net::Fd> peers;
    for (int i = 0; i < 4; ++i)
        peers.push_back(net::connect_tcp(at.address, at.port, 1s));
    EXPECT_TRUE(net::write_all(peers[0].get(), wire::encode_hello("no key", {})));
    const std::string junk(3000, '\x16');
    EXPECT_TRUE(net::write_all(peers[1].get(), std::span(reinterpret_cast<const uint8_t*>(junk.data()), junk.size())));
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> bare(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_min_proto_version(bare.get(), TLS1_3_VERSION);
    std::unique_ptr<SSL, decltype(&SSL_free)> hello(SSL_new(bare.get()), SSL_free);
    SSL_set_fd(hello.get(), peers[2].get());
    std::thread tls_peer([&] { SSL_connect(hello.get()); });

    const auto start = Clock::now();
    for (size_t i = 0; i < peers.size(); ++i) {
        bool closed = false;
        uint8_t sink[4096];
        while (!closed && Clock::now() < start + 3s) {
            if (i == 2)
                break;  // its own thread sees the end
            if (!net::wait_readable(peers[i].get(), 100ms))
                continue;
            const ssize_t n = ::recv(peers[i].get(), sink, sizeof sink, MSG_DONTWAIT);
            // A plain peer gets nothing that parses as the wire: TLS
            // alerts at most, never the greeting.
            if (n > 0) {
                EXPECT_NE(sink[0], uint8_t(wire::kMagic & 0xff)) << "peer " << i;
            }
            closed = n == 0 || (n < 0 && errno != EAGAIN);
        }
        if (i != 2) {
            EXPECT_TRUE(closed) << "peer " << i << " still connected";
        }
    }
    tls_peer.join();
    const auto took = Clock::now() - start;
    EXPECT_LT(took, 2s) << "the silent peer is refused within the handshake time";
    const auto stats = sender.transport_stats();
    EXPECT_TRUE(stats.key_required);
    EXPECT_GE(stats.key_refused + stats.handshake_timeouts, 4u);
    EXPECT_GE(stats.key_refused, 3u);
    peers.clear();
    hello.reset();
    // Everything the refused peers brought is gone again.
    const auto settle = Clock::now() + 2s;
    while (open_descriptors() > before && Clock::now() < settle)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(open_descriptors(), before);
}

namespace {

// The threads of this process now.
size_t open_threads()
{
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A TCP connection to the source from a loopback address of its own, so
// that the source takes each kind of bad peer for another host.
net::Fd connect_from(const std::string& from, const Endpoint& to)
{
    net::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    remote.sin_port = htons(to.port);
    if (!fd || ::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        ::inet_pton(AF_INET, to.address.c_str(), &remote.sin_addr) != 1)
        return {};
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        return {};
    return fd;
}

// Peers without the key that keep coming until destroyed, one thread per
// kind, each kind from a loopback address of its own: a receiver of the
// current wire, one of an older framing version, garbage, a TLS
// ClientHello without the PSK, and rounds of more peers at once than the
// source lets wait from one address, each stalling after the first bytes
// of a TLS record. Each waits until the source closes it.
class BadPeers {
public:
    enum Kind { plain_hello, old_hello, garbage, bare_tls, stalling, kKinds };
    static constexpr size_t kStallsAtOnce = 40;

    explicit BadPeers(const Endpoint& at) : at_(at)
    {
        for (int k = 0; k < kKinds; ++k)
            threads_.emplace_back([this, k] { run(Kind(k)); });
    }
    ~BadPeers() { stop(); }
    // Ends the flood once every peer out now is refused (or 3 s passed).
    void stop()
    {
        stop_ = true;
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
    }

    std::atomic<uint64_t> attempts{0};     // connections the source took
    std::atomic<uint64_t> not_refused{0};  // still open 3 s after connecting
    std::atomic<uint64_t> greeted{0};      // answered in the plain wire
    std::atomic<int64_t> longest_ms{0};    // from connecting to the close

private:
    struct Peer {
        net::Fd fd;
        Clock::time_point since;
        bool heard = false;
    };

    void run(Kind kind)
    {
        // A ClientHello to a source that refuses it may meet a closed
        // socket: an error of this peer, not a signal for the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        const std::string from = "127.0.0." + std::to_string(10 + kind);
        while (!stop_) {
            std::vector<Peer> peers;
            for (size_t i = 0; i < (kind == stalling ? kStallsAtOnce : 1); ++i) {
                net::Fd fd = connect_from(from, at_);
                if (!fd)
                    continue;
                peers.push_back({std::move(fd), Clock::now()});
                say(kind, peers.back().fd.get());
            }
            settle(peers);
            std::this_thread::sleep_for(peers.empty() ? 20ms : 2ms);
        }
    }

    static void say(Kind kind, int fd)
    {
        std::vector<uint8_t> bytes;
        switch (kind) {
        case plain_hello:
            bytes = wire::encode_hello("no key", {});
            break;
        case old_hello:
            bytes = wire::encode_hello("old wire", {});
            bytes[4] = wire::kVersion - 1;  // the framing version
            break;
        case garbage:
            for (int i = 0; i < 2000; ++i)
                bytes.push_back(uint8_t(i * 97 + 13));
            break;
        case bare_tls: {
            std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
            SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION);
            std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
            net::set_recv_timeout(fd, 3s);
            SSL_set_fd(ssl.get(), fd);
            SSL_connect(ssl.get());
            break;
        }
        case stalling:
            bytes = {0x16, 0x03, 0x01};
            break;
        case kKinds:
            break;
        }
        net::write_all(fd, bytes);
    }

    // Reads and drops what the source sends each peer until it closes
    // them all, 3 s at most.
    void settle(std::vector<Peer>& peers)
    {
        std::vector<pollfd> fds;
        for (const auto& p : peers)
            fds.push_back(pollfd{p.fd.get(), POLLIN, 0});
        size_t open = peers.size();
        const auto limit = Clock::now() + 3s;
        uint8_t sink[4096];
        while (open > 0 && Clock::now() < limit) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit - Clock::now()).count();
            if (::poll(fds.data(), fds.size(), int(std::max<int64_t>(left, 1))) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0 || !fds[i].revents)
                    continue;
                const ssize_t n = ::recv(fds[i].fd, sink, sizeof sink, MSG_DONTWAIT);
                if (n > 0 && !std::exchange(peers[i].heard, true) && sink[0] == uint8_t(wire::kMagic & 0xff))
                    ++greeted;
                if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
                    continue;
                const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                         peers[i].since).count();
                for (int64_t seen = longest_ms.load(); ms > seen && !longest_ms.compare_exchange_weak(seen, ms);) {
                }
                fds[i].fd = -1;
                --open;
            }
        }
        attempts += peers.size();
        not_refused += open;
    }

    const Endpoint at_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Counts the video frames a link hands over, and its downs.
class FrameCount final : public transport::LinkEvents {
public:
    void on_link_up(transport::ClientLink&) override {}
    void on_link_down(transport::ClientLink&) override { ++downs; }
    void on_link_status(transport::ClientLink&, uint32_t) override {}
    void on_link_redirect(transport::ClientLink&, const std::string&) override {}
    void on_link_media(transport::ClientLink&, transport::Message&& m) override
    {
        frames += m.header.type == wire::MessageType::video;
    }
    void on_link_bad(transport::ClientLink&) override {}
    void on_link_skipped(transport::ClientLink&, bool) override {}

    bool wait(int n, std::chrono::milliseconds limit) const
    {
        for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(5ms))
            if (frames.load() >= n)
                return true;
        return false;
    }

    std::atomic<int> frames{0}, downs{0};
};

// Sends a small frame at 29.97 frames per second, on the clock.
class Pump {
public:
    explicit Pump(Sender& sender) : frame_(160, 90, 0x40)
    {
        thread_ = std::thread([this, &sender] {
            const auto start = Clock::now();
            for (int64_t n = 1; !stop_; ++n) {
                sender.send_video(frame_.record);
                std::this_thread::sleep_until(start + std::chrono::microseconds(n * 1001000 / 30));
            }
        });
    }
    ~Pump()
    {
        stop_ = true;
        thread_.join();
    }

private:
    qrv_test::BgraFrame frame_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The most descriptors and threads this process had while it runs.
class Peaks {
public:
    Peaks()
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                fds = std::max(fds.load(), open_descriptors());
                threads = std::max(threads.load(), open_threads());
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    ~Peaks() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    std::atomic<size_t> fds{0}, threads{0};

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The source's refusals that reach the log.
class RefusalLines {
public:
    RefusalLines()
    {
        log::set_hook([this](log::Level, log::Category, const char* m) {
            count += std::strstr(m, "refused the connection from 127.0.0.") != nullptr;
        }, log::Level::warn);
    }
    ~RefusalLines() { log::set_hook({}, log::Level::none); }
    std::atomic<int> count{0};
};

}  // namespace

// For several seconds peers without the key keep coming, every kind from
// an address of its own, while a keyed receiver watches a 29.97 fps source
// and a second one joins: each bad peer is refused within 2 s and counted,
// the receivers get every frame, what the flood holds of the process's
// descriptors and threads stays bounded and comes back, and the log is
// not flooded with it.
TEST(Tls, AFloodOfPeersWithoutTheKeyLeavesItsReceiversAtFullRate)
{
    Sender sender = keyed_sender("flooded source", keys(kKeyA));
    const Endpoint at = sender.endpoint();
    const auto where = [at]() -> std::optional<Endpoint> { return at; };
    transport::LinkOptions link;
    link.shared_memory = false;
    link.keys = keys(kKeyA);
    Pump pump(sender);
    FrameCount watching;
    transport::ClientLink first(where, "watching", {}, watching, link);
    ASSERT_TRUE(watching.wait(10, 5s));
    std::this_thread::sleep_for(300ms);
    const size_t fds_before = open_descriptors(), threads_before = open_threads();

    RefusalLines lines;
    Peaks peaks;
    const int frames_before = watching.frames.load();
    const auto flood_start = Clock::now();
    BadPeers flood(at);
    std::this_thread::sleep_for(1500ms);
    int64_t joined_ms = -1;
    {
        FrameCount joining;
        const auto t0 = Clock::now();
        transport::ClientLink second(where, "joining", {}, joining, link);
        if (joining.wait(1, 3s))
            joined_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        std::this_thread::sleep_for(300ms);
    }
    std::this_thread::sleep_until(flood_start + 5s);
    flood.stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - flood_start).count();
    const int frames = watching.frames.load() - frames_before;
    peaks.stop();
    const size_t more_fds = peaks.fds.load() - fds_before, more_threads = peaks.threads.load() - threads_before;
    const auto stats = sender.transport_stats();
    std::printf("%llu peers without the key in %.1f s, the slowest refused after %lld ms, %d refusals logged; "
                "the receiver got %d frames (%.2f/s), the one joining its first after %lld ms; at most %zu more "
                "descriptors and %zu more threads\n",
                (unsigned long long)flood.attempts.load(), seconds, (long long)flood.longest_ms.load(),
                lines.count.load(), frames, frames / seconds, (long long)joined_ms, more_fds, more_threads);

    EXPECT_EQ(flood.not_refused.load(), 0u);
    EXPECT_EQ(flood.greeted.load(), 0u);
    EXPECT_LT(flood.longest_ms.load(), 2000);
    // Counted, each once: refused for the key, or ended to make room for
    // a newer peer from its address.
    EXPECT_TRUE(stats.key_required);
    EXPECT_EQ(stats.key_refused + stats.evicted + stats.handshake_timeouts + stats.refused, flood.attempts.load());
    // Logged with the peer's address, once per cause in a while rather
    // than once per peer.
    EXPECT_GE(lines.count.load(), 1);
    EXPECT_LE(lines.count.load(), 6);

    // Counted over the whole window, so that a slow build's late frame
    // still counts.
    EXPECT_GE(frames, int(28 * seconds)) << "the receiver fell behind 29.97 fps during the flood";
    EXPECT_EQ(watching.downs.load(), 0);
    EXPECT_GE(joined_ms, 0) << "a receiver joining during the flood got no frame within 3 s";
    EXPECT_LT(joined_ms, 2000);

    // The peers hold a round of stalls and a socket per other kind; the
    // source, per address, at most max_pending_per_host connections in the
    // handshake (one more ending), and the joining receiver's: each a few
    // descriptors and threads. Nothing grows with the number of peers.
    const size_t waiting = transport::ServerOptions{}.max_pending_per_host + 2 * (BadPeers::kKinds - 1) + 1;
    EXPECT_LE(more_fds, BadPeers::kStallsAtOnce + BadPeers::kKinds + 8 + waiting * 5);
    EXPECT_LE(more_threads, BadPeers::kKinds + 1 + 4 + waiting * 3);
    const auto settle = Clock::now() + 3s;
    while ((open_descriptors() > fds_before || open_threads() > threads_before) && Clock::now() < settle)
        std::this_thread::sleep_for(20ms);
    EXPECT_LE(open_descriptors(), fds_before);
    EXPECT_LE(open_threads(), threads_before);
}

// OpenSSL writes to its socket with write(2) where the kernel seals
// records: a peer gone mid-stream must end the stream, not the process
// through SIGPIPE.
TEST(Tls, APeerGoneMidStreamEndsTheStreamNotTheProcess)
{
    auto [c, s] = tcp_pair();
    Accepting server(std::move(s), keys(kKeyA));
    auto client = std::make_unique<TlsSession>(std::move(c), keys(kKeyA), TlsSession::Role::connecting);
    ASSERT_EQ(client->handshake(Clock::now() + 2s).reason, "");
    const auto stream = server.stream();
    std::thread gone([&] {
        std::this_thread::sleep_for(50ms);
        client.reset();  // the peer's session, and its TCP socket, go
    });
    const auto bytes = pattern(64u << 20, 3);
    EXPECT_FALSE(stream->write_all(bytes));
    gone.join();
}

// Camera commands from each kind of key holder to a source with an
// operator key, and to one with only the site key: the numbered command
// comes back acknowledged (and reaches the camera) or refused for want of
// the operator key (and is counted, the camera gets nothing).
TEST(Tls, ASourceWithAnOperatorKeyTakesCameraCommandsOnlyFromThoseWhoProveIt)
{
    const std::string kOperator = "EBESExQVFhcYGRobHB0eHyAhIiMkJSYnKCkqKywtLi8=";
    const std::string kOtherOperator = "MDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk8=";
    const auto site = SiteKey::parse(kKeyA, "site");
    const auto op = SiteKey::parse(kOperator, "operator");
    using Delivery = transport::LinkChannel::Delivery;
    struct Status final : transport::LinkEvents {
        std::atomic<int> n{0};
        void on_link_up(transport::ClientLink&) override {}
        void on_link_down(transport::ClientLink&) override {}
        void on_link_status(transport::ClientLink&, uint32_t) override { ++n; }
        void on_link_redirect(transport::ClientLink&, const std::string&) override {}
        void on_link_media(transport::ClientLink&, transport::Message&&) override {}
        void on_link_bad(transport::ClientLink&) override {}
        void on_link_skipped(transport::ClientLink&, bool) override {}
    };
    struct Case {
        const char* what;
        std::shared_ptr<const LinkKeys> source, receiver;
        Delivery expected;
    };
    const auto with_operator = LinkKeys::make(site, op);
    const Case cases[] = {
        {"site key only", with_operator, LinkKeys::make(site), Delivery::not_permitted},
        {"both keys", with_operator, LinkKeys::make(site, op), Delivery::acknowledged},
        {"another operator key", with_operator, LinkKeys::make(site, SiteKey::parse(kOtherOperator, "other")),
         Delivery::not_permitted},
        {"operator key alone", with_operator, LinkKeys::make_operator_only(op), Delivery::acknowledged},
        {"site key to a source without an operator key", LinkKeys::make(site), LinkKeys::make(site),
         Delivery::acknowledged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sender sender = keyed_sender("camera", c.source);
        sender.set_ptz_supported(true);
        const Endpoint at = sender.endpoint();
        Status events;
        transport::LinkOptions o;
        o.shared_memory = false;
        o.keys = c.receiver;
        transport::ClientLink link([at]() -> std::optional<Endpoint> { return at; }, "r", wire::HelloFields{},
                                   events, o);
        const auto until = Clock::now() + 3s;
        while (events.n.load() == 0 && Clock::now() < until)
            std::this_thread::sleep_for(5ms);
        const auto channel = link.channel();
        ASSERT_TRUE(channel);
        const uint64_t n = channel->post_command({wire::PtzCommand::recall_preset, 5, 0.5f, 0.0f});
        ASSERT_NE(n, 0u);
        EXPECT_EQ(channel->wait_delivered(n, Clock::now() + 2s), c.expected);
        const bool taken = c.expected == Delivery::acknowledged;
        const auto command = sender.next_ptz(taken ? 1000ms : 100ms);
        EXPECT_EQ(command.has_value(), taken);
        if (command) {
            EXPECT_EQ(command->preset, 5);
        }
        EXPECT_EQ(sender.transport_stats().commands_refused, taken ? 0u : 1u);
    }
}

// A peer that resets the connection during the handshake (a stranger that
// closes what it accepts) costs that connection, not the process: no
// SIGPIPE from the ClientHello's write.
TEST(Tls, APeerThatResetsDuringTheHandshakeIsAFailureNotASignal)
{
    auto [c, s] = tcp_pair();
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    s = net::Fd();
    std::this_thread::sleep_for(20ms);
    char byte;
    ASSERT_EQ(::recv(c.get(), &byte, 1, 0), -1);  // the reset, taken: writes now fail with EPIPE
    TlsSession client(std::move(c), keys(kKeyA), TlsSession::Role::connecting);
    EXPECT_EQ(client.handshake(Clock::now() + 2s).reason, "the source does not hold this site's key");
}

// A keyed source's connection has one thread for its session, which writes
// frames and reads what the receiver sends in turn: numbered camera
// commands sent while frames flow down all reach the camera, in order, each
// acknowledged; once nothing flows, the thread waits rather than spins.
TEST(Tls, AKeyedSourceTakesEveryCommandWhileFramesFlowAndRestsWhenIdle)
{
    Sender sender = keyed_sender("busy camera", keys(kKeyA));
    sender.set_ptz_supported(true);
    const Endpoint at = sender.endpoint();
    struct Counts final : transport::LinkEvents {
        std::atomic<int> status{0}, frames{0};
        void on_link_up(transport::ClientLink&) override {}
        void on_link_down(transport::ClientLink&) override {}
        void on_link_status(transport::ClientLink&, uint32_t) override { ++status; }
        void on_link_redirect(transport::ClientLink&, const std::string&) override {}
        void on_link_media(transport::ClientLink&, transport::Message&&) override { ++frames; }
        void on_link_bad(transport::ClientLink&) override {}
        void on_link_skipped(transport::ClientLink&, bool) override {}
    } events;
    transport::LinkOptions o;
    o.shared_memory = false;
    o.keys = keys(kKeyA);
    transport::ClientLink link([at]() -> std::optional<Endpoint> { return at; }, "r", wire::HelloFields{}, events, o);
    for (const auto until = Clock::now() + 3s; events.status.load() == 0 && Clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    const auto channel = link.channel();
    ASSERT_TRUE(channel);

    constexpr int kCommands = 300;
    std::vector<int> presets;
    std::thread camera([&] {
        while (presets.size() < size_t(kCommands))
            if (const auto c = sender.next_ptz(3000ms))
                presets.push_back(c->preset);
            else
                break;
    });
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        qrv_test::BgraFrame frame(640, 360, 0x5A);
        while (!stop.load()) {
            sender.send_video(frame.record);
            std::this_thread::sleep_for(10ms);
        }
    });
    for (const auto until = Clock::now() + 3s; events.frames.load() < 3 && Clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    const int frames_before = events.frames.load();
    std::vector<uint64_t> numbers;
    for (int i = 0; i < kCommands; ++i) {
        numbers.push_back(channel->post_command({wire::PtzCommand::recall_preset, i % 100, 0.5f, 0.0f}));
        if (i % 5 == 4)
            std::this_thread::sleep_for(2ms);  // the camera's inbox keeps 64
    }
    for (const uint64_t n : numbers)
        EXPECT_EQ(channel->wait_delivered(n, Clock::now() + 5s), transport::LinkChannel::Delivery::acknowledged);
    const int frames_during = events.frames.load() - frames_before;
    stop = true;
    frames.join();
    camera.join();
    ASSERT_EQ(presets.size(), size_t(kCommands));
    for (int i = 0; i < kCommands; ++i)
        EXPECT_EQ(presets[i], i % 100);
    EXPECT_GE(frames_before, 3);
    EXPECT_GT(frames_during, 0);
    EXPECT_EQ(sender.transport_stats().commands_refused, 0u);

    // Idle but for keepalives: a thread that spun would take all of the
    // half second.
    const auto cpu_ms = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    std::this_thread::sleep_for(100ms);
    const double before = cpu_ms();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpu_ms() - before, 100.0) << "ms of CPU in an idle half second";
}

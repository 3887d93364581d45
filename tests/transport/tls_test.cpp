// TLS 1.3 with the site key: a session on its own (large messages both
// ways, wrong keys refused on both ends), then a real sender facing peers
// that do not prove its key, and serving one that does.
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "objects/sender.h"
#include "transport_support.h"
#include "base/site_key.h"
#include "base/socket.h"
#include "transport/client_link.h"
#include "transport/tls_stream.h"
#include "transport/tls_tunnel.h"
#include "wire/wire.h"

using namespace qrv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using transport::LinkKeys;
using transport::TlsTunnel;
using qrv_test::open_descriptors;

namespace {

const std::string kKeyA = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
const std::string kKeyB = "//////////////////////////////////////////8=";

std::shared_ptr<const LinkKeys> keys(const std::string& text)
{
    return LinkKeys::make(SiteKey::parse(text, "test key"));
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
    std::unique_ptr<TlsTunnel> session;
    TlsTunnel::Failure failure;
    std::thread thread;
    Accepting(net::Fd tcp, std::shared_ptr<const LinkKeys> k, std::chrono::milliseconds bound = 2000ms)
        : session(std::make_unique<TlsTunnel>(std::move(tcp), std::move(k), TlsTunnel::Role::accepting))
    {
        thread = std::thread([this, bound] { failure = session->handshake(Clock::now() + bound); });
    }
    ~Accepting()
    {
        if (thread.joinable())
            thread.join();
    }
    // How the handshake ended, once it has.
    const TlsTunnel::Failure& result()
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
        auto session = std::make_unique<TlsTunnel>(std::move(c), keys(kKeyA), TlsTunnel::Role::connecting);
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
    TlsTunnel client(std::move(c), keys(kKeyB), TlsTunnel::Role::connecting);
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
    transport::ServerOptions options;
    options.keys = keys(kKeyA);
    options.shared_memory = false;
    Sender sender(SenderSettings{"tls source", "", false, false}, Scope::from_value(nullptr), options);
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

// OpenSSL writes to its socket with write(2) where the kernel seals
// records: a peer gone mid-stream must end the stream, not the process
// through SIGPIPE.
TEST(Tls, APeerGoneMidStreamEndsTheStreamNotTheProcess)
{
    auto [c, s] = tcp_pair();
    Accepting server(std::move(s), keys(kKeyA));
    auto client = std::make_unique<TlsTunnel>(std::move(c), keys(kKeyA), TlsTunnel::Role::connecting);
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
        transport::ServerOptions options;
        options.keys = c.source;
        options.shared_memory = false;
        Sender sender(SenderSettings{"camera", "", false, false}, Scope::from_value(nullptr), options);
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
    TlsTunnel client(std::move(c), keys(kKeyA), TlsTunnel::Role::connecting);
    EXPECT_EQ(client.handshake(Clock::now() + 2s).reason, "the source does not hold this site's key");
}

// A keyed source's connection has one thread for its session, which writes
// frames and reads what the receiver sends in turn: numbered camera
// commands sent while frames flow down all reach the camera, in order, each
// acknowledged; once nothing flows, the thread waits rather than spins.
TEST(Tls, AKeyedSourceTakesEveryCommandWhileFramesFlowAndRestsWhenIdle)
{
    transport::ServerOptions options;
    options.keys = keys(kKeyA);
    options.shared_memory = false;
    Sender sender(SenderSettings{"busy camera", "", false, false}, Scope::from_value(nullptr), options);
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

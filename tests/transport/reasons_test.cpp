// What the inner layers say when they fail: sockets, the scope, a server
// that cannot listen, and the log lines of connections that a server drops
// or refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "base/scope.h"
#include "base/socket.h"
#include "objects/sender.h"
#include "wire/wire.h"

using namespace qrv;
using namespace std::chrono_literals;

namespace {

// The lines the log hands to a hook, for as long as it lives.
class Lines {
public:
    explicit Lines(log::Level level)
    {
        log::set_hook(
            [this](log::Level l, log::Category c, const char* m) {
                std::lock_guard lock(mutex_);
                text_ += std::string(log::name_of(l)) + " " + log::name_of(c) + ": " + m + "\n";
            },
            level);
    }
    ~Lines() { log::set_hook({}, log::Level::none); }

    // Waits for a line that matches the pattern.
    bool wait_for(const std::string& pattern)
    {
        const std::regex line("(^|\n)" + pattern + "\n");
        for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(10ms))
            if (std::regex_search(all(), line))
                return true;
        return false;
    }
    std::string all() const
    {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

std::unique_ptr<Sender> make_sender(const char* name, transport::ServerOptions options = {})
{
    return std::make_unique<Sender>(SenderSettings{name, "", false, false}, Scope::from_value(nullptr), options);
}

}  // namespace

TEST(Reasons, SocketsAndTheScopeSayWhatFailed)
{
    std::string why;
    EXPECT_FALSE(net::listen_tcp("192.0.2.1", 0, 16, &why));  // an address not of this host
    EXPECT_EQ(why, "Cannot assign requested address");

    // A port that was just free and is closed: refused at once.
    uint16_t port = 0;
    {
        net::Fd probe = net::listen_tcp("127.0.0.1", 0);
        port = net::local_port(probe.get());
    }
    EXPECT_FALSE(net::connect_tcp("127.0.0.1", port, 1s, &why));
    EXPECT_EQ(why, "Connection refused");

    const Scope scope = Scope::from_value("no-such-if0,lo,no-such-if1");
    EXPECT_EQ(scope.unmatched, (std::vector<std::string>{"no-such-if0", "no-such-if1"}));
    EXPECT_TRUE(Scope::from_value("all").unmatched.empty());
}

TEST(Reasons, AServerThatCannotListenSaysWhereAndWhy)
{
    net::Fd taken = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(taken);
    transport::ServerOptions options;
    options.port = net::local_port(taken.get());
    try {
        make_sender("Taken", options);
        FAIL() << "a sender on a port in use";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "could not listen on 127.0.0.1:" + std::to_string(options.port) + ": Address already in use");
    }
}

TEST(Reasons, DroppedAndRefusedConnectionsAreLoggedWithTheReason)
{
    Lines lines(log::Level::info);
    transport::ServerOptions options;
    options.handshake_timeout = 200ms;
    options.max_connections = 2;
    auto sender = make_sender("Guarded", options);
    const Endpoint e = sender->endpoint();

    auto silent = net::connect_tcp(e.address, e.port, 1s);
    ASSERT_TRUE(silent);
    EXPECT_TRUE(lines.wait_for("warn transport: 'Guarded' dropped the connection from 127\\.0\\.0\\.1:\\d+: "
                               "no hello within 200 ms"))
        << lines.all();

    auto speaker = net::connect_tcp(e.address, e.port, 1s);
    ASSERT_TRUE(net::write_all(speaker.get(), wire::encode_hello("Talker")));
    EXPECT_TRUE(lines.wait_for("info transport: 'Guarded': receiver 'Talker' connected from 127\\.0\\.0\\.1:\\d+"))
        << lines.all();
    ASSERT_TRUE(sender->wait_connections(1, 2s));

    // Two taken (the speaker and one more): the third is refused.
    auto second = net::connect_tcp(e.address, e.port, 1s);
    ASSERT_TRUE(net::write_all(second.get(), wire::encode_hello("Second")));
    ASSERT_TRUE(sender->wait_connections(2, 2s));
    auto third = net::connect_tcp(e.address, e.port, 1s);
    EXPECT_TRUE(lines.wait_for("warn transport: 'Guarded' refused a connection from 127\\.0\\.0\\.1:\\d+: "
                               "2 receivers are connected already"))
        << lines.all();

    // A receiver that sends what only sources send is dropped, and says so.
    const std::vector<uint8_t> junk(64, 0xAB);
    net::write_all(speaker.get(), junk);
    EXPECT_TRUE(lines.wait_for("warn transport: 'Guarded' dropped receiver 'Talker' \\(127\\.0\\.0\\.1:\\d+\\): "
                               "invalid message"))
        << lines.all();
    second.reset();
    EXPECT_TRUE(lines.wait_for("info transport: 'Guarded': receiver 'Second' \\(127\\.0\\.0\\.1:\\d+\\) disconnected"))
        << lines.all();
}

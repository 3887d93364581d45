// The discovery thread: waits on the multicast DNS socket and the wake-up
// descriptor, drives the responder and the browser on the real clock, sends
// what they ask for, and says the goodbyes of what is still published
// before it ends.
#include <poll.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <utility>

#include "service_state.h"

namespace qrv::discovery {

namespace {

constexpr int kPacketsPerWakeup = 64;

const char* parse_error_text(ParseError e)
{
    switch (e) {
    case ParseError::none: return "no error";
    case ParseError::truncated: return "truncated";
    case ParseError::bad_label: return "bad label";
    case ParseError::name_too_long: return "name too long";
    case ParseError::bad_pointer: return "bad compression pointer";
    case ParseError::too_many_records: return "too many records";
    case ParseError::bad_rdata: return "bad record data";
    case ParseError::too_big: return "too big";
    }
    return "unknown error";
}

std::string address_text(uint32_t address, uint16_t port)
{
    in_addr a;
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

DiscoveryService::State::~State()
{
    unicast.reset();  // its thread wakes this one: gone before the descriptor
    if (wake_fd >= 0)
        ::close(wake_fd);
}

void DiscoveryService::State::wake()
{
    const uint64_t one = 1;
    if (wake_fd >= 0)
        (void)!::write(wake_fd, &one, sizeof one);
}

void DiscoveryService::State::start_unicast()
{
    if (unicast)
        return;
    unicast = std::make_unique<UnicastAgent>(unicast_config, host, process_id, [this] { wake(); });
    for (const auto& [id, offer] : unicast_offers)
        unicast->publish(id, offer);
}

void DiscoveryService::State::send(std::vector<Outgoing>& out)
{
    uint64_t sent = 0, failed = 0;
    for (auto& o : out) {
        if (!socket)
            break;
        auto bytes = build_message(o.message);
        const bool ok = bytes && (o.unicast_port
                                      ? socket->send_unicast(*bytes, o.ifindex, o.unicast_address, o.unicast_port)
                                      : socket->send_multicast(*bytes, o.ifindex));
        ok ? ++sent : ++failed;
    }
    out.clear();
    std::lock_guard lock(mutex);
    stats.packets_sent += sent;
    stats.send_failures += failed;
}

void DiscoveryService::State::note_bad_packet(const Datagram& d, const char* what)
{
    uint64_t suppressed = 0;
    if (!log::enabled(log::Category::discovery, log::Level::debug) || !bad_packets.allow(suppressed))
        return;
    if (d.source_port)
        QRV_LOG_AT(debug, discovery, "ignored a packet from %s: %s (%llu more not shown)",
                   address_text(d.source_address, d.source_port).c_str(), what, (unsigned long long)suppressed);
    else
        QRV_LOG_AT(debug, discovery, "ignored a packet: %s (%llu more not shown)", what,
                   (unsigned long long)suppressed);
}

void DiscoveryService::State::note_overflow()
{
    const uint32_t dropped = socket->dropped();
    if (dropped == dropped_reported)
        return;
    uint64_t suppressed = 0;
    if (!log::enabled(log::Category::discovery, log::Level::warn) || !overflows.allow(suppressed))
        return;
    QRV_LOG_AT(warn, discovery, "the multicast DNS receive queue overflowed: %u packets lost since the last report",
               dropped - dropped_reported);
    dropped_reported = dropped;
}

void DiscoveryService::State::receive()
{
    Datagram d;
    for (int i = 0; i < kPacketsPerWakeup; ++i) {
        d.source_port = 0;
        const auto r = socket->receive(d);
        if (r == MdnsSocket::Receive::none)
            break;
        std::vector<Outgoing> out;
        ParseError malformed = ParseError::none;
        {
            std::lock_guard lock(mutex);
            ++stats.packets_received;
            if (r == MdnsSocket::Receive::rejected) {
                ++stats.packets_rejected;
            } else if (auto parsed = parse_message(d.bytes); !parsed.message) {
                ++stats.packets_malformed;
                malformed = parsed.error == ParseError::none ? ParseError::truncated : parsed.error;
            } else {
                const auto now = Clock::now();
                responder->on_message(*parsed.message, d.ifindex, d.source_address, d.source_port, now, out);
                browser->on_message(*parsed.message, d.ifindex, now);
                refresh_sources();
            }
        }
        if (r == MdnsSocket::Receive::rejected)
            note_bad_packet(d, "oversized, or not from the subnet of an interface in scope");
        else if (malformed != ParseError::none)
            note_bad_packet(d, parse_error_text(malformed));
        send(out);
    }
    note_overflow();
}

void DiscoveryService::State::run()
{
    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_fd, POLLIN, 0});
    if (socket)
        fds.push_back(pollfd{socket->fd(), POLLIN, 0});
    while (!stop.load()) {
        std::vector<Outgoing> out;
        TimePoint deadline;
        TimePoint now;
        {
            std::lock_guard lock(mutex);
            now = Clock::now();
            responder->tick(now, out);
            browser->tick(now, out);
            refresh_sources();
            deadline = std::min(responder->next_deadline(), browser->next_deadline());
        }
        send(out);
        notify_subscribers();
        report_publications();
        int timeout_ms = 1000;
        if (deadline != kNever) {
            const auto wait = std::chrono::duration_cast<milliseconds>(deadline - now).count() + 1;
            timeout_ms = int(std::clamp<int64_t>(wait, 0, 1000));
        }
        for (auto& f : fds)
            f.revents = 0;
        if (::poll(fds.data(), fds.size(), timeout_ms) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            uint64_t value = 0;
            (void)!::read(wake_fd, &value, sizeof value);
        }
        if (fds.size() > 1 && (fds[1].revents & POLLIN))
            receive();
        notify_subscribers();
    }
    say_goodbyes();
}

void DiscoveryService::State::say_goodbyes()
{
    {
        std::lock_guard lock(mutex);
        responder->remove_all(Clock::now());
    }
    for (;;) {
        std::vector<Outgoing> out;
        TimePoint next;
        {
            std::lock_guard lock(mutex);
            responder->tick(Clock::now(), out);
            next = responder->next_deadline();  // kNever once all are gone
        }
        send(out);
        if (next == kNever)
            return;
        std::this_thread::sleep_until(std::min(next, Clock::now() + kGoodbyeInterval));
    }
}

}  // namespace qrv::discovery

// A receiver's connection with the site key, served by one thread that alone
// uses its TLS session: the handshake (the peer must prove the key within
// most of the handshake time), the receiver's hello, then a loop that waits
// on the socket and on the queue at once, writes every queued packet (their
// records gathered into few sends) and takes the receiver's messages as
// they arrive whole. finish() wakes it through an eventfd; it then sends
// what it gathered and close_notify, without waiting for a peer that reads
// nothing, and closes the socket.
#include "transport/server_connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "base/error.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "transport/message_io.h"
#include "transport/tls_stream.h"
#include "transport/tls_session.h"

namespace qrv::transport {

namespace {

using Clock = std::chrono::steady_clock;

// Messages of a receiver taken in one turn before queued packets go out
// again, so that one that sends without pause cannot hold its media back,
// nor the answers to its commands pile up beyond what the queue keeps.
constexpr int kReadsPerTurn = 16;

net::Fd make_eventfd()
{
    net::Fd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd)
        throw Error("could not create an eventfd: " + error_text(errno));
    return fd;
}

void drain(int eventfd)
{
    uint64_t count;
    [[maybe_unused]] const auto n = ::read(eventfd, &count, sizeof count);
}

const wire::PacketPtr& keepalive()
{
    static const wire::PacketPtr p = wire::make_packet(wire::MessageType::keepalive, wire::encode_keepalive());
    return p;
}

}  // namespace

void ServerConnection::start_tls()
{
    std::unique_ptr<TlsSession> session;
    try {
        stop_ = make_eventfd();
        queued_ = make_eventfd();
        session = std::make_unique<TlsSession>(std::move(fd_), keys_, TlsSession::Role::accepting);
    } catch (const std::exception& e) {
        // Out of descriptors: the connection ends at once and is reaped
        // like any other.
        finished_ = true;
        queue_.close();
        QRV_LOG_AT(warn, transport, "'%s' dropped the connection from %s: %s", source_.c_str(), peer_.c_str(),
                   e.what());
        return;
    }
    queue_.notify(queued_.get());
    try {
        tls_ = std::thread([this, s = std::move(session)]() mutable {
            name_this_thread("qrv-conn-tls");
            serve_tls(std::move(s));
        });
    } catch (const std::system_error& e) {
        // Out of threads: the session closes its socket as it goes.
        finished_ = true;
        queue_.close();
        QRV_LOG_AT(warn, transport, "'%s' dropped the connection from %s: %s", source_.c_str(), peer_.c_str(),
                   e.what());
    }
}

void ServerConnection::serve_tls(std::unique_ptr<TlsSession> session)
{
    if (auto stream = secure(std::move(session))) {
        if (const auto receiver = read_hello(*stream)) {
            greet(*receiver);
            const Ending end = converse(*stream);
            finish();
            log_end(*receiver, end);
        } else {
            finish();
        }
        // The stream goes here, before the server hears of the end: what
        // it gathered and close_notify go out if the socket takes them,
        // and the socket closes.
    }
    hooks_.on_finished();
}

std::unique_ptr<TlsStream> ServerConnection::secure(std::unique_ptr<TlsSession> session)
{
    // TLS gets three quarters of the handshake time, so that a peer that
    // stalls in it is gone well within the whole (scheduling included),
    // and the hello the rest. finish() ends it at once.
    const TlsSession::Failure f = session->handshake(accepted_at_ + times_.handshake * 3 / 4, stop_.get());
    if (!f.reason.empty()) {
        if (finish()) {
            hooks_.on_key_refused(peer_, f.reason, f.detail);
        }
        return nullptr;
    }
    exported_ = session->exported();
    peer_key_ = session->peer_key();
    auto stream = std::make_unique<TlsStream>(std::move(session));
    stream->set_cancel(stop_.get());
    stream->set_timeouts(times_.message, kStallTimeout);
    return stream;
}

ServerConnection::Ending ServerConnection::converse(TlsStream& stream)
{
    uint64_t unknown_budget = 0;
    const UpstreamRules rules = upstream_rules(unknown_budget);
    Message m;
    Ending end;
    auto last_sent = Clock::now();
    bool wanting = false;
    while (!finished_.load() && send_queued(stream, last_sent)) {
        // Records read ahead need no wait, unless all they hold is part of
        // one; otherwise until something comes or a keepalive is due.
        const bool buffered = !wanting && stream.buffered();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_sent + times_.keepalive - Clock::now());
        const int wait_ms = buffered ? 0 : int(std::clamp<long long>(left.count(), 0, 60'000));
        pollfd p[3] = {{stream.fd(), POLLIN, 0}, {queued_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(p, 3, wait_ms) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[2].revents || (p[0].revents & POLLNVAL))
            break;
        if (p[1].revents & POLLIN)
            drain(queued_.get());
        if ((buffered || (p[0].revents & (POLLIN | POLLHUP | POLLERR))) &&
            !read_arrived(stream, m, rules, end, wanting))
            break;
    }
    return end;
}

bool ServerConnection::send_queued(TlsStream& stream, Clock::time_point& last_sent)
{
    const auto pop = [this](wire::PacketPtr& into) { return queue_.pop_until(into, Clock::time_point{}); };
    const auto write = [&](const wire::PacketPtr& p, bool more) {
        writing_since_ = Clock::now().time_since_epoch().count();
        const bool ok = stream.write(p->bytes, more);
        if (!ok)
            write_failed(errno);
        writing_since_ = 0;
        return ok;
    };
    wire::PacketPtr p, next;
    bool sent = false;
    SendQueue::Pop got = pop(p);
    while (got == SendQueue::Pop::item) {
        // With another packet behind it, this one's records may wait to
        // share a send with that one's.
        const SendQueue::Pop after = pop(next);
        if (!write(p, after == SendQueue::Pop::item))
            return false;
        sent = true;
        p = std::move(next);
        got = after;
    }
    if (got == SendQueue::Pop::closed)
        return false;
    // A receiver that was sent nothing for a while is sent a keepalive.
    if (!sent && Clock::now() >= last_sent + times_.keepalive) {
        if (!write(keepalive(), false))
            return false;
        sent = true;
    }
    if (sent)
        last_sent = Clock::now();
    return true;
}

bool ServerConnection::read_arrived(TlsStream& stream, Message& m, const UpstreamRules& rules, Ending& end,
                                    bool& wanting)
{
    // What has arrived whole is taken now (a message begun must end within
    // its time); the bytes of a record not whole yet stay in the session.
    wanting = false;
    for (int i = 0; i < kReadsPerTurn && !finished_.load(); ++i) {
        errno = 0;
        const ReadResult r = read_upstream(stream, m, rules, Clock::time_point{});
        if (r == ReadResult::closed && errno == EAGAIN) {
            wanting = true;
            return true;
        }
        if (!took(r, m, end))
            return false;
    }
    return true;
}

}  // namespace qrv::transport

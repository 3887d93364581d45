// One receiver's connection to a source: its reader (the hello, then the
// receiver's control messages) and its writer (the queue into the socket,
// with keepalives when there is nothing else). The frames of the same-host
// path are in server_shared_frames.cpp, the thread of a connection with the
// site key in server_tls.cpp.
#include "transport/server_connection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "transport/byte_stream.h"
#include "transport/message_io.h"
#include "base/error.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "base/unix_socket.h"

namespace qrv::transport {

namespace {

std::string host_of(const std::string& peer)
{
    const auto colon = peer.rfind(':');
    return colon == std::string::npos ? peer : peer.substr(0, colon);
}

// Large frames wait alone for a receiver over TCP.
QueueLimits queue_limits(QueueLimits limits, bool shared)
{
    if (!shared)
        limits.video_alone_bytes = limits.tcp_video_alone_bytes;
    return limits;
}

const wire::PacketPtr& keepalive_packet()
{
    static const wire::PacketPtr p = wire::make_packet(wire::MessageType::keepalive, wire::encode_keepalive());
    return p;
}

}  // namespace

ServerConnection::ServerConnection(net::Fd fd, ConnectionHooks& hooks, QueueLimits limits, DropCounters& drops,
                                   ConnectionTimes times, bool shared, std::string source,
                                   std::shared_ptr<const LinkKeys> keys)
    : fd_(std::move(fd)),
      hooks_(hooks),
      queue_(queue_limits(limits, shared), drops),
      limits_(limits),
      drops_(drops),
      times_(times),
      accepted_at_(std::chrono::steady_clock::now()),
      shared_(shared),
      source_(std::move(source)),
      peer_(net::peer_text(fd_.get())),
      peer_host_(host_of(peer_)),
      local_host_(net::local_address(fd_.get())),
      keys_(std::move(keys))
{
    queue_.on_video_taken([this] { hooks_.on_video_taken(); });
    // Small messages (status, camera acknowledgements, keepalives, the last
    // piece of a frame) go out at once, not held until the receiver's
    // delayed acknowledgement of an earlier small one.
    if (!shared_)
        net::set_no_delay(fd_.get());
    if (keys_) {
        start_tls();
        return;
    }
    net::set_send_timeout(fd_.get(), kStallTimeout);
    try {
        reader_ = std::thread([this] {
            name_this_thread("qrv-conn-read");
            read_loop();
        });
        writer_ = std::thread([this] {
            name_this_thread("qrv-conn-write");
            write_loop();
        });
    } catch (const std::system_error& e) {
        // Out of threads: a reader that did start sees the end at once, and
        // the connection is reaped like any other.
        finish();
        QRV_LOG_AT(warn, transport, "'%s' dropped the connection from %s: %s", source_.c_str(), peer_.c_str(),
                   e.what());
    }
}

ServerConnection::~ServerConnection()
{
    finish();
    for (std::thread* t : {&reader_, &writer_, &tls_})
        if (t->joinable())
            t->join();
}

PeerKey ServerConnection::peer_key() const
{
    return peer_key_.load();
}

bool ServerConnection::may_steer() const
{
    if (!keys_ || !keys_->has_operator_key())
        return true;
    return peer_key_.load() == PeerKey::operator_key || operator_proved_.load();
}

void ServerConnection::take_ptz(const wire::PtzFields& command)
{
    wire::PtzAckFields ack{command.sequence, wire::PtzOutcome::held};
    if (!may_steer()) {
        hooks_.on_command_refused(*this);
        ack.outcome = wire::PtzOutcome::refused;
        ack.refusal = wire::PtzRefusal::needs_operator_key;
    } else if (!hooks_.on_ptz(command)) {
        ack.outcome = wire::PtzOutcome::refused;
    }
    // Taken in the order they come, and acknowledged once held, so that
    // the receiver knows its command is not lost.
    if (command.sequence != 0)
        send(wire::make_packet(wire::MessageType::ptz_ack, wire::encode_ptz_ack(ack)));
}

void ServerConnection::take_operator_proof(const wire::OperatorProofFields& proof)
{
    // Outside TLS there is nothing to bind a proof to: ignored.
    if (!exported_ || !keys_->has_operator_key())
        return;
    if (keys_->operator_proof_valid(*exported_, proof.mac)) {
        operator_proved_ = true;
        QRV_LOG_AT(info, transport, "'%s': %s proved the operator key", source_.c_str(), peer_.c_str());
        return;
    }
    // Once per connection: a peer cannot fill the log with bad proofs.
    if (!std::exchange(bad_proof_logged_, true))
        QRV_LOG_AT(warn, transport, "'%s': %s sent a proof of an operator key that is not this source's; it may "
                   "watch but not steer", source_.c_str(), peer_.c_str());
}

std::string ServerConnection::receiver_name() const
{
    std::lock_guard lock(mutex_);
    return receiver_name_;
}

bool ServerConnection::finish()
{
    if (finished_.exchange(true))
        return false;
    if (keys_) {
        // The serving thread alone touches the session: it is woken to send
        // what it gathered and close_notify, then closes the socket.
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(stop_.get(), &one, sizeof one);
    } else {
        net::shutdown_both(fd_.get());
    }
    queue_.close();
    return true;
}

void ServerConnection::read_loop()
{
    PlainStream stream(fd_.get());
    if (const auto receiver = read_hello(stream)) {
        greet(*receiver);
        const Ending end = read_messages();
        finish();
        log_end(*receiver, end);
    } else {
        finish();
    }
    hooks_.on_finished();
}

void ServerConnection::greet(const std::string& receiver)
{
    // The server greets the receiver and then marks it ready, under its
    // lock, so that the greeting comes before any frame.
    hooks_.on_ready(*this);
    QRV_LOG_AT(info, transport, "'%s': receiver '%s' connected from %s%s", source_.c_str(), receiver.c_str(),
               peer_.c_str(), shared_ ? " (shared memory)" : "");
}

void ServerConnection::log_end(const std::string& receiver, const Ending& end) const
{
    if (end.dropped)
        QRV_LOG_AT(warn, transport, "'%s' dropped receiver '%s' (%s): %s", source_.c_str(), receiver.c_str(),
                   peer_.c_str(), end.dropped);
    else if (end.closed_by_peer)
        QRV_LOG_AT(info, transport, "'%s': receiver '%s' (%s) disconnected", source_.c_str(), receiver.c_str(),
                   peer_.c_str());
}

std::optional<std::string> ServerConnection::read_hello(ByteStream& stream)
{
    // The first message must be the hello, whole within the handshake
    // timeout; its header alone decides whether anything more is read.
    Message m;
    UpstreamRules rules;
    rules.hello_only = true;
    const auto hello_by = accepted_at_ + times_.handshake;
    rules.message_timeout =
        std::max(std::chrono::milliseconds(0),
                 std::chrono::duration_cast<std::chrono::milliseconds>(hello_by - std::chrono::steady_clock::now()));
    ReadResult r = read_upstream(stream, m, rules, hello_by);
    if (r == ReadResult::closed && std::chrono::steady_clock::now() >= hello_by && !finished_.load())
        r = ReadResult::timeout;  // nothing at all within the timeout
    if (r == ReadResult::timeout) {
        if (!finished_.load()) {
            hooks_.on_handshake_timeout();
            QRV_LOG_AT(warn, transport, "'%s' dropped the connection from %s: no hello within %lld ms",
                       source_.c_str(), peer_.c_str(), (long long)times_.handshake.count());
        }
        return std::nullopt;
    }
    const auto hello = r == ReadResult::ok ? wire::decode_hello(m.header, m.fixed) : std::nullopt;
    if (!hello) {
        if (r != ReadResult::closed) {
            hooks_.on_bad_peer();
            QRV_LOG_AT(warn, transport, "'%s' dropped the connection from %s: its first message is not a valid hello",
                       source_.c_str(), peer_.c_str());
        }
        return std::nullopt;
    }
    wishes_ = *hello;
    std::lock_guard lock(mutex_);
    receiver_name_ = m.text;
    return m.text;
}

UpstreamRules ServerConnection::upstream_rules(uint64_t& budget) const
{
    budget = times_.unknown_budget;
    UpstreamRules rules;
    rules.message_timeout = times_.message;
    rules.unknown_budget = &budget;
    return rules;
}

ServerConnection::Ending ServerConnection::read_messages()
{
    uint64_t unknown_budget = 0;
    const UpstreamRules rules = upstream_rules(unknown_budget);
    Message m;
    Ending end;
    while (!finished_.load() && took(read_upstream(fd_.get(), m, rules), m, end)) {
    }
    return end;
}

bool ServerConnection::took(ReadResult r, const Message& m, Ending& end)
{
    switch (r) {
    case ReadResult::closed:
        end.closed_by_peer = !finished_.load();
        return false;
    case ReadResult::timeout:
        if (!finished_.load()) {
            hooks_.on_bad_peer();
            end.dropped = "a message that did not arrive in time";
        }
        return false;
    case ReadResult::bad:
        hooks_.on_bad_peer();
        end.dropped = "invalid message";
        return false;
    case ReadResult::skipped:
        // From a receiver of a later version: a type this side does not
        // know, within the bounds (known types are judged by the reader).
        hooks_.on_unknown_message();
        return true;
    case ReadResult::ok:
        break;
    }
    if (const char* why = take(m)) {
        hooks_.on_bad_peer();
        end.dropped = why;
        finish();
        return false;
    }
    return true;
}

const char* ServerConnection::take(const Message& m)
{
    switch (m.header.type) {
    case wire::MessageType::ptz:
        if (auto f = wire::decode_ptz(m.header, m.fixed))
            take_ptz(*f);
        return nullptr;
    case wire::MessageType::operator_proof:
        if (auto f = wire::decode_operator_proof(m.header, m.fixed))
            take_operator_proof(*f);
        return nullptr;
    case wire::MessageType::tally:
        if (auto f = wire::decode_tally(m.header, m.fixed)) {
            const uint32_t flags = f->flags & (wire::kTallyProgram | wire::kTallyPreview);
            if (tally_.exchange(flags) != flags)
                hooks_.on_tally(*this);
        }
        return nullptr;
    case wire::MessageType::hello:
        return nullptr;  // a repeated hello changes nothing
    case wire::MessageType::nack:
        if (auto f = wire::decode_nack(m.header, m.fixed)) {
            std::vector<uint32_t> indexes(f->count);
            for (size_t i = 0; i < indexes.size() && m.data && m.data->size() >= indexes.size() * 4; ++i) {
                const uint8_t* p = m.data->data() + i * 4;
                indexes[i] = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
            }
            if (f->count == 0 || (m.data && m.data->size() == indexes.size() * 4))
                hooks_.on_nack(*this, *f, indexes);
        }
        return nullptr;
    case wire::MessageType::multicast_state:
        if (auto f = wire::decode_multicast_state(m.header, m.fixed))
            hooks_.on_multicast_state(*this, f->state == wire::kMulticastJoined);
        return nullptr;
    case wire::MessageType::release:
        if (!shared_)
            return "release of a shared frame over TCP";
        if (auto f = wire::decode_release(m.header, m.fixed))
            release(f->frame_id);
        return nullptr;
    default:
        // Media and source-side messages have no business here.
        return "a message that only sources send";
    }
}

std::chrono::steady_clock::duration ServerConnection::stalled_for(std::chrono::steady_clock::time_point now) const
{
    const auto since = writing_since_.load();
    if (since == 0)
        return {};
    return now - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(since));
}

void ServerConnection::write_loop()
{
    wire::PacketPtr p;
    auto last_sent = std::chrono::steady_clock::now();
    for (;;) {
        const auto popped = queue_.pop_until(p, last_sent + times_.keepalive);
        if (popped == SendQueue::Pop::closed)
            break;
        if (popped == SendQueue::Pop::idle && !ready_.load()) {
            // Nothing goes out before the greeting.
            last_sent = std::chrono::steady_clock::now();
            continue;
        }
        writing_since_ = std::chrono::steady_clock::now().time_since_epoch().count();
        bool sent = false, ok;
        if (popped == SendQueue::Pop::item) {
            const bool as_shared = shared_ && p->type == wire::MessageType::video && p->bytes.shared_fd() >= 0;
            ok = as_shared ? offer_shared(std::move(p), sent) : (sent = net::write_all(fd_.get(), p->bytes));
        } else {
            // A release came in, or a while passed: the frame waiting for
            // the receiver's share may go now.
            ok = send_waiting(sent);
        }
        // A receiver that was sent nothing for a while is sent a keepalive,
        // also one that holds its share while frames keep coming.
        if (ok && !sent && ready_.load() && std::chrono::steady_clock::now() >= last_sent + times_.keepalive)
            ok = sent = net::write_all(fd_.get(), keepalive_packet()->bytes);
        if (!ok) {
            write_failed(errno);
            break;
        }
        writing_since_ = 0;
        if (sent)
            last_sent = std::chrono::steady_clock::now();
        p.reset();
    }
    writing_since_ = 0;
    waiting_.reset();
}

void ServerConnection::write_failed(int error)
{
    if (!finish())
        return;
    // Not ended by the server or the reader: the receiver stalled or went
    // away.
    const std::string receiver = receiver_name();
    if (error == EAGAIN || error == EWOULDBLOCK)
        QRV_LOG_AT(warn, transport, "'%s' dropped receiver '%s' (%s): it stalled, reading nothing for %lld s",
                   source_.c_str(), receiver.c_str(), peer_.c_str(), (long long)kStallTimeout.count());
    else
        QRV_LOG_AT(info, transport, "'%s' lost receiver '%s' (%s): %s", source_.c_str(), receiver.c_str(),
                   peer_.c_str(), error_text(error).c_str());
}

}  // namespace qrv::transport

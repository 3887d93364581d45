// One connection of a receiver's link, served on the link's thread: the
// hello, then waiting for the source's messages or for messages others
// posted, reading each, checking it and handing it on (compressed video
// through the decode stage), until the source goes silent, misbehaves or
// closes the connection.
#include "transport/client_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "base/log.h"
#include "client_session.h"

namespace qrv::transport {

ClientLink::Served ClientLink::serve(ByteStream& stream, bool shared, std::string peer,
                                     std::vector<uint8_t> after_hello, std::string local)
{
    const auto taken = std::chrono::steady_clock::now();
    // Writes to a receiver's source never block for long.
    stream.set_timeouts(options_.silence_timeout, std::chrono::seconds(2));
    const auto channel = open_channel(stream);
    if (!channel)
        return {true, true};
    Served served;
    delivered_ = false;
    if (peer.empty())
        peer = shared ? "this host (shared memory)" : net::peer_text(stream.fd());
    // Receivers on this host take the frames from shared memory.
    wire::HelloFields wishes = wishes_;
    if (shared) {
        wishes.flags &= ~wire::kHelloJoinMulticast;
        wishes.flags |= wire::kHelloSharedRegions;
    }
    std::vector<uint8_t> hello = wire::encode_hello(receiver_name_, wishes);
    hello.insert(hello.end(), after_hello.begin(), after_hello.end());
    if (stream.write_all(hello)) {
        Session s(stream, shared, peer, channel);
        s.local = local.empty() ? net::local_address(stream.fd()) : std::move(local);
        s.greet_by = taken + options_.handshake_timeout;
        converse(s);
        served = {s.well, s.up};
        if (!s.up && s.well && !shared && !stopping())
            handshake_failed(s);
    }
    close_channel(*channel);
    return served;
}

void ClientLink::handshake_failed(const Session& s)
{
    // The first of a run at warn, and the receiver hears once that it is
    // not connected: a source that takes connections and never answers
    // is otherwise invisible.
    const bool first = !handshake_failing_;
    handshake_failing_ = true;
    const std::string why = std::chrono::steady_clock::now() >= s.greet_by
                                ? "took the connection but did not greet within " +
                                      std::to_string(options_.handshake_timeout.count()) + " ms"
                                : std::string("closed the connection before greeting");
    if (!first) {
        QRV_LOG_AT(debug, receiver, "receiver '%s': %s %s again; retrying", log_name(), s.peer.c_str(), why.c_str());
        return;
    }
    QRV_LOG_AT(warn, receiver, "receiver '%s': %s %s; not connected, retrying", log_name(), s.peer.c_str(),
               why.c_str());
    events_.on_link_failed(*this);
}

void ClientLink::close_gently(Session& s)
{
    // The source reads what we wrote before it sees our end; reading on
    // until it closes keeps our socket from resetting the connection (a
    // close with unread bytes does) before the source has read it all.
    if (!s.channel->flush())
        return;
    s.stream.end_writing();
    uint8_t sink[16384];
    // Bytes the stream holds already are read without waiting; once it
    // has nothing whole to give, the socket is waited on.
    bool wait_socket = !s.stream.buffered();
    for (;;) {
        if (wait_socket) {
            pollfd p{s.fd, POLLIN, 0};
            if (::poll(&p, 1, 50) < 0 && errno != EINTR)
                return;
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;  // the destructor shuts the socket at its deadline
        }
        const long n = s.stream.read_some(sink);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
        wait_socket = n < 0 || !s.stream.buffered();
    }
}

void ClientLink::converse(Session& s)
{
    // The link is up once the server has taken the hello in: its first
    // answer is always a status. Compressed video is decoded on a thread
    // of its own (started by the first compressed frame), so that reading
    // never waits for a decode; raw frames go on directly. It stops before
    // the link reports down.
    s.stage = std::make_unique<DecodeStage>(
        decoder_, [this](Message&& v) { events_.on_link_media(*this, std::move(v)); },
        [this](uint64_t n) { events_.on_link_video_lost(*this, n); },
        [this, peer = s.peer](uint64_t bytes, bool decoded) {
            events_.on_link_video_compressed(*this, bytes, decoded);
            if (!decoded)
                QRV_LOG_AT(warn, receiver, "receiver '%s': %s sent a compressed frame that does not decode; dropped",
                           log_name(), peer.c_str());
        });
    s.heard = std::chrono::steady_clock::now();
    for (;;) {
        if (closing_.load()) {
            close_gently(s);
            break;
        }
        const Wait w = wait(s);
        if (w == Wait::end)
            break;
        if (w == Wait::readable && !take_message(s))
            break;
        check_group(s);
    }
    s.m = Message{};  // a frame not handed on is released before the channel closes
    if (s.group)
        leave_group(s, nullptr);
    s.stage.reset();
    s.channel->flush();
    if (s.up) {
        connected_ = false;
        shared_ = false;
        if (s.well && !s.silent && !stopping())
            QRV_LOG_AT(info, receiver, "receiver '%s': the connection to %s ended; reconnecting", log_name(),
                       s.peer.c_str());
        events_.on_link_down(*this);
    } else if (s.shared) {
        s.well = false;  // a Unix socket that never greeted us
    }
}

void ClientLink::fell_silent(Session& s)
{
    s.silent = true;
    QRV_LOG_AT(warn, receiver, "receiver '%s': %s sent nothing for %lld ms; reconnecting", log_name(), s.peer.c_str(),
               (long long)options_.silence_timeout.count());
}

ClientLink::Wait ClientLink::wait(Session& s)
{
    // Waits for the next message or for something to write: the releases,
    // camera commands and tally that others posted. A source that says
    // nothing at all (not even a keepalive) for the silence timeout is
    // taken for gone.
    // Until the greeting, the handshake's deadline stands in for it.
    using Clock = std::chrono::steady_clock;
    const auto until = s.up ? s.heard + options_.silence_timeout : s.greet_by;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) {
        if (s.up)
            fell_silent(s);
        return Wait::end;
    }
    const int wake = s.channel->wake_fd();
    int wait_ms = (int)std::min<int64_t>(left.count() + 1, wake >= 0 ? INT32_MAX : 10);
    // On a multicast group the connection may stay quiet for a second:
    // whether the group still brings anything is looked at more often.
    if (s.group || s.offer)
        wait_ms = std::min(wait_ms, 100);
    // Bytes the stream took in already (TLS records read ahead) need no wait.
    const bool buffered = s.stream.buffered();
    pollfd fds[2] = {{s.fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, wake >= 0 ? 2 : 1, buffered ? 0 : wait_ms) < 0)
        return errno == EINTR ? Wait::again : Wait::end;
    if ((wake < 0 || (fds[1].revents & POLLIN)) && !s.channel->flush())
        return Wait::end;
    if (fds[0].revents & POLLNVAL)
        return Wait::end;
    if (!buffered && !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
        return Wait::again;
    s.heard = Clock::now();
    return Wait::readable;
}

bool ClientLink::take_message(Session& s)
{
    s.passed.clear();
    errno = 0;  // tells a silent peer from a closed stream below
    const ReadResult r = read_message(s.stream, s.m, &s.buffers, s.shared ? &s.passed : nullptr);
    if (r == ReadResult::closed) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            fell_silent(s);
        return false;
    }
    if (r == ReadResult::skipped) {
        // From a source of a later version; descriptors that came with it
        // are closed unused.
        events_.on_link_skipped(*this, !wire::known_type(s.m.header.type));
        return true;
    }
    delivered_ = delivered_ || s.up;
    bool bad = r == ReadResult::bad;
    // Descriptors come only with shared-memory frames, at most one each.
    if (!bad && s.m.header.type == wire::MessageType::shm_video)
        bad = !s.shared || !take_shared(s.m, s.passed, s.maps, s.channel);
    else if (!bad && !s.passed.empty())
        bad = true;
    else if (!bad && s.m.header.type == wire::MessageType::ptz_ack) {
        const auto ack = wire::decode_ptz_ack(s.m.header, s.m.fixed);
        bad = !ack || !s.channel->acknowledge(*ack);
    }
    if (bad) {
        QRV_LOG_AT(warn, receiver, "receiver '%s': %s sent an invalid message; reconnecting", log_name(),
                   s.peer.c_str());
        events_.on_link_bad(*this);
        s.well = false;
        return false;
    }
    hand_on(s);
    return true;
}

void ClientLink::hand_on(Session& s)
{
    Message& m = s.m;
    switch (m.header.type) {
    case wire::MessageType::status:
        take_status(s);
        break;
    case wire::MessageType::ptz_ack:
        // Acknowledgements of commands never written are checked in
        // take_message.
        break;
    case wire::MessageType::redirect:
        if (m.text.empty())
            QRV_LOG_AT(debug, receiver, "receiver '%s': %s routes nowhere now", log_name(), s.peer.c_str());
        else
            QRV_LOG_AT(info, receiver, "receiver '%s': %s redirects to %s", log_name(), s.peer.c_str(),
                       m.text.c_str());
        events_.on_link_redirect(*this, m.text);
        break;
    case wire::MessageType::multicast_offer:
        if (!s.offer && !s.shared) {
            s.offer = wire::decode_multicast_offer(m.header, m.fixed);
            join_group(s);
        }
        break;
    case wire::MessageType::multicast_key:
        // Only over TLS, and only for a group it may join.
        if (auto key = wire::decode_multicast_key(m.header, m.fixed); key && s.group && options_.keys)
            s.group->add_key(*key);
        break;
    case wire::MessageType::video:
        hand_on_video(s);
        break;
    case wire::MessageType::audio:
    case wire::MessageType::metadata:
        if (take_number(s, m))
            events_.on_link_media(*this, std::move(m));
        m = Message{};
        break;
    default:
        break;  // hello and camera commands are not sent to receivers
    }
}

void ClientLink::take_status(Session& s)
{
    // Whether commands are acknowledged is known before anyone can send
    // one, which takes the link being up.
    const auto f = wire::decode_status(s.m.header, s.m.fixed);
    if (f)
        s.channel->set_acknowledging((f->flags & wire::kStatusPtzAcks) != 0);
    if (!s.up) {
        s.up = true;
        connected_ = true;
        shared_ = s.shared;
        ++connects_;
        {
            std::lock_guard lock(group_mutex_);
            refusal_.clear();
        }
        if (options_.keys && !s.shared)
            report_key(true);
        QRV_LOG_AT(info, receiver, "receiver '%s' connected to %s", log_name(), s.peer.c_str());
        events_.on_link_up(*this);
    }
    if (f)
        events_.on_link_status(*this, f->flags);
}

bool ClientLink::take_number(Session& s, const Message& m)
{
    const bool audio = m.header.type == wire::MessageType::audio;
    uint64_t number = 0;
    if (audio) {
        if (const auto f = wire::decode_audio(m.header, m.fixed))
            number = f->frame_number;
    } else if (const auto f = wire::decode_metadata(m.header, m.fixed)) {
        number = f->frame_number;
    }
    const auto missing = (audio ? s.audio_numbers : s.metadata_numbers).take(number);
    if (missing && *missing > 0)
        events_.on_link_media_lost(*this, m.header.type, *missing);
    return missing.has_value();
}

void ClientLink::hand_on_video(Session& s)
{
    // The frame's number on its source shows the frames skipped there for
    // this receiver, or lost on the group before it fell back; a frame the
    // group brought already (while joining) is not delivered again.
    const auto f = wire::decode_video(s.m.header, s.m.fixed);
    note_tcp_video(s);
    const auto missing = s.numbers.take(f ? f->frame_number : 0);
    if (!missing) {
        s.m = Message{};
        return;
    }
    // A receiver that asked for fewer frames skips by its own wish.
    if (*missing > 0 && wishes_.frame_interval_us == 0)
        events_.on_link_video_lost(*this, *missing);
    // Compressed frames are decoded on the stage's thread; raw ones go on
    // directly.
    if (f && f->format_tag != wire::kVideoRaw)
        s.stage->offer(std::move(s.m));
    else
        events_.on_link_media(*this, std::move(s.m));
    s.m = Message{};
}

}  // namespace qrv::transport

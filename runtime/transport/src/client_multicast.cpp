// A receiver's link on a source's multicast group: it joins the group the
// source offers, on the address its connection arrived on, and tells the
// source so that the media stop on the connection. When nothing comes from
// the group for a second (a network that drops multicast, or a source that
// stopped sending to it), it leaves, asks for the media on the connection
// again, and tries the group again later, waiting longer each time. So it
// does when the group loses more than one frame in a hundred over the last
// seconds (repairs did not arrive in time): the connection does better.
#include <arpa/inet.h>

#include "base/error.h"
#include "base/log.h"
#include "base/socket.h"
#include "client_session.h"

namespace qrv::transport {

namespace {

constexpr auto kQuietGroup = std::chrono::seconds(1);
constexpr auto kFirstBackoff = std::chrono::milliseconds(2000);
constexpr auto kMaxBackoff = std::chrono::milliseconds(60000);
constexpr auto kSettled = std::chrono::seconds(30);
// The longest gap between a source's frames allowed for when waiting for
// the group's first one: a large frame on a busy host comes late, but a
// network that drops multicast still sends the receiver back within two
// seconds.
constexpr auto kMaxFrameGap = std::chrono::seconds(1);

std::chrono::steady_clock::time_point group_silence_deadline(std::chrono::steady_clock::time_point due,
                                                             std::chrono::steady_clock::duration frame_gap)
{
    return due + kQuietGroup + std::min<std::chrono::steady_clock::duration>(frame_gap, kMaxFrameGap);
}

}  // namespace

std::string ClientLink::group() const
{
    std::lock_guard lock(group_mutex_);
    return group_;
}

void ClientLink::join_group(Session& s)
{
    if (!s.offer || s.group)
        return;
    in_addr local{};
    if (inet_pton(AF_INET, s.local.c_str(), &local) != 1)
        return;
    // Group frames go through the same decode stage as those of the
    // connection, and are numbered with them: a frame the group could not
    // complete in time, or the source skipped, shows as a gap and counts
    // as dropped video (or audio, or metadata), and a frame the connection
    // brought already (while joining) is not delivered twice. The
    // receiver's thread ends before the session does, and touches only its
    // frame numbers (atomic) and its decode stage (made before the group,
    // gone after it).
    auto deliver = [this, &s](Message&& m) {
        if (m.header.type != wire::MessageType::video) {
            if (take_number(s, m))
                events_.on_link_media(*this, std::move(m));
            return;
        }
        const auto f = wire::decode_video(m.header, m.fixed);
        const auto missing = s.numbers.take(f ? f->frame_number : 0);
        if (!missing)
            return;
        if (*missing > 0)
            events_.on_link_video_lost(*this, *missing);
        if (f && f->format_tag != wire::kVideoRaw)
            s.stage->offer(std::move(m));
        else
            events_.on_link_media(*this, std::move(m));
    };
    const std::string group = net::ipv4_text(s.offer->group);
    try {
        // Requests for repairs go on the connection, like camera commands.
        auto ask = [channel = s.channel](std::vector<uint8_t>&& nack) { channel->post(std::move(nack)); };
        // With a site key only sealed datagrams are taken, under keys the
        // source hands over on this (TLS) connection.
        s.group = std::make_unique<MulticastReceiver>(*s.offer, ntohl(local.s_addr), options_.multicast_window,
                                                      std::move(deliver), std::move(ask), receiver_name_,
                                                      options_.keys != nullptr);
    } catch (const Error& e) {
        QRV_LOG_AT(warn, receiver, "receiver '%s': cannot join group %s of %s (%s); staying on TCP", log_name(),
                   group.c_str(), s.peer.c_str(), e.what());
        s.offer.reset();
        return;
    }
    s.joined_at = std::chrono::steady_clock::now();
    s.group_due = s.joined_at;
    s.channel->post(wire::encode_multicast_state({wire::kMulticastJoined}));
    {
        std::lock_guard lock(group_mutex_);
        group_ = group;
    }
    QRV_LOG_AT(info, receiver, "receiver '%s': takes the media of %s from group %s", log_name(), s.peer.c_str(),
               group.c_str());
}

void ClientLink::leave_group(Session& s, const char* why)
{
    s.group.reset();
    {
        std::lock_guard lock(group_mutex_);
        group_.clear();
    }
    if (!why)
        return;  // the connection ends
    s.channel->post(wire::encode_multicast_state({wire::kMulticastLeft}));
    QRV_LOG_AT(warn, receiver, "receiver '%s': %s; back to TCP, group again in %lld ms", log_name(), why,
               (long long)s.backoff.count());
    s.rejoin_at = std::chrono::steady_clock::now() + s.backoff;
    s.backoff = std::min(kMaxBackoff, s.backoff * 2);
}

void ClientLink::note_tcp_video(Session& s)
{
    const auto now = std::chrono::steady_clock::now();
    if (s.last_tcp_video != std::chrono::steady_clock::time_point{})
        s.frame_gap = now - s.last_tcp_video;
    s.last_tcp_video = now;
    // Joined, but the source has not switched yet: the group's first
    // frame is due only after this one.
    if (s.group && !s.group->last_datagram())
        s.group_due = now;
}

void ClientLink::check_group(Session& s)
{
    const auto now = std::chrono::steady_clock::now();
    if (!s.group) {
        if (s.offer && now >= s.rejoin_at)
            join_group(s);
        return;
    }
    const auto last = s.group->last_datagram();
    // A group that has worked for a while earns a quick retry next time.
    if (last && now - s.joined_at > kSettled)
        s.backoff = kFirstBackoff;
    if (!last && now > group_silence_deadline(s.group_due, s.frame_gap)) {
        leave_group(s, "nothing came from the multicast group within a second of joining");
    } else if (last && now - *last > kQuietGroup) {
        leave_group(s, "the multicast group fell silent for a second");
    } else if (s.group->too_lossy(now)) {
        const auto t = s.group->frame_loss(now);
        const std::string why = "the multicast group could not complete " + std::to_string(t.lost) +
                                " of its last " + std::to_string(t.frames) + " frames";
        leave_group(s, why.c_str());
    }
}

}  // namespace qrv::transport

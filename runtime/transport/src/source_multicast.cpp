// A source's multicast group: offered to the receivers on other hosts that
// can take it (they want every frame of everything, compressed, and said
// they can join), made on the first offer, and sent to only while one of
// them is joined. Receivers on this host, and those that want a reduced
// rate, a preview, raw pixels or part of the media, stay on TCP.
#include "transport/source_server.h"

#include <arpa/inet.h>

#include "base/error.h"
#include "base/log.h"
#include "base/socket.h"

namespace qrv::transport {

void SourceServer::offer_group_locked(ServerConnection& c)
{
    const wire::HelloFields& w = c.wishes();
    if (!options_.multicast.offer || !(w.flags & wire::kHelloJoinMulticast) || c.same_host() ||
        w.frame_interval_us != 0 || w.bandwidth != wire::Bandwidth::highest || w.kinds != wire::kWantAll ||
        !encoders_.encoder() || !wire::has_format(w.video_formats, wire::kVideoSlicedJpeg))
        return;
    in_addr local{};
    if (inet_pton(AF_INET, c.local_host().c_str(), &local) != 1)
        return;
    if (!group_ && !group_failed_) {
        const auto group = choose_group(options_.name + "/full", options_.multicast,
                                        [](uint32_t) { return false; });
        try {
            if (!group)
                throw Error("every group of the range is taken");
            group_ = std::make_unique<MulticastSender>(*group, ntohl(local.s_addr), options_.multicast, options_.name);
            QRV_LOG_AT(info, sender, "sender '%s': offers its media on group %s port %u", options_.name.c_str(),
                       net::ipv4_text(*group).c_str(), (unsigned)wire::kMulticastPort);
        } catch (const Error& e) {
            group_failed_ = true;
            QRV_LOG_AT(warn, sender, "sender '%s': no multicast group (%s); every receiver gets TCP",
                       options_.name.c_str(), e.what());
            return;
        }
    }
    if (!group_)
        return;
    c.mark_offered_group();
    c.send(wire::make_packet(wire::MessageType::multicast_offer, wire::encode_multicast_offer(group_->offer())));
}

void SourceServer::on_multicast_state(ServerConnection& c, bool joined)
{
    std::lock_guard lock(mutex_);
    if (!c.offered_group() || c.on_group() == joined)
        return;
    const bool was_active = active_group_locked() != nullptr;
    c.set_on_group(joined);
    const bool active = active_group_locked() != nullptr;
    QRV_LOG_AT(info, sender, "sender '%s': receiver '%s' %s the group", options_.name.c_str(),
               c.receiver_name().c_str(), joined ? "joined" : "left");
    if (active != was_active)
        QRV_LOG_AT(info, sender, "sender '%s': %s sending to group %s", options_.name.c_str(),
                   active ? "starts" : "stops", net::ipv4_text(group_->offer().group).c_str());
}

void SourceServer::on_nack(ServerConnection& c, const wire::NackFields& nack, std::span<const uint32_t> indexes)
{
    in_addr peer{};
    if (!c.on_group() || inet_pton(AF_INET, c.peer_host().c_str(), &peer) != 1)
        return;
    MulticastSender* group = nullptr;
    {
        std::lock_guard lock(mutex_);
        group = group_.get();
    }
    // On the connection's reader: the repairs leave at once, to this
    // receiver alone, never to the group, as far as its budget goes.
    if (!group)
        return;
    const auto outcome = group->resend(ntohl(peer.s_addr), nack.port, nack.stream, nack.sequence, indexes,
                                       c.repair_budget());
    if (outcome.refused > 0 && c.repair_budget().time_to_tell(std::chrono::steady_clock::now()))
        QRV_LOG_AT(warn, sender,
                   "sender '%s': receiver '%s' at %s asks for more repairs than its share of the stream; "
                   "%u datagrams refused",
                   options_.name.c_str(), c.receiver_name().c_str(), c.peer_host().c_str(), outcome.refused);
}

MulticastSender* SourceServer::active_group_locked() const
{
    if (!group_)
        return nullptr;
    for (const auto& c : connections_)
        if (c->on_group() && c->ready() && !c->finished())
            return group_.get();
    return nullptr;
}

void SourceServer::add_group_stats(ServerStats& s) const
{
    if (!group_)
        return;
    for (const auto& c : connections_)
        s.multicast_receivers += c->on_group() && c->ready() && !c->finished();
    const auto g = group_->stats();
    s.multicast_messages = g.messages;
    s.multicast_bytes = g.bytes;
    s.multicast_dropped = g.dropped;
    s.multicast_repairs = g.repairs;
    s.multicast_repairs_refused = g.refused;
    s.multicast_group = net::ipv4_text(group_->offer().group);
}

}  // namespace qrv::transport

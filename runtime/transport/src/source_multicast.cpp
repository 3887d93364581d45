// A source's multicast groups: one for full pictures and one for the
// reduced preview, each wish a stream of its own, so that a receiver joins
// only the picture it asked for. A group is offered to the receivers on
// other hosts that can take it (every frame of everything, compressed, and
// they said they can join), made on its first offer, and sent to only
// while one of them is joined. Receivers on this host, and those that want
// a reduced rate, raw pixels or part of the media, stay on TCP.
//
// Audio and metadata travel in each video group as streams of their own:
// they are a few percent of the bytes, every receiver of either group
// wants them, and a group of their own would cost every receiver a second
// join and a second repair path. While both groups have receivers they are
// sent twice, a few percent more on the source's link.
#include "transport/source_server.h"

#include <arpa/inet.h>

#include "base/error.h"
#include "base/log.h"
#include "base/socket.h"

namespace qrv::transport {

namespace {

const char* const kGroupNames[] = {"full", "preview"};

}  // namespace

int SourceServer::group_of(const ServerConnection& c)
{
    return c.wishes().bandwidth == wire::Bandwidth::lowest ? kPreviewGroup : kFullGroup;
}

MulticastSender* SourceServer::make_group_locked(int which, uint32_t local)
{
    auto& group = groups_[which];
    if (group || group_failed_[which])
        return group.get();
    // Never the address of the source's other group, nor one another
    // sender of this host holds.
    const auto other = groups_[1 - which] ? groups_[1 - which]->offer().group : 0u;
    auto claimed = claim_group(options_.name + "/" + kGroupNames[which], options_.multicast, other);
    try {
        if (!claimed)
            throw Error("every group of the range is taken");
        const uint32_t address = claimed->group;
        // With a site key the links run TLS, and the group's datagrams are
        // sealed under a key handed over those links.
        group = std::make_unique<MulticastSender>(address, local, options_.multicast, options_.name,
                                                  options_.keys != nullptr);
        group_claims_[which] = std::move(claimed->claim);
        QRV_LOG_AT(info, sender, "sender '%s': offers its %s pictures on group %s port %u", options_.name.c_str(),
                   kGroupNames[which], net::ipv4_text(address).c_str(), (unsigned)wire::kMulticastPort);
    } catch (const Error& e) {
        group_failed_[which] = true;
        QRV_LOG_AT(warn, sender, "sender '%s': no multicast group for its %s pictures (%s); their receivers get TCP",
                   options_.name.c_str(), kGroupNames[which], e.what());
    }
    return group.get();
}

void SourceServer::offer_group_locked(ServerConnection& c)
{
    const wire::HelloFields& w = c.wishes();
    const bool picture = w.bandwidth == wire::Bandwidth::highest || w.bandwidth == wire::Bandwidth::lowest;
    if (!options_.multicast.offer || !(w.flags & wire::kHelloJoinMulticast) || c.same_host() ||
        w.frame_interval_us != 0 || !picture || w.kinds != wire::kWantAll || !encoders_.encoder() ||
        !wire::has_format(w.video_formats, wire::kVideoSlicedJpeg))
        return;
    in_addr local{};
    if (inet_pton(AF_INET, c.local_host().c_str(), &local) != 1)
        return;
    MulticastSender* group = make_group_locked(group_of(c), ntohl(local.s_addr));
    if (!group)
        return;
    c.mark_offered_group();
    c.send(wire::make_packet(wire::MessageType::multicast_offer, wire::encode_multicast_offer(group->offer())));
}

void SourceServer::on_multicast_state(ServerConnection& c, bool joined)
{
    const log::QuietLock lock(mutex_);
    if (!c.offered_group() || c.on_group() == joined)
        return;
    const int which = group_of(c);
    // The keys go ahead of the media on the connection.
    if (joined && groups_[which])
        send_group_keys_locked(c, *groups_[which]);
    c.set_on_group(joined);
    QRV_LOG_AT(info, sender, "sender '%s': receiver '%s' %s the %s group%s", options_.name.c_str(),
               c.receiver_name().c_str(), joined ? "joined" : "left", kGroupNames[which],
               joined ? "" : "; its media go over its connection");
    note_group_sending_locked(which);
}

void SourceServer::send_group_keys_locked(ServerConnection& c, const MulticastSender& group)
{
    for (const auto& key : group.keys())
        c.send(wire::make_packet(wire::MessageType::multicast_key, wire::encode_multicast_key(key)));
}

void SourceServer::renew_group_key_locked(int which, const char* why)
{
    MulticastSender* group = groups_[which].get();
    if (!group || !group->sealed())
        return;
    const auto key = group->renew();
    if (!key)
        return;
    auto packet = wire::make_packet(wire::MessageType::multicast_key, wire::encode_multicast_key(*key));
    for (const auto& c : connections_)
        if (c->on_group() && !c->finished() && group_of(*c) == which)
            c->send(packet);
    QRV_LOG_AT(info, sender, "sender '%s': a new key for its %s group (%s)", options_.name.c_str(),
               kGroupNames[which], why);
}

void SourceServer::note_group_sending_locked(int which)
{
    // One fewer joined (it left, or its connection ended): what it held
    // must not read on.
    size_t joined = 0;
    for (const auto& c : connections_)
        joined += c->on_group() && c->ready() && !c->finished() && group_of(*c) == which;
    if (joined < group_receivers_[which])
        renew_group_key_locked(which, "a receiver left");
    group_receivers_[which] = joined;
    const bool active = active_group_locked(which) != nullptr;
    if (active == group_sending_[which])
        return;
    group_sending_[which] = active;
    QRV_LOG_AT(info, sender, "sender '%s': %s sending its %s pictures to group %s", options_.name.c_str(),
               active ? "starts" : "stops", kGroupNames[which], net::ipv4_text(groups_[which]->offer().group).c_str());
}

void SourceServer::on_nack(ServerConnection& c, const wire::NackFields& nack, std::span<const uint32_t> indexes)
{
    in_addr peer{};
    if (!c.on_group() || inet_pton(AF_INET, c.peer_host().c_str(), &peer) != 1)
        return;
    MulticastSender* group = nullptr;
    {
        const log::QuietLock lock(mutex_);
        group = groups_[group_of(c)].get();
    }
    // On the connection's reader: the repairs leave at once, to this
    // receiver alone, never to the group, as far as its budget goes.
    if (!group)
        return;
    const auto outcome = group->resend(ntohl(peer.s_addr), nack.port, nack.stream, nack.sequence, indexes,
                                       c.repair_budget());
    const auto now = std::chrono::steady_clock::now();
    if (outcome.refused_by_group > 0 && group->time_to_tell_group_refusal(now))
        QRV_LOG_AT(warn, sender,
                   "sender '%s': the receivers of group %s ask for more repairs than the group's share of the "
                   "stream; %u datagrams to receiver '%s' refused",
                   options_.name.c_str(), net::ipv4_text(group->offer().group).c_str(), outcome.refused_by_group,
                   c.receiver_name().c_str());
    if (outcome.refused > outcome.refused_by_group && c.repair_budget().time_to_tell(now))
        QRV_LOG_AT(warn, sender,
                   "sender '%s': receiver '%s' at %s asks for more repairs than its share of the stream; "
                   "%u datagrams refused",
                   options_.name.c_str(), c.receiver_name().c_str(), c.peer_host().c_str(),
                   outcome.refused - outcome.refused_by_group);
}

MulticastSender* SourceServer::active_group_locked(int which) const
{
    if (!groups_[which])
        return nullptr;
    for (const auto& c : connections_)
        if (c->on_group() && c->ready() && !c->finished() && group_of(*c) == which)
            return groups_[which].get();
    return nullptr;
}

void SourceServer::add_group_stats(ServerStats& s) const
{
    for (const auto& c : connections_)
        s.multicast_receivers += c->on_group() && c->ready() && !c->finished();
    for (const auto& group : groups_) {
        if (!group)
            continue;
        const auto g = group->stats();
        s.multicast_messages += g.messages;
        s.multicast_bytes += g.bytes;
        s.multicast_dropped += g.dropped;
        s.multicast_repairs += g.repairs;
        s.multicast_repairs_refused += g.refused;
        s.multicast_group += (s.multicast_group.empty() ? "" : " ") + net::ipv4_text(group->offer().group);
    }
}

}  // namespace qrv::transport

// How a source's server sends a message on: every receiver past its hello
// is served from the same shared packet, each only the media it asked for,
// at the rate it asked for. Video goes raw, as a preview, compressed, or as
// a compressed preview; the scaling and compressing happen on the video
// workers' threads, so that the publishing thread only hands frames over.
#include "transport/source_server.h"

#include "base/log.h"

namespace qrv::transport {

// The media that servers publish are raw; video is compressed, previews
// included, for receivers on other hosts that can decode it (when
// compressing is on); control messages go to everyone.
SourceServer::Take SourceServer::takes(const ServerConnection& c, const wire::Packet& p, const VideoEncoder* encoder)
{
    const wire::HelloFields& w = c.wishes();
    const uint32_t kinds = w.kinds & wire::kinds_for(w.bandwidth);
    switch (p.type) {
    case wire::MessageType::video:
        return takes_video(c, encoder);
    case wire::MessageType::audio:
        return (kinds & wire::kWantAudio) && wire::has_format(w.audio_formats, wire::kAudioPlanarFloat) ? Take::yes
                                                                                                        : Take::no;
    case wire::MessageType::metadata:
        return (kinds & wire::kWantMetadata) ? Take::yes : Take::no;
    default:
        return Take::yes;
    }
}

SourceServer::Take SourceServer::takes_video(const ServerConnection& c, const VideoEncoder* encoder)
{
    const wire::HelloFields& w = c.wishes();
    if (!(w.kinds & wire::kinds_for(w.bandwidth) & wire::kWantVideo))
        return Take::no;
    const bool compressed = encoder && !c.shared() && (!c.same_host() || encoder->settings().on_this_host) &&
                            wire::has_format(w.video_formats, wire::kVideoSlicedJpeg);
    if (w.bandwidth == wire::Bandwidth::lowest)
        return compressed                                           ? Take::compressed_preview
               : wire::has_format(w.video_formats, wire::kVideoRaw) ? Take::preview
                                                                    : Take::no;
    if (compressed)
        return Take::compressed;
    return wire::has_format(w.video_formats, wire::kVideoRaw) ? Take::yes : Take::no;
}

// Media that a receiver joined to the group takes from there.
static bool group_media(wire::MessageType type)
{
    return type == wire::MessageType::video || type == wire::MessageType::audio ||
           type == wire::MessageType::metadata;
}

void SourceServer::publish(const wire::PacketPtr& packet)
{
    bool preview = false, compressed = false;
    MulticastSender* groups[2] = {};
    {
        const log::QuietLock lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        const bool media = group_media(packet->type);
        for (auto& c : connections_) {
            if (!c->ready() || c->finished())
                continue;
            // Joined receivers want everything, video compressed: the
            // frame (or its preview) is compressed once for them and the
            // rest goes to their group as it is.
            if (media && c->on_group()) {
                const int which = group_of(*c);
                if (packet->type != wire::MessageType::video)
                    groups[which] = groups_[which].get();
                else if (which == kPreviewGroup)
                    preview = true;
                else
                    compressed = true;
                continue;
            }
            // A receiver that asked for fewer frames is skipped until its
            // next one is due; nothing is scaled or compressed for it then.
            if (packet->type == wire::MessageType::video && !c->video_due(now))
                continue;
            switch (takes(*c, *packet, encoders_.encoder())) {
            case Take::yes:
                send_locked(*c, packet, now);
                break;
            case Take::preview:
            case Take::compressed_preview:
                preview = true;
                break;
            case Take::compressed:
                compressed = true;
                break;
            case Take::no:
                break;
            }
        }
    }
    // The groups' threads pace the datagrams out.
    for (MulticastSender* group : groups)
        if (group)
            group->send(*packet);
    // Scaled and compressed on their own threads: this thread only hands
    // the frame over.
    if (preview)
        encoders_.make_preview(packet);
    if (compressed)
        encoders_.compress(packet);
}

void SourceServer::publish_preview(const wire::PacketPtr& packet)
{
    bool compressed = false;
    {
        const log::QuietLock lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto& c : connections_) {
            if (!c->ready() || c->finished() || !c->video_due(now))
                continue;
            const Take take = takes(*c, *packet, encoders_.encoder());
            if (take == Take::preview)
                send_locked(*c, packet, now);
            compressed = compressed || take == Take::compressed_preview;
        }
    }
    if (compressed)
        encoders_.compress_preview(packet);
}

void SourceServer::publish_as(const wire::PacketPtr& packet, Take kind)
{
    MulticastSender* group = nullptr;
    {
        const log::QuietLock lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto& c : connections_)
            if (c->ready() && !c->finished() && !c->on_group() && c->video_due(now) &&
                takes(*c, *packet, encoders_.encoder()) == kind)
                send_locked(*c, packet, now);
        const int which = kind == Take::compressed ? kFullGroup : kPreviewGroup;
        if (kind == Take::compressed || kind == Take::compressed_preview)
            group = active_group_locked(which);
        if (group && group->renewal_due(now))
            renew_group_key_locked(which, "an hour old");
    }
    if (group)
        group->send(*packet);
}

void SourceServer::send_locked(ServerConnection& c, const wire::PacketPtr& packet,
                               std::chrono::steady_clock::time_point now)
{
    if (packet->type == wire::MessageType::video)
        c.take_video(now);
    c.send(packet);
}

}  // namespace qrv::transport

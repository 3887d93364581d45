#include "objects/receiver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "discovery/common/dns_message.h"
#include "media/convert.h"

namespace qrv {

using transport::Message;
using wire::MessageType;

namespace {

wire::HelloFields wishes_of(const ReceiverSettings& s)
{
    wire::HelloFields h;
    h.kinds = wire::kinds_for(s.bandwidth);
    // Raw always; compressed too unless the settings force raw.
    h.video_formats = 1u << wire::kVideoRaw;
    if (!s.raw_video_only)
        h.video_formats |= 1u << wire::kVideoSlicedJpeg;
    h.color_format = s.color_format;
    h.bandwidth = s.bandwidth;
    h.frame_interval_us = s.frame_interval_us;
    // Full pictures and the preview each have a group; a reduced rate,
    // raw pixels or part of the media stay on the connection.
    const bool picture = s.bandwidth == wire::Bandwidth::highest || s.bandwidth == wire::Bandwidth::lowest;
    if (s.join_multicast && s.frame_interval_us == 0 && picture && !s.raw_video_only)
        h.flags |= wire::kHelloJoinMulticast;
    return h;
}

// With a site key and a way to choose among instances, the link tells the
// trust how the key went with each place it goes to.
transport::LinkOptions keyed_link(transport::LinkOptions link, const KeyedLookup& keyed)
{
    if (keyed.trust)
        link.key_outcome = [trust = keyed.trust](const Endpoint& where, bool proved) { trust->note(where, proved); };
    return link;
}

KeyedLookup only_with_key(KeyedLookup keyed, const ReceiverLimits& limits)
{
    if (!limits.link.keys || !keyed.candidates || !keyed.trust)
        return {};
    return keyed;
}

}  // namespace

Receiver::Receiver(ReceiverSettings settings, ReceiverLimits limits, SourceResolver resolver, KeyedLookup keyed)
    : settings_(std::move(settings)),
      keyed_(only_with_key(std::move(keyed), limits)),
      queue_({limits.video, limits.audio, limits.metadata, limits.queued_bytes}, wire::kinds_for(settings_.bandwidth)),
      ledger_(limits.held),
      route_({settings_.receiver_name, wishes_of(settings_), keyed_link(limits.link, keyed_)}, *this)
{
    // Without a locator the home link has nowhere to go yet; a lookup of
    // the source by name plugs in through the link's resolver.
    route_.start([name = settings_.source_name, where = parse_locator(settings_.source_locator),
                  resolve = std::move(resolver), keyed = keyed_]() -> std::optional<Endpoint> {
        // With a key, every instance of the name is a candidate until one
        // proves the key.
        if (keyed.candidates && !name.empty())
            if (auto found = keyed.trust->pick(keyed.candidates(name)))
                return found;
        // What discovery knows now wins over the locator we were given.
        if (resolve && !name.empty())
            if (auto found = resolve(name))
                return found;
        return where;
    });
}

Receiver::~Receiver()
{
    // No call of on_sources is in progress or follows once this returns.
    following_ = discovery::Subscription();
    route_.stop();
}

void Receiver::follow(discovery::DiscoveryService& service)
{
    // The service calls back only while it lives.
    if (!settings_.source_name.empty())
        following_ = service.subscribe(
            [this, &service](const std::vector<discovery::SourceEntry>& all) { on_sources(service, all); });
}

void Receiver::on_sources(const discovery::DiscoveryService& service, const std::vector<discovery::SourceEntry>& all)
{
    // As the resolver: the first entry of the name counts. A source no
    // longer listed changes nothing (the link goes on trying what it has).
    const auto entry = std::find_if(all.begin(), all.end(), [this](const discovery::SourceEntry& e) {
        return discovery::equal_nocase(e.name, settings_.source_name);
    });
    if (entry == all.end())
        return;
    // With a key, the newest announcement is no reason to leave an instance
    // that proved the key: the link goes where the trust says.
    std::optional<Endpoint> where = entry->endpoint;
    if (keyed_.candidates)
        where = keyed_.trust->pick(keyed_.candidates(settings_.source_name));
    if (!where)
        return;
    {
        std::lock_guard lock(listed_mutex_);
        const bool first = !std::exchange(listed_once_, true);
        if (listed_ == *where)
            return;
        listed_ = *where;
        // The list as it was at follow(): the link resolved it itself.
        if (first)
            return;
    }
    // The new place may be a new host at a vanished one's address, which
    // this host's kernel would still send to the vanished one.
    service.ask_directly(entry->name);
    route_.home_moved(*where);
}

namespace {

void fill_video(QRVlib_video_frame_v2_t* video, const wire::VideoFields& f, uint32_t fourcc, uint8_t* pixels,
                uint32_t line_bytes, const CaptureLedger::Held& held)
{
    *video = QRVlib_video_frame_v2_t();
    video->width = f.width;
    video->height = f.height;
    video->fourcc = static_cast<QRVlib_FourCC_type_e>(fourcc);
    video->frame_rate_num = f.frame_rate_num;
    video->frame_rate_den = f.frame_rate_den;
    video->aspect_ratio = f.aspect_ratio;
    video->frame_format = static_cast<QRVlib_frame_format_type_e>(f.frame_format);
    video->timecode = f.timecode;
    video->data = pixels;
    video->line_stride = static_cast<int32_t>(line_bytes);
    video->metadata = held.text.empty() ? nullptr : held.text.c_str();
    video->timestamp = f.timestamp;
}

}  // namespace

int32_t Receiver::capture(QRVlib_video_frame_v2_t* video, QRVlib_audio_frame_v2_t* audio,
                          QRVlib_metadata_frame_t* metadata, uint32_t timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const bool wanted[3] = {video != nullptr, audio != nullptr, metadata != nullptr};
    Message m;
    switch (queue_.wait(wanted, deadline, m)) {
    case FrameQueue::Next::status:
        return QRVlib_frame_type_status_change;
    case FrameQueue::Next::none:
        return QRVlib_frame_type_none;
    case FrameQueue::Next::frame:
        break;
    }
    // A caller that never frees what it captured gets no more frames
    // rather than memory without bound.
    if (ledger_.full())
        return drop_beyond_held(m.header.type);

    switch (m.header.type) {
    case MessageType::video:
        return capture_video(m, video);
    case MessageType::audio: {
        const auto f = wire::decode_audio(m.header, m.fixed);
        if (!f || !m.data)
            return QRVlib_frame_type_error;
        const void* key = m.data->data();
        const auto* h = ledger_.hold(key, {std::move(m.data), nullptr, std::move(m.text)});
        if (!h)
            return drop_beyond_held(MessageType::audio);
        *audio = QRVlib_audio_frame_v2_t();
        audio->sample_rate = f->sample_rate;
        audio->no_channels = f->channels;
        audio->no_samples = f->samples;
        audio->timecode = f->timecode;
        audio->data = reinterpret_cast<float*>(h->data->data());
        audio->channel_stride = f->samples * 4;
        audio->metadata = h->text.empty() ? nullptr : h->text.c_str();
        audio->timestamp = f->timestamp;
        return QRVlib_frame_type_audio;
    }
    case MessageType::metadata: {
        const auto f = wire::decode_metadata(m.header, m.fixed);
        if (!f)
            return QRVlib_frame_type_error;
        auto text = std::make_shared<ByteBuffer>();
        text->resize(m.text.size() + 1);
        std::memcpy(text->data(), m.text.c_str(), m.text.size() + 1);  // with its terminator
        const void* key = text->data();
        if (!ledger_.hold(key, {std::move(text), nullptr, std::string()}))
            return drop_beyond_held(MessageType::metadata);
        metadata->length = static_cast<int32_t>(m.text.size());
        metadata->timecode = f->timecode;
        metadata->p_data = reinterpret_cast<char*>(const_cast<void*>(key));
        return QRVlib_frame_type_metadata;
    }
    default:
        return QRVlib_frame_type_error;
    }
}

int32_t Receiver::capture_video(Message& m, QRVlib_video_frame_v2_t* video)
{
    const auto f = wire::decode_video(m.header, m.fixed);
    if (!f || (!m.data && !m.shared))
        return QRVlib_frame_type_error;
    const uint8_t* arrived = m.shared ? m.shared->data : m.data->data();
    const uint32_t fourcc = media::delivered_layout(settings_.color_format, f->fourcc);
    if (fourcc == f->fourcc) {
        // Handed out where they lie: shared-memory pixels read-only in the
        // source's memory, others in the buffer they arrived in.
        uint8_t* pixels = const_cast<uint8_t*>(arrived);
        const auto* h = ledger_.hold(pixels, {std::move(m.data), std::move(m.shared), std::move(m.text)});
        if (!h)
            return drop_beyond_held(MessageType::video);
        fill_video(video, *f, fourcc, pixels, f->line_bytes, *h);
        return QRVlib_frame_type_video;
    }
    // Converted into a buffer of our own; the frame as it arrived (and a
    // shared-memory frame's hold at the source) is let go right after.
    const auto* layout = media::find_layout(fourcc);
    if (!layout)
        return QRVlib_frame_type_error;
    const uint32_t line_bytes = (uint32_t)f->width * (uint32_t)layout->bytes_per_pixel;
    auto buffer = ledger_.converted_buffer((size_t)line_bytes * (size_t)f->height);
    const bool converted = media::convert_picture({f->fourcc, f->width, f->height, arrived, f->line_bytes}, fourcc,
                                                  buffer->data(), line_bytes);
    m.data.reset();
    m.shared.reset();
    if (!converted)
        return QRVlib_frame_type_error;
    uint8_t* pixels = buffer->data();
    const auto* h = ledger_.hold(pixels, {std::move(buffer), nullptr, std::move(m.text)});
    if (!h)
        return drop_beyond_held(MessageType::video);
    fill_video(video, *f, fourcc, pixels, line_bytes, *h);
    return QRVlib_frame_type_video;
}

int32_t Receiver::drop_beyond_held(MessageType type)
{
    ++(type == MessageType::video   ? video_lost_
       : type == MessageType::audio ? audio_held_dropped_
                                    : metadata_held_dropped_);
    const size_t held = ledger_.limit();
    set_last_error("the caller holds " + std::to_string(held) +
                   " captured frames not freed yet: the frame is dropped; free frames to capture again");
    // Once per receiver at warn; every later one at debug.
    if (!held_full_said_.exchange(true))
        QRV_LOG_AT(warn, receiver, "'%s': %zu captured frames are not freed: frames are dropped until some are",
                   settings_.source_name.c_str(), held);
    else
        QRV_LOG_AT(debug, receiver, "'%s': a frame dropped: %zu captured frames are not freed",
                   settings_.source_name.c_str(), held);
    return QRVlib_frame_type_error;
}

void Receiver::free_video(QRVlib_video_frame_v2_t* frame)
{
    if (frame && ledger_.release(frame->data)) {
        frame->data = nullptr;
        frame->metadata = nullptr;
    }
}

void Receiver::free_audio(QRVlib_audio_frame_v2_t* frame)
{
    if (frame && ledger_.release(frame->data)) {
        frame->data = nullptr;
        frame->metadata = nullptr;
    }
}

void Receiver::free_metadata(QRVlib_metadata_frame_t* frame)
{
    if (frame && ledger_.release(frame->p_data)) {
        frame->p_data = nullptr;
        frame->length = 0;
    }
}

QRVlib_recv_status_t Receiver::status() const
{
    const auto s = route_.status();
    return QRVlib_recv_status_t{s.connected, s.ptz, s.routed};
}

QRVlib_tally_t Receiver::source_tally() const
{
    const uint32_t flags = route_.source_flags();
    return QRVlib_tally_t{(flags & wire::kStatusTallyProgram) != 0, (flags & wire::kStatusTallyPreview) != 0};
}

QRVlib_recv_stats_t Receiver::stats() const
{
    const auto c = queue_.counts();
    QRVlib_recv_stats_t s{};
    s.video_received = c.received[0];
    s.audio_received = c.received[1];
    s.metadata_received = c.received[2];
    s.video_dropped = c.dropped[0] + video_lost_.load();
    s.audio_dropped = c.dropped[1] + audio_held_dropped_.load() + audio_lost_.load();
    s.metadata_dropped = c.dropped[2] + metadata_held_dropped_.load() + metadata_lost_.load();
    s.connects = connects_.load();
    s.bad_messages = bad_messages_.load();
    s.unknown_messages = unknown_messages_.load();
    s.unknown_formats = unknown_formats_.load();
    return s;
}

}  // namespace qrv

#include "objects/receiver.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "media/convert.h"

namespace qrv {

using transport::Message;
using wire::MessageType;

namespace {

int kind_index(MessageType t)
{
    return t == MessageType::video ? 0 : t == MessageType::audio ? 1 : 2;
}

constexpr uint32_t kWantBits[3] = {wire::kWantVideo, wire::kWantAudio, wire::kWantMetadata};

// Converted frames whose buffers are kept for reuse once freed.
constexpr size_t kConvertedBuffers = 4;

wire::HelloFields wishes_of(const ReceiverSettings& s)
{
    wire::HelloFields h;
    h.kinds = wire::kinds_for(s.bandwidth);
    h.color_format = s.color_format;
    h.bandwidth = s.bandwidth;
    return h;
}

std::mutex resolver_mutex;
SourceResolver& resolver_slot()
{
    static SourceResolver resolver;
    return resolver;
}

std::optional<Endpoint> resolve_by_name(const std::string& name)
{
    SourceResolver r;
    {
        std::lock_guard lock(resolver_mutex);
        r = resolver_slot();
    }
    return r && !name.empty() ? r(name) : std::nullopt;
}

}  // namespace

void set_source_resolver(SourceResolver resolver)
{
    std::lock_guard lock(resolver_mutex);
    resolver_slot() = std::move(resolver);
}

Receiver::Receiver(ReceiverSettings settings, ReceiverLimits limits)
    : settings_(std::move(settings)), limits_(limits), kinds_(wire::kinds_for(settings_.bandwidth))
{
    // Without a locator the home link has nowhere to go yet; a lookup of
    // the source by name plugs in through the link's resolver.
    Link l;
    l.role = std::make_unique<Role>(*this, 0);
    auto resolve = [name = settings_.source_name,
                    where = parse_locator(settings_.source_locator)]() -> std::optional<Endpoint> {
        // What discovery knows now wins over the locator we were given.
        if (auto found = resolve_by_name(name))
            return found;
        return where;
    };
    l.link = std::make_unique<transport::ClientLink>(resolve, settings_.receiver_name, wishes_of(settings_), *l.role,
                                                     limits_.link);
    home_ = std::move(l);
}

Receiver::~Receiver()
{
    stop(home_);
    std::lock_guard ml(media_mutex_);
    stop(media_);
}

void Receiver::stop(Link& link)
{
    link.link.reset();  // joins its thread first: the role must outlive it
    link.role.reset();
}

Receiver::Link Receiver::make_link(uint64_t id, std::optional<Endpoint> where)
{
    Link l;
    l.role = std::make_unique<Role>(*this, id);
    auto resolve = [where]() -> std::optional<Endpoint> { return where; };
    l.link = std::make_unique<transport::ClientLink>(resolve, settings_.receiver_name, wishes_of(settings_), *l.role,
                                                     limits_.link);
    return l;
}

Receiver::Effective Receiver::effective_locked() const
{
    if (!route_.empty())
        return Effective{media_connected_, (media_flags_ & wire::kStatusPtz) != 0};
    return Effective{home_connected_, (home_flags_ & wire::kStatusPtz) != 0};
}

void Receiver::note_change_locked(const Effective& before)
{
    if (effective_locked() != before) {
        status_pending_ = true;
        arrived_.notify_all();
    }
}

void Receiver::link_up(uint64_t id, bool up, transport::ClientLink* link)
{
    bool drop_route = false;
    {
        std::lock_guard lock(mutex_);
        drop_route = id == 0 && !up && !route_.empty();
    }
    // Without the router the route is gone too: the receiver waits for the
    // router's return (which redirects it again) rather than following a
    // route that no one keeps any more.
    if (drop_route)
        link_redirect(0, std::string());
    bool carrying = false;
    {
        std::lock_guard lock(mutex_);
        const Effective before = effective_locked();
        if (id == 0) {
            home_connected_ = up;
            if (!up)
                home_flags_ = 0;
        } else if (id == media_id_) {
            media_connected_ = up;
            if (!up)
                media_flags_ = 0;
        } else {
            return;
        }
        if (up)
            ++stats_.connects;
        note_change_locked(before);
        carrying = up && tally_set_ && (route_.empty() ? id == 0 : id == media_id_);
    }
    // A new connection starts with no tally at the source: say it again.
    if (carrying && link)
        if (auto channel = link->channel())
            push_tally(*channel);
}

void Receiver::set_tally(bool on_program, bool on_preview)
{
    {
        std::lock_guard lock(mutex_);
        tally_flags_ = (on_program ? wire::kTallyProgram : 0u) | (on_preview ? wire::kTallyPreview : 0u);
        tally_set_ = true;
        ++tally_version_;
    }
    // The source that carries the media hears it: the routed one when a
    // router sent us there.
    std::shared_ptr<transport::ClientLink::Channel> channel;
    {
        std::lock_guard ml(media_mutex_);
        bool routed;
        {
            std::lock_guard lock(mutex_);
            routed = !route_.empty();
        }
        transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
        if (link)
            channel = link->channel();
    }
    if (channel)
        push_tally(*channel);
}

void Receiver::push_tally(transport::ClientLink::Channel& channel)
{
    // Whoever writes last has seen the newest state after writing, so a
    // write racing with a change never leaves an older state at the source.
    for (;;) {
        uint32_t flags;
        uint64_t version;
        {
            std::lock_guard lock(mutex_);
            flags = tally_flags_;
            version = tally_version_;
        }
        if (!channel.write(wire::encode_tally({flags})))
            return;
        std::lock_guard lock(mutex_);
        if (version == tally_version_)
            return;
    }
}

void Receiver::link_status(uint64_t id, uint32_t flags)
{
    std::lock_guard lock(mutex_);
    const Effective before = effective_locked();
    if (id == 0)
        home_flags_ = flags;
    else if (id == media_id_)
        media_flags_ = flags;
    note_change_locked(before);
}

void Receiver::link_redirect(uint64_t id, const std::string& locator)
{
    // Only the source we were created for may send us elsewhere; a routed
    // source cannot redirect again, so routes never loop.
    if (id != 0)
        return;
    const auto where = parse_locator(locator);
    const std::string route = where ? locator : std::string();
    std::lock_guard ml(media_mutex_);
    uint64_t id_new = 0;
    {
        std::lock_guard lock(mutex_);
        if (route == route_)
            return;
        // The new state comes first: events of the old link, still running
        // until it is stopped below, no longer count.
        route_ = route;
        media_connected_ = false;
        media_flags_ = 0;
        media_id_ = route.empty() ? 0 : ++next_media_id_;
        id_new = media_id_;
        // A route change is a change of status in itself.
        status_pending_ = true;
        arrived_.notify_all();
        // Frames of the previous source are not mixed with the next one's.
        inbound_.clear();
        queued_[0] = queued_[1] = queued_[2] = 0;
    }
    Link old{std::move(media_.role), std::move(media_.link)};
    stop(old);  // joined here, outside mutex_
    if (!route.empty())
        media_ = make_link(id_new, where);
}

void Receiver::link_media(uint64_t id, Message&& m)
{
    std::lock_guard lock(mutex_);
    // Media counts only from the link that currently carries it.
    if (route_.empty() ? id != 0 : id != media_id_)
        return;
    const int k = kind_index(m.header.type);
    const size_t caps[3] = {limits_.video, limits_.audio, limits_.metadata};
    uint64_t* received[3] = {&stats_.video_received, &stats_.audio_received, &stats_.metadata_received};
    uint64_t* dropped[3] = {&stats_.video_dropped, &stats_.audio_dropped, &stats_.metadata_dropped};
    ++*received[k];
    // A source of the first version sends everything whatever we asked.
    if (!(kinds_ & kWantBits[k]))
        return;
    if (queued_[k] >= caps[k]) {
        auto it = std::find_if(inbound_.begin(), inbound_.end(),
                               [&](const Message& q) { return kind_index(q.header.type) == k; });
        if (it != inbound_.end()) {
            inbound_.erase(it);
            --queued_[k];
            ++*dropped[k];
        }
    }
    inbound_.push_back(std::move(m));
    ++queued_[k];
    arrived_.notify_all();
}

void Receiver::link_bad()
{
    std::lock_guard lock(mutex_);
    ++stats_.bad_messages;
}

void Receiver::link_skipped(bool unknown_type)
{
    std::lock_guard lock(mutex_);
    ++(unknown_type ? stats_.unknown_messages : stats_.unknown_formats);
}

std::shared_ptr<std::vector<uint8_t>> Receiver::converted_buffer_locked(size_t n)
{
    std::shared_ptr<std::vector<uint8_t>> buffer;
    for (auto& b : converted_)
        if (b.use_count() == 1) {  // neither held by the caller nor being filled
            buffer = b;
            break;
        }
    if (!buffer) {
        buffer = std::make_shared<std::vector<uint8_t>>();
        if (converted_.size() < kConvertedBuffers)
            converted_.push_back(buffer);
    }
    buffer->resize(n);
    return buffer;
}

void Receiver::fill_video_locked(QRVlib_video_frame_v2_t* video, const wire::VideoFields& f, uint32_t fourcc,
                                 uint8_t* pixels, uint32_t line_bytes, Held& held)
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

void Receiver::discard_unwanted_locked(bool video, bool audio, bool metadata)
{
    const bool wanted[3] = {video, audio, metadata};
    for (auto it = inbound_.begin(); it != inbound_.end();) {
        const int k = kind_index(it->header.type);
        if (!wanted[k]) {
            it = inbound_.erase(it);
            --queued_[k];
        } else {
            ++it;
        }
    }
}

int32_t Receiver::capture(QRVlib_video_frame_v2_t* video, QRVlib_audio_frame_v2_t* audio,
                          QRVlib_metadata_frame_t* metadata, uint32_t timeout_ms)
{
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        discard_unwanted_locked(video != nullptr, audio != nullptr, metadata != nullptr);
        if (status_pending_) {
            status_pending_ = false;
            return QRVlib_frame_type_status_change;
        }
        if (!inbound_.empty())
            break;
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
            discard_unwanted_locked(video != nullptr, audio != nullptr, metadata != nullptr);
            if (status_pending_) {
                status_pending_ = false;
                return QRVlib_frame_type_status_change;
            }
            if (inbound_.empty())
                return QRVlib_frame_type_none;
            break;
        }
    }
    Message m = std::move(inbound_.front());
    inbound_.pop_front();
    --queued_[kind_index(m.header.type)];
    // A caller that never frees what it captured gets no more frames
    // rather than memory without bound.
    if (held_.size() >= limits_.held)
        return QRVlib_frame_type_error;

    switch (m.header.type) {
    case MessageType::video: {
        const auto f = wire::decode_video(m.header, m.fixed);
        if (!f || (!m.data && !m.shared))
            return QRVlib_frame_type_error;
        const uint8_t* arrived = m.shared ? m.shared->data : m.data->data();
        const uint32_t fourcc = media::delivered_layout(settings_.color_format, f->fourcc);
        if (fourcc == f->fourcc) {
            // Handed out where they lie: shared-memory pixels read-only in
            // the source's memory, others in the buffer they arrived in.
            uint8_t* pixels = const_cast<uint8_t*>(arrived);
            Held& h = held_[pixels];
            h.data = std::move(m.data);
            h.shared = std::move(m.shared);
            h.text = std::move(m.text);
            fill_video_locked(video, *f, fourcc, pixels, f->line_bytes, h);
            return QRVlib_frame_type_video;
        }
        // Converted into a buffer of our own, outside the lock; the frame
        // as it arrived (and a shared-memory frame's hold at the source) is
        // let go right after.
        const auto* layout = media::find_layout(fourcc);
        if (!layout)
            return QRVlib_frame_type_error;
        const uint32_t line_bytes = (uint32_t)f->width * (uint32_t)layout->bytes_per_pixel;
        auto buffer = converted_buffer_locked((size_t)line_bytes * (size_t)f->height);
        lock.unlock();
        const bool converted = media::convert_picture({f->fourcc, f->width, f->height, arrived, f->line_bytes}, fourcc,
                                                      buffer->data(), line_bytes);
        m.data.reset();
        m.shared.reset();
        lock.lock();
        if (!converted || held_.size() >= limits_.held)
            return QRVlib_frame_type_error;
        Held& h = held_[buffer->data()];
        h.data = std::move(buffer);
        h.text = std::move(m.text);
        fill_video_locked(video, *f, fourcc, h.data->data(), line_bytes, h);
        return QRVlib_frame_type_video;
    }
    case MessageType::audio: {
        const auto f = wire::decode_audio(m.header, m.fixed);
        if (!f || !m.data)
            return QRVlib_frame_type_error;
        const void* key = m.data->data();
        Held& h = held_[key];
        h.data = std::move(m.data);
        h.text = std::move(m.text);
        *audio = QRVlib_audio_frame_v2_t();
        audio->sample_rate = f->sample_rate;
        audio->no_channels = f->channels;
        audio->no_samples = f->samples;
        audio->timecode = f->timecode;
        audio->data = reinterpret_cast<float*>(h.data->data());
        audio->channel_stride = f->samples * 4;
        audio->metadata = h.text.empty() ? nullptr : h.text.c_str();
        audio->timestamp = f->timestamp;
        return QRVlib_frame_type_audio;
    }
    case MessageType::metadata: {
        const auto f = wire::decode_metadata(m.header, m.fixed);
        if (!f)
            return QRVlib_frame_type_error;
        auto text = std::make_shared<std::vector<uint8_t>>(m.text.begin(), m.text.end());
        text->push_back(0);
        const void* key = text->data();
        held_[key].data = std::move(text);
        metadata->length = static_cast<int32_t>(m.text.size());
        metadata->timecode = f->timecode;
        metadata->p_data = reinterpret_cast<char*>(const_cast<void*>(key));
        return QRVlib_frame_type_metadata;
    }
    default:
        return QRVlib_frame_type_error;
    }
}

bool Receiver::release_held(const void* key)
{
    if (!key)
        return false;
    std::lock_guard lock(mutex_);
    return held_.erase(key) != 0;
}

void Receiver::free_video(QRVlib_video_frame_v2_t* frame)
{
    if (frame && release_held(frame->data)) {
        frame->data = nullptr;
        frame->metadata = nullptr;
    }
}

void Receiver::free_audio(QRVlib_audio_frame_v2_t* frame)
{
    if (frame && release_held(frame->data)) {
        frame->data = nullptr;
        frame->metadata = nullptr;
    }
}

void Receiver::free_metadata(QRVlib_metadata_frame_t* frame)
{
    if (frame && release_held(frame->p_data)) {
        frame->p_data = nullptr;
        frame->length = 0;
    }
}

bool Receiver::ptz_supported() const
{
    std::lock_guard lock(mutex_);
    const Effective e = effective_locked();
    return e.connected && e.ptz;
}

bool Receiver::send_ptz(const wire::PtzFields& command)
{
    if (!ptz_supported())
        return false;
    const auto bytes = wire::encode_ptz(command);
    std::lock_guard ml(media_mutex_);
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link && link->send(bytes);
}

bool Receiver::ptz_recall_preset(int32_t preset, float speed)
{
    if (preset < 0 || preset > 99 || std::isnan(speed))
        return false;
    return send_ptz({wire::PtzCommand::recall_preset, preset, std::clamp(speed, 0.0f, 1.0f), 0.0f});
}

bool Receiver::ptz_store_preset(int32_t preset)
{
    if (preset < 0 || preset > 99)
        return false;
    return send_ptz({wire::PtzCommand::store_preset, preset, 0.0f, 0.0f});
}

bool Receiver::ptz_pan_tilt(float pan, float tilt)
{
    if (std::isnan(pan) || std::isnan(tilt))
        return false;
    return send_ptz({wire::PtzCommand::pan_tilt, 0, std::clamp(pan, -1.0f, 1.0f), std::clamp(tilt, -1.0f, 1.0f)});
}

bool Receiver::ptz_zoom(float zoom)
{
    if (std::isnan(zoom))
        return false;
    return send_ptz({wire::PtzCommand::zoom, 0, std::clamp(zoom, 0.0f, 1.0f), 0.0f});
}

QRVlib_recv_status_t Receiver::status() const
{
    std::lock_guard lock(mutex_);
    const Effective e = effective_locked();
    return QRVlib_recv_status_t{e.connected, e.ptz, !route_.empty()};
}

bool Receiver::shared_memory()
{
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    std::lock_guard ml(media_mutex_);
    const transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link && link->shared();
}

QRVlib_recv_stats_t Receiver::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace qrv

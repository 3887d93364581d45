// The exported operations of senders: creating one, sending its frames,
// and what it tells of its receivers, transport and camera commands.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "api_support.h"
#include "base/text.h"

using namespace qrv;
using namespace qrv::capi;

extern "C" {

QRVLIB_API QRVlib_send_instance_t QRVlib_send_create(const QRVlib_send_create_t* settings)
{
    return create<QRVlib_send_instance_t>(log::Category::sender, "could not create a sender", [&] {
        const auto context = require_context();
        const auto& s = require(settings, "the sender's settings are missing");
        const std::string name = published_text(s.name, kMaxNameBytes, "the sender name");
        if (name.empty())
            throw Error("the sender name is missing");
        const std::string groups = published_text(s.option_text, kMaxOptionBytes, "the sender's group list");
        auto sender = std::make_shared<Sender>(SenderSettings{name, groups, s.pace_video, s.pace_audio},
                                               context->scope, lib().server_options());
        const Endpoint endpoint = sender->endpoint();
        context->note_source(name, endpoint);
        if (context->discovery)
            sender->set_publication(
                context->discovery->publish({name, groups, endpoint, lib().link_keys() != nullptr}));
        void* handle = lib().adopt(std::move(sender));
        if (!handle)
            throw Error("the library is not initialized");
        QRV_LOG_AT(info, sender, "'%s' created, listening at %s", name.c_str(), format_locator(endpoint).c_str());
        return reinterpret_cast<QRVlib_send_instance_t>(handle);
    });
}

QRVLIB_API void QRVlib_send_destroy(QRVlib_send_instance_t sender)
{
    guarded_void([&] {
        if (auto s = lib().registry<Sender>().remove(sender)) {
            const std::string name = s->settings().name;
            release(s);
            QRV_LOG_AT(debug, sender, "'%s' destroyed", name.c_str());
        }
    });
}

QRVLIB_API void QRVlib_send_send_video_v2(QRVlib_send_instance_t sender, const QRVlib_video_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto s = sender_of(sender)) {
            if (frame)
                s->send_video(*frame);
            else
                s->send_video_async(nullptr);
        }
    });
}

QRVLIB_API void QRVlib_send_send_video_async_v2(QRVlib_send_instance_t sender,
                                                const QRVlib_video_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto s = sender_of(sender))
            s->send_video_async(frame);
    });
}

QRVLIB_API void QRVlib_send_send_audio_v2(QRVlib_send_instance_t sender, const QRVlib_audio_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto s = sender_of(sender); s && present(frame, "the frame"))
            s->send_audio(*frame);
    });
}

QRVLIB_API void QRVlib_util_send_send_audio_interleaved_16s(QRVlib_send_instance_t sender,
                                                            const QRVlib_audio_frame_interleaved_16s_t* frame)
{
    guarded_void([&] {
        if (auto s = sender_of(sender); s && present(frame, "the frame"))
            s->send_audio(*frame);
    });
}

QRVLIB_API bool QRVlib_send_get_stats(QRVlib_send_instance_t sender, QRVlib_send_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        *stats = s->stats();
        return true;
    });
}

QRVLIB_API bool QRVlib_send_peek_video(QRVlib_send_instance_t sender, QRVlib_video_frame_v2_t* frame,
                                       uint8_t* data, uint64_t capacity, uint64_t* needed)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(frame, "the frame"))
            return false;
        bool copied = false;
        const bool any = s->store().with_video([&](const StoredVideo& v) {
            const uint64_t size = v.pixels.size();
            if (needed)
                *needed = size;
            frame->width = v.layout.width;
            frame->height = v.layout.height;
            frame->fourcc = static_cast<QRVlib_FourCC_type_e>(v.layout.fourcc);
            frame->frame_rate_num = v.frame_rate_num;
            frame->frame_rate_den = v.frame_rate_den;
            frame->aspect_ratio = v.aspect_ratio;
            frame->frame_format = static_cast<QRVlib_frame_format_type_e>(v.frame_format);
            frame->timecode = v.timecode;
            frame->timestamp = v.timestamp;
            frame->line_stride = (int32_t)v.layout.line_bytes;
            frame->metadata = nullptr;
            frame->data = data;
            if (data && capacity >= size) {
                std::memcpy(data, v.pixels.data(), size);
                copied = true;
            }
        });
        return any && copied;
    });
}

QRVLIB_API int32_t QRVlib_send_get_no_connections(QRVlib_send_instance_t sender, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto s = sender_of(sender);
        return s ? (int32_t)s->connections(std::chrono::milliseconds(timeout_ms)) : -1;
    });
}

QRVLIB_API int32_t QRVlib_send_wait_video_wanted(QRVlib_send_instance_t sender, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto s = sender_of(sender);
        return s ? (int32_t)s->wait_video_wanted(std::chrono::milliseconds(timeout_ms)) : -1;
    });
}

QRVLIB_API uint32_t QRVlib_send_get_locator(QRVlib_send_instance_t sender, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto s = sender_of(sender);
        return s ? copy_locator(s->endpoint(), text, capacity) : 0u;
    });
}

QRVLIB_API bool QRVlib_send_get_transport_stats(QRVlib_send_instance_t sender,
                                                QRVlib_send_transport_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_transport_stats_t{t.accepted,      t.refused,       t.bad_peers,
                                               t.handshake_timeouts, t.video_dropped, t.audio_dropped,
                                               t.unknown_messages, t.previews};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_shared_memory_stats(QRVlib_send_instance_t sender,
                                                    QRVlib_send_shared_memory_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_shared_memory_stats_t{t.shared_sent, t.shared_withheld, t.shared_reclaimed,
                                                   t.shared_hoarders, t.shared_held_bytes};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_security_stats(QRVlib_send_instance_t sender, QRVlib_send_security_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_security_stats_t{t.key_required, t.key_refused, t.commands_refused};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_multicast_stats(QRVlib_send_instance_t sender, QRVlib_send_multicast_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_multicast_stats_t{t.multicast_receivers, t.multicast_messages, t.multicast_bytes,
                                               t.multicast_repairs, t.multicast_dropped,
                                               t.multicast_repairs_refused};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_codec_stats(QRVlib_send_instance_t sender, QRVlib_send_codec_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(stats, "stats"))
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_codec_stats_t{t.video_compressed, t.video_compress_skipped, t.video_compressed_bytes,
                                           t.video_quality};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_send_metadata(QRVlib_send_instance_t sender, const QRVlib_metadata_frame_t* frame)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(frame, "the frame"))
            return false;
        if (!s->send_metadata(frame->p_data, frame->timecode)) {
            set_last_error("the metadata text is too long");
            return false;
        }
        return true;
    });
}

QRVLIB_API bool QRVlib_send_set_ptz_supported(QRVlib_send_instance_t sender, bool supported)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s)
            return false;
        s->set_ptz_supported(supported);
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_ptz_command(QRVlib_send_instance_t sender, QRVlib_ptz_command_t* command,
                                            uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto s = sender_of(sender);
        if (!s || !present(command, "command"))
            return false;
        const auto c = s->next_ptz(std::chrono::milliseconds(timeout_ms));
        if (!c)
            return false;
        *command = QRVlib_ptz_command_t{static_cast<QRVlib_ptz_command_e>(c->command), c->preset, c->value_a,
                                        c->value_b};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_tally(QRVlib_send_instance_t sender, QRVlib_tally_t* tally, uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto s = lib().registry<Sender>().find(sender);
        if (!s || !tally)
            return false;
        const auto [state, changed] = s->tally(std::chrono::milliseconds(timeout_ms));
        *tally = QRVlib_tally_t{state.program, state.preview};
        return changed;
    });
}

QRVLIB_API uint32_t QRVlib_send_get_published_name(QRVlib_send_instance_t sender, char* text, uint32_t capacity)
{
    return guarded(uint32_t(0), [&]() -> uint32_t {
        auto s = sender_of(sender);
        if (!s)
            return 0;
        const std::string label = s->publication().label();
        return label.empty() ? 0 : put_text(label, text, capacity);
    });
}

}  // extern "C"

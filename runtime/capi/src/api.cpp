// The exported C operations: each checks its arguments, finds the object
// behind the handle and forwards to it. Nothing thrown inside crosses this
// boundary; failures become the null or false results callers expect.
#include <chrono>
#include <cstdint>
#include <cstring>

#include "objects/library.h"
#include "qrv/qrv_runtime.h"
#include "base/text.h"
#include "transport/locator_file.h"

using namespace qrv;

namespace {

template <class F, class R>
R guarded(R failed, F&& f) noexcept
{
    try {
        return f();
    } catch (...) {
        return failed;
    }
}

template <class F>
void guarded_void(F&& f) noexcept
{
    try {
        f();
    } catch (...) {
    }
}

Library& lib()
{
    return Library::instance();
}

}  // namespace

extern "C" {

QRVLIB_API bool QRVlib_initialize(void)
{
    return guarded(false, [] { return lib().start(); });
}

QRVLIB_API void QRVlib_destroy(void)
{
    guarded_void([] { lib().stop(); });
}

// --- senders ---------------------------------------------------------------

QRVLIB_API QRVlib_send_instance_t QRVlib_send_create(const QRVlib_send_create_t* settings)
{
    return guarded((QRVlib_send_instance_t) nullptr, [&]() -> QRVlib_send_instance_t {
        if (!settings || !lib().running())
            return nullptr;
        auto name = copy_text(settings->name, kMaxNameBytes);
        auto groups = copy_text(settings->option_text, kMaxOptionBytes);
        if (!name || name->empty() || !groups)
            return nullptr;
        SenderSettings s{*name, *groups, settings->pace_video, settings->pace_audio};
        auto sender = std::make_shared<Sender>(std::move(s));
        transport::note_locator(sender->settings().name, sender->endpoint());
        if (auto d = lib().discovery())
            sender->set_publication(d->publish({sender->settings().name, sender->settings().groups, sender->endpoint()}));
        return reinterpret_cast<QRVlib_send_instance_t>(lib().adopt(lib().senders, std::move(sender)));
    });
}

QRVLIB_API void QRVlib_send_destroy(QRVlib_send_instance_t sender)
{
    guarded_void([&] { lib().senders.remove(sender); });
}

QRVLIB_API void QRVlib_send_send_video_v2(QRVlib_send_instance_t sender, const QRVlib_video_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto s = lib().senders.find(sender)) {
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
        if (auto s = lib().senders.find(sender))
            s->send_video_async(frame);
    });
}

QRVLIB_API void QRVlib_send_send_audio_v2(QRVlib_send_instance_t sender, const QRVlib_audio_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto s = lib().senders.find(sender); s && frame)
            s->send_audio(*frame);
    });
}

QRVLIB_API void QRVlib_util_send_send_audio_interleaved_16s(QRVlib_send_instance_t sender,
                                                            const QRVlib_audio_frame_interleaved_16s_t* frame)
{
    guarded_void([&] {
        if (auto s = lib().senders.find(sender); s && frame)
            s->send_audio(*frame);
    });
}

QRVLIB_API bool QRVlib_send_get_stats(QRVlib_send_instance_t sender, QRVlib_send_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
        if (!s || !stats)
            return false;
        *stats = s->stats();
        return true;
    });
}

QRVLIB_API bool QRVlib_send_peek_video(QRVlib_send_instance_t sender, QRVlib_video_frame_v2_t* frame,
                                       uint8_t* data, uint64_t capacity, uint64_t* needed)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
        if (!s || !frame)
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

// --- finders ---------------------------------------------------------------

QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings)
{
    return guarded((QRVlib_find_instance_t) nullptr, [&]() -> QRVlib_find_instance_t {
        if (!lib().running())
            return nullptr;
        const QRVlib_find_create_t defaults;
        const QRVlib_find_create_t& s = settings ? *settings : defaults;
        auto groups = copy_text(s.option_text_a, kMaxOptionBytes);
        auto hosts = copy_text(s.option_text_b, kMaxOptionBytes);
        if (!groups || !hosts)
            return nullptr;
        auto finder = std::make_shared<Finder>(FinderSettings{s.option_flag, *groups, *hosts});
        if (auto d = lib().discovery())
            finder->follow(*d);
        return reinterpret_cast<QRVlib_find_instance_t>(lib().adopt(lib().finders, std::move(finder)));
    });
}

QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder)
{
    guarded_void([&] { lib().finders.remove(finder); });
}

QRVLIB_API bool QRVlib_find_wait_for_sources(QRVlib_find_instance_t finder, uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto f = lib().finders.find(finder);
        return f ? f->wait_for_change(timeout_ms) : false;
    });
}

QRVLIB_API const QRVlib_source_t* QRVlib_find_get_current_sources(QRVlib_find_instance_t finder,
                                                                 uint32_t* no_sources)
{
    return guarded((const QRVlib_source_t*)nullptr, [&]() -> const QRVlib_source_t* {
        if (no_sources)
            *no_sources = 0;
        auto f = lib().finders.find(finder);
        return f ? f->current(no_sources) : nullptr;
    });
}

// --- receivers -------------------------------------------------------------

QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_v3(const QRVlib_recv_create_v3_t* settings)
{
    return guarded((QRVlib_recv_instance_t) nullptr, [&]() -> QRVlib_recv_instance_t {
        if (!settings || !lib().running())
            return nullptr;
        auto name = copy_text(settings->source.name, kMaxOptionBytes);
        auto locator = copy_text(settings->source.locator, kMaxOptionBytes);
        auto receiver_name = copy_text(settings->receiver_name, kMaxNameBytes);
        if (!name || !locator || !receiver_name || (name->empty() && locator->empty()))
            return nullptr;
        // Codes beyond those known pass as they are: they act as the
        // defaults (see the runtime's header).
        ReceiverSettings rs{*name, *locator, *receiver_name,
                            static_cast<media::ColorFormat>(settings->color_format),
                            static_cast<wire::Bandwidth>(settings->bandwidth)};
        auto receiver = std::make_shared<Receiver>(std::move(rs));
        return reinterpret_cast<QRVlib_recv_instance_t>(lib().adopt(lib().receivers, std::move(receiver)));
    });
}

QRVLIB_API void QRVlib_recv_destroy(QRVlib_recv_instance_t receiver)
{
    guarded_void([&] { lib().receivers.remove(receiver); });
}

QRVLIB_API int32_t QRVlib_recv_capture_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* video,
                                          QRVlib_audio_frame_v2_t* audio, QRVlib_metadata_frame_t* metadata,
                                          uint32_t timeout_ms)
{
    return guarded((int32_t)QRVlib_frame_type_error, [&]() -> int32_t {
        auto r = lib().receivers.find(receiver);
        return r ? r->capture(video, audio, metadata, timeout_ms) : (int32_t)QRVlib_frame_type_error;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_is_supported(QRVlib_recv_instance_t receiver)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        return r ? r->ptz_supported() : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_recall_preset(QRVlib_recv_instance_t receiver, int32_t preset, float speed)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        return r ? r->ptz_recall_preset(preset, speed) : false;
    });
}

// --- routers ---------------------------------------------------------------

QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings)
{
    return guarded((QRVlib_routing_instance_t) nullptr, [&]() -> QRVlib_routing_instance_t {
        if (!settings || !lib().running())
            return nullptr;
        auto name = copy_text(settings->name, kMaxNameBytes);
        auto groups = copy_text(settings->option_text, kMaxOptionBytes);
        if (!name || name->empty() || !groups)
            return nullptr;
        auto router = std::make_shared<Router>(RouterSettings{*name, *groups});
        transport::note_locator(router->settings().name, router->endpoint());
        if (auto d = lib().discovery())
            router->set_publication(d->publish({router->settings().name, router->settings().groups, router->endpoint()}));
        return reinterpret_cast<QRVlib_routing_instance_t>(lib().adopt(lib().routers, std::move(router)));
    });
}

QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router)
{
    guarded_void([&] { lib().routers.remove(router); });
}

QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source)
{
    return guarded(false, [&] {
        auto r = lib().routers.find(router);
        if (!r || !source)
            return false;
        auto name = copy_text(source->name, kMaxOptionBytes);
        auto locator = copy_text(source->locator, kMaxOptionBytes);
        if (!name || !locator || (name->empty() && locator->empty()))
            return false;
        return r->change(SourceInfo{*name, *locator});
    });
}

QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router)
{
    return guarded(false, [&] {
        auto r = lib().routers.find(router);
        if (!r)
            return false;
        r->clear();
        return true;
    });
}

// --- transport, receiving, routing, camera control -------------------------

namespace {

uint32_t copy_locator(const Endpoint& e, char* text, uint32_t capacity)
{
    const std::string l = format_locator(e);
    const uint32_t needed = static_cast<uint32_t>(l.size() + 1);
    if (text && capacity >= needed)
        std::memcpy(text, l.c_str(), needed);
    return needed;
}

}  // namespace

QRVLIB_API int32_t QRVlib_send_get_no_connections(QRVlib_send_instance_t sender, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto s = lib().senders.find(sender);
        return s ? (int32_t)s->connections(std::chrono::milliseconds(timeout_ms)) : -1;
    });
}

QRVLIB_API uint32_t QRVlib_send_get_locator(QRVlib_send_instance_t sender, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto s = lib().senders.find(sender);
        return s ? copy_locator(s->endpoint(), text, capacity) : 0u;
    });
}

QRVLIB_API bool QRVlib_send_get_transport_stats(QRVlib_send_instance_t sender,
                                                QRVlib_send_transport_stats_t* stats)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
        if (!s || !stats)
            return false;
        const auto t = s->transport_stats();
        *stats = QRVlib_send_transport_stats_t{t.accepted,      t.refused,       t.bad_peers,
                                               t.handshake_timeouts, t.video_dropped, t.audio_dropped,
                                               t.unknown_messages, t.previews};
        return true;
    });
}

QRVLIB_API bool QRVlib_send_send_metadata(QRVlib_send_instance_t sender, const QRVlib_metadata_frame_t* frame)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
        if (!s || !frame)
            return false;
        return s->send_metadata(frame->p_data, frame->timecode);
    });
}

QRVLIB_API bool QRVlib_send_set_ptz_supported(QRVlib_send_instance_t sender, bool supported)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
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
        auto s = lib().senders.find(sender);
        if (!s || !command)
            return false;
        const auto c = s->next_ptz(std::chrono::milliseconds(timeout_ms));
        if (!c)
            return false;
        *command = QRVlib_ptz_command_t{static_cast<QRVlib_ptz_command_e>(c->command), c->preset, c->value_a,
                                        c->value_b};
        return true;
    });
}

QRVLIB_API void QRVlib_recv_free_video_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto r = lib().receivers.find(receiver))
            r->free_video(frame);
    });
}

QRVLIB_API void QRVlib_recv_free_audio_v2(QRVlib_recv_instance_t receiver, QRVlib_audio_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto r = lib().receivers.find(receiver))
            r->free_audio(frame);
    });
}

QRVLIB_API void QRVlib_recv_free_metadata(QRVlib_recv_instance_t receiver, QRVlib_metadata_frame_t* frame)
{
    guarded_void([&] {
        if (auto r = lib().receivers.find(receiver))
            r->free_metadata(frame);
    });
}

QRVLIB_API bool QRVlib_recv_get_status(QRVlib_recv_instance_t receiver, QRVlib_recv_status_t* status)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        if (!r || !status)
            return false;
        *status = r->status();
        return true;
    });
}

QRVLIB_API bool QRVlib_recv_get_stats(QRVlib_recv_instance_t receiver, QRVlib_recv_stats_t* stats)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        if (!r || !stats)
            return false;
        *stats = r->stats();
        return true;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_store_preset(QRVlib_recv_instance_t receiver, int32_t preset)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        return r ? r->ptz_store_preset(preset) : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_pan_tilt(QRVlib_recv_instance_t receiver, float pan_speed, float tilt_speed)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        return r ? r->ptz_pan_tilt(pan_speed, tilt_speed) : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_zoom(QRVlib_recv_instance_t receiver, float zoom)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        return r ? r->ptz_zoom(zoom) : false;
    });
}

QRVLIB_API uint32_t QRVlib_routing_get_locator(QRVlib_routing_instance_t router, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto r = lib().routers.find(router);
        return r ? copy_locator(r->endpoint(), text, capacity) : 0u;
    });
}

QRVLIB_API int32_t QRVlib_routing_get_no_connections(QRVlib_routing_instance_t router, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto r = lib().routers.find(router);
        if (!r)
            return -1;
        if (timeout_ms)
            r->wait_connections(1, std::chrono::milliseconds(timeout_ms));
        return (int32_t)r->connections();
    });
}

// --- tally -----------------------------------------------------------------

QRVLIB_API bool QRVlib_recv_set_tally(QRVlib_recv_instance_t receiver, const QRVlib_tally_t* tally)
{
    return guarded(false, [&] {
        auto r = lib().receivers.find(receiver);
        if (!r || !tally)
            return false;
        r->set_tally(tally->on_program, tally->on_preview);
        return true;
    });
}

QRVLIB_API bool QRVlib_send_get_tally(QRVlib_send_instance_t sender, QRVlib_tally_t* tally, uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto s = lib().senders.find(sender);
        if (!s || !tally)
            return false;
        const auto [state, changed] = s->tally(std::chrono::milliseconds(timeout_ms));
        *tally = QRVlib_tally_t{state.program, state.preview};
        return changed;
    });
}

// --- discovery -------------------------------------------------------------

namespace {

uint32_t put_text(const std::string& value, char* text, uint32_t capacity)
{
    if (value.size() + 1 > UINT32_MAX)
        return 0;
    if (text && capacity >= value.size() + 1)
        std::memcpy(text, value.c_str(), value.size() + 1);
    return uint32_t(value.size() + 1);
}

}  // namespace

QRVLIB_API bool QRVlib_discovery_get_stats(QRVlib_discovery_stats_t* stats)
{
    return guarded(false, [&] {
        auto d = lib().discovery();
        if (!d || !stats)
            return false;
        const auto s = d->stats();
        *stats = QRVlib_discovery_stats_t{s.packets_received, s.packets_rejected, s.packets_malformed,
                                          s.packets_sent,     s.cache_records,    s.conflicts,
                                          s.interfaces};
        return true;
    });
}

QRVLIB_API uint32_t QRVlib_discovery_resolve(const char* name, char* locator, uint32_t capacity, uint32_t timeout_ms)
{
    return guarded(uint32_t(0), [&]() -> uint32_t {
        auto d = lib().discovery();
        auto wanted = copy_text(name, kMaxOptionBytes);
        if (!d || !name || !wanted)
            return 0;
        auto found = d->wait_for(*wanted, std::chrono::milliseconds(timeout_ms));
        return found ? put_text(found->locator, locator, capacity) : 0;
    });
}

QRVLIB_API uint32_t QRVlib_send_get_published_name(QRVlib_send_instance_t sender, char* text, uint32_t capacity)
{
    return guarded(uint32_t(0), [&]() -> uint32_t {
        auto s = lib().senders.find(sender);
        if (!s)
            return 0;
        const std::string label = s->publication().label();
        return label.empty() ? 0 : put_text(label, text, capacity);
    });
}

}  // extern "C"

// The exported C operations: each checks its arguments, finds the object
// behind the handle and forwards to it. Nothing thrown inside crosses this
// boundary; failures become the null or false results callers expect.
#include "library.h"
#include "qrv/qrv_runtime.h"
#include "text.h"

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
        return reinterpret_cast<QRVlib_send_instance_t>(lib().senders.add(std::move(sender)));
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
        return reinterpret_cast<QRVlib_find_instance_t>(lib().finders.add(std::move(finder)));
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
        auto receiver = std::make_shared<Receiver>(ReceiverSettings{*name, *locator, *receiver_name});
        return reinterpret_cast<QRVlib_recv_instance_t>(lib().receivers.add(std::move(receiver)));
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
        return reinterpret_cast<QRVlib_routing_instance_t>(lib().routers.add(std::move(router)));
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
        r->change(SourceInfo{*name, *locator});
        return true;
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

}  // extern "C"

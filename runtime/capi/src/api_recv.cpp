// The exported operations of receivers: creating one, capturing and
// freeing frames, its status and counters, tally and camera control.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

#include "api_support.h"
#include "base/text.h"

using namespace qrv;
using namespace qrv::capi;

namespace {

// A receiver of settings taking at most one video frame per interval (0:
// every frame).
QRVlib_recv_instance_t create_receiver(const QRVlib_recv_create_v3_t* settings, uint32_t frame_interval_us)
{
    return create<QRVlib_recv_instance_t>(log::Category::receiver, "could not create a receiver", [&] {
        const auto context = require_context();
        const auto& s = require(settings, "the receiver's settings are missing");
        const std::string name = text_argument(s.source.name, kMaxOptionBytes, "the source name");
        const std::string locator = text_argument(s.source.locator, kMaxOptionBytes, "the source locator");
        const std::string receiver_name = published_text(s.receiver_name, kMaxNameBytes, "the receiver name");
        if (name.empty() && locator.empty())
            throw Error("the receiver's source has no name or locator");
        const bool readable = parse_locator(locator).has_value();
        if (name.empty() && !readable)
            throw Error("the receiver's source has no name, and its locator cannot be read: '" + locator + "'");
        // Codes beyond those known pass as they are: they act as the
        // defaults (see the runtime's header).
        ReceiverSettings rs{name, locator, receiver_name, static_cast<media::ColorFormat>(s.color_format),
                            static_cast<wire::Bandwidth>(s.bandwidth), frame_interval_us,
                            context->receive_raw_only()};
        rs.join_multicast = context->multicast.join;
        ReceiverLimits limits;
        limits.link.keys = lib().link_keys();
        limits.link.handshake_timeout = context->handshake_timeout;
        limits.link.multicast_window = context->multicast.window;
        auto receiver = std::make_shared<Receiver>(std::move(rs), limits, context->resolver,
                                                     KeyedLookup{context->candidates, context->trust});
        if (context->discovery)
            receiver->follow(*context->discovery);
        void* handle = lib().adopt(std::move(receiver));
        if (!handle)
            throw Error("the library is not initialized");
        if (!locator.empty() && !readable)
            QRV_LOG_AT(warn, receiver, "receiver '%s': the locator '%s' cannot be read; '%s' is looked up by name",
                       receiver_name.c_str(), locator.c_str(), name.c_str());
        QRV_LOG_AT(info, receiver, "receiver '%s' created for '%s'%s%s", receiver_name.c_str(), name.c_str(),
                   locator.empty() ? "" : " at ", locator.c_str());
        return reinterpret_cast<QRVlib_recv_instance_t>(handle);
    });
}

}  // namespace

extern "C" {

QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_v3(const QRVlib_recv_create_v3_t* settings)
{
    return create_receiver(settings, 0);
}

QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_with_rate(const QRVlib_recv_create_v3_t* settings,
                                                              float max_video_fps)
{
    if (!std::isfinite(max_video_fps) || max_video_fps < 0) {
        set_last_error("the highest video frame rate must be a number of 0 or more");
        return nullptr;
    }
    // Below one frame an hour counts as one frame an hour.
    const uint32_t interval_us =
        max_video_fps > 0 ? static_cast<uint32_t>(std::lround(std::clamp(1e6 / double(max_video_fps), 1.0, 3600e6)))
                          : 0u;
    return create_receiver(settings, interval_us);
}

QRVLIB_API void QRVlib_recv_destroy(QRVlib_recv_instance_t receiver)
{
    guarded_void([&] {
        if (auto r = lib().registry<Receiver>().remove(receiver)) {
            release(r);
            QRV_LOG_AT(debug, receiver, "a receiver was destroyed");
        }
    });
}

QRVLIB_API int32_t QRVlib_recv_capture_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* video,
                                          QRVlib_audio_frame_v2_t* audio, QRVlib_metadata_frame_t* metadata,
                                          uint32_t timeout_ms)
{
    return guarded((int32_t)QRVlib_frame_type_error, [&]() -> int32_t {
        auto r = receiver_of(receiver);
        return r ? r->capture(video, audio, metadata, timeout_ms) : (int32_t)QRVlib_frame_type_error;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_is_supported(QRVlib_recv_instance_t receiver)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        return r ? r->ptz_supported() : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_recall_preset(QRVlib_recv_instance_t receiver, int32_t preset, float speed)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        return r ? r->ptz_recall_preset(preset, speed) : false;
    });
}

QRVLIB_API void QRVlib_recv_free_video_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto r = receiver_of(receiver))
            r->free_video(frame);
    });
}

QRVLIB_API void QRVlib_recv_free_audio_v2(QRVlib_recv_instance_t receiver, QRVlib_audio_frame_v2_t* frame)
{
    guarded_void([&] {
        if (auto r = receiver_of(receiver))
            r->free_audio(frame);
    });
}

QRVLIB_API void QRVlib_recv_free_metadata(QRVlib_recv_instance_t receiver, QRVlib_metadata_frame_t* frame)
{
    guarded_void([&] {
        if (auto r = receiver_of(receiver))
            r->free_metadata(frame);
    });
}

QRVLIB_API bool QRVlib_recv_get_status(QRVlib_recv_instance_t receiver, QRVlib_recv_status_t* status)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        if (!r || !present(status, "status"))
            return false;
        *status = r->status();
        if (!status->connected)
            if (const std::string why = r->refusal(); !why.empty())
                set_last_error(why);
        return true;
    });
}

QRVLIB_API uint32_t QRVlib_recv_get_multicast_group(QRVlib_recv_instance_t receiver, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto r = receiver_of(receiver);
        return r ? put_text(r->multicast_group(), text, capacity) : 0u;
    });
}

QRVLIB_API bool QRVlib_recv_get_stats(QRVlib_recv_instance_t receiver, QRVlib_recv_stats_t* stats)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        if (!r || !present(stats, "stats"))
            return false;
        *stats = r->stats();
        return true;
    });
}

QRVLIB_API bool QRVlib_recv_get_codec_stats(QRVlib_recv_instance_t receiver, QRVlib_recv_codec_stats_t* stats)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        if (!r || !present(stats, "stats"))
            return false;
        *stats = r->codec_stats();
        return true;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_store_preset(QRVlib_recv_instance_t receiver, int32_t preset)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        return r ? r->ptz_store_preset(preset) : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_pan_tilt(QRVlib_recv_instance_t receiver, float pan_speed, float tilt_speed)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        return r ? r->ptz_pan_tilt(pan_speed, tilt_speed) : false;
    });
}

QRVLIB_API bool QRVlib_recv_ptz_zoom(QRVlib_recv_instance_t receiver, float zoom)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        return r ? r->ptz_zoom(zoom) : false;
    });
}

QRVLIB_API QRVlib_ptz_delivery_e QRVlib_recv_ptz_wait_delivered(QRVlib_recv_instance_t receiver,
                                                                uint32_t timeout_ms)
{
    return guarded(QRVlib_ptz_delivery_failed, [&] {
        auto r = receiver_of(receiver);
        if (!r)
            return QRVlib_ptz_delivery_failed;
        const auto d = r->ptz_wait_delivered(std::chrono::milliseconds(timeout_ms));
        using D = CameraClient::Delivery;
        if (!d) {
            set_last_error("no camera command was sent through this receiver");
            return QRVlib_ptz_delivery_failed;
        }
        switch (*d) {
        case D::acknowledged:
            return QRVlib_ptz_delivery_acknowledged;
        case D::written:
            return QRVlib_ptz_delivery_unconfirmed;
        case D::refused:
            set_last_error("the source refused the camera command");
            break;
        case D::not_permitted:
            set_last_error("the source refused the camera command: it takes camera commands only from receivers "
                           "that hold its operator key (QRV_OPERATOR_KEY_FILE)");
            break;
        case D::lost:
            set_last_error("the connection to the source ended before it acknowledged the camera command");
            break;
        case D::timeout:
            set_last_error("the source did not acknowledge the camera command within " + std::to_string(timeout_ms) +
                           " ms");
            break;
        }
        return QRVlib_ptz_delivery_failed;
    });
}

QRVLIB_API bool QRVlib_recv_set_tally(QRVlib_recv_instance_t receiver, const QRVlib_tally_t* tally)
{
    return guarded(false, [&] {
        auto r = lib().registry<Receiver>().find(receiver);
        if (!r || !tally)
            return false;
        r->set_tally(tally->on_program, tally->on_preview);
        return true;
    });
}

QRVLIB_API bool QRVlib_recv_get_source_tally(QRVlib_recv_instance_t receiver, QRVlib_tally_t* tally)
{
    return guarded(false, [&] {
        auto r = receiver_of(receiver);
        if (!r || !present(tally, "tally"))
            return false;
        *tally = r->source_tally();
        return true;
    });
}

}  // extern "C"

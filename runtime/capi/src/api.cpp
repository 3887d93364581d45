// The exported C operations: each checks its arguments, finds the object
// behind the handle and forwards to it. Nothing thrown inside crosses this
// boundary; failures become the null or false results callers expect, and
// their reason becomes the calling thread's last error. Failed creates and
// starts are logged as well; refusals of other operations are not, since
// some of them may repeat for every frame.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "objects/library.h"
#include "qrv/qrv_runtime.h"
#include "base/error.h"
#include "base/log.h"
#include "base/text.h"

using namespace qrv;

static_assert(int(QRVlib_log_level_none) == int(log::Level::none) &&
              int(QRVlib_log_level_error) == int(log::Level::error) &&
              int(QRVlib_log_level_warn) == int(log::Level::warn) &&
              int(QRVlib_log_level_info) == int(log::Level::info) &&
              int(QRVlib_log_level_debug) == int(log::Level::debug));

namespace {

// What went wrong, in words, for whatever was thrown.
std::string reason_of(std::exception_ptr thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const Error& e) {
        return e.what();
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::system_error& e) {
        return "system error: " + e.code().message();
    } catch (const std::exception& e) {
        return std::string("internal error: ") + e.what();
    } catch (...) {
        return "internal error";
    }
}

// Keeps the reason as the thread's last error and logs it when asked to.
void fail(std::exception_ptr thrown, log::Category category, log::Level level, const char* what) noexcept
{
    try {
        const std::string reason = reason_of(thrown);
        set_last_error(reason);
        if (what && log::enabled(category, level))
            log::write(category, level, "%s: %s", what, reason.c_str());
    } catch (...) {
    }
}

template <class F, class R>
R guarded(R failed, F&& f) noexcept
{
    try {
        return f();
    } catch (...) {
        fail(std::current_exception(), log::Category::library, log::Level::warn, nullptr);
        return failed;
    }
}

template <class F>
void guarded_void(F&& f) noexcept
{
    try {
        f();
    } catch (...) {
        fail(std::current_exception(), log::Category::library, log::Level::warn, nullptr);
    }
}

// A create: null with the reason on failure, the last error cleared on
// success.
template <class H, class F>
H create(log::Category category, const char* what, F&& make) noexcept
{
    try {
        H handle = make();
        clear_last_error();
        return handle;
    } catch (...) {
        fail(std::current_exception(), category, log::Level::warn, what);
        return nullptr;
    }
}

Library& lib()
{
    return Library::instance();
}

// What a new object takes from the running library.
std::shared_ptr<const Context> require_context()
{
    auto c = lib().context();
    if (!c)
        throw Error("the library is not initialized");
    return c;
}

template <class T>
const T& require(const T* settings, const char* reason)
{
    if (!settings)
        throw Error(reason);
    return *settings;
}

// A caller's text, bounded; what names it in the reason.
// Copies value and its terminator into text when capacity allows; returns
// the bytes needed (0 when that does not fit the count's type), so that a
// caller can ask with no buffer first.
uint32_t put_text(const std::string& value, char* text, uint32_t capacity)
{
    if (value.size() + 1 > UINT32_MAX)
        return 0;
    if (text && capacity >= value.size() + 1)
        std::memcpy(text, value.c_str(), value.size() + 1);
    return uint32_t(value.size() + 1);
}

std::string text_argument(const char* text, size_t max, const char* what)
{
    auto copy = copy_text(text, max);
    if (!copy)
        throw Error(std::string(what) + " is longer than " + std::to_string(max - 1) + " bytes");
    return *copy;
}

// A text that this process publishes (in discovery records, or to a source
// in its greeting), which others read as UTF-8. Names found on the network
// are taken as they come instead, so that any source can be received.
std::string published_text(const char* text, size_t max, const char* what)
{
    std::string copy = text_argument(text, max, what);
    if (!valid_utf8(copy))
        throw Error(std::string(what) + " is not valid UTF-8");
    return copy;
}

// The object behind a handle, or null with the reason.
template <class T>
std::shared_ptr<T> live(const Registry<T>& registry, const void* handle, const char* kind)
{
    auto object = registry.find(handle);
    if (!object)
        set_last_error(std::string("not a live ") + kind + " handle (null, destroyed, or of another kind)");
    return object;
}

std::shared_ptr<Sender> sender_of(QRVlib_send_instance_t h)
{
    return live(lib().registry<Sender>(), h, "sender");
}

std::shared_ptr<Finder> finder_of(QRVlib_find_instance_t h)
{
    return live(lib().registry<Finder>(), h, "finder");
}

std::shared_ptr<Receiver> receiver_of(QRVlib_recv_instance_t h)
{
    return live(lib().registry<Receiver>(), h, "receiver");
}

std::shared_ptr<Router> router_of(QRVlib_routing_instance_t h)
{
    return live(lib().registry<Router>(), h, "router");
}

// False with the reason when a pointer the operation writes to is null.
bool present(const void* pointer, const char* what)
{
    if (!pointer)
        set_last_error(std::string(what) + " is null");
    return pointer != nullptr;
}

}  // namespace

extern "C" {

QRVLIB_API bool QRVlib_initialize(void)
{
    try {
        lib().start();
        // Started without discovery: true, with the reason left to read.
        auto d = lib().discovery();
        if (d && !d->running())
            set_last_error("discovery could not start: " + d->start_error());
        else
            clear_last_error();
        return true;
    } catch (...) {
        fail(std::current_exception(), log::Category::library, log::Level::error, "cannot run");
        return false;
    }
}

QRVLIB_API void QRVlib_destroy(void)
{
    guarded_void([] { lib().stop(); });
}

QRVLIB_API void QRVlib_set_log_callback(QRVlib_log_callback_t callback, void* user, QRVlib_log_level_e max_level)
{
    guarded_void([&] {
        log::Hook hook;
        if (callback)
            hook = [callback, user](log::Level level, log::Category category, const char* message) {
                callback(user, static_cast<QRVlib_log_level_e>(level), log::name_of(category), message);
            };
        const int level = std::clamp(int(max_level), int(QRVlib_log_level_none), int(QRVlib_log_level_debug));
        log::set_hook(std::move(hook), static_cast<log::Level>(level));
    });
}

QRVLIB_API const char* QRVlib_get_last_error(void)
{
    return last_error();
}

// --- senders ---------------------------------------------------------------

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
            s.reset();
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

// --- finders ---------------------------------------------------------------

QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings)
{
    return create<QRVlib_find_instance_t>(log::Category::finder, "could not create a finder", [&] {
        const auto context = require_context();
        const QRVlib_find_create_t defaults;
        const QRVlib_find_create_t& s = settings ? *settings : defaults;
        lib().link_keys();  // a bad key file is refused here as for senders and receivers
        const std::string groups = text_argument(s.option_text_a, kMaxOptionBytes, "the finder's group list");
        const std::string hosts = text_argument(s.option_text_b, kMaxOptionBytes, "the finder's list of extra hosts");
        auto finder = std::make_shared<Finder>(FinderSettings{s.option_flag, groups, hosts});
        if (context->discovery)
            finder->follow(*context->discovery);
        void* handle = lib().adopt(std::move(finder));
        if (!handle)
            throw Error("the library is not initialized");
        QRV_LOG_AT(debug, finder, "created for groups '%s'%s", groups.empty() ? "public" : groups.c_str(),
                   s.option_flag ? ", with this process's own sources" : "");
        return reinterpret_cast<QRVlib_find_instance_t>(handle);
    });
}

QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder)
{
    guarded_void([&] {
        if (lib().registry<Finder>().remove(finder))
            QRV_LOG_AT(debug, finder, "destroyed");
    });
}

QRVLIB_API bool QRVlib_find_wait_for_sources(QRVlib_find_instance_t finder, uint32_t timeout_ms)
{
    return guarded(false, [&] {
        auto f = finder_of(finder);
        return f ? f->wait_for_change(timeout_ms) : false;
    });
}

QRVLIB_API const QRVlib_source_t* QRVlib_find_get_current_sources(QRVlib_find_instance_t finder,
                                                                 uint32_t* no_sources)
{
    return guarded((const QRVlib_source_t*)nullptr, [&]() -> const QRVlib_source_t* {
        if (no_sources)
            *no_sources = 0;
        auto f = finder_of(finder);
        return f ? f->current(no_sources) : nullptr;
    });
}

// --- receivers -------------------------------------------------------------

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
        if (lib().registry<Receiver>().remove(receiver))
            QRV_LOG_AT(debug, receiver, "a receiver was destroyed");
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

// --- routers ---------------------------------------------------------------

QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings)
{
    return create<QRVlib_routing_instance_t>(log::Category::router, "could not create a router", [&] {
        const auto context = require_context();
        const auto& s = require(settings, "the router's settings are missing");
        const std::string name = published_text(s.name, kMaxNameBytes, "the router name");
        if (name.empty())
            throw Error("the router name is missing");
        const std::string groups = published_text(s.option_text, kMaxOptionBytes, "the router's group list");
        auto router =
            std::make_shared<Router>(RouterSettings{name, groups}, context->scope, lib().server_options());
        const Endpoint endpoint = router->endpoint();
        context->note_source(name, endpoint);
        if (context->discovery) {
            router->set_publication(
                context->discovery->publish({name, groups, endpoint, lib().link_keys() != nullptr}));
            router->follow(*context->discovery);
        }
        void* handle = lib().adopt(std::move(router));
        if (!handle)
            throw Error("the library is not initialized");
        QRV_LOG_AT(info, router, "'%s' created, listening at %s", name.c_str(), format_locator(endpoint).c_str());
        return reinterpret_cast<QRVlib_routing_instance_t>(handle);
    });
}

QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router)
{
    guarded_void([&] {
        if (auto r = lib().registry<Router>().remove(router)) {
            const std::string name = r->settings().name;
            r.reset();
            QRV_LOG_AT(debug, router, "'%s' destroyed", name.c_str());
        }
    });
}

QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source)
{
    return guarded(false, [&] {
        auto r = router_of(router);
        if (!r || !present(source, "the route's source"))
            return false;
        const std::string name = text_argument(source->name, kMaxOptionBytes, "the source name");
        const std::string locator = text_argument(source->locator, kMaxOptionBytes, "the source locator");
        if (name.empty() && locator.empty()) {
            set_last_error("the route's source has no name or locator");
            return false;
        }
        if (!r->change(SourceInfo{name, locator}))
            return false;
        QRV_LOG_AT(info, router, "'%s' routes to '%s' at %s", r->settings().name.c_str(), name.c_str(),
                   locator.c_str());
        return true;
    });
}

QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router)
{
    return guarded(false, [&] {
        auto r = router_of(router);
        if (!r)
            return false;
        r->clear();
        QRV_LOG_AT(info, router, "'%s' routes nowhere", r->settings().name.c_str());
        return true;
    });
}

// --- transport, receiving, routing, camera control -------------------------

namespace {

uint32_t copy_locator(const Endpoint& e, char* text, uint32_t capacity)
{
    return put_text(format_locator(e), text, capacity);
}

}  // namespace

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

QRVLIB_API bool QRVlib_set_video_codec(const QRVlib_video_codec_t* codec)
{
    return guarded(false, [&] {
        if (!present(codec, "the settings"))
            return false;
        if (codec->quality < 1 || codec->quality > 100 || !std::isfinite(codec->max_mbits_per_second) ||
            codec->max_mbits_per_second < 0) {
            set_last_error("a codec setting is out of range");
            return false;
        }
        lib().set_video_codec(*codec);
        return true;
    });
}

QRVLIB_API bool QRVlib_get_video_codec(QRVlib_video_codec_t* codec)
{
    return guarded(false, [&] {
        if (!present(codec, "the settings"))
            return false;
        *codec = lib().video_codec();
        return true;
    });
}

QRVLIB_API bool QRVlib_set_multicast(bool offer)
{
    return guarded(false, [&] {
        lib().set_multicast(offer);
        return true;
    });
}

QRVLIB_API bool QRVlib_set_key_files(const char* site_key_file, const char* operator_key_file)
{
    return guarded(false, [&] {
        lib().set_key_files(site_key_file, operator_key_file);
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

QRVLIB_API uint32_t QRVlib_routing_get_locator(QRVlib_routing_instance_t router, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto r = router_of(router);
        return r ? copy_locator(r->endpoint(), text, capacity) : 0u;
    });
}

QRVLIB_API int32_t QRVlib_routing_get_no_connections(QRVlib_routing_instance_t router, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto r = router_of(router);
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
        auto r = lib().registry<Receiver>().find(receiver);
        if (!r || !tally)
            return false;
        r->set_tally(tally->on_program, tally->on_preview);
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

// --- discovery -------------------------------------------------------------

QRVLIB_API bool QRVlib_discovery_get_stats(QRVlib_discovery_stats_t* stats)
{
    return guarded(false, [&] {
        auto d = lib().discovery();
        if (!d) {
            set_last_error("the library is not initialized");
            return false;
        }
        if (!present(stats, "stats"))
            return false;
        const auto s = d->stats();
        *stats = QRVlib_discovery_stats_t{s.packets_received, s.packets_rejected, s.packets_malformed,
                                          s.packets_sent,     s.cache_records,    s.conflicts,
                                          s.interfaces,       uint64_t(s.running)};
        return true;
    });
}

QRVLIB_API uint32_t QRVlib_discovery_resolve(const char* name, char* locator, uint32_t capacity, uint32_t timeout_ms)
{
    return guarded(uint32_t(0), [&]() -> uint32_t {
        auto d = lib().discovery();
        if (!d) {
            set_last_error("the library is not initialized");
            return 0;
        }
        if (!present(name, "the name"))
            return 0;
        const std::string wanted = text_argument(name, kMaxOptionBytes, "the name");
        auto found = d->wait_for(wanted, std::chrono::milliseconds(timeout_ms));
        if (!found) {
            set_last_error("no source named '" + wanted + "' was found within " + std::to_string(timeout_ms) + " ms");
            return 0;
        }
        return put_text(found->locator, locator, capacity);
    });
}

QRVLIB_API int QRVlib_discovery_source_needs_key(const char* name)
{
    return guarded(-1, [&]() -> int {
        auto d = lib().discovery();
        if (!d) {
            set_last_error("the library is not initialized");
            return -1;
        }
        if (!present(name, "the name"))
            return -1;
        const std::string wanted = text_argument(name, kMaxOptionBytes, "the name");
        auto found = d->find(wanted);
        if (!found) {
            set_last_error("no source named '" + wanted + "' is listed");
            return -1;
        }
        return found->needs_key ? 1 : 0;
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

extern "C" QRVLIB_API const char* QRVlib_version(void)
{
    return QRV_VERSION;
}

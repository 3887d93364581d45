// The exported operations of the library as a whole: starting and
// stopping it, its log and last error, the settings every new object
// takes, and lookups in discovery.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <string>

#include "api_support.h"
#include "base/text.h"

using namespace qrv;
using namespace qrv::capi;

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

}  // extern "C"

extern "C" QRVLIB_API const char* QRVlib_version(void)
{
    return QRV_VERSION;
}

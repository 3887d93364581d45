#include "library_ref.h"

#include <gst/gst.h>

#include <mutex>

#include "qrv/qrv_runtime.h"

GST_DEBUG_CATEGORY_STATIC(qrv_runtime_debug);
#define GST_CAT_DEFAULT qrv_runtime_debug

namespace qrv_gst {

namespace {

std::mutex library_mutex;
std::weak_ptr<LibraryRef> library_current;

void forward_log(void*, QRVlib_log_level_e level, const char* category, const char* message)
{
    GstDebugLevel gst_level = GST_LEVEL_DEBUG;
    switch (level) {
    case QRVlib_log_level_error:
        gst_level = GST_LEVEL_ERROR;
        break;
    case QRVlib_log_level_warn:
        gst_level = GST_LEVEL_WARNING;
        break;
    case QRVlib_log_level_info:
        gst_level = GST_LEVEL_INFO;
        break;
    default:
        break;
    }
    GST_CAT_LEVEL_LOG(qrv_runtime_debug, gst_level, nullptr, "%s: %s", category ? category : "?",
                      message ? message : "");
}

// The most detailed runtime level that the category would print: the
// runtime does not even format lines that would be thrown away.
QRVlib_log_level_e wanted_level()
{
    const GstDebugLevel threshold = gst_debug_category_get_threshold(qrv_runtime_debug);
    if (threshold >= GST_LEVEL_DEBUG)
        return QRVlib_log_level_debug;
    if (threshold >= GST_LEVEL_INFO)
        return QRVlib_log_level_info;
    if (threshold >= GST_LEVEL_WARNING)
        return QRVlib_log_level_warn;
    if (threshold >= GST_LEVEL_ERROR)
        return QRVlib_log_level_error;
    return QRVlib_log_level_none;
}

}  // namespace

void install_log_forwarding()
{
    GST_DEBUG_CATEGORY_INIT(qrv_runtime_debug, "qrv", 0, "the QRV runtime's own log");
    QRVlib_set_log_callback(forward_log, nullptr, wanted_level());
}

LibraryRef::~LibraryRef()
{
    QRVlib_destroy();
}

std::shared_ptr<LibraryRef> LibraryRef::acquire(std::string* error)
{
    std::lock_guard lock(library_mutex);
    if (auto held = library_current.lock())
        return held;
    // The threshold may have been changed by the application since the
    // plugin was loaded.
    QRVlib_set_log_callback(forward_log, nullptr, wanted_level());
    if (!QRVlib_initialize()) {
        const char* reason = QRVlib_get_last_error();
        *error = std::string("the QRV runtime cannot start: ") + (reason && *reason ? reason : "unknown reason");
        return nullptr;
    }
    std::shared_ptr<LibraryRef> held(new LibraryRef());
    library_current = held;
    return held;
}

}  // namespace qrv_gst

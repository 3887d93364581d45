// The qrv-obs module: registers the source, the output and the filter, and forwards the
// runtime's log into OBS's log. Nothing here needs OBS's frontend, so the
// module loads in a headless libobs as well as in the application.
#include "plugin.h"

#include "qrv/qrv_runtime.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("qrv-obs", "en-US")

namespace qrv_obs {

namespace {

void forward_log(void*, QRVlib_log_level_e level, const char* category, const char* message)
{
    int obs_level = LOG_DEBUG;
    switch (level) {
    case QRVlib_log_level_error:
        obs_level = LOG_ERROR;
        break;
    case QRVlib_log_level_warn:
        obs_level = LOG_WARNING;
        break;
    case QRVlib_log_level_info:
        obs_level = LOG_INFO;
        break;
    default:
        break;
    }
    QRV_OBS_LOG(obs_level, "%s: %s", category ? category : "?", message ? message : "");
}

}  // namespace

RuntimeHold::RuntimeHold() : ok_(QRVlib_initialize())
{
    if (!ok_)
        QRV_OBS_LOG(LOG_ERROR, "the QRV runtime cannot start: %s", QRVlib_get_last_error());
}

RuntimeHold::~RuntimeHold()
{
    if (ok_)
        QRVlib_destroy();
}

}  // namespace qrv_obs

MODULE_EXPORT const char* obs_module_description(void)
{
    return "Sources on the network as OBS sources, and OBS's program as a source on the network";
}

bool obs_module_load(void)
{
    QRVlib_set_log_callback(qrv_obs::forward_log, nullptr, QRVlib_log_level_info);
    qrv_obs::register_source();
    qrv_obs::register_output();
    qrv_obs::register_filter();
    QRV_OBS_LOG(LOG_INFO, "loaded (runtime %s)", QRVlib_version());
    return true;
}

void obs_module_unload(void)
{
    // Once this returns the callback is not running anywhere, so nothing
    // logs into a module that is going away.
    QRVlib_set_log_callback(nullptr, nullptr, QRVlib_log_level_none);
}

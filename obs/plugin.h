// Shared pieces of the qrv-obs plugin: its log prefix, the runtime's
// lifetime, and the registration of the source, the output and the filter.
#ifndef QRV_OBS_PLUGIN_H
#define QRV_OBS_PLUGIN_H

#include <obs-module.h>

// Every line this plugin writes to OBS's log starts with its name.
#define QRV_OBS_LOG(level, format, ...) blog(level, "[qrv-obs] " format, ##__VA_ARGS__)

namespace qrv_obs {

/// One hold on the started runtime: QRVlib_initialize() nests, so each
/// object of the plugin that uses the runtime keeps one of these and the
/// runtime stops when the last one goes. ok() is false when it could not
/// start (the reason is logged).
class RuntimeHold {
public:
    RuntimeHold();
    ~RuntimeHold();
    RuntimeHold(const RuntimeHold&) = delete;
    RuntimeHold& operator=(const RuntimeHold&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

/// Registers "QRV Source" with OBS (module load only).
void register_source();
/// Registers "QRV Output" with OBS (module load only).
void register_output();
/// Registers "QRV Filter" with OBS (module load only).
void register_filter();

}  // namespace qrv_obs

#endif

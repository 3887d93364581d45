// Publishing from OBS: a sender with its hold on the runtime, OBS's clock
// turned into the network's timecodes, and OBS's audio planes gathered into
// the one block the runtime takes. Shared by the output and the filter.
#ifndef QRV_OBS_NETWORK_SENDER_H
#define QRV_OBS_NETWORK_SENDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugin.h"
#include "qrv/qrv_runtime.h"

namespace qrv_obs {

/// A source published on the network. OBS may still be in a callback of
/// the video or audio thread while the output or filter lets go, so users
/// hold it through a shared pointer and the last of them destroys it.
class NetworkSender {
public:
    /// Publishes name; get() is null when that failed (logged, and the
    /// reason in error()). OBS paces what it hands over, so the sends
    /// return at once.
    explicit NetworkSender(const std::string& name);
    ~NetworkSender();
    NetworkSender(const NetworkSender&) = delete;
    NetworkSender& operator=(const NetworkSender&) = delete;

    QRVlib_send_instance_t get() const { return sender_; }
    const std::string& error() const { return error_; }

    /// Sends planar float audio whose planes OBS lends separately: they are
    /// gathered into scratch (the caller's, reused from call to call).
    /// Missing planes are sent as silence. Any thread.
    void send_audio(const uint8_t* const* planes, uint32_t frames, int channels, int sample_rate,
                    int64_t timecode, std::vector<float>& scratch);

private:
    RuntimeHold runtime_;
    QRVlib_send_instance_t sender_ = nullptr;
    std::string error_;
};

/// Unix time minus OBS's clock (os_gettime_ns), in 100 ns units: added to
/// an OBS time stamp divided by 100 it gives the network's timecode.
int64_t unix_minus_obs_clock();

}  // namespace qrv_obs

#endif

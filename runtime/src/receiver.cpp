#include "receiver.h"

#include <chrono>

#include "qrv/qrv_runtime.h"

namespace qrv {

Receiver::Receiver(ReceiverSettings settings) : settings_(std::move(settings)) {}

Receiver::~Receiver() = default;

int32_t Receiver::capture(QRVlib_video_frame_v2_t*, QRVlib_audio_frame_v2_t*, QRVlib_metadata_frame_t*,
                          uint32_t timeout_ms)
{
    // Nothing arrives until a transport connects this receiver.
    std::unique_lock lock(mutex_);
    event_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return false; });
    return QRVlib_frame_type_none;
}

bool Receiver::ptz_supported() const
{
    return false;
}

bool Receiver::ptz_recall_preset(int32_t, float)
{
    return false;
}

}  // namespace qrv

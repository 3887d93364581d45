#include "network_sender.h"

#include <util/platform.h>

#include <chrono>
#include <cstring>

namespace qrv_obs {

NetworkSender::NetworkSender(const std::string& name)
{
    if (!runtime_.ok()) {
        error_ = "the QRV runtime cannot start";
        return;
    }
    QRVlib_send_create_t settings(name.c_str(), nullptr, false, false);
    sender_ = QRVlib_send_create(&settings);
    if (!sender_) {
        error_ = QRVlib_get_last_error();
        QRV_OBS_LOG(LOG_ERROR, "cannot publish \"%s\": %s", name.c_str(), error_.c_str());
    }
}

NetworkSender::~NetworkSender()
{
    QRVlib_send_destroy(sender_);
}

void NetworkSender::send_audio(const uint8_t* const* planes, uint32_t frames, int channels, int sample_rate,
                               int64_t timecode, std::vector<float>& scratch)
{
    if (!sender_ || frames == 0 || channels <= 0)
        return;
    const size_t count = frames;
    scratch.resize(count * size_t(channels));
    for (int c = 0; c < channels; ++c) {
        float* to = &scratch[size_t(c) * count];
        if (planes[c])
            std::memcpy(to, planes[c], count * sizeof(float));
        else
            std::memset(to, 0, count * sizeof(float));
    }
    QRVlib_audio_frame_v2_t out(sample_rate, channels, int32_t(count), timecode, scratch.data(),
                                int32_t(count * sizeof(float)));
    QRVlib_send_send_audio_v2(sender_, &out);
}

int64_t unix_minus_obs_clock()
{
    const auto unix_now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(unix_now).count() / 100 -
           int64_t(os_gettime_ns() / 100);
}

}  // namespace qrv_obs

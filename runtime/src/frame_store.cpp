#include "frame_store.h"

#include <cstring>
#include <utility>

namespace qrv {

void FrameStore::put_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout, int64_t timecode)
{
    // Only one writer at a time: the sender serialises its sends.
    StoredVideo& out = back_video_;
    out.layout = layout;
    out.frame_rate_num = frame.frame_rate_num;
    out.frame_rate_den = frame.frame_rate_den;
    out.aspect_ratio = frame.aspect_ratio;
    out.frame_format = frame.frame_format;
    out.timecode = timecode;
    out.timestamp = frame.timestamp;
    out.pixels.resize(layout.packed_bytes());

    const uint8_t* src = frame.data;
    uint8_t* dst = out.pixels.data();
    if (layout.line_stride == layout.line_bytes) {
        std::memcpy(dst, src, layout.packed_bytes());
    } else {
        for (int32_t y = 0; y < layout.height; ++y)
            std::memcpy(dst + (size_t)y * layout.line_bytes, src + (size_t)y * layout.line_stride,
                        layout.line_bytes);
    }

    std::lock_guard lock(mutex_);
    out.sequence = ++video_sequence_;
    std::swap(front_video_, back_video_);
}

void FrameStore::put_audio(const QRVlib_audio_frame_v2_t& frame, const AudioLayout& layout, int64_t timecode)
{
    StoredAudio& out = back_audio_;
    out.layout = layout;
    out.timecode = timecode;
    out.samples.resize(layout.samples_total());
    const uint8_t* base = reinterpret_cast<const uint8_t*>(frame.data);
    for (int32_t c = 0; c < layout.channels; ++c)
        std::memcpy(out.samples.data() + (size_t)c * layout.samples, base + (size_t)c * layout.channel_stride,
                    (size_t)layout.samples * sizeof(float));
    std::lock_guard lock(mutex_);
    out.sequence = ++audio_sequence_;
    std::swap(audio_, back_audio_);
}

void FrameStore::put_audio(const QRVlib_audio_frame_interleaved_16s_t& frame, const AudioLayout& layout,
                           int64_t timecode)
{
    StoredAudio& out = back_audio_;
    out.layout = layout;
    out.timecode = timecode;
    out.samples.resize(layout.samples_total());
    const size_t channels = (size_t)layout.channels;
    for (size_t c = 0; c < channels; ++c) {
        float* plane = out.samples.data() + c * (size_t)layout.samples;
        for (size_t s = 0; s < (size_t)layout.samples; ++s)
            plane[s] = (float)frame.data[s * channels + c] * (1.0f / 32768.0f);
    }
    std::lock_guard lock(mutex_);
    out.sequence = ++audio_sequence_;
    std::swap(audio_, back_audio_);
}

}  // namespace qrv

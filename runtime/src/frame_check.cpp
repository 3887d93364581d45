#include "frame_check.h"

namespace qrv {

int bytes_per_pixel(uint32_t fourcc)
{
    switch (fourcc) {
    case QRVlib_FourCC_type_UYVY:
        return 2;
    case QRVlib_FourCC_type_BGRA:
    case QRVlib_FourCC_type_BGRX:
    case QRVlib_FourCC_type_RGBA:
    case QRVlib_FourCC_type_RGBX:
        return 4;
    default:
        return 0;
    }
}

bool frame_rate_ok(int32_t num, int32_t den)
{
    if (num <= 0 || den <= 0)
        return false;
    const int64_t n = num, d = den;
    return n * 10 >= d * kMinFramesPerTenSeconds && n <= d * kMaxFramesPerSecond;
}

std::optional<VideoLayout> check_video(const QRVlib_video_frame_v2_t& frame)
{
    if (!frame.data)
        return std::nullopt;
    if (frame.width <= 0 || frame.height <= 0 || frame.width > kMaxVideoDimension ||
        frame.height > kMaxVideoDimension)
        return std::nullopt;
    if (!frame_rate_ok(frame.frame_rate_num, frame.frame_rate_den))
        return std::nullopt;
    const int bpp = bytes_per_pixel(frame.fourcc);
    if (bpp == 0)
        return std::nullopt;
    // Packed 4:2:2 shares chroma between two pixels: the width must be even.
    if (frame.fourcc == QRVlib_FourCC_type_UYVY && (frame.width & 1))
        return std::nullopt;

    VideoLayout layout;
    layout.width = frame.width;
    layout.height = frame.height;
    layout.fourcc = frame.fourcc;
    layout.line_bytes = (size_t)frame.width * (size_t)bpp;
    if (frame.line_stride <= 0 || (size_t)frame.line_stride < layout.line_bytes)
        return std::nullopt;
    layout.line_stride = (size_t)frame.line_stride;
    // Dimensions are capped, so these products cannot overflow 64 bits.
    const uint64_t span = (uint64_t)layout.line_stride * (uint64_t)(frame.height - 1) + layout.line_bytes;
    if (span > kMaxVideoBytes)
        return std::nullopt;
    return layout;
}

static bool audio_counts_ok(int32_t sample_rate, int32_t channels, int32_t samples)
{
    if (sample_rate < kMinSampleRate || sample_rate > kMaxSampleRate)
        return false;
    if (channels <= 0 || channels > kMaxAudioChannels || samples <= 0 || samples > kMaxAudioSamples)
        return false;
    // At most 10 seconds per frame, as for video: a paced send stays bounded.
    return (int64_t)samples <= (int64_t)sample_rate * 10;
}

std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_v2_t& frame)
{
    if (!frame.data || !audio_counts_ok(frame.sample_rate, frame.no_channels, frame.no_samples))
        return std::nullopt;
    const size_t plane_bytes = (size_t)frame.no_samples * sizeof(float);
    if (frame.channel_stride <= 0 || (size_t)frame.channel_stride < plane_bytes)
        return std::nullopt;
    // The stride is a positive int32 and channels are capped: no overflow.
    const uint64_t span = (uint64_t)frame.channel_stride * (uint64_t)(frame.no_channels - 1) + plane_bytes;
    if (span > kMaxAudioBytes)
        return std::nullopt;
    // Samples are read as floats: the planes must keep float alignment.
    if ((reinterpret_cast<uintptr_t>(frame.data) % alignof(float)) != 0 || (frame.channel_stride % 4) != 0)
        return std::nullopt;
    AudioLayout layout;
    layout.sample_rate = frame.sample_rate;
    layout.channels = frame.no_channels;
    layout.samples = frame.no_samples;
    layout.channel_stride = (size_t)frame.channel_stride;
    return layout;
}

std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_interleaved_16s_t& frame)
{
    if (!frame.data || !audio_counts_ok(frame.sample_rate, frame.no_channels, frame.no_samples))
        return std::nullopt;
    if ((uint64_t)frame.no_channels * (uint64_t)frame.no_samples * 2u > kMaxAudioBytes)
        return std::nullopt;
    if ((reinterpret_cast<uintptr_t>(frame.data) % alignof(int16_t)) != 0)
        return std::nullopt;
    AudioLayout layout;
    layout.sample_rate = frame.sample_rate;
    layout.channels = frame.no_channels;
    layout.samples = frame.no_samples;
    layout.channel_stride = (size_t)frame.no_samples * sizeof(float);
    return layout;
}

}  // namespace qrv

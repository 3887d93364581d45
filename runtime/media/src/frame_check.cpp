#include "media/frame_check.h"

namespace qrv {

int bytes_per_pixel(uint32_t fourcc)
{
    const auto* layout = media::find_layout(fourcc);
    return layout ? layout->bytes_per_pixel : 0;
}

std::optional<VideoLayout> check_video(const QRVlib_video_frame_v2_t& frame, std::string* why)
{
    using media::refused;
    if (!frame.data)
        return refused<VideoLayout>(why, "it has no pixels");
    const auto g = media::check_video({frame.width, frame.height, (uint32_t)frame.fourcc, frame.frame_rate_num,
                                       frame.frame_rate_den, frame.aspect_ratio, (uint32_t)frame.frame_format},
                                      why);
    if (!g)
        return std::nullopt;
    VideoLayout layout;
    layout.width = frame.width;
    layout.height = frame.height;
    layout.fourcc = frame.fourcc;
    layout.line_bytes = (size_t)g->line_bytes;
    if (frame.line_stride <= 0 || (size_t)frame.line_stride < layout.line_bytes)
        return refused<VideoLayout>(why, "its line stride is shorter than a line");
    layout.line_stride = (size_t)frame.line_stride;
    // Dimensions are capped, so these products cannot overflow 64 bits.
    const uint64_t span = (uint64_t)layout.line_stride * (uint64_t)(frame.height - 1) + layout.line_bytes;
    if (span > kMaxCallerVideoSpan)
        return refused<VideoLayout>(why, "its lines span more than " + std::to_string(kMaxCallerVideoSpan >> 20) +
                                             " MiB");
    return layout;
}

std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_v2_t& frame, std::string* why)
{
    using media::refused;
    if (!frame.data)
        return refused<AudioLayout>(why, "it has no samples");
    if (!media::check_audio({frame.sample_rate, frame.no_channels, frame.no_samples}, why))
        return std::nullopt;
    const size_t plane_bytes = (size_t)frame.no_samples * sizeof(float);
    if (frame.channel_stride <= 0 || (size_t)frame.channel_stride < plane_bytes)
        return refused<AudioLayout>(why, "its channel stride is shorter than a channel");
    // The stride is a positive int32 and channels are capped: no overflow.
    const uint64_t span = (uint64_t)frame.channel_stride * (uint64_t)(frame.no_channels - 1) + plane_bytes;
    if (span > kMaxCallerAudioSpan)
        return refused<AudioLayout>(why, "its channels span more than " + std::to_string(kMaxCallerAudioSpan >> 20) +
                                             " MiB");
    // Samples are read as floats: the planes must keep float alignment.
    if ((reinterpret_cast<uintptr_t>(frame.data) % alignof(float)) != 0 || (frame.channel_stride % 4) != 0)
        return refused<AudioLayout>(why, "its channels must start at multiples of 4 bytes");
    AudioLayout layout;
    layout.sample_rate = frame.sample_rate;
    layout.channels = frame.no_channels;
    layout.samples = frame.no_samples;
    layout.channel_stride = (size_t)frame.channel_stride;
    return layout;
}

std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_interleaved_16s_t& frame, std::string* why)
{
    using media::refused;
    if (!frame.data)
        return refused<AudioLayout>(why, "it has no samples");
    if (!media::check_audio({frame.sample_rate, frame.no_channels, frame.no_samples}, why))
        return std::nullopt;
    if ((reinterpret_cast<uintptr_t>(frame.data) % alignof(int16_t)) != 0)
        return refused<AudioLayout>(why, "its samples must start at an even address");
    AudioLayout layout;
    layout.sample_rate = frame.sample_rate;
    layout.channels = frame.no_channels;
    layout.samples = frame.no_samples;
    layout.channel_stride = (size_t)frame.no_samples * sizeof(float);
    return layout;
}

}  // namespace qrv

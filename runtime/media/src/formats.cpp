#include "media/formats.h"

#include <cmath>

#include "qrvlib.h"

namespace qrv::media {

namespace {

constexpr PixelLayout kLayouts[] = {
    {QRVlib_FourCC_type_UYVY, "UYVY", 2, false, true},
    {QRVlib_FourCC_type_BGRA, "BGRA", 4, true, false},
    {QRVlib_FourCC_type_BGRX, "BGRX", 4, false, false},
    {QRVlib_FourCC_type_RGBA, "RGBA", 4, true, false},
    {QRVlib_FourCC_type_RGBX, "RGBX", 4, false, false},
};

}  // namespace

const PixelLayout* find_layout(uint32_t fourcc)
{
    for (const auto& layout : kLayouts)
        if (layout.fourcc == fourcc)
            return &layout;
    return nullptr;
}

bool frame_rate_ok(int32_t num, int32_t den)
{
    if (num <= 0 || den <= 0)
        return false;
    const int64_t n = num, d = den;
    return n * 10 >= d * kMinFramesPerTenSeconds && n <= d * kMaxFramesPerSecond;
}

std::optional<VideoGeometry> check_video(const VideoFormat& f, std::string* why)
{
    const PixelLayout* layout = find_layout(f.fourcc);
    if (!layout)
        return refused<VideoGeometry>(why, "its FourCC is not UYVY, BGRA, BGRX, RGBA or RGBX");
    if (f.width <= 0 || f.height <= 0 || f.width > kMaxVideoDimension || f.height > kMaxVideoDimension)
        return refused<VideoGeometry>(why, "its width and height must be 1 to " + std::to_string(kMaxVideoDimension));
    // Packed 4:2:2 shares chroma between two pixels: the width must be even.
    if (layout->yuv422 && (f.width & 1))
        return refused<VideoGeometry>(why, "UYVY needs an even width");
    if (!frame_rate_ok(f.frame_rate_num, f.frame_rate_den))
        return refused<VideoGeometry>(why, "its frame rate must be 1/10 to 1000 frames a second");
    if (f.frame_format > kMaxFrameFormat)
        return refused<VideoGeometry>(why, "its frame format is unknown");
    if (!std::isfinite(f.aspect_ratio) || f.aspect_ratio < 0.0f)
        return refused<VideoGeometry>(why, "its aspect ratio must be 0 or a positive number");
    VideoGeometry g;
    g.layout = layout;
    // Dimensions are capped, so these products cannot overflow 64 bits.
    g.line_bytes = (uint64_t)f.width * (uint64_t)layout->bytes_per_pixel;
    g.frame_bytes = g.line_bytes * (uint64_t)f.height;
    if (g.frame_bytes > kMaxVideoBytes)
        return refused<VideoGeometry>(why, "its pixels take more than " + std::to_string(kMaxVideoBytes >> 20) + " MiB");
    return g;
}

std::optional<uint64_t> check_audio(const AudioFormat& f, std::string* why)
{
    if (f.sample_rate < kMinSampleRate || f.sample_rate > kMaxSampleRate)
        return refused<uint64_t>(why, "its sample rate must be " + std::to_string(kMinSampleRate) + " to " +
                                          std::to_string(kMaxSampleRate));
    if (f.channels <= 0 || f.channels > kMaxAudioChannels)
        return refused<uint64_t>(why, "it must have 1 to " + std::to_string(kMaxAudioChannels) + " channels");
    if (f.samples <= 0 || f.samples > kMaxAudioSamples || (int64_t)f.samples > (int64_t)f.sample_rate * 10)
        return refused<uint64_t>(why, "it must hold at least one sample and at most 10 seconds of them");
    const uint64_t bytes = (uint64_t)f.channels * (uint64_t)f.samples * sizeof(float);
    if (bytes > kMaxAudioBytes)
        return refused<uint64_t>(why, "its samples take more than " + std::to_string(kMaxAudioBytes >> 20) + " MiB");
    return bytes;
}

}  // namespace qrv::media

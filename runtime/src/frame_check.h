// Checks of frame records handed in by callers. A frame is trusted only after
// its geometry has been checked against itself and against fixed caps, so
// that nothing is read beyond what the record validly describes.
#ifndef QRV_FRAME_CHECK_H
#define QRV_FRAME_CHECK_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "qrvlib.h"

namespace qrv {

// Fixed caps on what one frame may describe.
inline constexpr int32_t kMaxVideoDimension = 16384;
inline constexpr uint64_t kMaxVideoBytes = 1ull << 30;
inline constexpr int32_t kMaxAudioChannels = 64;
inline constexpr int32_t kMaxAudioSamples = 1 << 20;
inline constexpr int32_t kMinSampleRate = 8000;
inline constexpr int32_t kMaxSampleRate = 768000;
// Frame rates from one frame in 10 seconds to 1000 frames per second: a paced
// send never blocks its caller for longer than 10 seconds.
inline constexpr int64_t kMinFramesPerTenSeconds = 1;
inline constexpr int64_t kMaxFramesPerSecond = 1000;
inline constexpr uint64_t kMaxAudioBytes = 256ull << 20;

// Bytes per pixel of a known pixel layout, 0 for an unknown one.
int bytes_per_pixel(uint32_t fourcc);

struct VideoLayout {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    size_t line_bytes = 0;   // bytes of pixels in one line
    size_t line_stride = 0;  // distance between line starts in the caller's buffer
    size_t packed_bytes() const { return line_bytes * (size_t)height; }
};

struct AudioLayout {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    size_t channel_stride = 0;  // planar float: bytes between channel starts
    size_t samples_total() const { return (size_t)channels * (size_t)samples; }
};

// True for a frame rate num/den within the caps above.
bool frame_rate_ok(int32_t num, int32_t den);

// Each returns the layout when the record is well formed, nothing otherwise.
std::optional<VideoLayout> check_video(const QRVlib_video_frame_v2_t& frame);
std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_v2_t& frame);
std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_interleaved_16s_t& frame);

}  // namespace qrv

#endif

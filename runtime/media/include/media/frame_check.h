// Checks of frame records handed in by callers. A frame is trusted only after
// its geometry has been checked against itself and against fixed caps, so
// that nothing is read beyond what the record validly describes.
#ifndef QRV_FRAME_CHECK_H
#define QRV_FRAME_CHECK_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "media/formats.h"
#include "qrvlib.h"

namespace qrv {

// The caps and ranges of a frame's own fields are those of media/formats.h.
// A caller's buffer may be padded between lines and channels; the span it
// describes is capped on top.
inline constexpr uint64_t kMaxCallerVideoSpan = 1ull << 30;
inline constexpr uint64_t kMaxCallerAudioSpan = 256ull << 20;

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

// Each returns the layout when the record is well formed, nothing otherwise
// (and then, when `why` is given, the reason in it).
std::optional<VideoLayout> check_video(const QRVlib_video_frame_v2_t& frame, std::string* why = nullptr);
std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_v2_t& frame, std::string* why = nullptr);
std::optional<AudioLayout> check_audio(const QRVlib_audio_frame_interleaved_16s_t& frame, std::string* why = nullptr);

}  // namespace qrv

#endif

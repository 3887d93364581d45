// What a valid frame is, for everything that handles one: the sender that
// accepts a caller's record and the decoder that reads a frame off the wire
// apply the same table of pixel layouts and the same caps and field ranges,
// so a frame that a sender accepts is always one its receivers accept.
#ifndef QRV_MEDIA_FORMATS_H
#define QRV_MEDIA_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qrv::media {

// A pixel layout that the runtime carries.
struct PixelLayout {
    uint32_t fourcc;
    const char* name;     // the four characters, e.g. "UYVY"
    int bytes_per_pixel;  // of a packed line
    bool has_alpha;       // the fourth byte carries alpha (not padding)
    bool yuv422;          // packed 4:2:2: two pixels share their chroma
};

// The layout of a code, or null for one the runtime does not carry.
const PixelLayout* find_layout(uint32_t fourcc);

// Caps on what one frame may describe. Both sides check them before
// anything is allocated or read.
inline constexpr int32_t kMaxVideoDimension = 16384;
// Packed pixels of one frame: 16384 x 4096 BGRA, or 8K with room to spare.
inline constexpr uint64_t kMaxVideoBytes = 256ull << 20;
inline constexpr int32_t kMaxAudioChannels = 64;
inline constexpr int32_t kMaxAudioSamples = 1 << 20;
inline constexpr int32_t kMinSampleRate = 8000;
inline constexpr int32_t kMaxSampleRate = 768000;
// Samples of one frame as planar float.
inline constexpr uint64_t kMaxAudioBytes = 64ull << 20;
// Frame rates from one frame in 10 seconds to 1000 frames per second: a
// paced send never blocks its caller for longer than 10 seconds.
inline constexpr int64_t kMinFramesPerTenSeconds = 1;
inline constexpr int64_t kMaxFramesPerSecond = 1000;
// Frame formats: interleaved (0), progressive (1), field 0 (2), field 1 (3).
inline constexpr uint32_t kMaxFrameFormat = 3;

// The fields that describe a video frame, wherever it comes from.
struct VideoFormat {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    int32_t frame_rate_num = 0;
    int32_t frame_rate_den = 0;
    float aspect_ratio = 0.0f;  // 0: square pixels; otherwise width / height of the picture
    uint32_t frame_format = 1;
};

// Geometry of a valid video frame packed without line padding.
struct VideoGeometry {
    const PixelLayout* layout = nullptr;
    uint64_t line_bytes = 0;
    uint64_t frame_bytes = 0;  // line_bytes * height, within kMaxVideoBytes
};

// True for a frame rate num/den within the caps above.
bool frame_rate_ok(int32_t num, int32_t den);

// Nothing, with the reason in `why` when the caller asked for one.
template <class T>
std::optional<T> refused(std::string* why, std::string reason)
{
    if (why)
        *why = std::move(reason);
    return std::nullopt;
}

// The geometry of a well-formed video format, nothing otherwise: a known
// layout, dimensions within the caps (an even width for 4:2:2), a frame
// rate within its range, a known frame format, an aspect ratio that is 0 or
// positive and finite, and packed pixels within kMaxVideoBytes.
// `why`, when given, is set to the reason of a refusal.
std::optional<VideoGeometry> check_video(const VideoFormat& format, std::string* why = nullptr);

// The fields that describe an audio frame.
struct AudioFormat {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;  // per channel
};

// Bytes of the frame's samples as planar float, when the format is well
// formed: rate, channel and sample counts within the caps, at most 10
// seconds per frame (a paced send stays bounded), and the samples within
// kMaxAudioBytes.
std::optional<uint64_t> check_audio(const AudioFormat& format, std::string* why = nullptr);

}  // namespace qrv::media

#endif

// A compressed video frame: the picture cut into horizontal slices, each an
// independent baseline JPEG with 4:2:2 chroma, encoded and decoded in
// parallel; alpha, when the layout has it, travels apart: nothing for an
// opaque frame, one byte for a constant one, a zstd-compressed plane
// otherwise (exact). Every frame stands alone.
//
// Payload (little-endian):
//   u32 magic "QSJ1"
//   u8  alpha mode (0 none, 1 constant, 2 compressed plane)
//   u8  alpha value (mode 1)
//   u16 slice count (1 to kMaxSlices)
//   u32 bytes of the compressed alpha plane (mode 2, else 0)
//   u32 reserved (0)
//   slice table: per slice u32 rows, u32 bytes
//   the slices' JPEG streams, one after another, then the alpha plane
//
// Every slice but the last has a multiple of 8 rows; the rows add up to the
// frame's height. A decoder checks all of this, and each JPEG's own header
// (size, subsampling, colour space), against the frame's geometry before
// it decodes anything.
#ifndef QRV_MEDIA_JPEG_CODEC_H
#define QRV_MEDIA_JPEG_CODEC_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/thread_pool.h"
#include "media/convert.h"
#include "media/slice_plan.h"

namespace qrv::media {

inline constexpr uint32_t kSlicedJpegMagic = 0x314a5351u;  // "QSJ1" from the lowest byte up
inline constexpr size_t kSlicedJpegHeaderBytes = 16;
inline constexpr size_t kMaxSlices = 256;

enum class AlphaMode : uint8_t { none = 0, constant = 1, plane = 2 };

/// Whether frames of this layout can be compressed (UYVY, BGRA, BGRX,
/// RGBA, RGBX).
bool can_compress(uint32_t fourcc);

/// The largest payload a frame of this geometry may have: what a decoder
/// accepts, and beyond which an encoder gives up (the frame goes raw).
uint64_t max_compressed_bytes(int32_t width, int32_t height);

struct SliceEntry {
    uint32_t rows = 0;
    uint32_t bytes = 0;
    uint64_t offset = 0;  // of its JPEG stream within the payload
};

/// A payload's structure, checked against the frame's geometry.
struct SlicedLayout {
    AlphaMode alpha = AlphaMode::none;
    uint8_t alpha_value = 255;
    std::vector<SliceEntry> slices;
    uint64_t alpha_offset = 0;
    uint32_t alpha_bytes = 0;
};

/// Parses and checks a payload for a frame of this layout and size: the
/// table, the sizes adding up exactly, the alpha mode allowed by the layout.
/// Does not look into the JPEG streams. Nothing when anything is wrong.
std::optional<SlicedLayout> parse_sliced_jpeg(std::span<const uint8_t> payload, uint32_t fourcc, int32_t width,
                                              int32_t height);

/// Encodes a packed picture (stride = bytes between lines) at a JPEG
/// quality of 1 to 100 into a new payload, slices in parallel on the pool.
/// With `costs` (kept by the caller from one frame of a stream to the next)
/// the slices are cut where the previous frame's cost was even, and this
/// frame's costs are recorded into it; without, by rows alone. Thread-safe
/// (each call uses its own buffers and the pool's threads) as long as no
/// two calls share `costs`. Nothing when the layout cannot be compressed or
/// the library fails.
std::optional<std::vector<uint8_t>> encode_sliced_jpeg(const PictureView& picture, int quality, ThreadPool& pool,
                                                       SliceCosts* costs = nullptr);

/// Decodes a payload into packed pixels of the frame's own layout
/// (line_bytes between lines, at least a packed line). Every slice header
/// is checked before any slice is decoded; false for a payload that does
/// not hold up (dst may then be partly written). Thread-safe.
bool decode_sliced_jpeg(std::span<const uint8_t> payload, uint32_t fourcc, int32_t width, int32_t height,
                        uint8_t* dst, size_t line_bytes, ThreadPool& pool);

}  // namespace qrv::media

#endif

// Where the sliced JPEG encoder cuts a frame: slices short enough for one
// slice's planes to stay in a core's own cache while it is compressed,
// enough of them for the pool's threads to share the work evenly, and
// boundaries placed, a row of MCUs at a time, where the previous frame of
// the same geometry says each slice costs the same.
#ifndef QRV_MEDIA_SLICE_PLAN_H
#define QRV_MEDIA_SLICE_PLAN_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qrv::media {

/// Rows of one MCU row at 4:2:2: every slice but the last is a multiple.
inline constexpr uint32_t kSliceRowStep = 8;

/// What the last encoded frame of one geometry cost, row band by row band
/// (a band is kSliceRowStep rows), estimated from each slice's pixels and
/// compressed bytes. An encoder keeps one per stream of frames; not
/// thread-safe (one encoding call at a time uses it).
class SliceCosts {
public:
    /// Keeps the cost of a frame just encoded: rows[i] and bytes[i] of each
    /// slice, top to bottom. Slices that do not add up to the frame's height
    /// or break the band grid are ignored (the previous record is dropped).
    void record(uint32_t fourcc, int32_t width, int32_t height, std::span<const uint32_t> rows,
                std::span<const size_t> bytes);

    /// The cost of each band of a frame of this layout and size (relative
    /// units), or nothing when the last frame recorded was another.
    std::span<const double> bands(uint32_t fourcc, int32_t width, int32_t height) const;

private:
    uint32_t fourcc_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<double> bands_;
};

/// The rows of each slice of a frame encoded on `threads` threads, top to
/// bottom: at least one slice, at most kMaxSlices, every slice but the last
/// a multiple of kSliceRowStep rows, adding up to height. With costs of
/// the same geometry the boundaries split the recorded cost evenly; without,
/// the rows. height must be positive.
std::vector<uint32_t> plan_slices(uint32_t fourcc, int32_t width, int32_t height, size_t threads,
                                  const SliceCosts* costs);

}  // namespace qrv::media

#endif

#include "media/slice_plan.h"

#include <algorithm>

#include "media/jpeg_codec.h"

namespace qrv::media {

namespace {

// A slice is converted to three planes (2 bytes a pixel at 4:2:2) and then
// compressed; planes of up to this size stay in a core's own cache between
// the two. Longer slices send the planes through memory and, with two
// threads, have them compete for the shared cache: 3840x2160 frames in four
// slices of 4 MiB of planes took 5 to 10% more processor time than in
// sixteen (half this size made no further difference, and doubled the bytes
// spent on the streams' headers).
constexpr size_t kSlicePlaneBytes = 1024 * 1024;

// Below this a stream's own headers (some 600 bytes) start to show.
constexpr uint32_t kMinSliceRows = 64;

// Pieces per thread: the pool hands them out in turn, so the last one to
// finish leaves the other threads idle for at most a quarter of a share.
constexpr size_t kSlicesPerThread = 4;

// Encoding time of a slice: about 1.4 ns per pixel (conversion, transform,
// quantisation) and 4.3 ns per compressed byte (entropy coding), measured
// on flat and on noisy 3840x2160 frames; in units of a pixel.
constexpr double kByteCost = 3.0;

uint32_t bands_of(int32_t height)
{
    return (uint32_t(height) + kSliceRowStep - 1) / kSliceRowStep;
}

uint32_t rows_of_band(uint32_t band, int32_t height)
{
    return std::min(kSliceRowStep, uint32_t(height) - band * kSliceRowStep);
}

size_t slice_count(int32_t width, int32_t height, size_t threads)
{
    const size_t row_plane_bytes = size_t(width) * 2;
    const size_t cache_rows =
        std::max<size_t>(kMinSliceRows, kSlicePlaneBytes / row_plane_bytes / kSliceRowStep * kSliceRowStep);
    size_t count = (size_t(height) + cache_rows - 1) / cache_rows;
    if (threads > 1)
        count = std::max(count, threads * kSlicesPerThread);
    const size_t most = std::max<size_t>(1, size_t(height) / kMinSliceRows);
    return std::clamp<size_t>(count, 1, std::min<size_t>(most, kMaxSlices));
}

// Band boundaries that split the cumulative cost into `count` equal parts,
// each boundary on the band nearest its target, every slice at least one band.
std::vector<uint32_t> cut(std::span<const double> bands, size_t count, int32_t height)
{
    const uint32_t n_bands = uint32_t(bands.size());
    count = std::min<size_t>(count, n_bands);
    double total = 0;
    for (const double c : bands)
        total += c;
    std::vector<uint32_t> rows;
    rows.reserve(count);
    uint32_t band = 0, start = 0;
    double done = 0;  // cost of the bands before `band`
    for (size_t k = 1; k < count; ++k) {
        const double target = total * double(k) / double(count);
        const uint32_t last_allowed = n_bands - uint32_t(count - k);
        while (band < last_allowed && done + bands[band] / 2 < target)
            done += bands[band++];
        if (band <= start)  // at least one band each
            done += bands[band++];
        rows.push_back((band - start) * kSliceRowStep);
        start = band;
    }
    rows.push_back(uint32_t(height) - start * kSliceRowStep);
    return rows;
}

}  // namespace

void SliceCosts::record(uint32_t fourcc, int32_t width, int32_t height, std::span<const uint32_t> rows,
                        std::span<const size_t> bytes)
{
    bands_.clear();
    fourcc_ = fourcc;
    width_ = width;
    height_ = height;
    if (width <= 0 || height <= 0 || rows.empty() || rows.size() != bytes.size())
        return;
    std::vector<double> bands(bands_of(height));
    uint32_t at = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const bool last = i + 1 == rows.size();
        if (rows[i] == 0 || (!last && rows[i] % kSliceRowStep != 0) || rows[i] > uint32_t(height) - at)
            return;
        const double per_row = double(width) + kByteCost * double(bytes[i]) / double(rows[i]);
        for (uint32_t b = at / kSliceRowStep; b * kSliceRowStep < at + rows[i]; ++b)
            bands[b] = per_row * rows_of_band(b, height);
        at += rows[i];
    }
    if (at == uint32_t(height))
        bands_ = std::move(bands);
}

std::span<const double> SliceCosts::bands(uint32_t fourcc, int32_t width, int32_t height) const
{
    if (fourcc != fourcc_ || width != width_ || height != height_)
        return {};
    return bands_;
}

std::vector<uint32_t> plan_slices(uint32_t fourcc, int32_t width, int32_t height, size_t threads,
                                  const SliceCosts* costs)
{
    const size_t count = slice_count(width, height, threads);
    std::span<const double> known = costs ? costs->bands(fourcc, width, height) : std::span<const double>{};
    if (!known.empty())
        return cut(known, count, height);
    std::vector<double> even(bands_of(height));
    for (uint32_t b = 0; b < even.size(); ++b)
        even[b] = rows_of_band(b, height);
    return cut(even, count, height);
}

}  // namespace qrv::media

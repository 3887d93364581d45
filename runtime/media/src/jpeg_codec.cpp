#include "media/jpeg_codec.h"

#include <turbojpeg.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "libyuv/convert_from.h"
#include "libyuv/planar_functions.h"
#include "media/formats.h"
#include "media/slice_plan.h"
#include "qrvlib.h"

namespace qrv::media {

namespace {

// One compressor and one decompressor per thread, made on first use and
// destroyed with the thread.
struct TjHandle {
    tjhandle h = nullptr;
    ~TjHandle()
    {
        if (h)
            tjDestroy(h);
    }
};

tjhandle compressor()
{
    thread_local TjHandle handle;
    if (!handle.h)
        handle.h = tjInitCompress();
    return handle.h;
}

tjhandle decompressor()
{
    thread_local TjHandle handle;
    if (!handle.h)
        handle.h = tjInitDecompress();
    return handle.h;
}

// Planes of one slice of 4:2:2 pixels, reused by each thread.
struct Planes {
    std::vector<uint8_t> y, u, v;
    void fit(size_t width, size_t rows)
    {
        const size_t cw = (width + 1) / 2;
        if (y.size() < width * rows)
            y.resize(width * rows);
        if (u.size() < cw * rows) {
            u.resize(cw * rows);
            v.resize(cw * rows);
        }
    }
};

Planes& thread_planes()
{
    thread_local Planes planes;
    return planes;
}

// The compressed streams of a frame's slices, each in a region of the
// largest size its slice may need, one after another in one block kept by
// the encoding thread: grown, never shrunk, and not initialised (the
// library writes what is read), so its pages stay mapped between frames.
struct StreamBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;
    uint8_t* fit(size_t size)
    {
        if (capacity < size) {
            bytes.reset(new uint8_t[size]);
            capacity = size;
        }
        return bytes.get();
    }
};

StreamBuffer& thread_streams()
{
    thread_local StreamBuffer streams;
    return streams;
}

// TurboJPEG's layout of a packed RGB code; -1 for codes that are not RGB.
int tj_pixel_format(uint32_t fourcc)
{
    switch (fourcc) {
    case QRVlib_FourCC_type_BGRA:
        return TJPF_BGRA;
    case QRVlib_FourCC_type_BGRX:
        return TJPF_BGRX;
    case QRVlib_FourCC_type_RGBA:
        return TJPF_RGBA;
    case QRVlib_FourCC_type_RGBX:
        return TJPF_RGBX;
    default:
        return -1;
    }
}

bool is_uyvy(uint32_t fourcc)
{
    return fourcc == QRVlib_FourCC_type_UYVY;
}

bool has_alpha(uint32_t fourcc)
{
    const PixelLayout* l = find_layout(fourcc);
    return l && l->has_alpha;
}

uint32_t get_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_u32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

constexpr int kDecodeFlags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;

// Frames larger than 1920x1080 are decoded with the library's fast inverse
// DCT: about a seventh less decoding time, where decoding costs most, for a
// few tenths of a dB at the qualities such frames are sent at (85 or so
// under the bit-rate ceiling). Smaller frames keep the accurate one: at
// quality 95 the fast one costs up to 2.5 dB and saves little.
constexpr uint64_t kFastIdctAbovePixels = 1920 * 1080;

int decode_flags(int32_t width, int32_t height)
{
    return uint64_t(width) * uint64_t(height) > kFastIdctAbovePixels ? kDecodeFlags | TJFLAG_FASTDCT : kDecodeFlags;
}

}  // namespace

bool can_compress(uint32_t fourcc)
{
    return is_uyvy(fourcc) || tj_pixel_format(fourcc) >= 0;
}

uint64_t max_compressed_bytes(int32_t width, int32_t height)
{
    if (width <= 0 || height <= 0)
        return 0;
    // JPEG at the highest quality, over noise, stays well below this; the
    // alpha plane is bounded by its own size plus zstd's margin.
    const uint64_t pixels = uint64_t(width) * uint64_t(height);
    return kSlicedJpegHeaderBytes + kMaxSlices * 8 + pixels * 4 + ZSTD_compressBound(size_t(pixels)) + 64 * 1024;
}

std::optional<SlicedLayout> parse_sliced_jpeg(std::span<const uint8_t> payload, uint32_t fourcc, int32_t width,
                                              int32_t height)
{
    if (!can_compress(fourcc) || width <= 0 || height <= 0 || width > kMaxVideoDimension ||
        height > kMaxVideoDimension || payload.size() < kSlicedJpegHeaderBytes ||
        payload.size() > max_compressed_bytes(width, height))
        return std::nullopt;
    const uint8_t* p = payload.data();
    if (get_u32(p) != kSlicedJpegMagic)
        return std::nullopt;
    SlicedLayout out;
    const uint8_t mode = p[4];
    out.alpha_value = p[5];
    const size_t count = size_t(p[6]) | size_t(p[7]) << 8;
    out.alpha_bytes = get_u32(p + 8);
    if (get_u32(p + 12) != 0 || count == 0 || count > kMaxSlices || mode > 2)
        return std::nullopt;
    out.alpha = AlphaMode(mode);
    // Alpha only where the layout has it; a plane must have a size, and
    // only a plane has one.
    if (out.alpha != AlphaMode::none && !has_alpha(fourcc))
        return std::nullopt;
    if ((out.alpha == AlphaMode::plane) != (out.alpha_bytes != 0))
        return std::nullopt;
    const uint64_t table_end = kSlicedJpegHeaderBytes + uint64_t(count) * 8;
    if (payload.size() < table_end)
        return std::nullopt;
    uint64_t offset = table_end, rows_total = 0;
    out.slices.resize(count);
    for (size_t i = 0; i < count; ++i) {
        SliceEntry& s = out.slices[i];
        s.rows = get_u32(p + kSlicedJpegHeaderBytes + 8 * i);
        s.bytes = get_u32(p + kSlicedJpegHeaderBytes + 8 * i + 4);
        s.offset = offset;
        const bool last = i + 1 == count;
        if (s.rows == 0 || s.bytes == 0 || (!last && s.rows % 8 != 0))
            return std::nullopt;
        rows_total += s.rows;
        offset += s.bytes;
        if (rows_total > uint64_t(height) || offset > payload.size())
            return std::nullopt;
    }
    out.alpha_offset = offset;
    if (rows_total != uint64_t(height) || offset + out.alpha_bytes != payload.size())
        return std::nullopt;
    return out;
}

namespace {

// Alpha of a picture whose layout has it: absent (opaque), one value, or a
// plane extracted for zstd.
struct AlphaFound {
    AlphaMode mode = AlphaMode::none;
    uint8_t value = 255;
    std::unique_ptr<uint8_t[]> plane;  // left uninitialised: every byte is written
};

AlphaFound find_alpha(const PictureView& picture)
{
    AlphaFound found;
    // Both alpha layouts keep alpha in the fourth byte. Constant alpha (the
    // common case) is found without extracting a plane.
    const uint8_t first = picture.data[3];
    bool constant = true;
    for (int y = 0; constant && y < picture.height; ++y) {
        const uint8_t* line = picture.data + size_t(y) * picture.stride;
        uint8_t differs = 0;
        for (int x = 0; x < picture.width; ++x)
            differs |= uint8_t(line[size_t(x) * 4 + 3] ^ first);
        constant = differs == 0;
    }
    if (constant) {
        found.mode = first == 255 ? AlphaMode::none : AlphaMode::constant;
        found.value = first;
        return found;
    }
    found.mode = AlphaMode::plane;
    found.plane.reset(new uint8_t[size_t(picture.width) * size_t(picture.height)]);
    libyuv::ARGBExtractAlpha(picture.data, int(picture.stride), found.plane.get(), picture.width, picture.width,
                             picture.height);
    return found;
}

// Compresses `rows` lines from `src` into buf (of `capacity` bytes): the
// stream's size, or 0 when the library fails.
size_t encode_slice(const PictureView& picture, const uint8_t* src, int rows, int quality, uint8_t* buf,
                    unsigned long capacity)
{
    tjhandle tj = compressor();
    if (!tj)
        return 0;
    const int width = picture.width;
    unsigned long size = capacity;
    int r = -1;
    if (is_uyvy(picture.fourcc)) {
        Planes& planes = thread_planes();
        const int cw = (width + 1) / 2;
        planes.fit(size_t(width), size_t(rows));
        libyuv::UYVYToI422(src, int(picture.stride), planes.y.data(), width, planes.u.data(), cw, planes.v.data(),
                           cw, width, rows);
        const unsigned char* plane_ptrs[3] = {planes.y.data(), planes.u.data(), planes.v.data()};
        const int strides[3] = {width, cw, cw};
        r = tjCompressFromYUVPlanes(tj, plane_ptrs, width, strides, rows, TJSAMP_422, &buf, &size, quality,
                                    TJFLAG_NOREALLOC);
    } else {
        r = tjCompress2(tj, src, width, int(picture.stride), rows, tj_pixel_format(picture.fourcc), &buf, &size,
                        TJSAMP_422, quality, TJFLAG_NOREALLOC);
    }
    return r != 0 || size > UINT32_MAX ? 0 : size_t(size);
}

// Where each slice's stream is written: its own region of the worst-case
// size, all in one block of this thread's that is kept between frames.
struct StreamRegions {
    std::vector<size_t> starts;  // first row of each slice
    std::vector<unsigned long> capacities;
    std::vector<uint8_t*> streams;

    bool plan(const std::vector<uint32_t>& rows, int width)
    {
        const size_t count = rows.size();
        starts.resize(count);
        capacities.resize(count);
        streams.resize(count);
        size_t block = 0;
        for (size_t i = 0; i < count; ++i) {
            starts[i] = i ? starts[i - 1] + rows[i - 1] : 0;
            capacities[i] = tjBufSize(width, int(rows[i]), TJSAMP_422);
            if (capacities[i] == static_cast<unsigned long>(-1))
                return false;
            block += capacities[i];
        }
        uint8_t* region = thread_streams().fit(block);
        for (size_t i = 0; i < count; ++i) {
            streams[i] = region;
            region += capacities[i];
        }
        return true;
    }
};

// Header and table, then the streams and the alpha plane appended: every
// byte written once.
std::vector<uint8_t> assemble(const AlphaFound& alpha, const std::vector<uint32_t>& rows,
                              const std::vector<uint8_t*>& streams, const std::vector<size_t>& sizes,
                              const std::vector<uint8_t>& packed_alpha, uint64_t total)
{
    const size_t count = rows.size();
    std::vector<uint8_t> payload(kSlicedJpegHeaderBytes + 8 * count);
    payload.reserve(total);
    uint8_t* p = payload.data();
    put_u32(p, kSlicedJpegMagic);
    p[4] = uint8_t(alpha.mode);
    p[5] = alpha.mode == AlphaMode::constant ? alpha.value : 0;
    p[6] = uint8_t(count);
    p[7] = uint8_t(count >> 8);
    put_u32(p + 8, uint32_t(packed_alpha.size()));
    put_u32(p + 12, 0);
    for (size_t i = 0; i < count; ++i) {
        put_u32(p + kSlicedJpegHeaderBytes + 8 * i, rows[i]);
        put_u32(p + kSlicedJpegHeaderBytes + 8 * i + 4, uint32_t(sizes[i]));
    }
    for (size_t i = 0; i < count; ++i)
        payload.insert(payload.end(), streams[i], streams[i] + sizes[i]);
    payload.insert(payload.end(), packed_alpha.begin(), packed_alpha.end());
    return payload;
}

}  // namespace

std::optional<std::vector<uint8_t>> encode_sliced_jpeg(const PictureView& picture, int quality, ThreadPool& pool,
                                                       SliceCosts* costs)
{
    const PixelLayout* layout = find_layout(picture.fourcc);
    if (!layout || !can_compress(picture.fourcc) || picture.width <= 0 || picture.height <= 0 ||
        picture.width > kMaxVideoDimension || picture.height > kMaxVideoDimension ||
        picture.stride < size_t(picture.width) * size_t(layout->bytes_per_pixel) || !picture.data)
        return std::nullopt;
    quality = std::clamp(quality, 1, 100);
    const int width = picture.width;
    const std::vector<uint32_t> rows = plan_slices(picture.fourcc, width, picture.height, pool.size(), costs);
    const size_t count = rows.size();
    const AlphaFound alpha = layout->has_alpha ? find_alpha(picture) : AlphaFound{};

    StreamRegions regions;
    if (!regions.plan(rows, width))
        return std::nullopt;
    const std::vector<size_t>& starts = regions.starts;
    const std::vector<unsigned long>& capacities = regions.capacities;
    const std::vector<uint8_t*>& streams = regions.streams;
    std::vector<size_t> sizes(count);

    std::atomic<bool> failed{false};
    std::vector<uint8_t> packed_alpha;
    const size_t pixels = size_t(width) * size_t(picture.height);
    // The alpha plane is one more piece of work next to the slices.
    const size_t pieces = count + (alpha.mode == AlphaMode::plane ? 1 : 0);
    pool.run(pieces, [&](size_t i) {
        if (i == count) {
            packed_alpha.resize(ZSTD_compressBound(pixels));
            const size_t n = ZSTD_compress(packed_alpha.data(), packed_alpha.size(), alpha.plane.get(), pixels, 1);
            if (ZSTD_isError(n))
                failed = true;
            else
                packed_alpha.resize(n);
            return;
        }
        sizes[i] = encode_slice(picture, picture.data + starts[i] * picture.stride, int(rows[i]), quality,
                                streams[i], capacities[i]);
        if (sizes[i] == 0)
            failed = true;
    });
    if (failed)
        return std::nullopt;

    uint64_t total = kSlicedJpegHeaderBytes + 8 * count + packed_alpha.size();
    for (const size_t n : sizes)
        total += n;
    if (total > max_compressed_bytes(width, picture.height))
        return std::nullopt;
    if (costs)
        costs->record(picture.fourcc, width, picture.height, rows, sizes);
    return assemble(alpha, rows, streams, sizes, packed_alpha, total);
}

namespace {

// Every stream's own header must describe its slice exactly.
bool slice_headers_match(std::span<const uint8_t> payload, const SlicedLayout& layout, int32_t width)
{
    tjhandle tj = decompressor();
    if (!tj)
        return false;
    for (const SliceEntry& s : layout.slices) {
        int w = 0, h = 0, subsamp = -1, colorspace = -1;
        if (tjDecompressHeader3(tj, payload.data() + s.offset, s.bytes, &w, &h, &subsamp, &colorspace) != 0 ||
            w != width || h != int(s.rows) || subsamp != TJSAMP_422 || colorspace != TJCS_YCbCr)
            return false;
    }
    return true;
}

// The alpha plane, which must unpack to exactly one byte per pixel; false
// when it does not.
bool unpack_alpha(std::span<const uint8_t> payload, const SlicedLayout& layout, size_t plane_size,
                  std::unique_ptr<uint8_t[]>& plane)
{
    if (layout.alpha != AlphaMode::plane)
        return true;
    const uint8_t* a = payload.data() + layout.alpha_offset;
    const unsigned long long declared = ZSTD_getFrameContentSize(a, layout.alpha_bytes);
    if (declared != plane_size)
        return false;
    plane.reset(new uint8_t[plane_size]);
    const size_t n = ZSTD_decompress(plane.get(), plane_size, a, layout.alpha_bytes);
    return !ZSTD_isError(n) && n == plane_size;
}

// One slice's rows of 4:2:2 into packed UYVY, through planes of this thread.
bool decode_slice_uyvy(tjhandle d, std::span<const uint8_t> jpeg, int width, int rows, int flags, uint8_t* out,
                       size_t line_bytes)
{
    Planes& planes = thread_planes();
    const int cw = (width + 1) / 2;
    planes.fit(size_t(width), size_t(rows));
    unsigned char* plane_ptrs[3] = {planes.y.data(), planes.u.data(), planes.v.data()};
    int strides[3] = {width, cw, cw};
    if (tjDecompressToYUVPlanes(d, jpeg.data(), jpeg.size(), plane_ptrs, width, strides, rows, flags) != 0)
        return false;
    libyuv::I422ToUYVY(planes.y.data(), width, planes.u.data(), cw, planes.v.data(), cw, out, int(line_bytes),
                       width, rows);
    return true;
}

// Gives decoded four-byte pixels their alpha: one value, or the rows of
// the plane that belong to this slice.
void apply_alpha(const SlicedLayout& layout, const uint8_t* plane_rows, int width, int rows, uint8_t* out,
                 size_t line_bytes)
{
    switch (layout.alpha) {
    case AlphaMode::none:
        break;  // TurboJPEG writes 255 into the fourth byte
    case AlphaMode::constant: {
        // Whole pixels at a time: the alpha byte is the highest of a
        // little-endian word in both layouts.
        const uint32_t a = uint32_t(layout.alpha_value) << 24;
        for (int y = 0; y < rows; ++y) {
            uint8_t* line = out + size_t(y) * line_bytes;
            for (int x = 0; x < width; ++x) {
                uint32_t px;
                std::memcpy(&px, line + size_t(x) * 4, 4);
                px = (px & 0x00ffffffu) | a;
                std::memcpy(line + size_t(x) * 4, &px, 4);
            }
        }
        break;
    }
    case AlphaMode::plane:
        libyuv::ARGBCopyYToAlpha(plane_rows, width, out, int(line_bytes), width, rows);
        break;
    }
}

}  // namespace

bool decode_sliced_jpeg(std::span<const uint8_t> payload, uint32_t fourcc, int32_t width, int32_t height,
                        uint8_t* dst, size_t line_bytes, ThreadPool& pool)
{
    const auto layout = parse_sliced_jpeg(payload, fourcc, width, height);
    const PixelLayout* pixels = find_layout(fourcc);
    if (!layout || !pixels || !dst || line_bytes < size_t(width) * size_t(pixels->bytes_per_pixel))
        return false;
    std::unique_ptr<uint8_t[]> alpha_plane;
    if (!slice_headers_match(payload, *layout, width) ||
        !unpack_alpha(payload, *layout, size_t(width) * size_t(height), alpha_plane))
        return false;

    const size_t count = layout->slices.size();
    std::vector<size_t> starts(count);
    for (size_t i = 1; i < count; ++i)
        starts[i] = starts[i - 1] + layout->slices[i - 1].rows;
    std::atomic<bool> failed{false};
    const int flags = decode_flags(width, height);
    pool.run(count, [&](size_t i) {
        const SliceEntry& s = layout->slices[i];
        const int h = int(s.rows);
        uint8_t* out = dst + starts[i] * line_bytes;
        const auto jpeg = payload.subspan(s.offset, s.bytes);
        tjhandle d = decompressor();
        if (!d) {
            failed = true;
        } else if (is_uyvy(fourcc)) {
            if (!decode_slice_uyvy(d, jpeg, width, h, flags, out, line_bytes))
                failed = true;
        } else if (tjDecompress2(d, jpeg.data(), jpeg.size(), out, width, int(line_bytes), h,
                                 tj_pixel_format(fourcc), flags) != 0) {
            failed = true;
        } else {
            const uint8_t* plane_rows = alpha_plane ? alpha_plane.get() + starts[i] * size_t(width) : nullptr;
            apply_alpha(*layout, plane_rows, width, h, out, line_bytes);
        }
    });
    return !failed;
}

}  // namespace qrv::media

#include "media/convert.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "media/formats.h"
#include "qrvlib.h"

namespace qrv::media {

static_assert((uint32_t)ColorFormat::bgrx_bgra == QRVlib_recv_color_format_BGRX_BGRA);
static_assert((uint32_t)ColorFormat::uyvy_bgra == QRVlib_recv_color_format_UYVY_BGRA);
static_assert((uint32_t)ColorFormat::rgbx_rgba == QRVlib_recv_color_format_RGBX_RGBA);
static_assert((uint32_t)ColorFormat::uyvy_rgba == QRVlib_recv_color_format_UYVY_RGBA);
static_assert((uint32_t)ColorFormat::fastest == QRVlib_recv_color_format_fastest);

namespace {

bool red_first(uint32_t fourcc)
{
    return fourcc == QRVlib_FourCC_type_RGBA || fourcc == QRVlib_FourCC_type_RGBX;
}

// The matrices in fixed point with 16 fractional bits, derived from the
// BT.709 luma weights and the studio range's 219 steps of luma and 224 of
// chroma. The YUV to RGB matrix is our own rather than libyuv's: the
// latter's 8-bit BT.709 path holds the blue coefficient to 2.0 instead of
// 2.112, which is up to 13 levels off in saturated blues.
constexpr double kKr = 0.2126, kKb = 0.0722, kKg = 1.0 - kKr - kKb;
constexpr double kLumaSteps = 219.0, kChromaSteps = 224.0;
constexpr int kBits = 16;
constexpr int32_t kHalf = 1 << (kBits - 1);

constexpr int32_t fixed_point(double v)
{
    return (int32_t)(v * (1 << kBits) + (v < 0 ? -0.5 : 0.5));
}

// Y'CbCr to RGB.
constexpr double kChromaToRgb = 255.0 / kChromaSteps;
constexpr int32_t kYToRgb = fixed_point(255.0 / kLumaSteps);
constexpr int32_t kCrToR = fixed_point(kChromaToRgb * 2 * (1 - kKr));
constexpr int32_t kCbToB = fixed_point(kChromaToRgb * 2 * (1 - kKb));
constexpr int32_t kCbToG = fixed_point(kChromaToRgb * 2 * (1 - kKb) * kKb / kKg);
constexpr int32_t kCrToG = fixed_point(kChromaToRgb * 2 * (1 - kKr) * kKr / kKg);

// RGB to Y'CbCr.
constexpr double kToLuma = kLumaSteps / 255.0;
constexpr double kToCb = kChromaSteps / 255.0 / (2 * (1 - kKb));
constexpr double kToCr = kChromaSteps / 255.0 / (2 * (1 - kKr));
constexpr int32_t kRToY = fixed_point(kToLuma * kKr);
constexpr int32_t kGToY = fixed_point(kToLuma * kKg);
constexpr int32_t kBToY = fixed_point(kToLuma * kKb);
constexpr int32_t kRToCb = fixed_point(-kToCb * kKr);
constexpr int32_t kGToCb = fixed_point(-kToCb * kKg);
constexpr int32_t kBToCb = fixed_point(kToCb * (1 - kKb));
constexpr int32_t kRToCr = fixed_point(kToCr * (1 - kKr));
constexpr int32_t kGToCr = fixed_point(-kToCr * kKg);
constexpr int32_t kBToCr = fixed_point(-kToCr * kKb);

inline uint8_t clamp_byte(int32_t v)
{
    return (uint8_t)std::clamp(v, 0, 255);
}

// Working lines of one conversion: the picture's line split into planes,
// so that the arithmetic runs over plain arrays.
struct Lines {
    explicit Lines(int width)
        : y(width), u(width / 2), v(width / 2), cb(width), cr(width), r(width), g(width), b(width)
    {
    }
    std::vector<uint8_t> y, u, v;  // 4:2:2
    std::vector<uint8_t> cb, cr;   // chroma of every pixel
    std::vector<uint8_t> r, g, b;
};

// One line of UYVY to 4-byte RGB (opaque). The first pixel of a pair takes
// the pair's chroma, the second the mean of its pair's and the next pair's
// (the last pair's alone at the end of the line).
void uyvy_line_to_rgb(const uint8_t* src, int width, uint8_t* dst, bool red_first, Lines& l)
{
    const int pairs = width / 2;
    libyuv::UYVYToI422(src, width * 2, l.y.data(), width, l.u.data(), pairs, l.v.data(), pairs, width, 1);
    for (int i = 0; i < pairs; ++i) {
        const int next = i + 1 < pairs ? i + 1 : i;
        l.cb[2 * i] = l.u[i];
        l.cr[2 * i] = l.v[i];
        l.cb[2 * i + 1] = (uint8_t)((l.u[i] + l.u[next] + 1) >> 1);
        l.cr[2 * i + 1] = (uint8_t)((l.v[i] + l.v[next] + 1) >> 1);
    }
    // Distinct arrays: nothing for the compiler to guard against.
    const uint8_t* __restrict y = l.y.data();
    const uint8_t* __restrict cb = l.cb.data();
    const uint8_t* __restrict cr = l.cr.data();
    uint8_t* __restrict r = l.r.data();
    uint8_t* __restrict g = l.g.data();
    uint8_t* __restrict b = l.b.data();
    for (int x = 0; x < width; ++x) {
        const int32_t luma = (y[x] - 16) * kYToRgb + kHalf;
        const int32_t pb = cb[x] - 128, pr = cr[x] - 128;
        r[x] = clamp_byte((luma + kCrToR * pr) >> kBits);
        g[x] = clamp_byte((luma - kCbToG * pb - kCrToG * pr) >> kBits);
        b[x] = clamp_byte((luma + kCbToB * pb) >> kBits);
    }
    // libyuv's ARGB is B, G, R, A in memory: red first is the mirror.
    const uint8_t* first = red_first ? l.r.data() : l.b.data();
    const uint8_t* third = red_first ? l.b.data() : l.r.data();
    libyuv::MergeARGBPlane(third, width, l.g.data(), width, first, width, nullptr, 0, dst, width * 4, width, 1);
}

// One line of 4-byte RGB to UYVY; a pair's chroma is that of the mean of
// its two pixels. Alpha is dropped.
void rgb_line_to_uyvy(const uint8_t* src, int width, uint8_t* dst, bool red_first, Lines& l)
{
    uint8_t* first = red_first ? l.r.data() : l.b.data();
    uint8_t* third = red_first ? l.b.data() : l.r.data();
    libyuv::SplitARGBPlane(src, width * 4, third, width, l.g.data(), width, first, width, nullptr, 0, width, 1);
    constexpr int32_t kLumaOffset = (16 << kBits) + kHalf;
    constexpr int32_t kChromaOffset = (128 << (kBits + 1)) + (1 << kBits);
    const uint8_t* __restrict r = l.r.data();
    const uint8_t* __restrict g = l.g.data();
    const uint8_t* __restrict b = l.b.data();
    uint8_t* __restrict y = l.y.data();
    uint8_t* __restrict u = l.u.data();
    uint8_t* __restrict v = l.v.data();
    for (int x = 0; x < width; ++x)
        y[x] = clamp_byte((kRToY * r[x] + kGToY * g[x] + kBToY * b[x] + kLumaOffset) >> kBits);
    for (int i = 0; i < width / 2; ++i) {
        const int32_t rs = r[2 * i] + r[2 * i + 1];
        const int32_t gs = g[2 * i] + g[2 * i + 1];
        const int32_t bs = b[2 * i] + b[2 * i + 1];
        u[i] = clamp_byte((kRToCb * rs + kGToCb * gs + kBToCb * bs + kChromaOffset) >> (kBits + 1));
        v[i] = clamp_byte((kRToCr * rs + kGToCr * gs + kBToCr * bs + kChromaOffset) >> (kBits + 1));
    }
    libyuv::I422ToUYVY(l.y.data(), width, l.u.data(), width / 2, l.v.data(), width / 2, dst, width * 2, width, 1);
}

void copy_lines(const PictureView& src, size_t line_bytes, uint8_t* dst, size_t dst_stride)
{
    for (int32_t row = 0; row < src.height; ++row)
        std::memcpy(dst + (size_t)row * dst_stride, src.data + (size_t)row * src.stride, line_bytes);
}

}  // namespace

uint32_t delivered_layout(ColorFormat wish, uint32_t fourcc)
{
    const PixelLayout* layout = find_layout(fourcc);
    if (!layout)
        return fourcc;
    const bool alpha = layout->has_alpha;
    switch (wish) {
    case ColorFormat::fastest:
        return fourcc;
    case ColorFormat::bgrx_bgra:
        return alpha ? QRVlib_FourCC_type_BGRA : QRVlib_FourCC_type_BGRX;
    case ColorFormat::rgbx_rgba:
        return alpha ? QRVlib_FourCC_type_RGBA : QRVlib_FourCC_type_RGBX;
    case ColorFormat::uyvy_rgba:
        return alpha ? QRVlib_FourCC_type_RGBA : QRVlib_FourCC_type_UYVY;
    case ColorFormat::uyvy_bgra:
        break;
    }
    return alpha ? QRVlib_FourCC_type_BGRA : QRVlib_FourCC_type_UYVY;
}

bool convert_picture(const PictureView& src, uint32_t dst_fourcc, uint8_t* dst, size_t dst_stride)
{
    const PixelLayout* from = find_layout(src.fourcc);
    const PixelLayout* to = find_layout(dst_fourcc);
    if (!from || !to || !src.data || !dst || src.width <= 0 || src.height <= 0)
        return false;
    if ((from->yuv422 || to->yuv422) && (src.width & 1))
        return false;
    const size_t src_line = (size_t)src.width * from->bytes_per_pixel;
    const size_t dst_line = (size_t)src.width * to->bytes_per_pixel;
    if (src.stride < src_line || dst_stride < dst_line || src.stride > INT_MAX || dst_stride > INT_MAX)
        return false;
    const int w = src.width, h = src.height;

    if (from->yuv422 && to->yuv422) {
        copy_lines(src, src_line, dst, dst_stride);
        return true;
    }
    if (from->yuv422 || to->yuv422) {
        Lines lines(w);
        for (int row = 0; row < h; ++row) {
            const uint8_t* in = src.data + (size_t)row * src.stride;
            uint8_t* out = dst + (size_t)row * dst_stride;
            if (from->yuv422)
                uyvy_line_to_rgb(in, w, out, red_first(dst_fourcc), lines);
            else
                rgb_line_to_uyvy(in, w, out, red_first(src.fourcc), lines);
        }
        return true;
    }
    // Four bytes to four: the same shuffle swaps red and blue either way.
    if (red_first(src.fourcc) != red_first(dst_fourcc))
        libyuv::ARGBToABGR(src.data, (int)src.stride, dst, (int)dst_stride, w, h);
    else
        copy_lines(src, src_line, dst, dst_stride);
    if (!from->has_alpha && to->has_alpha) {
        for (int row = 0; row < h; ++row) {
            uint8_t* out = dst + (size_t)row * dst_stride;
            for (int x = 0; x < w; ++x)
                out[4 * x + 3] = 255;
        }
    }
    return true;
}

PictureSize preview_size(uint32_t fourcc, int32_t width, int32_t height)
{
    const PixelLayout* layout = find_layout(fourcc);
    PictureSize s{std::max(width / 4, 1), std::max(height / 4, 1)};
    if (layout && layout->yuv422)
        s.width = std::max(s.width & ~1, 2);
    return s;
}

bool Scaler::scale(const PictureView& src, PictureSize to, uint8_t* dst, size_t dst_stride)
{
    const PixelLayout* layout = find_layout(src.fourcc);
    if (!layout || !src.data || !dst || src.width <= 0 || src.height <= 0 || to.width <= 0 || to.height <= 0)
        return false;
    if (layout->yuv422 && ((src.width & 1) || (to.width & 1)))
        return false;
    const size_t bpp = (size_t)layout->bytes_per_pixel;
    if (src.stride < (size_t)src.width * bpp || dst_stride < (size_t)to.width * bpp || src.stride > INT_MAX ||
        dst_stride > INT_MAX)
        return false;
    if (!layout->yuv422) {
        // Each byte of a 4-byte pixel is scaled on its own, whatever it is.
        return libyuv::ARGBScale(src.data, (int)src.stride, src.width, src.height, dst, (int)dst_stride, to.width,
                                 to.height, libyuv::kFilterBox) == 0;
    }
    // 4:2:2 is unpacked into planes, scaled, and packed again.
    const size_t big = (size_t)src.width * src.height, small = (size_t)to.width * to.height;
    planes_.resize(2 * big + 2 * small);
    uint8_t* y = planes_.data();
    uint8_t* u = y + big;
    uint8_t* v = u + big / 2;
    uint8_t* sy = v + big / 2;
    uint8_t* su = sy + small;
    uint8_t* sv = su + small / 2;
    const int half = src.width / 2, small_half = to.width / 2;
    return libyuv::UYVYToI422(src.data, (int)src.stride, y, src.width, u, half, v, half, src.width, src.height) ==
               0 &&
           libyuv::I422Scale(y, src.width, u, half, v, half, src.width, src.height, sy, to.width, su, small_half, sv,
                             small_half, to.width, to.height, libyuv::kFilterBox) == 0 &&
           libyuv::I422ToUYVY(sy, to.width, su, small_half, sv, small_half, dst, (int)dst_stride, to.width,
                              to.height) == 0;
}

}  // namespace qrv::media

// Pixel conversions and preview scaling of the media layer, against BT.709
// computed here per pixel in double precision from the standard's luma
// weights, not from the runtime's fixed-point matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "media/convert.h"
#include "qrvlib.h"

using namespace qrv::media;

namespace {

constexpr double Kr = 0.2126, Kb = 0.0722, Kg = 1.0 - Kr - Kb;

int to_byte(double v)
{
    return (int)std::lround(std::clamp(v, 0.0, 255.0));
}

// Studio-range Y'CbCr to full-range RGB.
void ref_rgb(double y, double cb, double cr, int rgb[3])
{
    const double ey = (y - 16.0) / 219.0, pb = (cb - 128.0) / 224.0, pr = (cr - 128.0) / 224.0;
    const double r = ey + 2.0 * (1.0 - Kr) * pr;
    const double b = ey + 2.0 * (1.0 - Kb) * pb;
    const double g = (ey - Kr * r - Kb * b) / Kg;
    rgb[0] = to_byte(255.0 * r);
    rgb[1] = to_byte(255.0 * g);
    rgb[2] = to_byte(255.0 * b);
}

struct Ycc {
    double y, cb, cr;
};

// Full-range RGB to studio-range Y'CbCr, unrounded.
Ycc ref_ycc(int r, int g, int b)
{
    const double er = r / 255.0, eg = g / 255.0, eb = b / 255.0;
    const double ey = Kr * er + Kg * eg + Kb * eb;
    return {16.0 + 219.0 * ey, 128.0 + 224.0 * (eb - ey) / (2.0 * (1.0 - Kb)),
            128.0 + 224.0 * (er - ey) / (2.0 * (1.0 - Kr))};
}

std::vector<uint8_t> noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = (uint8_t)(seed >> 24);
    }
    return v;
}

// Byte positions of R, G, B in a 4-byte layout.
struct Order {
    int r, g, b;
};
Order order_of(uint32_t fourcc)
{
    return fourcc == QRVlib_FourCC_type_RGBA || fourcc == QRVlib_FourCC_type_RGBX ? Order{0, 1, 2} : Order{2, 1, 0};
}

TEST(Convert, UyvyToRgbFollowsBt709WithInterpolatedChroma)
{
    // Random bytes (colours well outside the legal range included), one
    // line with the extremes, and lines padded beyond the width.
    const int w = 38, h = 5;
    const size_t stride = w * 2 + 6;
    auto src = noise(stride * h, 7);
    const uint8_t extremes[] = {0, 0, 255, 255, 255, 16, 0, 235, 240, 235, 16, 16, 128, 128, 128, 128};
    std::copy(std::begin(extremes), std::end(extremes), src.begin());
    for (uint32_t to : {QRVlib_FourCC_type_BGRX, QRVlib_FourCC_type_RGBX, QRVlib_FourCC_type_BGRA,
                        QRVlib_FourCC_type_RGBA}) {
        const size_t dst_stride = w * 4 + 8;
        std::vector<uint8_t> dst(dst_stride * h, 0x5A);
        ASSERT_TRUE(convert_picture({QRVlib_FourCC_type_UYVY, w, h, src.data(), stride}, to, dst.data(), dst_stride));
        const Order o = order_of(to);
        int worst = 0;
        for (int row = 0; row < h; ++row) {
            const uint8_t* line = &src[row * stride];
            for (int x = 0; x < w; ++x) {
                const int pair = x / 2, next = std::min(pair + 1, w / 2 - 1);
                // Chroma is sited on the even pixel; the odd one lies
                // halfway to the next pair's.
                double cb = line[4 * pair], cr = line[4 * pair + 2];
                if (x & 1) {
                    cb = (cb + line[4 * next]) / 2.0;
                    cr = (cr + line[4 * next + 2]) / 2.0;
                }
                int rgb[3];
                ref_rgb(line[4 * pair + 1 + 2 * (x & 1)], cb, cr, rgb);
                const uint8_t* p = &dst[row * dst_stride + 4 * x];
                worst = std::max({worst, std::abs(p[o.r] - rgb[0]), std::abs(p[o.g] - rgb[1]),
                                  std::abs(p[o.b] - rgb[2])});
                EXPECT_EQ(p[3], 255) << "opaque";
            }
            EXPECT_EQ(dst[row * dst_stride + w * 4], 0x5A) << "nothing written beyond the line";
        }
        EXPECT_LE(worst, 2) << std::hex << to;
    }
}

TEST(Convert, RgbToUyvyAveragesThePairsChroma)
{
    const int w = 40, h = 4;
    for (uint32_t from : {QRVlib_FourCC_type_BGRA, QRVlib_FourCC_type_BGRX, QRVlib_FourCC_type_RGBA,
                          QRVlib_FourCC_type_RGBX}) {
        auto src = noise((size_t)w * 4 * h, 99);
        // Primaries, white and black, side by side and in pairs.
        const uint8_t edge[] = {255, 0, 0, 9, 0, 255, 0, 9, 0, 0, 255, 9, 255, 255, 255, 9, 0, 0, 0, 9, 0, 0, 0, 9};
        std::copy(std::begin(edge), std::end(edge), src.begin());
        std::vector<uint8_t> dst((size_t)w * 2 * h);
        ASSERT_TRUE(convert_picture({from, w, h, src.data(), (size_t)w * 4}, QRVlib_FourCC_type_UYVY, dst.data(),
                                    (size_t)w * 2));
        const Order o = order_of(from);
        for (int row = 0; row < h; ++row)
            for (int x = 0; x < w; x += 2) {
                const uint8_t* p0 = &src[(row * w + x) * 4];
                const uint8_t* p1 = p0 + 4;
                const Ycc a = ref_ycc(p0[o.r], p0[o.g], p0[o.b]);
                const Ycc b = ref_ycc(p1[o.r], p1[o.g], p1[o.b]);
                const uint8_t* q = &dst[(row * w + x) * 2];
                EXPECT_NEAR(q[0], (a.cb + b.cb) / 2.0, 1.0) << x;
                EXPECT_NEAR(q[1], a.y, 1.0) << x;
                EXPECT_NEAR(q[2], (a.cr + b.cr) / 2.0, 1.0) << x;
                EXPECT_NEAR(q[3], b.y, 1.0) << x;
            }
    }
}

TEST(Convert, FourByteLayoutsSwapColoursAndCarryAlpha)
{
    const int w = 7, h = 3;  // odd widths are fine without 4:2:2
    auto src = noise((size_t)w * 4 * h, 3);
    std::vector<uint8_t> rgba((size_t)w * 4 * h), back((size_t)w * 4 * h);
    ASSERT_TRUE(convert_picture({QRVlib_FourCC_type_BGRA, w, h, src.data(), (size_t)w * 4}, QRVlib_FourCC_type_RGBA,
                                rgba.data(), (size_t)w * 4));
    for (size_t i = 0; i < src.size(); i += 4) {
        EXPECT_EQ(rgba[i], src[i + 2]);
        EXPECT_EQ(rgba[i + 1], src[i + 1]);
        EXPECT_EQ(rgba[i + 2], src[i]);
        EXPECT_EQ(rgba[i + 3], src[i + 3]) << "alpha carried";
    }
    ASSERT_TRUE(convert_picture({QRVlib_FourCC_type_RGBA, w, h, rgba.data(), (size_t)w * 4}, QRVlib_FourCC_type_BGRA,
                                back.data(), (size_t)w * 4));
    EXPECT_EQ(back, src);
    // Gaining alpha makes the picture opaque.
    ASSERT_TRUE(convert_picture({QRVlib_FourCC_type_RGBX, w, h, rgba.data(), (size_t)w * 4}, QRVlib_FourCC_type_BGRA,
                                back.data(), (size_t)w * 4));
    for (size_t i = 3; i < back.size(); i += 4)
        EXPECT_EQ(back[i], 255);
}

TEST(Convert, GeometryTheLayoutsCannotHoldIsRefusedAndPreviewsKeepItValid)
{
    std::vector<uint8_t> src(64, 0), dst(256, 0xEE);
    EXPECT_FALSE(convert_picture({QRVlib_FourCC_type_UYVY, 3, 1, src.data(), 8}, QRVlib_FourCC_type_BGRA, dst.data(),
                                 64));  // odd width in 4:2:2
    EXPECT_FALSE(convert_picture({QRVlib_FourCC_type_BGRA, 4, 2, src.data(), 12}, QRVlib_FourCC_type_RGBA, dst.data(),
                                 64));  // stride shorter than a line
    EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](uint8_t b) { return b == 0xEE; }));
    // A quarter of each dimension, at least one pixel, an even width for 4:2:2.
    const auto hd = preview_size(QRVlib_FourCC_type_BGRA, 1920, 1080);
    const auto odd = preview_size(QRVlib_FourCC_type_UYVY, 44, 3);
    const auto tiny = preview_size(QRVlib_FourCC_type_UYVY, 2, 2);
    EXPECT_EQ(std::make_pair(hd.width, hd.height), std::make_pair(480, 270));
    EXPECT_EQ(std::make_pair(odd.width, odd.height), std::make_pair(10, 1));
    EXPECT_EQ(std::make_pair(tiny.width, tiny.height), std::make_pair(2, 1));
}

}  // namespace

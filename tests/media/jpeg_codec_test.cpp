// The sliced JPEG codec: round trips at awkward sizes with quality measured
// as PSNR on a photograph-like picture, exact flat frames and alpha, and
// payloads that do not match their frame refused before decoding.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/thread_pool.h"
#include "media/jpeg_codec.h"
#include "qrvlib.h"

using namespace qrv;
using namespace qrv::media;

namespace {

struct Picture {
    uint32_t fourcc;
    int width, height, bpp;
    std::vector<uint8_t> bytes;
    PictureView view() const { return {fourcc, width, height, bytes.data(), size_t(width) * size_t(bpp)}; }
};

uint32_t lcg(uint32_t& s)
{
    s = s * 1664525u + 1013904223u;
    return s >> 24;
}

// Smooth gradients, a few hard edges and light sensor-like noise.
uint8_t scene(int x, int y, int w, int channel, uint32_t& seed)
{
    double v = 40.0 + 150.0 * (double(x) / w) * (0.5 + 0.5 * std::sin(y * 0.02 + channel));
    if ((x / 97 + y / 61) % 5 == 0)
        v = 220.0 - channel * 30.0;  // blocks with sharp edges
    v += 30.0 * std::sin(x * 0.05 + y * 0.03 * (channel + 1));
    v += double(lcg(seed) % 7) - 3.0;
    return uint8_t(std::clamp(v, 0.0, 255.0));
}

Picture photo(uint32_t fourcc, int w, int h)
{
    const bool uyvy = fourcc == QRVlib_FourCC_type_UYVY;
    Picture p{fourcc, w, h, uyvy ? 2 : 4, {}};
    p.bytes.resize(size_t(w) * h * p.bpp);
    uint32_t seed = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = &p.bytes[(size_t(y) * w + x) * p.bpp];
            if (uyvy) {
                px[1] = uint8_t(16 + scene(x, y, w, 0, seed) * 219 / 255);              // Y
                px[0] = uint8_t(16 + scene(x & ~1, y, w, (x & 1) + 1, seed) * 224 / 255);  // U or V
            } else {
                for (int c = 0; c < 3; ++c)
                    px[c] = scene(x, y, w, c, seed);
                px[3] = 255;
            }
        }
    return p;
}

// PSNR over the bytes at offsets first, first + step, ... of two buffers.
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t first, size_t step)
{
    double sum = 0;
    size_t n = 0;
    for (size_t i = first; i < a.size(); i += step, ++n)
        sum += double(int(a[i]) - int(b[i])) * double(int(a[i]) - int(b[i]));
    if (sum == 0)
        return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

std::vector<uint8_t> round_trip(const Picture& p, ThreadPool& pool, int quality = 95)
{
    auto payload = encode_sliced_jpeg(p.view(), quality, pool);
    EXPECT_TRUE(payload);
    if (!payload)
        return {};
    std::vector<uint8_t> out(p.bytes.size(), 0x5a);
    EXPECT_TRUE(decode_sliced_jpeg(*payload, p.fourcc, p.width, p.height, out.data(), size_t(p.width) * p.bpp, pool));
    return out;
}

}  // namespace

TEST(ThreadPool, RunsEveryPieceOnceAndOneJobAtATime)
{
    ThreadPool pool(3);
    EXPECT_EQ(pool.size(), 3u);
    std::vector<std::atomic<int>> hits(1000);
    for (int round = 0; round < 50; ++round)
        pool.run(hits.size(), [&](size_t i) { ++hits[i]; });
    for (auto& h : hits)
        EXPECT_EQ(h.load(), 50);
    // Two callers at once: each job still completes in full.
    std::atomic<int> total{0};
    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            pool.run(10, [&](size_t) { ++total; });
    });
    for (int i = 0; i < 100; ++i)
        pool.run(10, [&](size_t) { ++total; });
    other.join();
    EXPECT_EQ(total.load(), 2000);
}

TEST(SlicedJpeg, RoundTripsAtAwkwardSizesWithinPsnrThresholds)
{
    ThreadPool pool(2);
    struct Size {
        int w, h;
    };
    // Odd multiples of the MCU, tiny, the widest frame allowed, and a frame
    // large enough for the fast inverse DCT; a larger frame after smaller
    // ones and smaller ones after it reuse the encoder's buffers.
    for (Size s : {Size{1920, 1080}, Size{1918, 1083}, Size{3840, 2160}, Size{2, 2}, Size{16384, 24}, Size{34, 9}}) {
        for (uint32_t fourcc : {QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_BGRA, QRVlib_FourCC_type_RGBX}) {
            SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " fourcc " << std::hex << fourcc);
            const Picture p = photo(fourcc, s.w, s.h);
            const auto out = round_trip(p, pool);
            ASSERT_EQ(out.size(), p.bytes.size());
            if (s.w * s.h < 64)
                continue;  // too few pixels for a meaningful PSNR
            if (fourcc == QRVlib_FourCC_type_UYVY) {
                EXPECT_GE(psnr(p.bytes, out, 1, 2), 40.0);  // luma
                EXPECT_GE(psnr(p.bytes, out, 0, 2), 38.0);  // chroma
            } else {
                for (size_t c = 0; c < 3; ++c)
                    EXPECT_GE(psnr(p.bytes, out, c, 4), 36.0);
                for (size_t i = 3; i < out.size(); i += 4)
                    ASSERT_EQ(out[i], 255);
            }
        }
    }
}

TEST(SlicedJpeg, FlatFramesAreExact)
{
    ThreadPool pool(2);
    // Full-range black and white saturate: exact at any quality. Studio
    // range levels are exact at the default quality.
    for (int quality : {95, 50}) {
        // Both inverse DCTs: the accurate one up to 1920x1080, the fast one above.
        for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{1922, 1080}})
            for (uint8_t level : {uint8_t(0), uint8_t(255)}) {
                Picture bgra{QRVlib_FourCC_type_BGRA, w, h, 4, std::vector<uint8_t>(size_t(w) * h * 4, level)};
                for (size_t i = 3; i < bgra.bytes.size(); i += 4)
                    bgra.bytes[i] = 255;
                EXPECT_EQ(round_trip(bgra, pool, quality), bgra.bytes)
                    << int(level) << " at " << quality << ", " << w << "x" << h;
            }
        if (quality != 95)
            continue;
        for (uint8_t luma : {uint8_t(16), uint8_t(235)}) {
            Picture uyvy{QRVlib_FourCC_type_UYVY, 1280, 720, 2, {}};
            for (int i = 0; i < 1280 * 720; ++i) {
                uyvy.bytes.push_back(128);
                uyvy.bytes.push_back(luma);
            }
            EXPECT_EQ(round_trip(uyvy, pool, quality), uyvy.bytes) << int(luma) << " at " << quality;
        }
    }
}

TEST(SlicedJpeg, AlphaArrivesExactlyAndCostsLittleWhenConstant)
{
    ThreadPool pool(2);
    Picture p = photo(QRVlib_FourCC_type_RGBA, 641, 359);
    const auto opaque = encode_sliced_jpeg(p.view(), 95, pool);
    // A varying alpha plane: a ramp with a hard-edged hole.
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            p.bytes[(size_t(y) * p.width + x) * 4 + 3] = (x > 100 && x < 200) ? 0 : uint8_t(x + y);
    std::vector<uint8_t> out = round_trip(p, pool);
    for (size_t i = 3; i < out.size(); i += 4)
        ASSERT_EQ(out[i], p.bytes[i]) << i;
    // Constant alpha other than opaque: a byte in the header, no plane.
    for (size_t i = 3; i < p.bytes.size(); i += 4)
        p.bytes[i] = 77;
    const auto constant = encode_sliced_jpeg(p.view(), 95, pool);
    ASSERT_TRUE(constant && opaque);
    EXPECT_EQ(constant->size(), opaque->size());
    out = round_trip(p, pool);
    for (size_t i = 3; i < out.size(); i += 4)
        ASSERT_EQ(out[i], 77);
}

TEST(SlicedJpeg, PayloadsThatDoNotFitTheirFrameAreRefused)
{
    ThreadPool pool(2);
    const Picture p = photo(QRVlib_FourCC_type_UYVY, 640, 480);
    auto payload = encode_sliced_jpeg(p.view(), 90, pool);
    ASSERT_TRUE(payload);
    std::vector<uint8_t> out(size_t(640) * 488 * 4);
    auto decodes = [&](const std::vector<uint8_t>& bytes, uint32_t fourcc, int w, int h) {
        return decode_sliced_jpeg(bytes, fourcc, w, h, out.data(), size_t(w) * 4, pool);
    };
    ASSERT_TRUE(decodes(*payload, p.fourcc, 640, 480));
    // Another geometry than the frame's: each slice's JPEG header disagrees.
    EXPECT_FALSE(decodes(*payload, p.fourcc, 320, 480));
    EXPECT_FALSE(decodes(*payload, p.fourcc, 640, 472));
    // Another layout and a row more: the table no longer adds up.
    EXPECT_FALSE(decodes(*payload, QRVlib_FourCC_type_BGRA, 640, 481));
    // Truncated anywhere, or a byte longer.
    for (size_t cut : {size_t(3), size_t(16), payload->size() / 2, payload->size() - 1}) {
        std::vector<uint8_t> bad(payload->begin(), payload->begin() + cut);
        EXPECT_FALSE(decodes(bad, p.fourcc, 640, 480)) << cut;
    }
    auto longer = *payload;
    longer.push_back(0);
    EXPECT_FALSE(decodes(longer, p.fourcc, 640, 480));
    // Table entries: rows that are not a multiple of 8 in a middle slice,
    // rows that do not add up, a huge byte count, an alpha plane for UYVY.
    const size_t slices = size_t((*payload)[6]);
    ASSERT_GE(slices, 2u);
    auto edited = [&](size_t at, uint32_t v) {
        auto b = *payload;
        std::memcpy(&b[at], &v, 4);
        return b;
    };
    EXPECT_FALSE(decodes(edited(16, 63), p.fourcc, 640, 480));
    EXPECT_FALSE(decodes(edited(16 + 8 * (slices - 1), 1), p.fourcc, 640, 480));
    EXPECT_FALSE(decodes(edited(20, 0xffffffffu), p.fourcc, 640, 480));
    auto alpha = *payload;
    alpha[4] = 1;
    EXPECT_FALSE(decodes(alpha, p.fourcc, 640, 480));
    // A slice whose JPEG is damaged inside: the library's error is a refusal.
    auto damaged = *payload;
    for (size_t i = 16 + 8 * slices + 700; i < 16 + 8 * slices + 900; ++i)
        damaged[i] = 0xff;
    EXPECT_FALSE(decodes(damaged, p.fourcc, 640, 480));
}

// A frame whose top quarter is noise and the rest one flat grey: the next
// frame of the stream is cut where the first one's cost was even, so the
// busy top gets short slices and the flat rest long ones, and the picture
// decoded does not depend on where the cuts fall.
TEST(SlicedJpeg, TheNextFrameIsCutWhereTheCostIsEven)
{
    ThreadPool pool(2);
    Picture p{QRVlib_FourCC_type_UYVY, 1920, 1080, 2, std::vector<uint8_t>(size_t(1920) * 1080 * 2, 128)};
    uint32_t seed = 3;
    for (size_t i = 0; i < p.bytes.size() / 4; ++i)
        p.bytes[i] = uint8_t(lcg(seed));
    SliceCosts costs;
    const auto first = encode_sliced_jpeg(p.view(), 90, pool, &costs);
    const auto second = encode_sliced_jpeg(p.view(), 90, pool, &costs);
    ASSERT_TRUE(first && second);
    // The cost model's own units: a pixel, and three per compressed byte.
    auto spread = [&](const std::vector<uint8_t>& payload) {
        const auto layout = parse_sliced_jpeg(payload, p.fourcc, p.width, p.height);
        EXPECT_TRUE(layout && layout->slices.size() >= 8);
        double least = 1e300, most = 0;
        for (const SliceEntry& s : layout ? layout->slices : std::vector<SliceEntry>{}) {
            const double cost = double(s.rows) * p.width + 3.0 * s.bytes;
            least = std::min(least, cost);
            most = std::max(most, cost);
        }
        return most / least;
    };
    EXPECT_GT(spread(*first), 3.0);
    EXPECT_LT(spread(*second), 1.4);
    std::vector<uint8_t> a(p.bytes.size()), b(p.bytes.size());
    ASSERT_TRUE(decode_sliced_jpeg(*first, p.fourcc, p.width, p.height, a.data(), size_t(p.width) * 2, pool));
    ASSERT_TRUE(decode_sliced_jpeg(*second, p.fourcc, p.width, p.height, b.data(), size_t(p.width) * 2, pool));
    EXPECT_TRUE(a == b);
    // Costs of another geometry or layout are not used.
    const auto even = plan_slices(p.fourcc, 1920, 1088, 2, nullptr);
    EXPECT_EQ(plan_slices(p.fourcc, 1920, 1088, 2, &costs), even);
    EXPECT_EQ(plan_slices(QRVlib_FourCC_type_BGRA, 1920, 1080, 2, &costs),
              plan_slices(QRVlib_FourCC_type_BGRA, 1920, 1080, 2, nullptr));
}

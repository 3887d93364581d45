// Picture conversion, PNG and WAV files and levels of the monitor tool.
#include <gtest/gtest.h>
#include <png.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "picture.h"
#include "sound.h"

using namespace qrv::tools;

namespace {

// Full-range RGB to BT.709 studio range, the forward direction, computed
// independently of the code under test.
void rgb_to_ycbcr(double r, double g, double b, int& y, int& cb, int& cr)
{
    const double ey = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    y = (int)std::lround(16 + 219 * ey / 255);
    cb = (int)std::lround(128 + 224 * (b - ey) / 1.8556 / 255);
    cr = (int)std::lround(128 + 224 * (r - ey) / 1.5748 / 255);
}

std::string temp_path(const char* name)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/qrv_media_test_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

TEST(Bt709, StudioRangeEndsAndPrimariesRoundTrip)
{
    uint8_t rgb[3];
    bt709_to_rgb(16, 128, 128, rgb);
    EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0);
    bt709_to_rgb(235, 128, 128, rgb);
    EXPECT_EQ(rgb[0], 255);
    EXPECT_EQ(rgb[1], 255);
    EXPECT_EQ(rgb[2], 255);
    // Below black and above white clamp instead of wrapping.
    bt709_to_rgb(0, 128, 128, rgb);
    EXPECT_EQ(rgb[0], 0);
    bt709_to_rgb(255, 240, 240, rgb);
    EXPECT_EQ(rgb[0], 255);

    for (int r = 0; r <= 255; r += 51)
        for (int g = 0; g <= 255; g += 51)
            for (int b = 0; b <= 255; b += 51) {
                int y, cb, cr;
                rgb_to_ycbcr(r, g, b, y, cb, cr);
                bt709_to_rgb(y, cb, cr, rgb);
                // 8-bit studio range loses a little: allow two steps.
                EXPECT_NEAR(rgb[0], r, 2) << r << "," << g << "," << b;
                EXPECT_NEAR(rgb[1], g, 2) << r << "," << g << "," << b;
                EXPECT_NEAR(rgb[2], b, 2) << r << "," << g << "," << b;
            }
}

TEST(UyvyConversion, SharesChromaAndInterpolatesOddPixels)
{
    // Two pairs on one line, a padded stride: pair 0 red chroma, pair 1 blue.
    int y0, cb0, cr0, y1, cb1, cr1;
    rgb_to_ycbcr(255, 0, 0, y0, cb0, cr0);
    rgb_to_ycbcr(0, 0, 255, y1, cb1, cr1);
    std::vector<uint8_t> line = {(uint8_t)cb0, (uint8_t)y0, (uint8_t)cr0, (uint8_t)y0,
                                 (uint8_t)cb1, (uint8_t)y1, (uint8_t)cr1, (uint8_t)y1, 0xAA, 0xAA};
    auto pic = rgb_from_uyvy(line.data(), 4, 1, 10, line.size());
    ASSERT_TRUE(pic);
    EXPECT_NEAR(pic->rgb[0], 255, 2);  // pixel 0: red
    EXPECT_NEAR(pic->rgb[2], 0, 2);
    EXPECT_NEAR(pic->rgb[9], 0, 2);  // pixel 3: blue, its pair's chroma repeated at the edge
    EXPECT_NEAR(pic->rgb[11], 255, 2);
    // Pixel 1 sits between red and blue chroma: both red and blue show.
    EXPECT_GT(pic->rgb[3], 20);
    EXPECT_GT(pic->rgb[5], 20);
}

TEST(Conversion, RefusesGeometryTheBufferCannotHold)
{
    std::vector<uint8_t> buf(16);
    EXPECT_FALSE(rgb_from_uyvy(buf.data(), 4, 2, 8, 15));  // one byte short
    EXPECT_TRUE(rgb_from_uyvy(buf.data(), 4, 2, 8, 16));
    EXPECT_FALSE(rgb_from_uyvy(buf.data(), 3, 1, 8, 16));  // odd width
    EXPECT_FALSE(rgb_from_uyvy(buf.data(), 4, 1, 6, 16));  // stride shorter than a line
    EXPECT_FALSE(rgb_from_uyvy(nullptr, 4, 1, 8, 16));
    EXPECT_FALSE(rgb_from_bgra(buf.data(), 2, 2, 8, 15));
    EXPECT_FALSE(rgb_from_bgra(buf.data(), 0, 2, 8, 16));
    auto pic = rgb_from_bgra(buf.data(), 2, 2, 8, 16);
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->rgb.size(), 12u);
}

TEST(Conversion, FourByteLayoutsGiveRgbInEitherOrder)
{
    // One pixel of each order, the same colour, alpha and padding ignored.
    const std::vector<uint8_t> bgra = {10, 20, 30, 40, 0xEE, 0xEE, 0xEE, 0xEE};
    const std::vector<uint8_t> rgba = {30, 20, 10, 40, 0xEE, 0xEE, 0xEE, 0xEE};
    auto a = rgb_from_bgra(bgra.data(), 1, 1, 8, bgra.size());
    auto b = rgb_from_rgba(rgba.data(), 1, 1, 8, rgba.size());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->rgb, (std::vector<uint8_t>{30, 20, 10}));
    EXPECT_EQ(b->rgb, a->rgb);
    EXPECT_FALSE(rgb_from_rgba(rgba.data(), 2, 2, 8, 15));
}

TEST(PngFile, WritesWhatReadsBackAndReportsUnwritablePaths)
{
    RgbPicture pic{3, 2, {}};
    for (int i = 0; i < 18; ++i)
        pic.rgb.push_back((uint8_t)(i * 14));
    const std::string path = temp_path("a.png");
    ASSERT_EQ(write_png(path, pic), "");

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> back(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr));
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(back, pic.rgb);
    unlink(path.c_str());

    EXPECT_NE(write_png("/nonexistent-folder/x.png", pic), "");
    EXPECT_NE(write_png(path, RgbPicture{}), "");
}

TEST(WavFile, WritesPlanarFramesInterleaved)
{
    const std::string path = temp_path("a.wav");
    std::string error;
    auto wav = WavWriter::open(path, 48000, 2, &error);
    ASSERT_TRUE(wav) << error;
    // Planes 4 floats apart, 3 samples used.
    const float planar[8] = {0.1f, 0.2f, 0.3f, 9.0f, -0.1f, -0.2f, -0.3f, 9.0f};
    ASSERT_TRUE(wav->write_planar(planar, 2, 3, 4));
    EXPECT_FALSE(wav->write_planar(planar, 1, 3, 4));  // another channel count
    EXPECT_FALSE(wav->write_planar(planar, 2, 5, 4));  // more samples than a plane holds
    EXPECT_EQ(wav->close(), "");

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_TRUE(f);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 3);
    float back[6];
    EXPECT_EQ(sf_readf_float(f, back, 3), 3);
    sf_close(f);
    EXPECT_FLOAT_EQ(back[0], 0.1f);
    EXPECT_FLOAT_EQ(back[1], -0.1f);
    EXPECT_FLOAT_EQ(back[5], -0.3f);
    unlink(path.c_str());

    EXPECT_FALSE(WavWriter::open("/nonexistent-folder/x.wav", 48000, 2, &error));
    EXPECT_NE(error, "");
    EXPECT_FALSE(WavWriter::open(path, 0, 2, &error));
}

TEST(Levels, PeakInDbfs)
{
    const float full[3] = {0.0f, -1.0f, 0.5f};
    EXPECT_NEAR(peak_dbfs(full, 3), 0.0, 1e-9);
    const float half[1] = {0.5f};
    EXPECT_NEAR(peak_dbfs(half, 1), -6.0206, 1e-3);
    const float silent[2] = {0.0f, -0.0f};
    EXPECT_TRUE(std::isinf(peak_dbfs(silent, 2)));
    EXPECT_TRUE(std::isinf(peak_dbfs(silent, 0)));
}

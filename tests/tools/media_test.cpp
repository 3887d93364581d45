// Picture conversion, PNG and WAV files and levels of the monitor tool.
#include <gtest/gtest.h>
#include <png.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

namespace {

// The format chunk of a WAV file, read from its bytes.
struct WavFormat {
    int tag = 0, channels = 0, bits = 0, valid_bits = 0, subformat = 0;
    uint32_t mask = 0;
};

std::optional<WavFormat> read_wav_format(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t at) { return (int)(b[at] | b[at + 1] << 8); };
    auto u32 = [&](size_t at) { return (uint32_t)u16(at) | (uint32_t)u16(at + 2) << 16; };
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return std::nullopt;
    for (size_t at = 12; at + 8 <= b.size(); at += 8 + ((u32(at + 4) + 1) & ~1u)) {
        if (std::memcmp(b.data() + at, "fmt ", 4) != 0)
            continue;
        const size_t f = at + 8;
        if (u32(at + 4) < 40 || f + 40 > b.size())
            return std::nullopt;
        WavFormat w;
        w.tag = u16(f);
        w.channels = u16(f + 2);
        w.bits = u16(f + 14);
        w.valid_bits = u16(f + 18);
        w.mask = u32(f + 20);
        w.subformat = u16(f + 24);  // the GUID's first field: the plain format tag
        return w;
    }
    return std::nullopt;
}

constexpr int kExtensible = 0xFFFE, kPcm = 1, kFloat = 3;

}  // namespace

TEST(WavFile, FloatFilesAreExtensibleAndInterleavePlanarFrames)
{
    const std::string path = temp_path("float.wav");
    std::string error;
    auto wav = WavWriter::open(path, 48000, 2, WavSamples::float32, &error);
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
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 3);
    float back[6];
    EXPECT_EQ(sf_readf_float(f, back, 3), 3);
    sf_close(f);
    EXPECT_EQ(back[0], 0.1f);
    EXPECT_EQ(back[1], -0.1f);
    EXPECT_EQ(back[5], -0.3f);

    auto format = read_wav_format(path);
    unlink(path.c_str());
    ASSERT_TRUE(format);
    EXPECT_EQ(format->tag, kExtensible);
    EXPECT_EQ(format->subformat, kFloat);
    EXPECT_EQ(format->bits, 32);
    EXPECT_EQ(format->valid_bits, 32);
    EXPECT_EQ(format->mask, 0x3u);  // front left, front right
}

TEST(WavFile, SixteenBitFilesGiveBackTheSentIntegers)
{
    const std::string path = temp_path("pcm16.wav");
    std::string error;
    auto wav = WavWriter::open(path, 44100, 1, WavSamples::pcm16, &error);
    ASSERT_TRUE(wav) << error;
    // What the library makes of 16-bit samples: v / 32768.
    const int16_t sent[] = {-32768, -12345, -1, 0, 1, 255, 12345, 32767};
    std::vector<float> plane;
    for (int16_t v : sent)
        plane.push_back((float)v * (1.0f / 32768.0f));
    ASSERT_TRUE(wav->write_planar(plane.data(), 1, (int)plane.size(), plane.size()));
    // Later samples that are not 16-bit values: rounded, and held in range.
    const float later[] = {1.0f, -2.0f, 100.4f / 32768.0f, -100.6f / 32768.0f, NAN, INFINITY};
    ASSERT_TRUE(wav->write_planar(later, 1, 6, 6));
    EXPECT_EQ(wav->close(), "");

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_TRUE(f);
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, 44100);
    ASSERT_EQ(info.frames, 14);
    int16_t back[14];
    EXPECT_EQ(sf_readf_short(f, back, 14), 14);
    sf_close(f);
    for (size_t i = 0; i < std::size(sent); ++i)
        EXPECT_EQ(back[i], sent[i]) << i;
    const int16_t expected_later[] = {32767, -32768, 100, -101, 0, 32767};
    for (size_t i = 0; i < std::size(expected_later); ++i)
        EXPECT_EQ(back[8 + i], expected_later[i]) << i;

    auto format = read_wav_format(path);
    unlink(path.c_str());
    ASSERT_TRUE(format);
    EXPECT_EQ(format->tag, kExtensible);
    EXPECT_EQ(format->subformat, kPcm);
    EXPECT_EQ(format->bits, 16);
    EXPECT_EQ(format->mask, 0x4u);  // mono: front centre
}

TEST(WavFile, ChannelMasksFollowTheUsualLayouts)
{
    // Up to 7.1 (WAVE_FORMAT_EXTENSIBLE speaker bits); beyond, no positions.
    const std::pair<int, uint32_t> cases[] = {{1, 0x4},   {2, 0x3},   {3, 0x7},   {4, 0x33}, {5, 0x37},
                                              {6, 0x3F},  {7, 0x70F}, {8, 0x63F}, {10, 0x0}};
    const std::string path = temp_path("mask.wav");
    const std::vector<float> silence(10 * 4, 0.0f);
    for (const auto& [channels, mask] : cases) {
        std::string error;
        auto wav = WavWriter::open(path, 48000, channels, WavSamples::float32, &error);
        ASSERT_TRUE(wav) << channels << ": " << error;
        ASSERT_TRUE(wav->write_planar(silence.data(), channels, 4, 4));
        ASSERT_EQ(wav->close(), "");
        auto format = read_wav_format(path);
        ASSERT_TRUE(format) << channels;
        EXPECT_EQ(format->channels, channels);
        EXPECT_EQ(format->mask, mask) << channels << " channels";
    }
    unlink(path.c_str());
}

TEST(WavFile, RefusesUnwritablePathsAndUnusableFormats)
{
    std::string error;
    EXPECT_FALSE(WavWriter::open("/nonexistent-folder/x.wav", 48000, 2, WavSamples::pcm16, &error));
    EXPECT_NE(error, "");
    EXPECT_FALSE(WavWriter::open(temp_path("bad.wav"), 0, 2, WavSamples::float32, &error));
    EXPECT_FALSE(WavWriter::open(temp_path("bad.wav"), 48000, 0, WavSamples::float32, &error));
}

TEST(Samples16, OnlyWholeSixteenBitStepsInRangeCount)
{
    const float step = 1.0f / 32768.0f;
    // Two planes, 3 samples used, 4 floats apart; the unused slot is ignored.
    float planes[8] = {-1.0f, 0.0f, 32767 * step, 0.5f, 1234 * step, -step, 0.0f, 0.3f};
    EXPECT_TRUE(holds_16bit_samples(planes, 2, 3, 4));
    EXPECT_TRUE(holds_16bit_samples(planes, 2, 0, 4));

    const float not_16bit[] = {1.0f, step / 2, 1.5f * step, -1.0f - step, 0.1f, NAN, INFINITY, -INFINITY};
    for (float v : not_16bit) {
        planes[5] = v;  // second plane
        EXPECT_FALSE(holds_16bit_samples(planes, 2, 3, 4)) << v;
    }
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

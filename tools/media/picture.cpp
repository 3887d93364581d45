#include "picture.h"

#include <png.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qrv::tools {

namespace {

uint8_t clamp_byte(double v)
{
    if (v <= 0.0)
        return 0;
    if (v >= 255.0)
        return 255;
    return (uint8_t)std::lround(v);
}

bool geometry_fits(int width, int height, int line_stride, int bytes_per_pixel, size_t size)
{
    if (width <= 0 || height <= 0 || line_stride < (int64_t)width * bytes_per_pixel)
        return false;
    return (uint64_t)line_stride * (uint64_t)(height - 1) + (uint64_t)width * bytes_per_pixel <= size;
}

}  // namespace

void bt709_to_rgb(int y, int cb, int cr, uint8_t rgb[3])
{
    // Studio range: 219 steps of luma, 224 of chroma.
    const double yy = (y - 16) * (255.0 / 219.0);
    const double pb = (cb - 128) * (255.0 / 224.0);
    const double pr = (cr - 128) * (255.0 / 224.0);
    const double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
    const double r = yy + 2.0 * (1.0 - kr) * pr;
    const double b = yy + 2.0 * (1.0 - kb) * pb;
    const double g = (yy - kr * r - kb * b) / kg;
    rgb[0] = clamp_byte(r);
    rgb[1] = clamp_byte(g);
    rgb[2] = clamp_byte(b);
}

std::optional<RgbPicture> rgb_from_uyvy(const uint8_t* data, int width, int height, int line_stride, size_t size)
{
    if (!data || (width & 1) || !geometry_fits(width, height, line_stride, 2, size))
        return std::nullopt;
    RgbPicture pic{width, height, std::vector<uint8_t>((size_t)width * height * 3)};
    const int pairs = width / 2;
    for (int row = 0; row < height; ++row) {
        const uint8_t* line = data + (size_t)row * line_stride;
        uint8_t* out = pic.rgb.data() + (size_t)row * width * 3;
        for (int p = 0; p < pairs; ++p) {
            const uint8_t* q = line + 4 * p;
            const uint8_t* next = line + 4 * (p + 1 < pairs ? p + 1 : p);
            bt709_to_rgb(q[1], q[0], q[2], out + 6 * p);
            bt709_to_rgb(q[3], (q[0] + next[0] + 1) / 2, (q[2] + next[2] + 1) / 2, out + 6 * p + 3);
        }
    }
    return pic;
}

namespace {

// Four bytes per pixel with red at byte red_at and blue at 2 - red_at.
std::optional<RgbPicture> rgb_from_four(const uint8_t* data, int width, int height, int line_stride, size_t size,
                                        int red_at)
{
    if (!data || !geometry_fits(width, height, line_stride, 4, size))
        return std::nullopt;
    RgbPicture pic{width, height, std::vector<uint8_t>((size_t)width * height * 3)};
    for (int row = 0; row < height; ++row) {
        const uint8_t* line = data + (size_t)row * line_stride;
        uint8_t* out = pic.rgb.data() + (size_t)row * width * 3;
        for (int x = 0; x < width; ++x) {
            out[3 * x + 0] = line[4 * x + red_at];
            out[3 * x + 1] = line[4 * x + 1];
            out[3 * x + 2] = line[4 * x + 2 - red_at];
        }
    }
    return pic;
}

}  // namespace

std::optional<RgbPicture> rgb_from_bgra(const uint8_t* data, int width, int height, int line_stride, size_t size)
{
    return rgb_from_four(data, width, height, line_stride, size, 2);
}

std::optional<RgbPicture> rgb_from_rgba(const uint8_t* data, int width, int height, int line_stride, size_t size)
{
    return rgb_from_four(data, width, height, line_stride, size, 0);
}

std::string write_png(const std::string& path, const RgbPicture& picture)
{
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.rgb.size() != (size_t)picture.width * picture.height * 3)
        return "the picture is empty";
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file)
        return "cannot write " + path + ": " + std::strerror(errno);

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "cannot write " + path;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, picture.width, picture.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < picture.height; ++row)
        png_write_row(png, picture.rgb.data() + (size_t)row * picture.width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0)
        return "cannot write " + path + ": " + std::strerror(errno);
    return {};
}

}  // namespace qrv::tools

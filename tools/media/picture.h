// Conversion of received video frames into 8-bit RGB pictures, and writing
// them as PNG files.
#ifndef QRV_TOOLS_PICTURE_H
#define QRV_TOOLS_PICTURE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qrv::tools {

struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3, top line first
};

// Packed 4:2:2 UYVY in BT.709 studio range (Y 16..235, Cb/Cr 16..240) to
// full-range RGB. Chroma is co-sited with the even pixel of each pair; the
// odd pixel takes the mean of its two neighbours' chroma.
// Nothing for a geometry the buffer cannot hold.
std::optional<RgbPicture> rgb_from_uyvy(const uint8_t* data, int width, int height, int line_stride,
                                        size_t size);
// BGRA or BGRX, alpha dropped.
std::optional<RgbPicture> rgb_from_bgra(const uint8_t* data, int width, int height, int line_stride,
                                        size_t size);
// RGBA or RGBX, alpha dropped.
std::optional<RgbPicture> rgb_from_rgba(const uint8_t* data, int width, int height, int line_stride,
                                        size_t size);

// One studio-range Y'CbCr triple to full-range RGB, rounded and clamped.
void bt709_to_rgb(int y, int cb, int cr, uint8_t rgb[3]);

// Writes an 8-bit RGB PNG; an error text on failure, empty on success.
std::string write_png(const std::string& path, const RgbPicture& picture);

}  // namespace qrv::tools

#endif

// Pictures from one pixel layout into another, and reduced preview
// pictures. YUV is BT.709 in studio range (Y 16..235, Cb and Cr 16..240);
// RGB is full range. In packed 4:2:2 the chroma of a pair is sited on its
// first pixel: on the way up to RGB the second pixel takes the mean of its
// neighbours' chroma, and on the way down a pair's chroma is the mean of
// its two pixels'.
#ifndef QRV_MEDIA_CONVERT_H
#define QRV_MEDIA_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qrv::media {

// The layouts a receiver may ask its video to be delivered in: the codes
// of QRVlib_recv_color_format_e.
enum class ColorFormat : uint32_t {
    bgrx_bgra = 0,  // BGRX without alpha, BGRA with
    uyvy_bgra = 1,  // UYVY without alpha, BGRA with
    rgbx_rgba = 2,  // RGBX without alpha, RGBA with
    uyvy_rgba = 3,  // UYVY without alpha, RGBA with
    fastest = 100,  // as the source sends it
};

// One picture in memory: height lines of a carried layout, stride bytes
// apart.
struct PictureView {
    uint32_t fourcc = 0;
    int32_t width = 0;
    int32_t height = 0;
    const uint8_t* data = nullptr;
    size_t stride = 0;
};

// The layout in which a receiver that asked for `wish` delivers a frame
// that arrived in `fourcc`. An unknown wish is taken as uyvy_bgra, the
// receivers' default; a layout the runtime does not carry stays as it is.
uint32_t delivered_layout(ColorFormat wish, uint32_t fourcc);

// Converts src into the layout dst_fourcc at dst, whose lines are
// dst_stride bytes apart. Alpha is carried over between layouts that have
// it; a picture that gains alpha is opaque. False, with nothing written,
// for a layout that is not carried, a width not valid for either layout
// (4:2:2 needs an even one), or strides too short for the width.
bool convert_picture(const PictureView& src, uint32_t dst_fourcc, uint8_t* dst, size_t dst_stride);

struct PictureSize {
    int32_t width = 0;
    int32_t height = 0;
};

// The size of the preview picture of a frame: a quarter of each dimension,
// at least one pixel (two, and an even width, for 4:2:2).
PictureSize preview_size(uint32_t fourcc, int32_t width, int32_t height);

// Scales pictures down (box filter), keeping their layout. Keeps its
// working memory between calls; one object per thread.
class Scaler {
public:
    // False, with nothing written, for a layout that is not carried or a
    // size that is not valid for it.
    bool scale(const PictureView& src, PictureSize to, uint8_t* dst, size_t dst_stride);

private:
    std::vector<uint8_t> planes_;
};

}  // namespace qrv::media

#endif

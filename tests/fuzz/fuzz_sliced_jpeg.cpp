// Fuzzes the compressed-frame parser and decoder: the first five bytes pick
// the frame's layout and size (as a receiver knows them from the message's
// fixed fields), the rest is the payload. Whatever the bytes, decoding
// either refuses or fills exactly the frame's pixels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/thread_pool.h"
#include "media/jpeg_codec.h"
#include "qrvlib.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    static const uint32_t kLayouts[] = {QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_BGRA, QRVlib_FourCC_type_BGRX,
                                        QRVlib_FourCC_type_RGBA, QRVlib_FourCC_type_RGBX};
    static ThreadPool pool(2);
    const uint32_t fourcc = kLayouts[data[0] % 5];
    // Up to 1024x1024: enough for every path, small enough to stay quick.
    const int32_t width = 1 + ((data[1] | data[2] << 8) & 1023);
    const int32_t height = 1 + ((data[3] | data[4] << 8) & 1023);
    const std::span<const uint8_t> payload(data + 5, size - 5);
    const size_t bpp = fourcc == QRVlib_FourCC_type_UYVY ? 2 : 4;
    const size_t line = size_t(width) * bpp;
    // A guard row after the frame must stay untouched.
    std::vector<uint8_t> out(line * size_t(height + 1), 0xa5);
    media::decode_sliced_jpeg(payload, fourcc, width, height, out.data(), line, pool);
    for (size_t i = line * size_t(height); i < out.size(); ++i)
        if (out[i] != 0xa5)
            std::abort();
    return 0;
}

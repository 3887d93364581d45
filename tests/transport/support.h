// Helpers of the transport tests: frames to send and a capture loop that
// gives up after a deadline.
#ifndef QRV_TRANSPORT_TEST_SUPPORT_H
#define QRV_TRANSPORT_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <vector>

#include "qrv/qrv_runtime.h"

namespace qrv_test {

using Clock = std::chrono::steady_clock;

// Calls capture until on_result returns true or the time is up; returns
// whether on_result accepted a result.
inline bool capture_until(const std::function<int32_t(uint32_t)>& capture,
                          const std::function<bool(int32_t)>& on_result,
                          std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end)
        if (on_result(capture(100)))
            return true;
    return false;
}

struct BgraFrame {
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t record;
    BgraFrame(int w, int h, uint8_t fill) : pixels((size_t)w * h * 4, fill)
    {
        record.width = w;
        record.height = h;
        record.fourcc = QRVlib_FourCC_type_BGRA;
        record.line_stride = w * 4;
        record.data = pixels.data();
    }
};

}  // namespace qrv_test

#endif

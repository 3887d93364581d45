// The video frame numbers a receiver has taken from one source, whichever
// way they came: over the connection or from a multicast group, each on a
// thread of its own. A gap is frames the source skipped or the group could
// not complete; a frame not newer than the newest one taken is a copy from
// the hand-over between the two ways and is not delivered twice.
#ifndef QRV_TRANSPORT_FRAME_NUMBERS_H
#define QRV_TRANSPORT_FRAME_NUMBERS_H

#include <atomic>
#include <cstdint>
#include <optional>

namespace qrv::transport {

class FrameNumbers {
public:
    // The frames missing before `number`; nothing when `number` is not
    // newer than the newest frame taken (the frame is a copy: drop it).
    // Frame 0 (not numbered by its source) is taken, missing none. Any thread.
    std::optional<uint64_t> take(uint64_t number)
    {
        if (number == 0)
            return 0;
        uint64_t last = last_.load();
        do {
            if (number <= last)
                return std::nullopt;
        } while (!last_.compare_exchange_weak(last, number));
        return last == 0 ? 0 : number - last - 1;
    }

private:
    std::atomic<uint64_t> last_{0};
};

}  // namespace qrv::transport

#endif

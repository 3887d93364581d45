// The receiving side of compressed video: turns a checked video message in
// a compressed payload format into the raw message of the same frame, so
// that everything after it handles one kind of frame. Slices are decoded in
// parallel on a small pool of the decoder's own.
#ifndef QRV_TRANSPORT_VIDEO_DECODER_H
#define QRV_TRANSPORT_VIDEO_DECODER_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/thread_pool.h"
#include "transport/message_io.h"

namespace qrv::transport {

class VideoDecoder {
public:
    VideoDecoder() = default;
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    /// Whether the message is video in a compressed format.
    static bool compressed(const Message& m);

    /// Decodes a compressed video message in place into a raw one (fixed
    /// fields, data length and data). False, and counted, when the payload
    /// does not hold up against the frame's own geometry; the message is
    /// then unchanged. One thread at a time; the pool's threads are its own.
    bool decode(Message& m);

    /// Compressed frames refused since the decoder was made (any thread).
    uint64_t refused() const { return refused_.load(); }
    uint64_t decoded() const { return decoded_.load(); }

private:
    std::unique_ptr<ThreadPool> pool_;  // made with the first frame
    BufferPool buffers_{4};
    std::atomic<uint64_t> refused_{0}, decoded_{0};
};

}  // namespace qrv::transport

#endif

// The receiving side of compressed video: turns a checked video message in
// a compressed payload format into the raw message of the same frame, so
// that everything after it handles one kind of frame. Slices are decoded in
// parallel on a small pool of the decoder's own.
#ifndef QRV_TRANSPORT_VIDEO_DECODER_H
#define QRV_TRANSPORT_VIDEO_DECODER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/newest_worker.h"
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

/// The video of one TCP connection, decoded on a thread of its own so that
/// the connection's reader never waits for a decode: it hands each video
/// message over and goes on reading. A frame handed over while the previous
/// one is still waiting replaces it (counted as lost): latency stays at
/// about one frame however slow decoding is.
class DecodeStage {
public:
    using Deliver = std::function<void(Message&&)>;   // a raw frame, ready
    using Lost = std::function<void(uint64_t frames)>;  // replaced, or did not decode
    using Compressed = std::function<void(uint64_t bytes, bool decoded)>;

    /// The callbacks run on the stage's thread, never with its lock held,
    /// except lost for a replaced frame, which runs in offer. The thread
    /// stops with the stage; a frame still waiting is dropped.
    DecodeStage(VideoDecoder& decoder, Deliver deliver, Lost lost, Compressed compressed);
    DecodeStage(const DecodeStage&) = delete;
    DecodeStage& operator=(const DecodeStage&) = delete;

    /// Hands over a checked video message; returns at once.
    void offer(Message&& m);

private:
    void work(Message&& m);

    VideoDecoder& decoder_;
    Deliver deliver_;
    Lost lost_;
    Compressed compressed_;
    NewestWorker<Message> worker_;  // last: its thread uses the above
};

}  // namespace qrv::transport

#endif

// Reads whole messages of the wire format from a socket, checking each part
// before the next is read or allocated.
#ifndef QRV_TRANSPORT_MESSAGE_IO_H
#define QRV_TRANSPORT_MESSAGE_IO_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "base/recycling_pool.h"
#include "base/shm_region.h"
#include "base/socket.h"
#include "transport/byte_stream.h"
#include "wire/wire.h"

namespace qrv::transport {

// Pixels of a frame that stay in the source's shared memory; the source is
// told when the last reference goes.
struct SharedFrame {
    std::shared_ptr<const net::ShmRegion> region;
    const uint8_t* data = nullptr;  // inside region
    size_t size = 0;
    std::function<void()> release;
    SharedFrame() = default;
    SharedFrame(const SharedFrame&) = delete;
    SharedFrame& operator=(const SharedFrame&) = delete;
    ~SharedFrame()
    {
        if (release)
            release();
    }
};

struct Message {
    wire::Header header;
    std::vector<uint8_t> fixed;
    std::string text;
    std::shared_ptr<ByteBuffer> data;  // null when there is none
    std::shared_ptr<const SharedFrame> shared;   // video in shared memory
};

// timeout: a message started but its bytes did not all arrive in time.
enum class ReadResult { ok, skipped, closed, bad, timeout };

// Recycles data buffers that no one references any more, so that a steady
// stream of frames of one size neither allocates nor faults in new pages.
class BufferPool : public RecyclingPool<ByteBuffer> {
public:
    explicit BufferPool(size_t slots = 8) : RecyclingPool<ByteBuffer>(slots) {}
};

// closed: the stream ended or failed; bad: the peer sent something that is
// not a valid message (the connection should be dropped); skipped: a
// well-framed message of a type or payload format this version does not
// know, whose text and data were read and thrown away in small pieces (out
// holds its header and fixed fields only).
// Data buffers come from the pool when one is given (used by one thread).
// With passed given (Unix sockets), descriptors that come along are kept
// there; a message that carries more than a few is bad.
ReadResult read_message(int fd, Message& out, BufferPool* pool = nullptr, std::vector<net::Fd>* passed = nullptr);
// The same from a stream: a plain one's socket is read as above; through
// TLS no descriptors come along.
ReadResult read_message(ByteStream& stream, Message& out, BufferPool* pool = nullptr,
                        std::vector<net::Fd>* passed = nullptr);

// How a source reads what a receiver sends it. Receivers send little, so
// everything is judged from the header before any more is read: before the
// hello only a hello is taken; after it, only the types receivers send,
// each at most wire::kMaxUpstreamBytes. Types this version does not know
// are read and thrown away in small pieces, at most max_unknown bytes each
// and unknown_budget bytes in all for the connection (counted down here).
// Once its first byte is there, a message must be whole within
// message_timeout.
struct UpstreamRules {
    bool hello_only = false;
    std::chrono::milliseconds message_timeout{5000};
    uint64_t max_unknown = 64 * 1024;
    uint64_t* unknown_budget = nullptr;  // null: none allowed
};
// Waits for the first byte of the next message at most until first_by
// (closed when nothing came; timeout for a message begun but not ended).
ReadResult read_upstream(int fd, Message& out, const UpstreamRules& rules,
                         std::chrono::steady_clock::time_point first_by = std::chrono::steady_clock::time_point::max());
// The same from a stream (a plain one's socket is read as above). Nothing
// by first_by is closed with errno EAGAIN, the end of the stream closed
// with errno 0; a first_by that has passed takes only a message whose
// first byte is there now. Every wait ends at once, as closed, when the
// stream's cancel descriptor is readable.
ReadResult read_upstream(ByteStream& stream, Message& out, const UpstreamRules& rules,
                         std::chrono::steady_clock::time_point first_by = std::chrono::steady_clock::time_point::max());

}  // namespace qrv::transport

#endif

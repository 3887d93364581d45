// An encoded message ready for the socket, shared read-only by every
// connection that sends it, and a small pool that recycles the big ones.
#ifndef QRV_TRANSPORT_PACKET_H
#define QRV_TRANSPORT_PACKET_H

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "base/recycling_pool.h"
#include "base/shm_region.h"
#include "wire/wire.h"

namespace qrv::wire {

// The bytes of a message: ordinary memory, or a shared-memory region that
// receivers on the same host map instead of reading the bytes from a
// socket. Resizing may discard the content (callers rewrite it).
class MessageBytes {
public:
    MessageBytes() = default;
    explicit MessageBytes(bool shared) : shared_(shared) {}
    MessageBytes& operator=(std::span<const uint8_t> bytes)
    {
        region_.reset();
        heap_.assign(bytes);
        size_ = heap_.size();
        return *this;
    }

    void resize(size_t n)
    {
        if (shared_ && (!region_ || region_->size() < n))
            region_ = net::ShmRegion::create(n);
        if (!region_ || region_->size() < n) {
            region_.reset();
            heap_.resize(n);
        }
        size_ = n;
    }
    size_t size() const { return size_; }
    uint8_t* data() { return region_ ? region_->data() : heap_.data(); }
    const uint8_t* data() const { return region_ ? region_->data() : heap_.data(); }
    uint8_t& operator[](size_t i) { return data()[i]; }
    const uint8_t& operator[](size_t i) const { return data()[i]; }
    operator std::span<const uint8_t>() const { return {data(), size_}; }
    // The region's descriptor, or -1 when the bytes are in ordinary memory.
    int shared_fd() const { return region_ ? region_->fd() : -1; }
    // The bytes of shared memory behind it (the whole region), 0 for
    // ordinary memory.
    size_t shared_size() const { return region_ ? region_->size() : 0; }
    // The region's number (ShmRegion::serial), 0 for ordinary memory.
    uint64_t shared_id() const { return region_ ? region_->serial() : 0; }

private:
    bool shared_ = false;
    std::unique_ptr<net::ShmRegion> region_;
    ByteBuffer heap_;
    size_t size_ = 0;
};

struct Packet {
    Packet() = default;
    explicit Packet(bool shared) : bytes(shared) {}
    wire::MessageType type{};
    MessageBytes bytes;          // the whole message
    size_t data_offset = 0;      // where its data (pixels, samples) starts

    // Takes the packet out of recycling for good: a receiver on this host
    // may still be reading its shared memory, so its bytes must never be
    // rewritten. Its pool lets it go; it is freed with its last reference.
    void retire() const { retired_.store(true, std::memory_order_release); }
    bool retired() const { return retired_.load(std::memory_order_acquire); }

private:
    mutable std::atomic<bool> retired_{false};
};
using PacketPtr = std::shared_ptr<const Packet>;

// Hands out packets whose buffers are no longer referenced anywhere else, so
// that a steady stream of frames of one size allocates nothing. A shared
// pool keeps its packets in shared memory; retired packets leave the pool.
class PacketPool : public RecyclingPool<Packet> {
public:
    explicit PacketPool(size_t slots, bool shared = false)
        : RecyclingPool<Packet>(
              slots, [shared] { return std::make_shared<Packet>(shared); },
              [](const Packet& p) { return !p.retired(); })
    {
    }
};

// A packet of a control message, outside any pool.
inline PacketPtr make_packet(wire::MessageType type, std::vector<uint8_t> bytes)
{
    auto p = std::make_shared<Packet>();
    p->type = type;
    p->data_offset = bytes.size();
    p->bytes = std::span<const uint8_t>(bytes);
    return p;
}

// A video message read back from a packet: its fixed fields, text and data,
// each checked to lie within the packet's bytes.
struct VideoMessage {
    VideoFields fields;
    std::string_view text;
    std::span<const uint8_t> data;
};

/// Reads a video message back from a packet, checked as any other message
/// would be (our own packets included). Nullopt when it is not a whole,
/// valid video message. The views point into the packet's bytes.
std::optional<VideoMessage> read_video(const Packet& packet);

/// A packet from pool holding the header and text of a video message with
/// room for data_len bytes of data at data_offset, which the caller fills
/// before sharing the packet.
std::shared_ptr<Packet> make_video(PacketPool& pool, const VideoFields& fields, std::string_view text,
                                   uint64_t data_len);

}  // namespace qrv::wire

#endif

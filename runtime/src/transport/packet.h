// An encoded message ready for the socket, shared read-only by every
// connection that sends it, and a small pool that recycles the big ones.
#ifndef QRV_TRANSPORT_PACKET_H
#define QRV_TRANSPORT_PACKET_H

#include <memory>
#include <mutex>
#include <vector>

#include "wire.h"

namespace qrv::transport {

struct Packet {
    wire::MessageType type{};
    std::vector<uint8_t> bytes;  // the whole message
    size_t data_offset = 0;      // where its data (pixels, samples) starts
};
using PacketPtr = std::shared_ptr<const Packet>;

// Hands out packets whose buffers are no longer referenced anywhere else, so
// that a steady stream of frames of one size allocates nothing.
class PacketPool {
public:
    explicit PacketPool(size_t slots = 6) : slots_(slots) {}

    std::shared_ptr<Packet> acquire()
    {
        std::lock_guard lock(mutex_);
        for (auto& p : pool_)
            // Only the pool holds it: no sender or reader can still see it,
            // and no one can take a new reference but us.
            if (p.use_count() == 1)
                return p;
        auto p = std::make_shared<Packet>();
        if (pool_.size() < slots_)
            pool_.push_back(p);
        return p;
    }

private:
    std::mutex mutex_;
    const size_t slots_;
    std::vector<std::shared_ptr<Packet>> pool_;
};

// A packet of a control message, outside any pool.
inline PacketPtr make_packet(wire::MessageType type, std::vector<uint8_t> bytes)
{
    auto p = std::make_shared<Packet>();
    p->type = type;
    p->data_offset = bytes.size();
    p->bytes = std::move(bytes);
    return p;
}

}  // namespace qrv::transport

#endif

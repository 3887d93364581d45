// The receiving end of a multicast stream: datagrams in any order, some
// twice, some never, some forged, back into whole wire messages in the
// order they were sent. Pure bookkeeping: no sockets, no clock of its own
// (the caller passes the time), one thread.
#ifndef QRV_WIRE_REASSEMBLER_H
#define QRV_WIRE_REASSEMBLER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "base/byte_buffer.h"
#include "base/recycling_pool.h"

#include "wire/datagram.h"

namespace qrv::wire {

struct ReassemblyLimits {
    // How long a message may stay incomplete once a later one is seen (or
    // its first datagram came), waiting for repairs, before it is given up.
    std::chrono::milliseconds window{60};
    uint64_t max_message_bytes = kMaxDatagramMessageBytes;
    // All incomplete messages together, and how far ahead of the next one
    // to deliver a datagram may be.
    uint64_t max_pending_bytes = 64ull << 20;
    uint32_t max_pending_messages = 64;
};

struct ReassemblyCounters {
    uint64_t datagrams = 0;     // taken into a message
    uint64_t duplicates = 0;    // a piece already held
    uint64_t malformed = 0;     // not a datagram of this version
    uint64_t bad_lengths = 0;   // lengths that do not add up, or disagree with the message's first datagram
    uint64_t forged = 0;        // wrong token
    uint64_t other_stream = 0;  // right token, another stream
    uint64_t stale = 0;         // a message delivered or given up already
    uint64_t overflow = 0;      // beyond the limits on bytes or messages held
    uint64_t messages = 0;      // delivered whole
    uint64_t lost = 0;          // given up, never delivered
};

// The pieces a receiver asks the source to resend.
struct MissingPieces {
    uint64_t sequence = 0;
    std::vector<uint32_t> indexes;  // empty: no datagram of it came at all
};

class Reassembler {
public:
    using Clock = std::chrono::steady_clock;
    Reassembler(uint64_t token, uint32_t stream, ReassemblyLimits limits);

    // Takes one datagram as it came off the socket; false when it was
    // dropped (and counted).
    bool take(std::span<const uint8_t> datagram, Clock::time_point now);
    // The next message in sending order once it is whole, null while there
    // is none. Messages before it that stayed incomplete past the window
    // are given up first. The buffer goes back to this reassembler's pool
    // when its last reference is dropped, so that a steady stream neither
    // allocates nor faults in pages for each message.
    std::shared_ptr<const ByteBuffer> next(Clock::time_point now);
    // What is missing now of the messages not yet delivered, oldest first,
    // at most `most` messages: messages of which nothing came while later
    // ones did, and incomplete ones that a later one follows or whose last
    // datagram came at least `settle` ago (before that, the rest may still
    // be on its way: a source paces a message out).
    std::vector<MissingPieces> missing(Clock::time_point now, std::chrono::milliseconds settle,
                                       size_t most = 8) const;

    const ReassemblyCounters& counters() const { return counters_; }

private:
    struct Pending {
        DatagramHeader shape;  // of its first datagram
        std::shared_ptr<ByteBuffer> bytes;  // from buffers_, never zero-filled
        std::vector<bool> have;
        uint32_t held = 0;
        Clock::time_point since;
        Clock::time_point last;  // its latest datagram
    };
    bool place(const DatagramHeader& h, std::span<const uint8_t> payload, Clock::time_point now);
    void give_up_next();

    const uint64_t token_;
    const uint32_t stream_;
    const ReassemblyLimits limits_;
    std::map<uint64_t, Pending> pending_;
    uint64_t pending_bytes_ = 0;
    // Message buffers kept for reuse: a frame being delivered, one or two
    // being reassembled behind it, and one to spare.
    RecyclingPool<ByteBuffer> buffers_{4};
    uint64_t next_ = 0;  // the sequence to deliver next; 0 before the first datagram
    ReassemblyCounters counters_;
};

}  // namespace qrv::wire

#endif

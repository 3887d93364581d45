// The writing side of one connection of a receiver's link: the messages
// others post for the link's thread to write (releases of shared frames,
// tally, camera commands), and what became of the camera commands: which
// are written, which the source has acknowledged. One per connection; it
// may outlive the link, so that a caller can post without holding what
// keeps the link alive, and is closed when the connection ends, after which
// posts are refused.
#ifndef QRV_TRANSPORT_LINK_CHANNEL_H
#define QRV_TRANSPORT_LINK_CHANNEL_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "base/socket.h"
#include "transport/byte_stream.h"
#include "wire/wire.h"

namespace qrv::transport {

class LinkChannel {
public:
    static constexpr size_t kMaxOutbox = 1024;
    using Clock = std::chrono::steady_clock;

    // What became of a camera command, as far as this side can tell.
    enum class Delivery {
        acknowledged,  // the source holds it for its application
        refused,       // the source acknowledged it but did not take it
        not_permitted, // refused: the source wants its operator key proved
        written,       // written; the source does not acknowledge commands
        lost,          // the connection ended before the source said
        timeout,       // none of the above in time
    };

    // stream: the connection, written by the link's thread only (it stays
    // the caller's and must outlive the channel's last flush); wake: an
    // eventfd that tells the link's thread the outbox has work (none: the
    // thread looks often).
    LinkChannel(ByteStream& stream, net::Fd wake) : stream_(&stream), wake_(std::move(wake)) {}
    // The same over a plain socket.
    LinkChannel(int fd, net::Fd wake) : plain_(fd), stream_(fd >= 0 ? &plain_ : nullptr), wake_(std::move(wake)) {}
    LinkChannel(const LinkChannel&) = delete;
    LinkChannel& operator=(const LinkChannel&) = delete;

    // --- any thread --------------------------------------------------------
    // Queues one encoded message for the link's thread to write, so that
    // the caller never writes to the socket itself; false when closed or
    // full. must_arrive: the source should have it even when the receiver
    // goes right after (tally), so that closing waits for it.
    bool post(std::vector<uint8_t> bytes, bool must_arrive = false);
    // Numbers the command and queues it; its number on this connection, or
    // 0 when it could not be queued.
    uint64_t post_command(wire::PtzFields command);
    // Waits until the command numbered so is acknowledged, refused or (for
    // a source that does not acknowledge) written, the connection ends, or
    // the deadline passes.
    Delivery wait_delivered(uint64_t command, Clock::time_point deadline);
    // Ends every wait_delivered, now and later, as lost: the receiver that
    // waits goes away.
    void abandon_waits();
    // Something posted that the source may not have yet: not all written,
    // or written but neither acknowledged nor of a kind that needs none.
    bool unsettled() const;

    // --- the link's thread -------------------------------------------------
    // Writes what was posted, in order; false when a write failed.
    bool flush();
    // The source acknowledges numbered commands (from its status).
    void set_acknowledging(bool acks);
    // An acknowledgement from the source; false when it names a command
    // not written on this connection (the peer misbehaves).
    bool acknowledge(const wire::PtzAckFields& ack);
    // The connection ended: posts are refused, waiters told it is lost.
    void close();
    // The eventfd, or -1 without one.
    int wake_fd() const { return wake_ ? wake_.get() : -1; }
    // Any thread: makes the link's thread look at the channel now.
    void wake() const;

private:
    struct Outgoing {
        std::vector<uint8_t> bytes;
        uint64_t command = 0;  // the command's number; 0: not a command
        bool must_arrive = false;
    };
    // With mutex_ held.
    bool enqueue_locked(Outgoing item);

    mutable std::mutex mutex_;  // everything below; never held across a write
    bool abandoned_ = false;    // see abandon_waits
    std::condition_variable progress_;  // a command written or acknowledged, or closed
    PlainStream plain_{-1};  // the stream of a channel made with a socket
    ByteStream* stream_;     // null once closed
    const net::Fd wake_;
    std::deque<Outgoing> outbox_;
    bool writing_ = false;   // an item taken off the outbox is being written
    bool acks_ = false;      // the source acknowledges numbered commands
    uint64_t numbered_ = 0;  // the last command's number
    uint64_t written_ = 0;   // the last command written
    uint64_t acked_ = 0;     // the last command acknowledged
    uint64_t refused_ = 0;   // the last command refused
    bool refused_for_key_ = false;  // ... for want of the operator key
    bool must_arrive_written_ = false;  // a tally went out: close gently
};

}  // namespace qrv::transport

#endif

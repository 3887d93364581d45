// The receiving end of one multicast group: joined source-specifically
// (only the offering source's datagrams to the group reach the socket),
// its datagrams reassembled per stream into wire messages that are checked
// like those of a connection and handed on in order. A thread of its own;
// leaving the group is closing the socket.
#ifndef QRV_TRANSPORT_MULTICAST_RECEIVER_H
#define QRV_TRANSPORT_MULTICAST_RECEIVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "base/socket.h"
#include "transport/frame_loss_window.h"
#include "transport/message_io.h"
#include "wire/datagram_seal.h"
#include "wire/reassembler.h"

namespace qrv::transport {

// The counters of all streams of the group together.
struct MulticastReceiverStats {
    wire::ReassemblyCounters datagrams;
    uint64_t bad_messages = 0;  // whole, but not a media message that checks
    uint64_t asked = 0;         // requests for datagrams again
    uint64_t unauthenticated = 0;  // sealed under no key held, failed authentication, or not sealed at all
    uint64_t runs = 0;  // buffers off the socket that held a run of datagrams (coalesced)
};

// A whole message reassembled from datagrams, checked as a reader of a
// connection checks one: a video, audio or metadata message that a reader
// would take; nothing otherwise. Its data is copied into a buffer of pool.
std::optional<Message> media_message(std::span<const uint8_t> bytes, BufferPool& pool);

class MulticastReceiver {
public:
    // Called on the receiver's thread with each message, in order per stream.
    using Deliver = std::function<void(Message&&)>;
    // Called on the receiver's thread with a request for datagrams again
    // (wire::encode_nack), for the owner to send the source.
    using Ask = std::function<void(std::vector<uint8_t>&& nack)>;
    // interface: the address of this host (host order) the source's
    // connection arrived on, where the group is joined. Throws Error when
    // the group cannot be joined, saying why.
    // Missing datagrams are asked for through ask and come back to a
    // socket of their own on the interface.
    // sealed: the source holds a site key, so only datagrams sealed under
    // a key it handed over (add_key) are taken; the rest are dropped and
    // counted as unauthenticated.
    // coalesce: runs of datagrams that the kernel keeps together (UDP GRO)
    // come off the socket as one buffer, and are cut back into datagrams
    // here; where the kernel refuses it, one datagram a buffer. False only
    // to measure the difference.
    MulticastReceiver(const wire::MulticastOfferFields& offer, uint32_t interface, std::chrono::milliseconds window,
                      Deliver deliver, Ask ask, std::string name, bool sealed = false, bool coalesce = true);
    ~MulticastReceiver();
    MulticastReceiver(const MulticastReceiver&) = delete;
    MulticastReceiver& operator=(const MulticastReceiver&) = delete;

    // When the last datagram of the source came; nothing before the first.
    std::optional<std::chrono::steady_clock::time_point> last_datagram() const;
    MulticastReceiverStats stats() const;
    // A key of the group from the source; the one before stays for the
    // switch-over, older ones are forgotten. Any thread.
    void add_key(const wire::DatagramKey& key);
    // Video frames of the last seconds, whole or given up. Any thread.
    FrameLossWindow::Tally frame_loss(std::chrono::steady_clock::time_point now);
    // More than one video frame in a hundred given up lately. Any thread.
    bool too_lossy(std::chrono::steady_clock::time_point now);

private:
    void run();
    void drain(std::chrono::steady_clock::time_point now);
    void take_from(int fd, std::chrono::steady_clock::time_point now);
    // The datagrams of one buffer off a socket (slot i of the batch): one,
    // or a run the kernel coalesced. Returns how many.
    uint32_t take_received(size_t i, std::chrono::steady_clock::time_point now);
    void take_one(std::span<const uint8_t> datagram, std::chrono::steady_clock::time_point now);
    // Asks for what is missing, each message again only after a while and
    // a few times at most.
    void ask_missing(std::chrono::steady_clock::time_point now, std::vector<std::vector<uint8_t>>& out);

    net::Fd fd_;
    net::Fd repair_;  // unicast, where repairs come
    uint16_t repair_port_ = 0;
    net::Fd stop_;  // an eventfd that ends the thread's wait
    const std::string name_;
    Deliver deliver_;
    Ask ask_;
    const std::chrono::milliseconds window_;
    struct Asked {
        std::chrono::steady_clock::time_point at;
        int times = 0;
    };
    std::map<std::pair<uint32_t, uint64_t>, Asked> asked_;  // by stream and sequence (the thread's)
    uint64_t asks_ = 0;
    // What was said last in the log of losses and repairs (the thread's).
    std::chrono::steady_clock::time_point reported_at_{};
    uint64_t reported_asks_ = 0, reported_lost_ = 0, reported_forged_ = 0, reported_bad_ = 0;
    void report(std::chrono::steady_clock::time_point now);
    // The thread's alone but for stats(), which takes the lock.
    mutable std::mutex mutex_;
    wire::Reassembler video_, audio_, metadata_;
    // The data of delivered messages, recycled once the receiver's owner
    // lets go of them, as a connection's reader recycles its own.
    BufferPool data_buffers_;
    uint64_t bad_messages_ = 0;
    const bool sealed_;
    wire::DatagramOpener opener_;
    uint64_t unauthenticated_ = 0, reported_unauthenticated_ = 0;
    // The datagram off the socket with the seal taken off, or the one it
    // was; nothing when it must be dropped.
    std::optional<std::span<const uint8_t>> unseal(std::span<const uint8_t> d);
    std::vector<uint8_t> opened_;
    // Datagrams off a socket in one call: slots of slot_bytes_, each one
    // datagram of at most datagram_bytes_ (a byte more than any of the
    // offer's), or with coalescing a run of them (the thread's).
    void make_batch(uint16_t part_bytes);
    bool coalesce_ = false;
    uint64_t runs_ = 0;
    size_t datagram_bytes_ = 0;
    size_t slot_bytes_ = 0;
    std::vector<uint8_t> buffers_;
    std::vector<iovec> pieces_;
    std::vector<mmsghdr> batch_;
    // Where the kernel says the size of a coalesced run's datagrams.
    struct Control {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int))];
    };
    std::vector<Control> controls_;
    FrameLossWindow frames_;
    uint64_t seen_whole_ = 0, seen_lost_ = 0;  // video counters as frames_ last took them
    std::atomic<std::chrono::steady_clock::rep> last_{0};
    std::thread thread_;
};

}  // namespace qrv::transport

#endif

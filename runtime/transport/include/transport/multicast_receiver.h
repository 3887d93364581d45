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
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/socket.h"
#include "transport/message_io.h"
#include "wire/reassembler.h"

namespace qrv::transport {

// The counters of all streams of the group together.
struct MulticastReceiverStats {
    wire::ReassemblyCounters datagrams;
    uint64_t bad_messages = 0;  // whole, but not a media message that checks
};

// A whole message reassembled from datagrams, checked as a reader of a
// connection checks one: a video, audio or metadata message that a reader
// would take; nothing otherwise.
std::optional<Message> media_message(std::vector<uint8_t>&& bytes);

class MulticastReceiver {
public:
    // Called on the receiver's thread with each message, in order per stream.
    using Deliver = std::function<void(Message&&)>;
    // interface: the address of this host (host order) the source's
    // connection arrived on, where the group is joined. Throws Error when
    // the group cannot be joined, saying why.
    MulticastReceiver(const wire::MulticastOfferFields& offer, uint32_t interface, std::chrono::milliseconds window,
                      Deliver deliver, std::string name);
    ~MulticastReceiver();
    MulticastReceiver(const MulticastReceiver&) = delete;
    MulticastReceiver& operator=(const MulticastReceiver&) = delete;

    // When the last datagram of the source came; nothing before the first.
    std::optional<std::chrono::steady_clock::time_point> last_datagram() const;
    MulticastReceiverStats stats() const;

private:
    void run();
    void drain(std::chrono::steady_clock::time_point now);

    net::Fd fd_;
    net::Fd stop_;  // an eventfd that ends the thread's wait
    const std::string name_;
    Deliver deliver_;
    // The thread's alone but for stats(), which takes the lock.
    mutable std::mutex mutex_;
    wire::Reassembler video_, audio_, metadata_;
    uint64_t bad_messages_ = 0;
    std::atomic<std::chrono::steady_clock::rep> last_{0};
    std::thread thread_;
};

}  // namespace qrv::transport

#endif

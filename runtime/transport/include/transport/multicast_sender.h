// The sending end of one multicast group: wire messages cut into datagrams
// (wire/datagram.h) and sent to the group from the source's address, paced
// so that a large frame does not leave as one burst that overruns a
// switch's port buffers; the last ones kept for repairs. The owner decides
// when to send (only while a receiver is joined).
#ifndef QRV_TRANSPORT_MULTICAST_SENDER_H
#define QRV_TRANSPORT_MULTICAST_SENDER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/socket.h"
#include "transport/datagram_batch.h"
#include "transport/multicast_settings.h"
#include "transport/repair_budget.h"
#include "wire/datagram_seal.h"
#include "wire/packet.h"
#include "wire/repair_store.h"

namespace qrv::transport {

struct MulticastSenderStats {
    uint64_t messages = 0;   // sent to the group
    uint64_t datagrams = 0;
    uint64_t bytes = 0;      // of datagrams, headers included
    uint64_t dropped = 0;    // not sent: the pacing fell behind, or the socket refused
    uint64_t repairs = 0;    // datagrams sent again to one receiver
    uint64_t unrepaired = 0; // asked for, but no longer kept
    uint64_t refused = 0;    // asked for beyond the receiver's or the group's repair budget
};

// What became of one request for repairs.
struct RepairOutcome {
    uint32_t sent = 0;
    uint32_t refused = 0;  // beyond the budget or the most per request
    uint32_t refused_by_group = 0;  // of those, beyond the group's budget
};

class MulticastSender {
public:
    // group and source: IPv4 addresses in host order; source is the
    // address of this host the datagrams leave from. Throws Error when the
    // socket cannot be made, saying why.
    // sealed: every datagram is encrypted and authenticated under the
    // group's key (datagram_seal.h), whose parts are smaller by the tag;
    // throws Error too when no key can be made.
    MulticastSender(uint32_t group, uint32_t source, const MulticastSettings& settings, std::string name,
                    bool sealed = false);
    ~MulticastSender();
    MulticastSender(const MulticastSender&) = delete;
    MulticastSender& operator=(const MulticastSender&) = delete;

    // What a receiver is told to join.
    wire::MulticastOfferFields offer() const { return offer_; }
    // Queues a video, audio or metadata message for the group; others are
    // ignored. Never waits on the network. Any thread.
    void send(const wire::Packet& packet);
    // Sends datagrams of a message kept for repair again, to one
    // receiver's address and port (host order), never to the group:
    // those of indexes, or all of them when indexes is empty, as far as
    // that receiver's budget and the group's (GroupRepairBudget, shared
    // by all receivers) go, and RepairBudget::kMostPerRequest at most; the
    // rest are refused. What is no longer kept is counted. Any thread;
    // the receiver's budget is the caller's alone.
    RepairOutcome resend(uint32_t to, uint16_t port, uint32_t stream, uint64_t sequence,
                         std::span<const uint32_t> indexes, RepairBudget& budget);
    bool sealed() const { return sealed_; }
    // The keys a receiver that joins now needs: the one in use and, while
    // a renewal is under way, the next. Empty for a group not sealed. Any
    // thread.
    std::vector<wire::DatagramKey> keys() const;
    // Makes the next key, to be handed to the receivers that stay; sealing
    // switches to it kKeyOverlap later, so that it reaches them first. A
    // renewal under way is replaced. Nothing for a group not sealed, or
    // when no key can be made (logged; the old one stays). Any thread.
    std::optional<wire::DatagramKey> renew();
    // The key in use is older than kKeyLifetime and no renewal is under way.
    bool renewal_due(std::chrono::steady_clock::time_point now) const;
    // Whether a refusal by the group's repair budget should be logged now.
    bool time_to_tell_group_refusal(std::chrono::steady_clock::time_point now)
    {
        return group_budget_.time_to_tell(now);
    }
    static constexpr auto kKeyLifetime = std::chrono::hours(1);
    static constexpr auto kKeyOverlap = std::chrono::milliseconds(500);
    // Bytes per second sent to the group over the last second or so.
    uint64_t rate() const { return rate_.load(); }
    MulticastSenderStats stats() const;

private:
    struct Queued {
        std::shared_ptr<const wire::CutMessage> message;
        bool video = false;
        uint32_t stream = 0;
    };
    void run();
    void send_paced(const wire::CutMessage& message, bool video, uint32_t stream);
    // How many datagrams of a kept message the pacing has sent so far.
    uint32_t paced_of(uint32_t stream, const wire::CutMessage& message) const;

    net::Fd fd_;
    std::unique_ptr<DatagramBatch> batch_;  // the pacing thread's
    wire::MulticastOfferFields offer_;
    const std::string name_;
    std::unique_ptr<wire::RepairStore> repairs_[4];  // by stream
    GroupRepairBudget group_budget_;
    uint64_t sequences_[4] = {};  // the last sent per stream, under mutex_
    // Per stream, how far the pacing has come: (sequence << 24) | datagrams
    // of that message sent. A repair never runs ahead of the pacing: what
    // it has not sent yet is on its way to the whole group.
    std::atomic<uint64_t> paced_[4] = {};

    // The group's keys (sealed groups only), under mutex_.
    const bool sealed_;
    std::unique_ptr<wire::DatagramSealer> sealer_, next_sealer_;
    std::optional<wire::DatagramKey> key_, next_key_;
    std::chrono::steady_clock::time_point keyed_at_{}, switch_at_{};
    void switch_key_locked(std::chrono::steady_clock::time_point now);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Queued> queue_;
    bool stopping_ = false;
    std::atomic<uint64_t> messages_{0}, datagrams_{0}, bytes_{0}, dropped_{0}, repairs_sent_{0}, unrepaired_{0},
        refused_{0};
    std::atomic<uint64_t> rate_{0};
    // The pacing thread's measure of the rate.
    std::chrono::steady_clock::time_point rate_since_{};
    uint64_t rate_bytes_ = 0;
    void measure(uint64_t bytes);
    std::thread thread_;
};

}  // namespace qrv::transport

#endif

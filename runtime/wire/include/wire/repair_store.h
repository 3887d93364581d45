// The sending end's memory of a multicast stream: the datagrams of its
// last messages, for as long as a receiver may still ask for some of them
// again (the repair window) and within a cap on bytes. Messages are kept
// whole and shared, so a repair costs no copy. Any thread.
#ifndef QRV_WIRE_REPAIR_STORE_H
#define QRV_WIRE_REPAIR_STORE_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>

#include "wire/datagram.h"

namespace qrv::wire {

inline constexpr uint64_t kMaxRepairBytes = 64ull << 20;

class RepairStore {
public:
    using Clock = std::chrono::steady_clock;
    // max_bytes above kMaxRepairBytes is taken as kMaxRepairBytes.
    RepairStore(std::chrono::milliseconds window, uint64_t max_bytes = kMaxRepairBytes);

    // Keeps a message just sent; older ones past the window or the cap go.
    // A message larger than the cap is not kept.
    void keep(std::shared_ptr<const CutMessage> message, Clock::time_point now);
    // The message of this sequence while it is kept; null otherwise.
    std::shared_ptr<const CutMessage> find(uint64_t sequence, Clock::time_point now);

    uint64_t bytes() const;

private:
    struct Kept {
        std::shared_ptr<const CutMessage> message;
        Clock::time_point at;
    };
    void forget_old(Clock::time_point now);

    const std::chrono::milliseconds window_;
    const uint64_t max_bytes_;
    mutable std::mutex mutex_;
    std::deque<Kept> kept_;  // by sequence, oldest first
    uint64_t bytes_ = 0;
};

}  // namespace qrv::wire

#endif

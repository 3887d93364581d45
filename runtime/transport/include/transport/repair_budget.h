// How many bytes of repairs one receiver of a multicast group may still be
// sent: a bucket that fills at a share of the stream's rate (never less
// than a floor, so that a quiet stream can still be repaired) and holds at
// most a second of it. Whatever one lossy or hostile receiver asks, the
// source sends it no more than that share of the stream again; requests
// beyond it are refused and counted. The connection's reader alone.
#ifndef QRV_TRANSPORT_REPAIR_BUDGET_H
#define QRV_TRANSPORT_REPAIR_BUDGET_H

#include <chrono>
#include <cstdint>

namespace qrv::transport {

class RepairBudget {
public:
    using Clock = std::chrono::steady_clock;
    // A quarter of the stream's rate, at least 512 KiB/s.
    static constexpr uint64_t kShareDivisor = 4;
    static constexpr uint64_t kFloorPerSecond = 512 * 1024;
    // Datagrams resent for one request at most (one that asks for a whole
    // message names no indexes).
    static constexpr uint32_t kMostPerRequest = 512;

    // Takes `bytes` from what is left when they fit; false, taking
    // nothing, when they do not. stream_rate: bytes per second the stream
    // sends to its group now.
    bool take(uint64_t bytes, uint64_t stream_rate, Clock::time_point now);

    // Whether a refusal should be said in the log now: once, then at most
    // every ten seconds.
    bool time_to_tell(Clock::time_point now);

private:
    double left_ = 0;
    bool started_ = false;
    Clock::time_point at_{};
    Clock::time_point told_{};
    bool told_once_ = false;
};

}  // namespace qrv::transport

#endif

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
#include <mutex>
#include <unordered_map>

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
    // Puts back bytes taken but not sent (the group's budget refused them).
    void give_back(uint64_t bytes);

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

// How many bytes of repairs all receivers of one group together may still
// be sent: a bucket like a receiver's that fills at a smaller share of the
// stream's rate, so that however many receivers lose datagrams the
// source's link carries the stream once and at most a sixth of it again
// (under 1.2 copies). A receiver takes only while its own repairs of
// about the last second are within its fair share: equal parts among the
// receivers asking, what the lighter ones leave going to the others; so
// one starved receiver cannot take the repairs of all others, and a lone
// one may have all. Any thread.
class GroupRepairBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint64_t kShareDivisor = 6;
    static constexpr uint64_t kFloorPerSecond = 1024 * 1024;
    // Receivers remembered at most; the longest idle goes first.
    static constexpr size_t kMostReceivers = 1024;

    // Takes `bytes` for `receiver` (any number that tells receivers apart,
    // such as address and port) when the group's budget and that
    // receiver's fair share allow; false, taking nothing, otherwise.
    bool take(uint64_t receiver, uint64_t bytes, uint64_t stream_rate, Clock::time_point now);
    // Whether a refusal should be said in the log now: once, then at most
    // every ten seconds.
    bool time_to_tell(Clock::time_point now);

private:
    struct Use {
        double bytes = 0;  // repairs of about the last second
        Clock::time_point at{};
    };
    void forget_idle(Clock::time_point now);
    double fair_share(double per_second, Clock::time_point now) const;

    std::mutex mutex_;
    double left_ = 0;
    bool started_ = false;
    Clock::time_point at_{};
    std::unordered_map<uint64_t, Use> receivers_;
    Clock::time_point told_{};
    bool told_once_ = false;
};

}  // namespace qrv::transport

#endif

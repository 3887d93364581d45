// Time as the discovery state machines see it: they never read a clock
// themselves but are handed the current time, so tests drive them on a
// virtual clock.
#ifndef QRV_DISCOVERY_CLOCK_H
#define QRV_DISCOVERY_CLOCK_H

#include <chrono>
#include <cstdint>
#include <vector>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;

inline constexpr TimePoint kNever = TimePoint::max();

// A message that a state machine wants sent: multicast on one interface, or
// unicast to an address and port (network byte order) when unicast_port is
// set.
struct Outgoing {
    unsigned ifindex = 0;
    Message message;
    uint32_t unicast_address = 0;
    uint16_t unicast_port = 0;
};

// Small, seedable generator for the random delays of the protocol.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed ? seed : 0x9e3779b97f4a7c15ull) {}
    uint64_t next()
    {
        // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1dull;
    }
    // Uniform in [lo, hi] milliseconds.
    milliseconds between(int lo, int hi) { return milliseconds(lo + int(next() % uint64_t(hi - lo + 1))); }

private:
    uint64_t state_;
};

}  // namespace qrv::discovery

#endif

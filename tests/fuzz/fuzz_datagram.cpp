// libFuzzer target: datagrams as a receiver of a multicast stream takes
// them off its socket, each preceded here by its length (u16, little-
// endian). Every one is counted exactly once, whatever it holds; messages
// come out within the receiver's limits; the clock moves a millisecond a
// datagram, so that messages are also given up.
#include <cstddef>
#include <cstdint>

#include "wire/reassembler.h"

using namespace qrv::wire;

namespace {
constexpr uint64_t kToken = 0x0123456789abcdefull;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReassemblyLimits limits;
    limits.window = std::chrono::milliseconds(5);
    limits.max_message_bytes = 1 << 20;
    limits.max_pending_bytes = 4 << 20;
    Reassembler r(kToken, kStreamVideo, limits);
    auto now = Reassembler::Clock::time_point{};
    uint64_t fed = 0;
    std::span<const uint8_t> rest(data, size);
    while (rest.size() >= 2) {
        const size_t n = std::min<size_t>(rest[0] | rest[1] << 8, rest.size() - 2);
        r.take(rest.subspan(2, n), now);
        ++fed;
        rest = rest.subspan(2 + n);
        now += std::chrono::milliseconds(1);
        while (auto m = r.next(now))
            if (m->empty() || m->size() > limits.max_message_bytes)
                __builtin_trap();
        (void)r.missing(now, std::chrono::milliseconds(2));
    }
    const ReassemblyCounters& c = r.counters();
    if (c.datagrams + c.duplicates + c.malformed + c.bad_lengths + c.forged + c.other_stream + c.stale + c.overflow !=
        fed)
        __builtin_trap();
    return 0;
}

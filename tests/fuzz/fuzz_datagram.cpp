// libFuzzer target: datagrams as a receiver of a multicast stream takes
// them off its socket, each preceded here by its length (u16, little-
// endian). Every one is counted exactly once, whatever it holds; messages
// come out within the receiver's limits; the clock moves a millisecond a
// datagram, so that messages are also given up. Each is also offered to
// an opener as a sealed datagram (which nothing forged may pass), and, when
// a sealer takes it as a plain one, sealed and opened again: the same bytes
// must come back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wire/datagram_seal.h"
#include "wire/reassembler.h"

using namespace qrv::wire;

namespace {
constexpr uint64_t kToken = 0x0123456789abcdefull;

DatagramKey fixed_key()
{
    DatagramKey key;
    key.id = 7;
    key.secret.fill(0x5a);
    key.salt = {1, 2, 3, 4};
    return key;
}

void seal_and_open(DatagramSealer& sealer, DatagramOpener& opener, std::span<const uint8_t> datagram)
{
    if (opener.open(datagram))
        __builtin_trap();  // a forgery passed
    const auto sealed = sealer.seal(datagram);
    if (!sealed)
        return;
    const auto opened = opener.open(*sealed);
    if (!opened || opened->size() != datagram.size() ||
        std::memcmp(opened->data(), datagram.data(), datagram.size()) != 0)
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ReassemblyLimits limits;
    limits.window = std::chrono::milliseconds(5);
    limits.max_message_bytes = 1 << 20;
    limits.max_pending_bytes = 4 << 20;
    Reassembler r(kToken, kStreamVideo, limits);
    DatagramSealer sealer(fixed_key());
    DatagramOpener opener;
    opener.add_key(fixed_key());
    auto now = Reassembler::Clock::time_point{};
    uint64_t fed = 0;
    std::span<const uint8_t> rest(data, size);
    while (rest.size() >= 2) {
        const size_t n = std::min<size_t>(rest[0] | rest[1] << 8, rest.size() - 2);
        r.take(rest.subspan(2, n), now);
        seal_and_open(sealer, opener, rest.subspan(2, n));
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

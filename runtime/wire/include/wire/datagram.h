// Media to many receivers at once: wire messages cut into UDP datagrams
// that a source sends to a multicast group, which the network copies to
// every port that joined it.
//
// Design
// ------
// Negotiation rides on the TCP connection, which stays up for everything
// but the media (hello, status, tally, camera commands, repairs):
//   - A receiver on another host that may join sets kHelloJoinMulticast in
//     the flags of its hello (HelloFields::flags, 28 fixed bytes). It does
//     not when its process set QRV_MULTICAST=off, when it asked for a
//     reduced frame rate, for raw video or for audio only: those stay on
//     TCP, where the source serves each wish on its own.
//   - A source whose process offers multicast (QRV_MULTICAST=on|1, or the
//     runtime operation) sets kStatusMulticast in its status and sends a
//     multicast_offer message: group, UDP port, its own address, the
//     stream's token and the datagram size. Sources of the first version
//     never set the flag; receivers of the first version skip the offer
//     (an unknown type) and the longer hello fields are skipped by older
//     sources, so either side may be old.
//   - The receiver joins source-specifically (IGMPv3 (S,G),
//     IP_ADD_SOURCE_MEMBERSHIP) and says so upstream (multicast_state:
//     joined / left); only then does the source stop that connection's
//     media on TCP. It sends to the group while one receiver is joined and
//     stops within a second of the last one leaving.
//
// Groups: one per wish that can share it, full pictures and the reduced
// preview apart. Audio and metadata travel in the group of the video, as
// streams of their own (ids below): they are a few percent of the bytes,
// every receiver of the group wants them, and a group of their own would
// cost every receiver a second join. The group is chosen in
// QRV_MULTICAST_RANGE (CIDR, default 239.255.0.0/16) from a hash of the
// source's name, so that it is the same after a restart; a source steps
// to the next address when another sender of its host holds it already
// (a claim for the whole host, transport/group_claim.h). Two
// hosts may pick the same group: joins are per (source address, group),
// and the token keeps one source's datagrams from the other's receivers.
// Every group uses one UDP port, kMulticastPort, the one port to open.
// TTL 1 unless QRV_MULTICAST_TTL says otherwise.
//
// Datagram (little-endian like the rest of the wire format):
//     u32 magic          "QRVM"
//     u8  version        1
//     u8  kind           kDatagramMedia, or kDatagramSealed when the
//                        source holds a site key (datagram_seal.h)
//     u16 part_bytes     payload bytes of every datagram but the last
//     u64 token          the stream's token from the offer
//     u32 stream         stream id within the group (kStream*)
//     u32 message_bytes  bytes of the whole wire message
//     u64 sequence       the message's number in its stream, from 1 up by
//                        one per message sent to the group; a gap is loss
//     u32 index          this datagram's place, 0 .. count - 1
//     u32 count          datagrams of the message
//     u16 payload_bytes  bytes after this header
//     u16 reserved       0; the key id in sealed datagrams
//   payload
// Nothing in it is trusted until checked: count must equal message_bytes
// cut in part_bytes pieces, the payload must be exactly its piece, the
// whole datagram exactly header and payload, message_bytes within the
// largest wire message, and every datagram of a message must agree with
// the first. Bad datagrams are dropped and counted, never a crash.
//
// Size: the source fits its datagrams to the MTU of the route to the
// group (part_bytes_for_mtu): 1500 - 20 bytes IPv4 - 8 UDP - 44 header =
// 1428 on Ethernet, more with jumbo frames; 1400 when the MTU cannot be
// read. The part size is told in the offer; a receiver takes any from
// kMinPartBytes to the largest a UDP datagram over IPv4 can carry.
//
// Repair: the source keeps the datagrams of its last messages for
// QRV_MULTICAST_WINDOW_MS (default 60, at most 64 MiB, RepairStore). A
// receiver that sees a gap asks over TCP (nack: stream, sequence, missing
// indexes) and gets those datagrams unicast, to itself alone. A message not
// whole within the window is given up (Reassembler) and counted as
// dropped; the codec is intra-only, so the next frame stands alone.
//
// Settings are read once into the context: QRV_MULTICAST,
// QRV_MULTICAST_RANGE, QRV_MULTICAST_TTL, QRV_MULTICAST_WINDOW_MS.
#ifndef QRV_WIRE_DATAGRAM_H
#define QRV_WIRE_DATAGRAM_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qrv::wire {

inline constexpr uint32_t kDatagramMagic = 0x4d565251u;  // "QRVM" from the lowest byte up
inline constexpr uint8_t kDatagramVersion = 1;
inline constexpr uint8_t kDatagramMedia = 0;
inline constexpr size_t kDatagramHeaderBytes = 44;
// Payload bytes per datagram unless the source says otherwise.
inline constexpr uint16_t kDefaultPartBytes = 1400;
inline constexpr uint16_t kMinPartBytes = 256;
// At most what fits one UDP datagram over IPv4 (65,507 bytes) with the header.
inline constexpr uint16_t kMaxPartBytes = 65507 - kDatagramHeaderBytes;
// What IPv4 and UDP add to a datagram.
inline constexpr size_t kIpUdpBytes = 20 + 8;
// The largest wire message a datagram stream carries: a video frame at its
// cap with the largest header, fixed fields and text.
inline constexpr uint64_t kMaxDatagramMessageBytes = (256ull << 20) + 128 * 1024;
inline constexpr uint16_t kMulticastPort = 5964;

// Streams of a group.
inline constexpr uint32_t kStreamVideo = 1;
inline constexpr uint32_t kStreamAudio = 2;
inline constexpr uint32_t kStreamMetadata = 3;

struct DatagramHeader {
    uint16_t part_bytes = 0;
    uint64_t token = 0;
    uint32_t stream = 0;
    uint32_t message_bytes = 0;
    uint64_t sequence = 0;
    uint32_t index = 0;
    uint32_t count = 0;
    uint16_t payload_bytes = 0;
};

// Why a datagram was not taken (the reassembler counts each).
enum class DatagramFault {
    none,
    malformed,  // too short, magic, version, kind or reserved bits
    length,     // counts and lengths that do not add up
};

// The header of a datagram whose lengths all agree with each other and
// with the datagram's size; the fault otherwise.
struct DecodedDatagram {
    DatagramFault fault = DatagramFault::none;
    DatagramHeader header;
    std::span<const uint8_t> payload;
};
DecodedDatagram decode_datagram(std::span<const uint8_t> bytes);

// The part size whose datagrams fit an MTU of `mtu` bytes unfragmented,
// within kMinPartBytes and kMaxPartBytes; kDefaultPartBytes when the MTU
// is unknown (0 or less).
uint16_t part_bytes_for_mtu(int mtu);

// Datagrams of a message with these sizes; 0 when they are out of range.
uint32_t datagram_count(uint64_t message_bytes, uint16_t part_bytes);

// One message cut into datagrams, back to back in one buffer: datagram i
// starts at i * stride, every one stride bytes long but the last.
class CutMessage {
public:
    uint32_t count() const { return count_; }
    uint64_t sequence() const { return sequence_; }
    std::span<const uint8_t> datagram(uint32_t index) const;
    // Datagrams first .. first + n - 1 as they lie back to back, for a
    // send that the kernel cuts at every stride bytes; empty when the
    // range is not within the message.
    std::span<const uint8_t> datagrams(uint32_t first, uint32_t n) const;
    size_t stride() const { return stride_; }
    size_t bytes() const { return bytes_.size(); }

private:
    friend class DatagramSealer;  // seals a cut message's datagrams in a copy
    friend std::optional<CutMessage> cut_message(std::span<const std::span<const uint8_t>>, const DatagramHeader&);
    std::vector<uint8_t> bytes_;
    size_t stride_ = 0;
    uint32_t count_ = 0;
    uint64_t sequence_ = 0;
};

// Cuts a message, given as pieces that follow each other (header and
// fixed fields, then the data), into datagrams of the stream, token,
// sequence and part size of `how` (its other fields are filled in).
// Nothing for an empty message, one past kMaxDatagramMessageBytes or a
// part size out of range.
std::optional<CutMessage> cut_message(std::span<const std::span<const uint8_t>> pieces, const DatagramHeader& how);

}  // namespace qrv::wire

#endif

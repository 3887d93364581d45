// Datagrams of a stream whose source holds a site key: each one encrypted
// and authenticated on its own with AES-256-GCM under the stream's key, so
// that the network carries no media in clear and a receiver takes nothing
// that did not come from a holder of the key.
//
// A sealed datagram is the plain one (see datagram.h) with
//   - kind kDatagramSealed instead of kDatagramMedia,
//   - the key's id in the u16 that is reserved (0) in plain datagrams,
//   - the payload encrypted, and the 16-byte tag after it.
// The whole 44-byte header is authenticated (additional data), so no field
// of it, token and key id included, can be changed on the way. The part
// size is that of the plain payload; a sender with a key takes the tag off
// the part size it would use otherwise, so that datagrams still fit the MTU.
//
// Nonce (12 bytes): 4 random bytes drawn with each key, then 8 bytes made
// of the stream (2 bits), the message's sequence (41 bits) and the
// datagram's index (21 bits). Under one key the stream, sequence and index
// name one datagram: a source numbers each stream's messages from 1 up and
// never sends two different messages under one number, and indexes are
// below 2^21 (a message of at most kMaxDatagramMessageBytes cut in parts of
// at least kMinPartBytes). Sealing refuses anything out of those ranges, so
// a nonce never repeats under a key with other bytes; a repair sends the
// very bytes sent before, which is no repeat. Keys are renewed long before
// a sequence could reach 2^41 (70 years at a thousand messages a second).
#ifndef QRV_WIRE_DATAGRAM_SEAL_H
#define QRV_WIRE_DATAGRAM_SEAL_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "wire/datagram.h"

namespace qrv::wire {

inline constexpr uint8_t kDatagramSealed = 1;
inline constexpr size_t kDatagramTagBytes = 16;
inline constexpr size_t kDatagramKeyBytes = 32;

struct DatagramKey {
    uint16_t id = 0;
    std::array<uint8_t, kDatagramKeyBytes> secret{};
    std::array<uint8_t, 4> salt{};
};

// A new key with this id, from the system's random source; nothing when
// it fails.
std::optional<DatagramKey> make_datagram_key(uint16_t id);

// Seals plain datagrams (as cut_message makes them) under one key. One
// thread at a time.
class DatagramSealer {
public:
    explicit DatagramSealer(const DatagramKey& key);
    ~DatagramSealer();
    DatagramSealer(const DatagramSealer&) = delete;
    DatagramSealer& operator=(const DatagramSealer&) = delete;
    uint16_t key_id() const { return key_.id; }
    // The sealed form of a plain datagram; nothing when it is not one, its
    // numbers are out of the nonce's ranges, or the cipher fails.
    std::optional<std::vector<uint8_t>> seal(std::span<const uint8_t> plain);
    // Every datagram of a cut message sealed, in the same layout, written
    // straight into the sealed message's one buffer.
    std::optional<CutMessage> seal(const CutMessage& plain);

private:
    // Seals into out, which holds exactly plain's size and the tag.
    bool seal_into(std::span<const uint8_t> plain, std::span<uint8_t> out);
    struct Cipher;
    DatagramKey key_;
    std::unique_ptr<Cipher> cipher_;
};

// Opens sealed datagrams under the keys it holds: the current one and the
// one before it while sources switch over. One thread at a time.
class DatagramOpener {
public:
    DatagramOpener();
    ~DatagramOpener();
    DatagramOpener(const DatagramOpener&) = delete;
    DatagramOpener& operator=(const DatagramOpener&) = delete;
    // Takes a key; the one held before stays as the previous one, any
    // older is forgotten. A key with an id already held replaces it.
    void add_key(const DatagramKey& key);
    bool has_key() const { return current_.has_value(); }
    // The plain datagram (kind kDatagramMedia, reserved 0) that a sealed
    // one holds; nothing when it is not sealed, its key is not held, or it
    // fails authentication.
    std::optional<std::vector<uint8_t>> open(std::span<const uint8_t> sealed);
    // The same into out, whose capacity is kept from call to call, so that
    // a receiver opens a stream's datagrams without allocating; false (and
    // out empty) where the other gives nothing.
    bool open(std::span<const uint8_t> sealed, std::vector<uint8_t>& out);

private:
    // Decrypts sealed's payload into out (sized, its header in place) and
    // checks the tag.
    bool decrypt(const DatagramKey& key, const DatagramHeader& h, std::span<const uint8_t> sealed,
                 std::vector<uint8_t>& out);
    struct Cipher;
    std::optional<DatagramKey> current_, previous_;
    std::unique_ptr<Cipher> cipher_;
};

}  // namespace qrv::wire

#endif

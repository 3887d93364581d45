// DNS messages as multicast DNS uses them: names as label lists, the record
// types that service discovery needs (A, PTR, TXT, SRV) decoded, everything
// else kept as raw bytes. The parser trusts nothing: it checks every length
// and count against the packet, follows compression pointers only backwards
// and never more than a bounded number of times, and enforces the label and
// name limits of DNS. A packet that breaks any rule is refused as a whole.
#ifndef QRV_DISCOVERY_DNS_MESSAGE_H
#define QRV_DISCOVERY_DNS_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qrv::discovery {

enum RecordType : uint16_t {
    kTypeA = 1,
    kTypePTR = 12,
    kTypeTXT = 16,
    kTypeAAAA = 28,
    kTypeSRV = 33,
    kTypeNSEC = 47,
    kTypeANY = 255,
};

inline constexpr uint16_t kClassIN = 1;
inline constexpr uint16_t kClassAny = 255;
inline constexpr uint16_t kClassNone = 254;
inline constexpr size_t kMaxLabelBytes = 63;
inline constexpr size_t kMaxNameBytes = 255;  // on the wire, length bytes included
inline constexpr size_t kMaxPacketBytes = 9000;
inline constexpr size_t kMaxRecordsPerMessage = 512;

// A domain name as its labels, without the empty root label. Labels may hold
// any byte (service instance labels contain dots and blanks); comparisons
// ignore ASCII case, as DNS does.
struct Name {
    std::vector<std::string> labels;

    bool equals(const Name& other) const;
    // Bytes on the wire without compression (labels, lengths, root).
    size_t wire_size() const;
    // For logs and tests: labels joined with '.', dots inside labels escaped.
    std::string text() const;
    static Name of(std::initializer_list<std::string_view> labels);
    // Appends the labels of a suffix.
    Name plus(const Name& suffix) const;
    bool valid() const;  // every label 1..63 bytes, whole name within 255
    // The labels from `from` on, lower-cased, each after its length: equal
    // for names that compare equal, so that it can key maps and sets.
    std::string key(size_t from = 0) const;
};

struct Question {
    Name name;
    uint16_t type = 0;
    uint16_t klass = kClassIN;
    bool unicast_response = false;  // the top bit of the class
};

struct Record {
    Name name;
    uint16_t type = 0;
    uint16_t klass = kClassIN;
    bool cache_flush = false;  // the top bit of the class
    uint32_t ttl = 0;

    // Decoded data of the known types.
    Name target;                       // PTR and SRV
    uint16_t priority = 0, weight = 0, port = 0;  // SRV
    uint32_t address = 0;              // A, network byte order
    std::vector<std::string> strings;  // TXT
    std::vector<uint8_t> raw;          // any other type, as received
    // Written with no data at all, whatever the type: the deletions and
    // prerequisites of dynamic updates (class ANY or NONE).
    bool empty = false;

    // The data in canonical form (uncompressed, names lower-cased) for
    // comparisons: identical records, conflicts, probe tie-breaks.
    std::vector<uint8_t> canonical_rdata() const;
    bool same_data(const Record& other) const;
};

struct Message {
    uint16_t id = 0;
    uint16_t flags = 0;
    std::vector<Question> questions;
    std::vector<Record> answers;
    std::vector<Record> authorities;
    std::vector<Record> additionals;

    bool is_response() const { return (flags & 0x8000) != 0; }
    bool truncated() const { return (flags & 0x0200) != 0; }
    uint8_t opcode() const { return (flags >> 11) & 0xf; }
    uint8_t rcode() const { return flags & 0xf; }
};

inline constexpr uint16_t kFlagResponse = 0x8000;
inline constexpr uint16_t kFlagAuthoritative = 0x0400;
inline constexpr uint16_t kFlagTruncated = 0x0200;

enum class ParseError {
    none,
    truncated,
    bad_label,
    name_too_long,
    bad_pointer,
    too_many_records,
    bad_rdata,
    too_big,
};

struct ParseResult {
    std::optional<Message> message;
    ParseError error = ParseError::none;
};

ParseResult parse_message(std::span<const uint8_t> packet);

// Builds the wire form with name compression. Nothing when a name or a
// record is not representable (label over 63 bytes, TXT string over 255).
std::optional<std::vector<uint8_t>> build_message(const Message& message);

// Record helpers.
Record make_ptr(const Name& name, const Name& target, uint32_t ttl);
Record make_srv(const Name& name, const Name& target, uint16_t port, uint32_t ttl);
Record make_txt(const Name& name, std::vector<std::string> strings, uint32_t ttl);
Record make_a(const Name& name, uint32_t address, uint32_t ttl);

// "key=value" lookup in TXT strings; keys compare without case. Nothing
// when the key is absent; an empty string for "key" or "key=".
std::optional<std::string> txt_value(const std::vector<std::string>& strings, std::string_view key);

bool equal_nocase(std::string_view a, std::string_view b);

}  // namespace qrv::discovery

#endif

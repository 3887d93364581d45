// Transaction signatures for DNS messages: HMAC-SHA256 over the message and
// the signature's own fields, appended as the last additional record. Used
// to sign dynamic updates with a key shared with the DNS server.
#ifndef QRV_DISCOVERY_TSIG_H
#define QRV_DISCOVERY_TSIG_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

inline constexpr uint16_t kTypeTSIG = 250;
inline constexpr uint16_t kDefaultFudge = 300;

// A shared key: its name in DNS and the secret bytes.
struct TsigKey {
    Name name;
    std::vector<uint8_t> secret;
};

// Reads "hmac-sha256:NAME:BASE64", either as given or, when the text names
// a readable file, from that file's first line. Nothing (and `error` says
// why) for another algorithm, a bad name, bad base64 or an empty secret.
std::optional<TsigKey> parse_tsig_key(std::string_view text, std::string* error = nullptr);

// Returns the message (wire form, without a signature) with a TSIG record
// appended that signs it at `time_signed` (seconds since 1970). `mac_out`,
// when given, receives the MAC, which verifies the reply. Nothing when the
// message is shorter than a header. Thread-safe.
std::optional<std::vector<uint8_t>> tsig_sign(std::span<const uint8_t> message, const TsigKey& key,
                                              uint64_t time_signed, std::vector<uint8_t>* mac_out = nullptr,
                                              uint16_t fudge = kDefaultFudge);

// What the signature record of a reply says.
struct TsigReply {
    bool present = false;   // the last additional record is a TSIG record
    uint16_t error = 0;     // its error field: 16 BADSIG, 17 BADKEY, 18 BADTIME
    bool verified = false;  // its MAC is right for the request MAC and the key
};

// Checks the TSIG record of a reply (wire form) to a request that carried
// `request_mac`. A reply without one gives present = false.
TsigReply tsig_check_reply(std::span<const uint8_t> reply, const TsigKey& key,
                           std::span<const uint8_t> request_mac);

// "BADSIG", "BADKEY", ... for logs.
const char* tsig_error_text(uint16_t error);

}  // namespace qrv::discovery

#endif

// The locator of a source: the text that a receiver needs to connect to it,
// handed out by finders in QRVlib_source_t::locator.
//
//   qrv://ADDRESS:PORT[?unix=PATH][&id=ID]
//
// ADDRESS is a dotted IPv4 address, PORT the TCP port of the source's
// server; PATH, when present, is a Unix-domain socket on the same host that
// offers the shared-memory path; ID identifies the publishing process and
// object so that a source can be told apart from another of the same name.
#ifndef QRV_LOCATOR_H
#define QRV_LOCATOR_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qrv {

struct Endpoint {
    std::string address;  // dotted IPv4
    uint16_t port = 0;
    std::string unix_path;
    std::string id;
    bool operator==(const Endpoint&) const = default;
};

std::string format_locator(const Endpoint& endpoint);

// A new identity for a source: unique to this process and object, and
// random enough that two hosts never draw the same one. It travels in the
// locator's id field, so a source recognises itself on any address.
std::string new_source_id();
// Nothing for a text that is not a well-formed locator.
std::optional<Endpoint> parse_locator(std::string_view text);
// The same running source, perhaps listed on another address of its host:
// the same port, and the same identity (where either has none, the same
// address). A source started again has a new port or a new identity.
bool same_instance(const Endpoint& a, const Endpoint& b);

}  // namespace qrv

#endif

// Request and reply with one unicast DNS server: UDP first, TCP when the
// reply comes back truncated. Every call blocks its caller for at most the
// client's timeout per transport, so it belongs on a thread of its own.
#ifndef QRV_DISCOVERY_DNS_CLIENT_H
#define QRV_DISCOVERY_DNS_CLIENT_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

// An IPv4 server: address in network byte order, port in host order.
struct ServerAddress {
    uint32_t address = 0;
    uint16_t port = 53;
    std::string text() const;  // "a.b.c.d:port"
    bool operator==(const ServerAddress&) const = default;
};

// "a.b.c.d" or "a.b.c.d:port"; nothing for anything else.
std::optional<ServerAddress> parse_server(std::string_view text);
// The first IPv4 "nameserver" line of a resolv.conf file.
std::optional<ServerAddress> system_nameserver(const std::string& path = "/etc/resolv.conf");

class DnsClient {
public:
    enum class Status {
        ok,         // a well-formed reply to this request
        timeout,    // no reply within the timeout
        network,    // the request could not be sent or the connection failed
        malformed,  // a reply that the parser refused
    };
    struct Reply {
        Status status = Status::network;
        std::vector<uint8_t> bytes;  // the reply's wire form (for signature checks)
        Message message;
        std::string error;  // what went wrong, for logs
    };

    explicit DnsClient(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    // Sends the request (wire form, id in its first two bytes) and waits for
    // the reply with the same id from the server; replies from elsewhere or
    // with another id are ignored. Falls back to TCP on truncation.
    Reply exchange(const ServerAddress& server, std::span<const uint8_t> request) const;

    // The local address (network order) that traffic to the server leaves
    // from; nothing when there is no route.
    static std::optional<uint32_t> local_address_toward(const ServerAddress& server);

private:
    Reply over_udp(const ServerAddress& server, std::span<const uint8_t> request) const;
    Reply over_tcp(const ServerAddress& server, std::span<const uint8_t> request) const;
    std::chrono::milliseconds timeout_;
};

}  // namespace qrv::discovery

#endif

// Where unicast DNS service discovery publishes and browses, from the
// library's settings (the environment, read once at the start):
//   QRV_DNS_DOMAIN  the zone to publish in and browse ("studio.example");
//                   unset: no unicast discovery unless a finder asks for a
//                   domain of its own
//   QRV_DNS_SERVER  "a.b.c.d[:port]" (default: the first nameserver of
//                   /etc/resolv.conf)
//   QRV_DNS_KEY     "hmac-sha256:NAME:BASE64", or a file holding that; no
//                   key: browse only, publish nothing
//   QRV_DNS_LEASE   seconds a publication lives without a refresh (5..3600,
//                   default 30); it is refreshed three times per lease
//   QRV_DNS_POLL_MS how often browsers ask for the domain's list (100..60000,
//                   default 1000)
#ifndef QRV_DISCOVERY_UNICAST_CONFIG_H
#define QRV_DISCOVERY_UNICAST_CONFIG_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "discovery/unicast/dns_client.h"
#include "discovery/unicast/tsig.h"

namespace qrv::discovery {

struct UnicastConfig {
    std::optional<Name> domain;           // publish and browse here
    std::optional<ServerAddress> server;  // nothing: no server known
    std::optional<TsigKey> key;
    std::chrono::seconds lease{30};
    std::chrono::milliseconds poll{1000};
    std::chrono::milliseconds timeout{1000};  // per request
    std::vector<std::string> problems;        // settings that were refused, for the log

    // Parses the QRV_DNS_* values of the settings. Refused settings are
    // left out and described in `problems`.
    static UnicastConfig from_settings(const Settings& settings);
};

// A domain name as text ("studio.example", trailing dot allowed): nothing
// when it is empty, not a valid name, or holds characters other than
// letters, digits, '-' and '_'.
std::optional<Name> parse_domain(std::string_view text);

// Where a finder wants to browse besides the configured domain.
struct BrowseTarget {
    ServerAddress server;
    Name domain;
    bool operator==(const BrowseTarget& o) const { return server == o.server && domain.equals(o.domain); }
};

// The finder's comma list: domain names browse at the configured server;
// "a.b.c.d[:port]" entries browse the configured domain at that server.
// Entries that fit neither, or need a setting that is missing, are skipped
// and named in `skipped`.
std::vector<BrowseTarget> parse_browse_list(std::string_view list, const UnicastConfig& config,
                                            std::vector<std::string>* skipped = nullptr);

}  // namespace qrv::discovery

#endif

// How a process takes part in multicast delivery (wire/datagram.h), from
// its settings, and which group a source's stream is sent to.
#ifndef QRV_TRANSPORT_MULTICAST_SETTINGS_H
#define QRV_TRANSPORT_MULTICAST_SETTINGS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "base/settings.h"

namespace qrv::transport {

struct MulticastSettings {
    // Senders offer their receivers on other hosts a group
    // (QRV_MULTICAST=on or 1, or the runtime operation); off by default,
    // as a switch without IGMP snooping floods every port with it.
    bool offer = false;
    // Receivers offer to join (unless QRV_MULTICAST=off).
    bool join = true;
    // The range groups are chosen in (QRV_MULTICAST_RANGE, CIDR), host order.
    uint32_t range_base = 0xefff0000u;  // 239.255.0.0
    int range_prefix = 16;
    int ttl = 1;  // QRV_MULTICAST_TTL, 1 to 255
    // How long a source keeps datagrams for repair, and a receiver waits
    // for them (QRV_MULTICAST_WINDOW_MS, 1 to 1000).
    std::chrono::milliseconds window{60};

    // The defaults with what the settings change; a value that does not
    // parse keeps its default and is said in the log at warn.
    static MulticastSettings from_settings(const Settings& settings);
};

// An IPv4 range in CIDR ("239.255.0.0/16") that lies within 224.0.0.0/4,
// as its base address (host order) and prefix; nothing otherwise.
std::optional<std::pair<uint32_t, int>> parse_multicast_range(std::string_view text);

// The group for a stream of this identity (the source's name and its
// wish): always the same address of the range for the same identity; the
// next one along when taken() says it is held (claim_group, group_claim.h,
// asks the whole host).
// Addresses of 224.0.0.0/24, which switches flood, are never chosen.
// Nothing when every address of the range is taken.
std::optional<uint32_t> choose_group(std::string_view identity, const MulticastSettings& settings,
                                     const std::function<bool(uint32_t)>& taken);

}  // namespace qrv::transport

#endif

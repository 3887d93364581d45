// Reads the runtime's environment variables into one record.
#include "base/settings.h"

#include <cstdlib>

namespace qrv {

Settings Settings::from(const std::function<const char*(const char* name)>& get)
{
    const auto read = [&](const char* name) -> std::optional<std::string> {
        const char* value = get(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    Settings s;
    s.log = read("QRV_LOG");
    s.interfaces = read("QRV_INTERFACES");
    s.locator_file = read("QRV_LOCATOR_FILE");
    s.video_codec = read("QRV_VIDEO_CODEC");
    s.video_quality = read("QRV_VIDEO_QUALITY");
    s.video_max_mbits = read("QRV_VIDEO_MAX_MBITS");
    s.dns_domain = read("QRV_DNS_DOMAIN");
    s.dns_server = read("QRV_DNS_SERVER");
    s.dns_key = read("QRV_DNS_KEY");
    s.dns_lease = read("QRV_DNS_LEASE");
    s.dns_poll_ms = read("QRV_DNS_POLL_MS");
    s.shm_receiver_mb = read("QRV_SHM_RECEIVER_MB");
    s.handshake_ms = read("QRV_HANDSHAKE_MS");
    s.multicast = read("QRV_MULTICAST");
    s.multicast_range = read("QRV_MULTICAST_RANGE");
    s.multicast_ttl = read("QRV_MULTICAST_TTL");
    s.multicast_window_ms = read("QRV_MULTICAST_WINDOW_MS");
    s.key_file = read("QRV_KEY_FILE");
    s.operator_key_file = read("QRV_OPERATOR_KEY_FILE");
    s.local_group = read("QRV_LOCAL_GROUP");
    return s;
}

Settings Settings::from_environment()
{
    return from([](const char* name) { return std::getenv(name); });
}

}  // namespace qrv

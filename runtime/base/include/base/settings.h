// The runtime's configuration as the environment gives it. The library
// reads it once, when it starts (Settings::from_environment, the runtime's
// only reading of the environment but for the log's, see log.h), keeps it in
// its context and hands each layer its part through constructors; each
// layer parses the values it owns. Every field is the variable's text as
// set, or nothing when it is unset.
//
//   QRV_LOG             log categories and levels to standard error (log.h)
//   QRV_INTERFACES      the network scope (scope.h)
//   QRV_LOCATOR_FILE    a file to which each new source appends
//                       "NAME<TAB>LOCATOR", for test harnesses
//   QRV_VIDEO_CODEC, QRV_VIDEO_QUALITY, QRV_VIDEO_MAX_MBITS
//                       how senders compress video (video_encoder.h)
//   QRV_DNS_DOMAIN, QRV_DNS_SERVER, QRV_DNS_KEY, QRV_DNS_LEASE,
//   QRV_DNS_POLL_MS     unicast DNS discovery (unicast_config.h)
//   QRV_SHM_RECEIVER_MB the shared memory one receiver on this host may
//                       hold at least, in MiB (send_queue.h)
//   QRV_HANDSHAKE_MS    how long a receiver waits for a source's greeting
//                       (context.h); test runs under sanitizers lengthen it
//   QRV_MULTICAST, QRV_MULTICAST_RANGE, QRV_MULTICAST_TTL,
//   QRV_MULTICAST_WINDOW_MS
//                       media to many receivers through a multicast group
//                       (multicast_settings.h)
//   QRV_KEY_FILE        the site key: TLS on every TCP link (site_key.h)
//   QRV_OPERATOR_KEY_FILE
//                       the operator's key, for the right to steer cameras
//   QRV_LOCAL_GROUP     the group whose members may use this host's sources
//                       through the same-host socket when its peers are
//                       checked, besides the same user and root
//                       (peer_credentials.h)
#ifndef QRV_BASE_SETTINGS_H
#define QRV_BASE_SETTINGS_H

#include <functional>
#include <optional>
#include <string>

namespace qrv {

struct Settings {
    std::optional<std::string> log;
    std::optional<std::string> interfaces;
    std::optional<std::string> locator_file;
    std::optional<std::string> video_codec;
    std::optional<std::string> video_quality;
    std::optional<std::string> video_max_mbits;
    std::optional<std::string> dns_domain;
    std::optional<std::string> dns_server;
    std::optional<std::string> dns_key;
    std::optional<std::string> dns_lease;
    std::optional<std::string> dns_poll_ms;
    std::optional<std::string> shm_receiver_mb;
    std::optional<std::string> handshake_ms;
    std::optional<std::string> multicast;
    std::optional<std::string> multicast_range;
    std::optional<std::string> multicast_ttl;
    std::optional<std::string> multicast_window_ms;
    std::optional<std::string> key_file;
    std::optional<std::string> operator_key_file;
    std::optional<std::string> local_group;

    /// Reads every variable above from the process environment. Call it
    /// once per start of the library, on the thread that starts it.
    static Settings from_environment();
    /// The same through a lookup by variable name (null: unset), for tests.
    static Settings from(const std::function<const char*(const char* name)>& get);
};

/// The value's text, or null when it is unset: for parsers that take the
/// variable as the C environment gives it.
inline const char* text_of(const std::optional<std::string>& value)
{
    return value ? value->c_str() : nullptr;
}

}  // namespace qrv

#endif

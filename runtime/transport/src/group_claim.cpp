#include "transport/group_claim.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "base/log.h"

namespace qrv::transport {

namespace {

enum class Bound { claimed, held, failed };

// Binds fd to the group's abstract name. A stream socket that never
// listens: nothing can connect to it or queue data on it.
Bound bind_name(int fd, uint32_t group)
{
    const std::string name = "qrv-multicast-group-" + net::ipv4_text(group);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    // sun_path[0] stays '\0': abstract, its length ends the name.
    std::memcpy(at.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), len) == 0)
        return Bound::claimed;
    return errno == EADDRINUSE ? Bound::held : Bound::failed;
}

}  // namespace

std::optional<ClaimedGroup> claim_group(std::string_view identity, const MulticastSettings& settings, uint32_t avoid)
{
    // One socket for every attempt: a bind refused leaves it unbound.
    net::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bool unclaimed = !fd;
    int why = unclaimed ? errno : 0;
    const std::string who(identity);
    const auto group = choose_group(identity, settings, [&](uint32_t g) {
        if (g == avoid) {
            QRV_LOG_AT(debug, sender, "'%s' skips multicast group %s: another stream of the source has it",
                       who.c_str(), net::ipv4_text(g).c_str());
            return true;
        }
        if (unclaimed)
            return false;
        switch (bind_name(fd.get(), g)) {
        case Bound::claimed:
            return false;
        case Bound::held:
            QRV_LOG_AT(debug, sender, "'%s' skips multicast group %s: another sender of this host holds it",
                       who.c_str(), net::ipv4_text(g).c_str());
            return true;
        case Bound::failed:
            break;
        }
        why = errno;
        unclaimed = true;
        return false;
    });
    if (unclaimed)
        QRV_LOG_AT(warn, sender, "'%s': could not claim a multicast group on this host (%s); it is chosen without "
                   "regard to other senders here, whose receivers may then take its datagrams too",
                   who.c_str(), std::strerror(why));
    if (!group)
        return std::nullopt;
    return ClaimedGroup{*group, unclaimed ? GroupClaim() : GroupClaim(std::move(fd))};
}

}  // namespace qrv::transport

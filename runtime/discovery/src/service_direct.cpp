// A question that makes a source's host answer this host directly. When a
// host vanished and a new one took its address, this host's kernel may
// still hold the vanished host's hardware address as reachable, for up to
// a minute: connections to the new host go nowhere meanwhile, though its
// multicast answers arrive. A question from a port other than 5353 is
// answered by unicast; to send it, the new host resolves this host's
// address, and this host's kernel takes the new hardware address from that
// request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/log.h"
#include "base/socket.h"
#include "discovery/common/dns_message.h"
#include "discovery/mdns/responder.h"
#include "service_state.h"

namespace qrv::discovery {

void DiscoveryService::ask_directly(std::string_view name) const
{
    if (!state_->socket || name.empty())
        return;
    Message query;
    query.id = 0x7172;
    query.questions.push_back(Question{Name::of({name, "_qrv", "_tcp", "local"}), kTypeSRV});
    const auto bytes = build_message(query);
    if (!bytes)
        return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kMdnsPort);
    inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
    for (const auto& iface : state_->socket->interfaces()) {
        if (iface.loopback)
            continue;
        // A port of its own, closed at once: the answer is not needed,
        // only that the other host sends it.
        net::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ip_mreqn out{};
        out.imr_ifindex = static_cast<int>(iface.index);
        out.imr_address.s_addr = iface.address;
        const int ttl = 255;
        if (!fd || setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) != 0 ||
            setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
            ::sendto(fd.get(), bytes->data(), bytes->size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                     sizeof to) != ssize_t(bytes->size()))
            QRV_LOG_AT(debug, discovery, "could not ask for '%.*s' directly on %s", (int)name.size(), name.data(),
                       iface.name.c_str());
    }
}

}  // namespace qrv::discovery

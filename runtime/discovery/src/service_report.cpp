// What the discovery service logs about itself: how it started (interfaces,
// unicast DNS configuration and its problems) and the publications that were
// announced or renamed.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "service_state.h"

namespace qrv::discovery {

void DiscoveryService::State::report_publications()
{
    if (!log::enabled(log::Category::discovery, log::Level::warn))
        return;
    std::vector<std::pair<std::string, std::string>> renamed;  // from, to
    std::vector<std::string> announced, contested;
    {
        std::lock_guard lock(mutex);
        for (auto& [id, seen] : reported) {
            const auto label = responder->label(id);
            if (!label)
                continue;
            if (*label != seen.label) {
                renamed.emplace_back(seen.label, *label);
                seen.label = *label;
            }
            const bool now_announced = responder->announced(id);
            if (now_announced && !seen.announced)
                announced.push_back(*label);
            seen.announced = now_announced;
            if (responder->contested(id) && !std::exchange(seen.contested, true))
                contested.push_back(*label);
        }
    }
    for (const auto& [from, to] : renamed)
        QRV_LOG_AT(info, discovery, "the name '%s' is taken on the network: renamed to '%s'", from.c_str(),
                   to.c_str());
    for (const auto& label : announced)
        QRV_LOG_AT(info, discovery, "published '%s'", label.c_str());
    for (const auto& label : contested)
        QRV_LOG_AT(warn, discovery,
                   "another instance claims '%s' on the network; keeping the name: receivers with the site key "
                   "connect only to the one that proves it",
                   label.c_str());
}

void DiscoveryService::log_start() const
{
    const State& st = *state_;
    const auto& uc = st.unicast_config;
    for (const auto& problem : uc.problems)
        QRV_LOG_AT(warn, discovery, "%s", problem.c_str());
    if (uc.domain) {
        if (!uc.server)
            QRV_LOG_AT(warn, discovery, "no DNS server for %s: set QRV_DNS_SERVER (resolv.conf names none)",
                       uc.domain->text().c_str());
        else if (!uc.key)
            QRV_LOG_AT(info, discovery, "browsing %s at %s; not publishing there (no QRV_DNS_KEY)",
                       uc.domain->text().c_str(), uc.server->text().c_str());
        else
            QRV_LOG_AT(info, discovery, "publishing in and browsing %s at %s with key '%s'",
                       uc.domain->text().c_str(), uc.server->text().c_str(), uc.key->name.text().c_str());
        // Sources are published at the address that faces the server;
        // they listen only on the interfaces of the scope.
        const auto toward = uc.server && uc.key ? DnsClient::local_address_toward(*uc.server) : std::nullopt;
        const bool in_scope = toward && std::any_of(st.scope.interfaces.begin(), st.scope.interfaces.end(),
                                                    [&](const Interface& i) { return i.address == *toward; });
        if (toward && !in_scope)
            QRV_LOG_AT(warn, discovery,
                       "sources are published in %s at %s, an address outside the scope where they do not "
                       "listen: add the interface toward %s to QRV_INTERFACES",
                       uc.domain->text().c_str(), ServerAddress{*toward, 0}.text().c_str(),
                       uc.server->text().c_str());
    }
    if (!st.socket) {
        QRV_LOG_AT(error, discovery,
                   "could not start: %s; sources are neither published nor found, but can be reached by locator",
                   st.socket_error.c_str());
        return;
    }
    std::string joined;
    for (const auto& iface : st.socket->interfaces())
        joined += (joined.empty() ? "" : ", ") + iface.name + " (" + iface.address_text() + ")";
    QRV_LOG_AT(info, discovery, "running on %s", joined.c_str());
    for (const auto& iface : st.scope.interfaces)
        if (!st.socket->interface(iface.index))
            QRV_LOG_AT(warn, discovery, "%s (%s) is left out: it did not join the multicast group",
                       iface.name.c_str(), iface.address_text().c_str());
}

}  // namespace qrv::discovery

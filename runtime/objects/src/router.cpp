#include "objects/router.h"

#include "base/error.h"
#include "base/log.h"
#include "discovery/common/dns_message.h"

namespace qrv {

Router::Router(RouterSettings settings, const Scope& scope, transport::ServerOptions options)
    : settings_(std::move(settings)),
      server_(std::make_unique<transport::SourceServer>(scope, options.named(settings_.name), nullptr))
{
    // Until a route is set, receivers are told there is none.
    server_->set_redirect(std::string());
}

bool Router::change(SourceInfo target)
{
    const auto where = parse_locator(target.locator);
    if (!where) {
        set_last_error(target.locator.empty() ? "the route's source has no locator"
                                              : "the route's locator cannot be read: '" + target.locator + "'");
        return false;
    }
    const log::QuietLock lock(mutex_);
    if (own_locked(*where)) {
        set_last_error("a router cannot route to its own source");
        return false;
    }
    server_->set_redirect(target.locator);
    target_ = std::move(target);
    return true;
}

// A router pointed at its own source would carry nothing at all. It knows
// itself by its identity, whichever address the locator names; a locator
// without one is compared by address and port.
bool Router::own_locked(const Endpoint& where) const
{
    const Endpoint own = server_->endpoint();
    return !where.id.empty() ? where.id == own.id : where.address == own.address && where.port == own.port;
}

void Router::follow(discovery::DiscoveryService& service)
{
    // The service calls back only while it lives. A new host at a vanished
    // one's address is asked directly (outside the router's lock), so that
    // receivers on this host reach it at once.
    subscription_ = service.subscribe([this, &service](const std::vector<discovery::SourceEntry>& all) {
        if (const auto moved = on_sources(all))
            service.ask_directly(*moved);
    });
}

std::optional<std::string> Router::on_sources(const std::vector<discovery::SourceEntry>& all)
{
    const log::QuietLock lock(mutex_);
    if (!target_)
        return std::nullopt;
    const auto current = parse_locator(target_->locator);
    for (const auto& entry : all) {
        if (!discovery::equal_nocase(entry.name, target_->name))
            continue;
        // The same instance, perhaps listed on another address of its host:
        // the route stays as the caller set it. Where either locator has no
        // identity, the address tells instances apart. The port is compared
        // always: discovery may list a new identity before the new port
        // (their records travel apart), and the route must follow both.
        const bool same = current && same_instance(entry.endpoint, *current);
        if (same || own_locked(entry.endpoint))
            return std::nullopt;
        QRV_LOG_AT(info, router, "'%s': '%s' is now at %s; the route follows", settings_.name.c_str(),
                   entry.name.c_str(), entry.locator.c_str());
        server_->set_redirect(entry.locator);
        target_->locator = entry.locator;
        return entry.name;
    }
    return std::nullopt;
}

void Router::clear()
{
    const log::QuietLock lock(mutex_);
    server_->set_redirect(std::string());
    target_.reset();
}

std::optional<SourceInfo> Router::target() const
{
    const log::QuietLock lock(mutex_);
    return target_;
}

}  // namespace qrv

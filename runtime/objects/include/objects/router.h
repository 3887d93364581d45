// A router: publishes a source of its own that carries whichever source it
// is pointed at. The media never pass through the router: its server tells
// each receiver where the routed source is, and the receiver connects there.
#ifndef QRV_ROUTER_H
#define QRV_ROUTER_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "discovery/discovery.h"
#include "objects/finder.h"
#include "base/scope.h"
#include "transport/source_server.h"

namespace qrv {

struct RouterSettings {
    std::string name;
    std::string groups;
};

class Router {
public:
    // The server listens on the scope: loopback alone unless one is given.
    explicit Router(RouterSettings settings, const Scope& scope = Scope::from_value(nullptr),
                    transport::ServerOptions options = {});
    const RouterSettings& settings() const { return settings_; }
    // Wakes callers waiting for connections: the router is going away.
    void close() { server_->interrupt_waits(); }
    Endpoint endpoint() const { return server_->endpoint(); }

    // Points the routed source at target; false when its locator is not
    // one that receivers could follow, or is the router's own (the reason
    // goes to the thread's last error).
    bool change(SourceInfo target);
    // Follows the routed source by name through discovery: when a source of
    // that name appears as another instance (it restarted, on a new port or
    // host), the route moves there and receivers follow, as they do when
    // they find a source by name themselves. Call once, after creation.
    void follow(discovery::DiscoveryService& service);
    void clear();
    std::optional<SourceInfo> target() const;

    // The routed source as published; withdrawn with the router.
    void set_publication(discovery::Publication p) { publication_ = std::move(p); }
    const discovery::Publication& publication() const { return publication_; }

    size_t connections() const { return server_->connections(); }
    bool wait_connections(size_t n, std::chrono::milliseconds timeout)
    {
        return server_->wait_connections(n, timeout);
    }

private:
    // The name of the routed source when the route followed it elsewhere.
    std::optional<std::string> on_sources(const std::vector<discovery::SourceEntry>& all);
    // Under mutex_: false when the locator names this router's own source.
    bool own_locked(const Endpoint& where) const;

    const RouterSettings settings_;
    mutable std::mutex mutex_;
    std::optional<SourceInfo> target_;
    std::unique_ptr<transport::SourceServer> server_;
    discovery::Publication publication_;  // withdrawn before the server stops
    // Last member: gone first, so no callback runs on a router being torn down.
    discovery::Subscription subscription_;
};

}  // namespace qrv

#endif

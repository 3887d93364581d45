#include "objects/router.h"

#include "base/error.h"

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
    // A router pointed at its own source would carry nothing at all. It
    // knows itself by its identity, whichever address the locator names;
    // a locator without one is compared by address and port.
    const Endpoint own = server_->endpoint();
    if (!where->id.empty() ? where->id == own.id : where->address == own.address && where->port == own.port) {
        set_last_error("a router cannot route to its own source");
        return false;
    }
    std::lock_guard lock(mutex_);
    server_->set_redirect(target.locator);
    target_ = std::move(target);
    return true;
}

void Router::clear()
{
    std::lock_guard lock(mutex_);
    server_->set_redirect(std::string());
    target_.reset();
}

std::optional<SourceInfo> Router::target() const
{
    std::lock_guard lock(mutex_);
    return target_;
}

}  // namespace qrv

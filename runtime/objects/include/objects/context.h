// What the running library's objects share, made once per start: the
// network scope (read once from the environment), the discovery service and
// the lookup of sources by name that receivers use. Objects take what they
// need of it when they are created.
#ifndef QRV_CONTEXT_H
#define QRV_CONTEXT_H

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/locator.h"
#include "base/scope.h"
#include "discovery/discovery.h"

namespace qrv {

// Where a source of this name can be reached now, if anyone knows: how a
// receiver follows a source that came back on another address or port.
using SourceResolver = std::function<std::optional<Endpoint>(const std::string& source_name)>;

struct Context {
    Scope scope;
    std::shared_ptr<discovery::DiscoveryService> discovery;  // null: none could start
    SourceResolver resolver;  // unset without discovery

    // The resolver asks the service without keeping it alive: once the
    // library stops, it finds nothing.
    static std::shared_ptr<const Context> make(Scope scope, std::shared_ptr<discovery::DiscoveryService> service);
};

}  // namespace qrv

#endif

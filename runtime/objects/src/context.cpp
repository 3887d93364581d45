#include "objects/context.h"

namespace qrv {

std::shared_ptr<const Context> Context::make(Scope scope, std::shared_ptr<discovery::DiscoveryService> service)
{
    auto c = std::make_shared<Context>();
    c->scope = std::move(scope);
    if (service) {
        std::weak_ptr<discovery::DiscoveryService> weak = service;
        c->resolver = [weak](const std::string& name) -> std::optional<Endpoint> {
            auto s = weak.lock();
            if (!s)
                return std::nullopt;
            auto entry = s->find(name);
            if (!entry)
                return std::nullopt;
            return entry->endpoint;
        };
    }
    c->discovery = std::move(service);
    return c;
}

}  // namespace qrv

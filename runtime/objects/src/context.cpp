#include "objects/context.h"

#include "transport/locator_file.h"

namespace qrv {

std::shared_ptr<const Context> Context::make(Settings settings, Scope scope,
                                             std::shared_ptr<discovery::DiscoveryService> service)
{
    auto c = std::make_shared<Context>();
    c->video_codec = transport::VideoCodecSettings::from_settings(settings);
    c->queue = transport::QueueLimits::from_settings(settings);
    c->settings = std::move(settings);
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

void Context::note_source(const std::string& name, const Endpoint& endpoint) const
{
    transport::note_locator(settings.locator_file.value_or(std::string()), name, endpoint);
}

}  // namespace qrv

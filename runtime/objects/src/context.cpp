#include "objects/context.h"

#include <cstdlib>

#include "base/error.h"
#include "base/log.h"
#include "base/peer_credentials.h"
#include "transport/locator_file.h"

namespace qrv {

namespace {

// QRV_HANDSHAKE_MS: whole milliseconds from 100 to 600000; anything else
// keeps the default, said once in the log.
std::chrono::milliseconds handshake_from(const std::optional<std::string>& text,
                                         std::chrono::milliseconds fallback)
{
    if (!text)
        return fallback;
    char* end = nullptr;
    const long long ms = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || ms < 100 || ms > 600000) {
        QRV_LOG_AT(warn, library, "QRV_HANDSHAKE_MS='%s' is not a number of milliseconds from 100 to 600000; "
                   "using %lld", text->c_str(), (long long)fallback.count());
        return fallback;
    }
    return std::chrono::milliseconds(ms);
}

}  // namespace

LinkSecurity LinkSecurity::from_files(const std::optional<std::string>& site_key_file,
                                      const std::optional<std::string>& operator_key_file)
{
    const bool site = site_key_file && !site_key_file->empty();
    const bool op = operator_key_file && !operator_key_file->empty();
    LinkSecurity s;
    if (!site && !op)
        return s;
    try {
        std::optional<SiteKey> operator_key;
        if (op)
            operator_key = SiteKey::read(*operator_key_file);
        // The operator key alone is offered in the site key's place.
        s.keys = site ? transport::LinkKeys::make(SiteKey::read(*site_key_file), std::move(operator_key))
                      : transport::LinkKeys::make_operator_only(std::move(*operator_key));
    } catch (const Error& e) {
        s.error = e.what();
        QRV_LOG_AT(error, library, "%s", s.error.c_str());
    }
    return s;
}

std::shared_ptr<const Context> Context::make(Settings settings, Scope scope,
                                             std::shared_ptr<discovery::DiscoveryService> service)
{
    auto c = std::make_shared<Context>();
    c->video_codec = transport::VideoCodecSettings::from_settings(settings);
    c->queue = transport::QueueLimits::from_settings(settings);
    c->handshake_timeout = handshake_from(settings.handshake_ms, c->handshake_timeout);
    c->multicast = transport::MulticastSettings::from_settings(settings);
    c->security = LinkSecurity::from_files(settings.key_file, settings.operator_key_file);
    c->local_group = net::local_group_from(settings.local_group);
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
        c->candidates = [weak](const std::string& name) {
            std::vector<Endpoint> out;
            if (auto s = weak.lock())
                for (auto& e : s->candidates(name))
                    out.push_back(std::move(e.endpoint));
            return out;
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

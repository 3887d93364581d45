// The exported operations of routers: a published name that redirects
// its receivers to another source.
#include <chrono>
#include <cstdint>
#include <string>

#include "api_support.h"
#include "base/text.h"

using namespace qrv;
using namespace qrv::capi;

extern "C" {

QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings)
{
    return create<QRVlib_routing_instance_t>(log::Category::router, "could not create a router", [&] {
        const auto context = require_context();
        const auto& s = require(settings, "the router's settings are missing");
        const std::string name = published_text(s.name, kMaxNameBytes, "the router name");
        if (name.empty())
            throw Error("the router name is missing");
        const std::string groups = published_text(s.option_text, kMaxOptionBytes, "the router's group list");
        auto router =
            std::make_shared<Router>(RouterSettings{name, groups}, context->scope, lib().server_options());
        const Endpoint endpoint = router->endpoint();
        context->note_source(name, endpoint);
        if (context->discovery) {
            router->set_publication(
                context->discovery->publish({name, groups, endpoint, lib().link_keys() != nullptr}));
            router->follow(*context->discovery);
        }
        void* handle = lib().adopt(std::move(router));
        if (!handle)
            throw Error("the library is not initialized");
        QRV_LOG_AT(info, router, "'%s' created, listening at %s", name.c_str(), format_locator(endpoint).c_str());
        return reinterpret_cast<QRVlib_routing_instance_t>(handle);
    });
}

QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router)
{
    guarded_void([&] {
        if (auto r = lib().registry<Router>().remove(router)) {
            const std::string name = r->settings().name;
            release(r);
            QRV_LOG_AT(debug, router, "'%s' destroyed", name.c_str());
        }
    });
}

QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source)
{
    return guarded(false, [&] {
        auto r = router_of(router);
        if (!r || !present(source, "the route's source"))
            return false;
        const std::string name = text_argument(source->name, kMaxOptionBytes, "the source name");
        const std::string locator = text_argument(source->locator, kMaxOptionBytes, "the source locator");
        if (name.empty() && locator.empty()) {
            set_last_error("the route's source has no name or locator");
            return false;
        }
        if (!r->change(SourceInfo{name, locator}))
            return false;
        QRV_LOG_AT(info, router, "'%s' routes to '%s' at %s", r->settings().name.c_str(), name.c_str(),
                   locator.c_str());
        return true;
    });
}

QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router)
{
    return guarded(false, [&] {
        auto r = router_of(router);
        if (!r)
            return false;
        r->clear();
        QRV_LOG_AT(info, router, "'%s' routes nowhere", r->settings().name.c_str());
        return true;
    });
}

QRVLIB_API uint32_t QRVlib_routing_get_locator(QRVlib_routing_instance_t router, char* text, uint32_t capacity)
{
    return guarded(0u, [&]() -> uint32_t {
        auto r = router_of(router);
        return r ? copy_locator(r->endpoint(), text, capacity) : 0u;
    });
}

QRVLIB_API int32_t QRVlib_routing_get_no_connections(QRVlib_routing_instance_t router, uint32_t timeout_ms)
{
    return guarded((int32_t)-1, [&]() -> int32_t {
        auto r = router_of(router);
        if (!r)
            return -1;
        if (timeout_ms)
            r->wait_connections(1, std::chrono::milliseconds(timeout_ms));
        return (int32_t)r->connections();
    });
}

}  // extern "C"

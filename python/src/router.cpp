// The router: a published source that carries whichever source it is
// pointed at.
#include "native.h"

#include <utility>

namespace qrv_python {
namespace {

using RouterHandle = Owned<QRVlib_routing_instance_t, QRVlib_routing_destroy>;

class Router {
public:
    Router(const std::string& name, const std::optional<std::string>& groups)
    {
        auto lib = Library::acquire();
        QRVlib_routing_create_t s(name.c_str(), groups ? groups->c_str() : nullptr);
        QRVlib_routing_instance_t h = nullptr;
        {
            py::gil_scoped_release nogil;
            h = QRVlib_routing_create(&s);
        }
        if (!h)
            fail("could not create the router '" + name + "'");
        owned_ = std::make_shared<RouterHandle>(std::move(lib), h);
    }

    void close()
    {
        if (auto o = std::exchange(owned_, nullptr))
            o->closed = true;
    }

    void route(const std::string& name, const std::string& locator)
    {
        auto o = live(owned_, "router");
        QRVlib_source_t s(name.empty() ? nullptr : name.c_str(), locator.empty() ? nullptr : locator.c_str());
        if (!QRVlib_routing_change(o->handle, &s))
            fail("could not route to '" + name + "'");
    }

    void clear()
    {
        if (!QRVlib_routing_clear(live(owned_, "router")->handle))
            fail("could not clear the route");
    }

    int connections(const py::object& timeout)
    {
        auto o = live(owned_, "router");
        int32_t n = 0;
        wait_sliced(timeout_ms(timeout), [&](uint32_t ms) {
            n = QRVlib_routing_get_no_connections(o->handle, ms);
            return n != 0 || ms == 0 || o->closed;
        });
        return n;
    }

    std::string locator() const
    {
        auto o = live(owned_, "router");
        const uint32_t need = QRVlib_routing_get_locator(o->handle, nullptr, 0);
        if (need == 0)
            fail("could not read the router's locator");
        std::string s(need, '\0');
        QRVlib_routing_get_locator(o->handle, s.data(), need);
        s.resize(need - 1);
        return s;
    }

private:
    std::shared_ptr<RouterHandle> owned_;
};

}  // namespace

void register_router(py::module_& m)
{
    py::class_<Router>(m, "Router")
        .def(py::init<const std::string&, const std::optional<std::string>&>())
        .def("close", &Router::close)
        .def("route", &Router::route)
        .def("clear", &Router::clear)
        .def("connections", &Router::connections)
        .def("locator", &Router::locator);
}

}  // namespace qrv_python

// The finder: the sources visible on the network, and waits for changes.
#include "native.h"

#include <utility>
#include <vector>

namespace qrv_python {
namespace {

using FinderHandle = Owned<QRVlib_find_instance_t, QRVlib_find_destroy>;

class Finder {
public:
    Finder(const std::optional<std::string>& groups, const std::optional<std::string>& extra, bool show_local)
    {
        auto lib = Library::acquire();
        const std::string g = groups.value_or(""), e = extra.value_or("");
        QRVlib_find_create_t settings(show_local, groups ? g.c_str() : nullptr, extra ? e.c_str() : nullptr);
        QRVlib_find_instance_t h = nullptr;
        {
            py::gil_scoped_release nogil;
            h = QRVlib_find_create_v2(&settings);
        }
        if (!h)
            fail("could not create the finder");
        owned_ = std::make_shared<FinderHandle>(std::move(lib), h);
    }

    void close()
    {
        if (auto o = std::exchange(owned_, nullptr))
            o->closed = true;
    }

    /// Waits for the list to change; true when it did within the time.
    bool wait(const py::object& timeout)
    {
        auto o = live(owned_, "finder");
        return wait_sliced(timeout_ms(timeout), [&o](uint32_t ms) {
            return o->closed || QRVlib_find_wait_for_sources(o->handle, ms);
        });
    }

    /// The sources now, as (name, locator) pairs copied out of the finder
    /// (the names as peers announced them, so made text here).
    py::list sources()
    {
        auto o = live(owned_, "finder");
        uint32_t count = 0;
        const QRVlib_source_t* list = QRVlib_find_get_current_sources(o->handle, &count);
        std::vector<std::pair<std::string, std::string>> copied;
        for (uint32_t i = 0; list && i < count; ++i)
            copied.emplace_back(list[i].name ? list[i].name : "", list[i].locator ? list[i].locator : "");
        py::list out;
        for (const auto& [name, locator] : copied)
            out.append(py::make_tuple(network_text(name), network_text(locator)));
        return out;
    }

private:
    std::shared_ptr<FinderHandle> owned_;
};

}  // namespace

void register_finder(py::module_& m)
{
    py::class_<Finder>(m, "Finder")
        .def(py::init<const std::optional<std::string>&, const std::optional<std::string>&, bool>())
        .def("close", &Finder::close)
        .def("wait", &Finder::wait)
        .def("sources", &Finder::sources);
}

}  // namespace qrv_python

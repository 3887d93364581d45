// The running library, errors and timeouts shared by the module's parts.
#include "native.h"

#include <cmath>
#include <mutex>

namespace qrv_python {

RuntimeFailure::RuntimeFailure(const std::string& what, std::string reason)
    : std::runtime_error(reason.empty() ? what : what + ": " + reason), reason_(std::move(reason))
{
}

void fail(const std::string& what)
{
    throw RuntimeFailure(what, QRVlib_get_last_error());
}

py::str network_text(const char* text, size_t length)
{
    PyObject* s = PyUnicode_DecodeUTF8(text, (Py_ssize_t)length, "replace");
    if (!s)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

Library::Library()
{
    bool started = false;
    {
        py::gil_scoped_release nogil;
        started = QRVlib_initialize();
    }
    if (!started)
        fail("the library cannot run here");
}

Library::~Library()
{
    without_gil([] { QRVlib_destroy(); });
}

std::shared_ptr<Library> Library::acquire()
{
    // Guarded by the GIL, which every caller holds.
    static std::weak_ptr<Library> running;
    if (auto lib = running.lock())
        return lib;
    auto lib = std::make_shared<Library>();
    running = lib;
    return lib;
}

std::optional<uint64_t> timeout_ms(const py::object& seconds)
{
    if (seconds.is_none())
        return std::nullopt;
    if (!PyFloat_Check(seconds.ptr()) && !PyLong_Check(seconds.ptr()))
        throw py::type_error("a timeout is a number of seconds, or None");
    double s = 0;
    if (PyLong_Check(seconds.ptr())) {
        // A whole number beyond 64 bits is beyond any wait (or below 0).
        int overflow = 0;
        const long long whole = PyLong_AsLongLongAndOverflow(seconds.ptr(), &overflow);
        if (overflow > 0)
            return std::nullopt;
        s = overflow < 0 ? -1.0 : (double)whole;
    } else {
        s = PyFloat_AsDouble(seconds.ptr());
    }
    if (std::isnan(s) || s < 0)
        throw py::value_error("a timeout is a number of seconds, 0 or more");
    // Beyond a few centuries, as good as no end (and no overflow).
    if (s > 1e10)
        return std::nullopt;
    return (uint64_t)std::llround(s * 1000.0);
}

}  // namespace qrv_python

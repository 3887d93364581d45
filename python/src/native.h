// What the parts of the Python module share: the running library, the
// module's error, and waits that let Python threads and Ctrl-C through.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "qrv/qrv_runtime.h"

namespace qrv_python {

namespace py = pybind11;

/// A call into the runtime that failed; the message ends with the runtime's
/// own reason (its last error on this thread). Raised as qrv.Error.
class RuntimeFailure : public std::runtime_error {
public:
    RuntimeFailure(const std::string& what, std::string reason);
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

/// Throws RuntimeFailure with `what` and the calling thread's last error.
[[noreturn]] void fail(const std::string& what);

/// Text that came from the network (source names, metadata) as a Python
/// str. Peers may send any bytes: what is not UTF-8 is replaced by U+FFFD
/// rather than raised, so that one such peer cannot stop a caller's loop.
py::str network_text(const char* text, size_t length);
inline py::str network_text(const std::string& text) { return network_text(text.data(), text.size()); }

/// The library, started while any object of the module needs it. Every
/// native object holds one share; the last share gone shuts it down.
class Library {
public:
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    /// The running library, started on first use. Throws RuntimeFailure
    /// when it cannot run here. Call with the GIL held.
    static std::shared_ptr<Library> acquire();
};

/// Milliseconds from a timeout in seconds: None (or more than centuries)
/// waits without end; a negative number or NaN is refused with ValueError,
/// anything but a number with TypeError.
std::optional<uint64_t> timeout_ms(const py::object& seconds);

/// Calls attempt(slice_ms) with the GIL released, in slices of at most
/// 100 ms, until it returns true or `total_ms` (nullopt: no end) has
/// passed; between slices pending signals are handled, so Ctrl-C raises
/// KeyboardInterrupt within a slice. Returns whether attempt succeeded.
/// Call with the GIL held.
template <class Attempt>
bool wait_sliced(std::optional<uint64_t> total_ms, Attempt&& attempt);

/// Destroys something of the runtime (which may join its threads) with the
/// GIL released when this thread holds it.
template <class Destroy>
void without_gil(Destroy&& destroy)
{
    if (PyGILState_Check()) {
        py::gil_scoped_release nogil;
        destroy();
    } else {
        destroy();
    }
}

/// One object of the runtime, destroyed when the last share of it goes:
/// calls in progress on other threads hold a share, so a close() while they
/// wait never pulls the handle from under them; they see `closed` and stop.
template <class Handle, void (*Destroy)(Handle)>
struct Owned {
    Owned(std::shared_ptr<Library> l, Handle h) : lib(std::move(l)), handle(h) {}
    ~Owned() { without_gil([h = handle] { Destroy(h); }); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    std::shared_ptr<Library> lib;  // destroyed after the handle
    const Handle handle;
    std::atomic<bool> closed{false};
};

/// The share of a live object, or ValueError naming what is closed.
template <class T>
std::shared_ptr<T> live(const std::shared_ptr<T>& owned, const char* what)
{
    if (!owned || owned->closed)
        throw py::value_error(std::string("the ") + what + " is closed");
    return owned;
}

void register_finder(py::module_& m);
void register_receiver(py::module_& m);
void register_sender(py::module_& m);
void register_router(py::module_& m);

}  // namespace qrv_python

#include "native_wait.h"

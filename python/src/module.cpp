// The native half of the qrv package: thin owners of the runtime's objects.
// The Python half (qrv/*.py) gives them their public shape.
#include "native.h"


namespace py = pybind11;
using namespace qrv_python;

PYBIND11_MODULE(_native, m)
{
    m.doc() = "The runtime's objects for the qrv package; use qrv, not this module.";
    // qrv.Error, handed in by the package when it loads; kept for the whole
    // run (a handle, so that nothing is released after the interpreter).
    static py::handle error_type;
    m.def("_set_error_type", [](py::object type) { error_type = type.release(); });
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const RuntimeFailure& e) {
            if (!error_type) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
                return;
            }
            py::object err = error_type(e.what(), e.reason());
            PyErr_SetObject(error_type.ptr(), err.ptr());
        }
    });
    m.def("version", [] { return std::string(QRVlib_version()); });
    m.def("last_error", [] { return std::string(QRVlib_get_last_error()); });
    register_finder(m);
    register_receiver(m);
    register_sender(m);
    register_router(m);
}

#include "varkit/host/errors.hpp"

#include "varkit/host/text.hpp"

#include <cerrno>
#include <pybind11/pybind11.h>

namespace varkit::host {

namespace py = pybind11;

void raise(PyObject *type, const std::string &message) {
    PyErr_SetObject(type, to_str(message).ptr());
    throw py::error_already_set();
}

void raise_os_error(int errnum, py::handle filename) {
    errno = errnum;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

void raise_not_regular_file(py::handle filename) {
    py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        EINVAL, "not a regular file", py::reinterpret_borrow<py::object>(filename));
    PyErr_SetObject(PyExc_OSError, error.ptr());
    throw py::error_already_set();
}

}  // namespace varkit::host

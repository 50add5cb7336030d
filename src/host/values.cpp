// Python truthiness and equality (see values.hpp).
#include "varkit/host/values.hpp"

namespace varkit::host {

namespace py = pybind11;

bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

bool equals(py::handle a, py::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

py::object builtin(const char *name) { return py::module_::import("builtins").attr(name); }

}  // namespace varkit::host

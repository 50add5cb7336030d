#include "varkit/host/unthrown.hpp"

namespace varkit::host {

void set_pending(pybind11::error_already_set &error) noexcept {
    try {
        error.restore();
    } catch (...) {  // restored once already: nothing left to restore
        PyErr_SetString(PyExc_SystemError, "a Python error was restored twice");
    }
}

void set_pending(const char *what) noexcept { PyErr_SetString(PyExc_RuntimeError, what); }

void write_unraisable(const char *where) noexcept {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *context = PyUnicode_FromString(where);
    PyErr_Clear();  // a failed context is no error of the step's
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context);
    Py_XDECREF(context);
}

}  // namespace varkit::host

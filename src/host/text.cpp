#include "varkit/host/text.hpp"

namespace varkit::host {

std::string utf8(py::handle text) {
    py::object value = py::reinterpret_borrow<py::object>(text);
    if (!PyUnicode_Check(value.ptr())) {
        value = py::str(value);
    }
    PyObject *bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogatepass");
    if (bytes == nullptr) {
        throw py::error_already_set();
    }
    auto owned = py::reinterpret_steal<py::bytes>(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

py::str to_str(std::string_view utf8_text) {
    PyObject *text = PyUnicode_DecodeUTF8(
        utf8_text.data(), static_cast<Py_ssize_t>(utf8_text.size()), "surrogatepass");
    if (text == nullptr) {
        // Not UTF-8 at all: keep the bytes as escaped surrogates rather than fail.
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(utf8_text.data(), static_cast<Py_ssize_t>(utf8_text.size()),
                                    "surrogateescape");
        if (text == nullptr) {
            throw py::error_already_set();
        }
    }
    return py::reinterpret_steal<py::str>(text);
}

std::string render(py::handle value) { return utf8(py::str(value)); }

}  // namespace varkit::host

#include "varkit/host/output.hpp"

#include "varkit/host/text.hpp"
#include "varkit/host/unthrown.hpp"

namespace varkit::host {

Output::~Output() {
    if (buffer_.empty()) {
        return;
    }
    run_in_destructor("varkit output", [this] { flush(); });
}

void Output::write(std::string_view text) {
    if (discard_) {
        return;
    }
    buffer_.append(text);
    if (buffer_.size() >= kChunk) {
        flush();
    }
}

void Output::print(std::string_view line) {
    if (discard_) {
        return;
    }
    buffer_.append(line);
    buffer_.push_back('\n');
    if (buffer_.size() >= kChunk) {
        flush();
    }
}

void Output::write_str(py::handle text) {
    flush();
    if (discard_ || (PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) == 0)) {
        return;  // print() of nothing writes nothing
    }
    PyObject *stdout_object = PySys_GetObject("stdout");  // borrowed
    if (stdout_object != nullptr && stdout_object != Py_None) {
        py::reinterpret_borrow<py::object>(stdout_object).attr("write")(text);
    }
}

void Output::flush() {
    if (buffer_.empty()) {
        return;
    }
    std::string text;
    text.swap(buffer_);
    PyObject *stdout_object = PySys_GetObject("stdout");  // borrowed
    if (stdout_object == nullptr || stdout_object == Py_None) {
        return;
    }
    auto stream = py::reinterpret_borrow<py::object>(stdout_object);
    stream.attr("write")(to_str(text));
}

}  // namespace varkit::host

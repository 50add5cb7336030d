// Conversions between Python str and UTF-8 bytes that never lose data:
// lone surrogates (file names read with surrogateescape) survive the round trip.
#pragma once

#include <pybind11/pybind11.h>
#include <string>
#include <string_view>

namespace varkit::host {

namespace py = pybind11;

std::string utf8(py::handle text);           // str -> bytes; anything else through str()
py::str to_str(std::string_view utf8_text);  // bytes -> str
// str(value) as Python renders it ("None" for None).
std::string render(py::handle value);

}  // namespace varkit::host

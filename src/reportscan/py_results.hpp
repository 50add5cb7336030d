// Conversions between the core's results and the Python objects reportscan returns.
#pragma once

#include "scan.hpp"

#include <pybind11/pybind11.h>

namespace varkit::reportscan {

namespace py = pybind11;

// A value or None.
py::object to_py(const OptStr &value);
// A section result: a list of {"header_name", "affected_symbols"} records.
py::list section_to_py(const Section &section);
// A new document result with the same records: new lists, dicts and sets.
py::list copy_result(const py::list &result);

}  // namespace varkit::reportscan

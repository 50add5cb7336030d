// reportscan's guard: each failure of a call mapped to its handler's message.
#pragma once

#include <varkit/host.hpp>

namespace varkit::reportscan {

namespace py = pybind11;
using host::Globals;

// reportscan(xml_path_or_url): the document result, or [] after logging the
// failure through ABI_LOG (also recorded as the module variable `last_failure`).
py::object guarded_reportscan(const Globals &g, py::object xml_path_or_url);

}  // namespace varkit::reportscan

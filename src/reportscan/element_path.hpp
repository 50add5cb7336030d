// The element path: parse_report and the section readers over lxml elements.
//
// They walk the elements through lxml's Python API (xpath/find/get/text) exactly
// as the readers are described. reportscan() takes this path when a caller has
// replaced one of the readers in the module namespace (it then calls what is
// bound), and for every document the streaming path hands back (DOCTYPE,
// entities, syntax errors, unreadable files...), so lxml gives the verdict and
// the error text.
#pragma once

#include <varkit/host.hpp>

#include <cstddef>

namespace varkit::reportscan {

namespace py = pybind11;
using host::Globals;

py::object lx_report(const Globals &g, host::Output &out, py::handle report);
py::object lx_added(const Globals &g, host::Output &out, py::handle node);
py::object lx_removed(const Globals &g, host::Output &out, py::handle node);
py::object lx_symbols(const Globals &g, host::Output &out, py::handle node, py::handle severity);
py::object lx_constants(const Globals &g, host::Output &out, py::handle node, py::handle severity);
py::object lx_types(const Globals &g, host::Output &out, py::handle node, py::handle severity);

// reportscan's loop over a root element: every //report, in document order,
// through parse_report as bound now. `reports` is set to the number of reports.
py::object walk_root(const Globals &g, host::Output &out, py::handle root, std::size_t &reports);

}  // namespace varkit::reportscan

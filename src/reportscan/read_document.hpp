// reportscan's work on one argument: fetch or open the document, then read it.
#pragma once

#include <varkit/host.hpp>

#include <cstddef>
#include <string>

namespace varkit::reportscan {

namespace py = pybind11;
using host::Globals;

// A failure the reader reports as "An unexpected error occurred: " + message: a
// report of the streaming path raised inside parse_report, or the path names a
// special file.
struct Failure {
    std::string message;
};

// Steps 1-6 of reportscan: the document result, printed on the way. Streams the
// document through the native core where the module's readers are its own, else
// (and for every document the core hands back) parses it with lxml and walks the
// elements. `reports` is set to the number of report elements the document holds.
// Raises what the reader raises (Python errors, Failure).
py::object read_document(const Globals &g, host::Output &out, py::object xml_path_or_url,
                         std::size_t &reports);

}  // namespace varkit::reportscan

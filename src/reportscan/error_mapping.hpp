// reportscan's guard: each failure of a call mapped to its handler's message, as a value.
#pragma once

#include <varkit/host.hpp>

namespace varkit::reportscan {

namespace py = pybind11;
using host::Globals;

// What one call of the reader gives: the document result and how it failed.
struct ReportReading {
    py::object sections;  // the document result; [] when a handler took a failure
    py::object failure;   // None, or {"xml_path_or_url", "message", "error"}
    bool logged = false;  // the failure is a handler's: its message goes to ABI_LOG
};

// reportscan's steps 1-6 under its guard with the three handlers, printing on the
// way; the failure is returned, not logged yet. A document without any report
// element is a failure too (recorded, not logged: the call itself went well).
// `quiet`: nothing is printed (the caller wants the result and the failure only).
ReportReading read_report(const Globals &g, py::object xml_path_or_url, bool quiet = false);

// ABI_LOG(0, message) for a failure a handler took; nothing otherwise.
void log_failure(const Globals &g, const ReportReading &reading);

}  // namespace varkit::reportscan

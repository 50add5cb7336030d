// Locating the summary log (or another named document) and the
// executable-diff report of a result source.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// URL or path of `log_name` in the result source, or None after recording
// [log_name, libname] under log_report_not_found.
pybind11::object get_log_report_path(const host::Globals &g, pybind11::object libname,
                                     pybind11::object search_local_or_url,
                                     pybind11::object library_dict, pybind11::object log_name);

// URL of exec_diff_report.json at a remote source, or None; a local source
// is not supported.
pybind11::object get_exec_report_path(const host::Globals &g, pybind11::object search_local_or_url,
                                      pybind11::object exec_dict);

}  // namespace varkit::impactor

// Locating the ABI compliance report of a required library in a result tree:
// <source>compat_reports/<package>/<soname>/<first subdirectory>/compat_report.xml
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// The report's path or URL, or None after recording in `library_dict` why
// there is none (req_libs_not_found / report_not_found).
pybind11::object get_xml_report_path(const host::Globals &g, pybind11::object libname,
                                     pybind11::object search_local_or_url,
                                     pybind11::object library_dict);

}  // namespace varkit::impactor

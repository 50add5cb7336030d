// PHP compatibility scan of a user's PHP file against the configured version.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// True when the scanner passes the file; the scanner's report is appended to
// conf.php_api_diff and the verdict kept under pass_compat_check.
pybind11::object check_php_file_compat(const host::Globals &g, pybind11::object php_file,
                                       pybind11::object php_dict);

}  // namespace varkit::impactor

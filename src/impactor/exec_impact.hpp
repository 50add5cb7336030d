// Does a user's file name an executable whose output changed in the upgrade?
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

extern const char *const kCheckExecAffectedDoc;

// Module attribute describing why the last call answered with an empty list
// after a failure it caught (None when it did not fail): a dict with
// "location", "local_file" and "error".
inline constexpr const char *kLastExecFailure = "last_exec_failure";

// [(name, diff URL), ...] of the changed executables named in `local_file`,
// per the executable-diff report at `exec_report_path`.
pybind11::object check_exec_affected(const host::Globals &g, pybind11::object local_file,
                                     pybind11::object exec_report_path);

}  // namespace varkit::impactor

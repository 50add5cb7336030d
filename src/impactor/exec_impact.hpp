// Does a user's file name an executable whose output changed in the upgrade?
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

extern const char *const kCheckExecAffectedDoc;

// [(name, diff URL), ...] of the changed executables named in `local_file`,
// per the executable-diff report at `exec_report_path`.
pybind11::object check_exec_affected(const host::Globals &g, pybind11::object local_file,
                                     pybind11::object exec_report_path);

}  // namespace varkit::impactor

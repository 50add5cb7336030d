// Does a user's file name an executable whose output changed in the upgrade?
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

extern const char *const kCheckExecAffectedDoc;

// Module attribute describing why the last check_exec_affected() call answered
// with an empty list after a failure it caught (None when it did not fail): a
// dict with "location", "local_file" and "error". Written by that function only.
inline constexpr const char *kLastExecFailure = "last_exec_failure";

struct ExecCheck {
    // [(name, diff URL), ...] of the changed executables named in the file.
    pybind11::object affected;
    // None, or why `affected` is empty though the check could not be made.
    pybind11::object failure;
};

// The check of `local_file` against the executable-diff report at
// `exec_report_path`, with the failure it caught as a value (the module's
// `last_exec_failure` is left alone).
ExecCheck check_exec(const host::Globals &g, pybind11::object local_file,
                     pybind11::object exec_report_path);

// check_exec(...), as a tuple (affected, failure).
pybind11::tuple check_exec_outcome(const host::Globals &g, pybind11::object local_file,
                                   pybind11::object exec_report_path);

// check_exec(...).affected, its failure kept as the module's `last_exec_failure`.
pybind11::object check_exec_affected(const host::Globals &g, pybind11::object local_file,
                                     pybind11::object exec_report_path);

}  // namespace varkit::impactor

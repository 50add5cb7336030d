// Configuration differences of a package, from the configuration-diff document.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// get_confdiff_list of the document conf.conf_diff located in the result source.
pybind11::object get_rpm_conf_diff(const host::Globals &g, pybind11::object url,
                                   pybind11::object rpmname, pybind11::object library_dict);

// {"config_diffs": [...]} (no key when the package has none), or [] when no
// document could be read.
pybind11::object get_confdiff_list(const host::Globals &g, pybind11::object confdiff_path,
                                   pybind11::object rpmname);

}  // namespace varkit::impactor

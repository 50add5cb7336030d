// A package's Python API diff object from the result source.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// Element 0 of <source>/<rpm>_<stem of conf.py_api_diff>.json, or None.
pybind11::object get_py_api_diff(const host::Globals &g, pybind11::object rpm,
                                 pybind11::object search_local_or_url,
                                 pybind11::object library_dict);

}  // namespace varkit::impactor

#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::cmdline {

// Builds the option parser, parses `args` (None: the process's own arguments),
// applies the cross-option rules and returns the namespace.
pybind11::object get_options(const host::Globals &globals, pybind11::object args);

}  // namespace varkit::cmdline

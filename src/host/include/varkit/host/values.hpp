// Python values as Python's own operators answer for them.
#pragma once

#include <pybind11/pybind11.h>

namespace varkit::host {

// bool(value); raises what __bool__ / __len__ raise.
bool truthy(pybind11::handle value);
// a == b; raises what __eq__ raises.
bool equals(pybind11::handle a, pybind11::handle b);
// builtins.<name>
pybind11::object builtin(const char *name);

}  // namespace varkit::host

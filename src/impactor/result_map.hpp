// Writing into a caller's per-file result map.
//
// The map belongs to the caller and may already hold entries from earlier
// calls: lists are taken or created, never replaced, and plain values are
// set only when absent.
#pragma once

#include <pybind11/pybind11.h>

namespace varkit::impactor {

namespace py = pybind11;

// `key in map`, as Python's `in` answers it.
bool has_key(py::handle map, const char *key);
// The list under `key`, created empty when the key is absent.
py::object list_under(py::handle map, const char *key);
// list_under(map, key).append(entry)
void append_under(py::handle map, const char *key, py::handle entry);
// map[key] = value unless the key is present.
void set_if_absent(py::handle map, const char *key, py::handle value);

}  // namespace varkit::impactor

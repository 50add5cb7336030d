// Writing into a caller's per-file record (varkit.record.FileRecord).
//
// The record belongs to the caller and may already hold entries from earlier
// calls: lists are taken or created, never replaced, and plain values are
// set only when absent.
#pragma once

#include <pybind11/pybind11.h>

namespace varkit::impactor {

namespace py = pybind11;

// `key in record`, as Python's `in` answers it.
bool has_key(py::handle record, const char *key);
// The list under `key`, created empty when the key is absent.
py::object list_under(py::handle record, const char *key);
// list_under(record, key).append(entry)
void append_under(py::handle record, const char *key, py::handle entry);
// record[key] = value unless the key is present.
void set_if_absent(py::handle record, const char *key, py::handle value);

}  // namespace varkit::impactor

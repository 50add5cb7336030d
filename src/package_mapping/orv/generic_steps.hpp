// The steps of process() on Python objects, for tables of any shape and for a
// read_json replaced by Python code: they do what the Python statements would,
// raising the same errors (KeyError for a missing "srcname", TypeError, ...).
#pragma once

#include <pybind11/pybind11.h>

namespace varkit::provenance {

namespace py = pybind11;

// Groups the files of each source's packages and returns the grouping as a
// dict ordered by source name.
py::dict group_files_python(py::handle sources, py::handle package_files);

// for key in data: data[key] = sorted(set(data[key]))
void sort_distinct_python(py::handle data);

}  // namespace varkit::provenance

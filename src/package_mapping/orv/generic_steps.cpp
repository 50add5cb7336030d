#include "generic_steps.hpp"
#include <varkit/host/values.hpp>

namespace varkit::provenance {

namespace {

using varkit::host::builtin;

// `item in container`
bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

}  // namespace

py::dict group_files_python(py::handle sources, py::handle package_files) {
    py::object sorted = builtin("sorted");
    py::dict grouping;  // behaves as a defaultdict(list): entries appear on first use
    for (py::handle item : sources) {
        py::object srcname = item[py::str("srcname")];
        py::object packages = item[py::str("packages")];
        for (py::handle package : packages) {
            if (!contains(package_files, package)) {
                continue;
            }
            py::object files = sorted(package_files[package]);
            if (!contains(grouping, srcname)) {
                grouping[srcname] = py::list();
            }
            py::list paths = grouping[srcname];
            paths.attr("extend")(files);
        }
    }
    py::object by_name = py::module_::import("operator").attr("itemgetter")(0);
    py::object items = sorted(grouping.attr("items")(), py::arg("key") = by_name);
    return py::dict(items);
}

void sort_distinct_python(py::handle data) {
    py::object sorted = builtin("sorted");
    py::object set = builtin("set");
    for (py::handle key : data) {
        data[key] = sorted(set(data[key]));
    }
}

}  // namespace varkit::provenance

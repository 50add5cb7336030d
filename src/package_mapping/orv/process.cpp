#include "process.hpp"

#include "generic_steps.hpp"
#include "grouping.hpp"

#include <varkit/pm/json.hpp>

namespace varkit::provenance {

namespace py = pybind11;

namespace {

void rewrite_distinct(const host::Globals &globals, const py::str &result_path);

// Writes a grouping built in C++, reads it back and writes the distinct lists.
// While the file is still the one just written, what read_json would return is
// `grouping` itself (its names are unique), so the distinct lists are taken
// from it instead of parsing the file again.
void write_grouping(const host::Globals &globals, const py::str &result_path,
                    json::Value grouping) {
    const pm::files::Written written = json::write(result_path, grouping);
    if (globals.is_native("read_json") && pm::files::still_written(result_path, written) &&
        sort_distinct(grouping)) {
        json::write(result_path, grouping);
        return;
    }
    rewrite_distinct(globals, result_path);
}

// Reads the first content back, keeps each list's sorted distinct paths and
// writes it again.
void rewrite_distinct(const host::Globals &globals, const py::str &result_path) {
    if (globals.is_native("read_json")) {
        json::Value data = json::read(result_path);
        if (sort_distinct(data)) {
            json::write(result_path, data);
            return;
        }
        py::object objects = json::to_python(data);
        sort_distinct_python(objects);
        json::write_python(result_path, objects);
        return;
    }
    py::object data = globals.get("read_json")(result_path);
    sort_distinct_python(data);
    json::write_python(result_path, data);
}

}  // namespace

void process(const host::Globals &globals) {
    const py::str result_path(kResultPath);
    if (globals.is_native("read_json")) {
        json::Value sources = json::read(py::str(kSourcePackagesPath));
        json::Value package_files = json::read(py::str(kPackageFilesPath));
        if (std::optional<json::Value> grouping = group_files(sources, package_files)) {
            write_grouping(globals, result_path, std::move(*grouping));
            return;
        }
        py::dict objects =
            group_files_python(json::to_python(sources), json::to_python(package_files));
        json::write_python(result_path, objects);
    } else {
        py::object read_json = globals.get("read_json");
        py::object sources = read_json(py::str(kSourcePackagesPath));
        py::object package_files = read_json(py::str(kPackageFilesPath));
        json::write_python(result_path, group_files_python(sources, package_files));
    }
    rewrite_distinct(globals, result_path);
}

}  // namespace varkit::provenance

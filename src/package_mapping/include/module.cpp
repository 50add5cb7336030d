// varkit.package_mapping.include.twinmatch: pairs the packages of an orv-side and an
// Ubuntu-side file-list table by name and matches the files both install.
#include "name_rule.hpp"
#include "so_version.hpp"
#include "twin_tables.hpp"

#include <pybind11/pybind11.h>
#include <string>
#include <varkit/host.hpp>
#include <varkit/pm/json.hpp>

namespace {

namespace py = pybind11;
namespace host = varkit::host;
namespace json = varkit::pm::json;
namespace tm = varkit::twinmatch;
using host::Globals;

std::string text_argument(py::handle value, const char *function, const char *parameter) {
    if (!PyUnicode_Check(value.ptr())) {
        host::raise(PyExc_TypeError, std::string(function) + "() argument '" + parameter +
                                         "' must be str, not " +
                                         host::utf8(py::type::handle_of(value).attr("__name__")));
    }
    return host::utf8(value);
}

py::object read_json(const Globals &, py::object file_path) { return json::read_python(file_path); }

void save_results_to_json(const Globals &, py::object results, py::object output_file) {
    json::write_python(output_file, results);
}

bool match_same_package(const Globals &, py::object orv_name, py::object ubuntu_name) {
    return tm::match_same_package(text_argument(orv_name, "match_same_package", "orv_name"),
                                  text_argument(ubuntu_name, "match_same_package", "ubuntu_name"));
}

py::object match_include(const Globals &, py::object path1, py::object path2) {
    PyObject *equal = PyObject_RichCompare(path1.ptr(), path2.ptr(), Py_EQ);
    if (equal == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(equal);
}

py::str truncate_so_version(const Globals &, py::object so_name) {
    return host::to_str(
        tm::truncate_so_version(text_argument(so_name, "truncate_so_version", "so_name")));
}

std::size_t count_so_combinations(const Globals &, py::object lib_name) {
    return tm::count_so_combinations(text_argument(lib_name, "count_so_combinations", "lib_name"));
}

// "./left" + the part of the input path after its last "/".
std::string leftover_path(py::handle input) {
    py::object path = py::module_::import("os").attr("fspath")(input);
    std::string text = text_argument(path, "main", "json_file");
    return "./left" + host::last_component(text);
}

json::Object read_table(const Globals &g, py::handle path) {
    json::Value table =
        g.is_native("read_json") ? json::read(path) : json::from_python(g.get("read_json")(path));
    if (!table.is_object()) {
        host::raise(PyExc_TypeError, host::render(path) + ": the table is not a JSON object");
    }
    return std::move(table.as_object());
}

void save(const Globals &g, const json::Value &value, py::handle path) {
    if (g.is_native("save_results_to_json")) {
        json::write(path, value);
    } else {
        g.get("save_results_to_json")(json::to_python(value), path);
    }
}

// The module's current binding of `name` as a predicate, or none while it is the native rule.
tm::Predicate predicate(const Globals &g, const char *name) {
    if (g.is_native(name)) {
        return {};
    }
    py::object function = g.get(name);
    return [function](const std::string &a, const std::string &b) {
        return host::truthy(function(host::to_str(a), host::to_str(b)));
    };
}

void main_(const Globals &g, py::object json_file1, py::object json_file2, py::object output_file) {
    const std::string left_orv_path = leftover_path(json_file1);
    const std::string left_ubuntu_path = leftover_path(json_file2);
    json::Object orv = read_table(g, json_file1);
    json::Object ubuntu = read_table(g, json_file2);
    tm::TwinTables tables =
        tm::match_tables(std::move(orv), std::move(ubuntu), predicate(g, "match_same_package"),
                         predicate(g, "match_include"));
    save(g, tables.same_name, output_file);
    save(g, tables.left_orv, host::to_str(left_orv_path));
    save(g, tables.left_ubuntu, host::to_str(left_ubuntu_path));
}

void run_as_program(const Globals &g) {
    g.get("main")("./include_provenance.json", "./include_source_files_mapping.json",
                  "include_same_name.json");
}

}  // namespace

VARKIT_MODULE(twinmatch, m) {
    m.doc() = "Pairs the packages of an orv-side and an Ubuntu-side file-list table by name and\n"
              "matches the files both sides install.";
    host::bind_module(m, "json", "json");
    host::bind_module(m, "re", "re");

    host::def(m, "read_json", &read_json, py::arg("file_path"), "The JSON document in the file.");
    host::def(m, "save_results_to_json", &save_results_to_json, py::arg("results"),
              py::arg("output_file"),
              "Write `results` to `output_file` as JSON indented by 4 spaces, ASCII only.");
    host::def(m, "match_same_package", &match_same_package, py::arg("orv_name"),
              py::arg("ubuntu_name"),
              "True when two different names denote the same package: equal ignoring case, or\n"
              "equal ignoring case once every \"ghc\" of the orv name reads \"haskell\".");
    host::def(m, "match_include", &match_include, py::arg("path1"), py::arg("path2"),
              "True exactly when the two paths are equal.");
    host::def(m, "truncate_so_version", &truncate_so_version, py::arg("so_name"),
              "The name without a trailing shared-object version (libz.so.1.2.13 -> libz.so).");
    host::def(m, "count_so_combinations", &count_so_combinations, py::arg("lib_name"),
              "The number of version components after the last \".so\" (libz.so.1.2.13 -> 3).");
    host::def(m, "main", &main_, py::arg("json_file1"), py::arg("json_file2"),
              py::arg("output_file"),
              "Pair the packages of the orv-side table `json_file1` with those of the Ubuntu-side\n"
              "table `json_file2`, match their files and write the pairs to `output_file`; the\n"
              "unpaired packages of each side go to \"./left\" + the input file's name.\n\n"
              "A path on both sides of a pair moves to \"mapping\" and leaves both lists, also\n"
              "when it contains \"->\". Names are paired as read, so a name holding \"->\" keeps\n"
              "its own lists. The input paths must be str (or os.PathLike giving str); a table\n"
              "that is not a JSON object, or a paired package whose file list is not a list of\n"
              "strings, raises TypeError before anything is written.");
    host::def(m, "_main", &run_as_program,
              "The program: main(\"./include_provenance.json\", "
              "\"./include_source_files_mapping.json\",\n"
              "\"include_same_name.json\").");
}

#include "process.hpp"

#include <varkit/host.hpp>
#include <varkit/pm/json.hpp>

namespace {

namespace host = varkit::host;
namespace py = pybind11;

py::object read_json(const host::Globals &, py::object file_path) {
    return varkit::pm::json::read_python(file_path);
}

void process(const host::Globals &globals) { varkit::provenance::process(globals); }

// The module's JSON writer on a Python value: what process() writes for it.
py::str dumps(const host::Globals &, py::object value) {
    return host::to_str(varkit::pm::json::dumps(varkit::pm::json::from_python(value)));
}

void main_program(const host::Globals &globals) { globals.get("process")(); }

}  // namespace

VARKIT_MODULE(provenance, m) {
    m.doc() =
        "The distribution's source-to-files table: process() joins the package-to-source and\n"
        "package-to-files tables under ./orv/rpm_res/ into provenance.json, the sorted files\n"
        "of every source package. Also run as the command varkit-provenance.";
    host::bind_module(m, "json", "json");

    host::def(m, "read_json", &read_json, py::arg("file_path"),
              "Read and parse the JSON file at file_path (as json.load does).");
    host::def(
        m, "process", &process,
        "Write ./orv/rpm_res/provenance.json: for every source package, the sorted distinct files "
        "its packages install, from the two tables beside it.");
    host::def(m, "_dumps", &dumps, py::arg("value"),
              "The text the module writes for value: json.dumps(value, indent=4).");
    host::def(m, "_main", &main_program,
              "Entry point of the varkit-provenance command: process().");
}

// The main program of varkit.reportscan (see main_program.hpp).
#include "main_program.hpp"

namespace varkit::reportscan {

namespace py = pybind11;

py::object main_program(const host::Globals &g) {
    py::object sys = g.get("sys");
    py::object argv = sys.attr("argv");
    if (py::len(argv) != 2) {
        {
            host::Output out;
            out.print("Error: Please provide the path to an XML file.");
        }
        sys.attr("exit")(1);
        return py::none();
    }
    py::object xml_path = argv[py::int_(1)];
    g.dict()["xml_path"] = xml_path;
    g.get("reportscan")(xml_path);
    return py::none();
}

}  // namespace varkit::reportscan

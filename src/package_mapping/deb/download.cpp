#include "download.hpp"

#include "index_layout.hpp"

#include <string>

namespace varkit::lineage {

namespace py = pybind11;

namespace {

void make_dirs_if_missing(const host::Globals &globals, const std::string &path) {
    py::object os = globals.get("os");
    if (!py::bool_(os.attr("path").attr("exists")(path))) {
        os.attr("makedirs")(path);
    }
}

// One line on the current sys.stderr (dropped when it is None).
void warn(const std::string &line) {
    PyObject *stderr_object = PySys_GetObject("stderr");  // borrowed
    if (stderr_object == nullptr || stderr_object == Py_None) {
        return;
    }
    auto stream = py::reinterpret_borrow<py::object>(stderr_object);
    stream.attr("write")(host::to_str(line + "\n"));
    stream.attr("flush")();
}

// Runs the command and waits. A failure does not stop the download (the table
// step then reads whatever index is in place), but it is said on stderr, since
// an index left from an earlier run would otherwise go unnoticed.
void run(const host::Globals &globals, std::initializer_list<std::string> argv) {
    py::list args;
    for (const std::string &arg : argv) {
        args.append(arg);
    }
    // A download that stalls is given up after a while, like one that fails.
    long status = 0;
    try {
        py::object completed =
            globals.get("subprocess").attr("run")(args, py::arg("timeout") = 900);
        status = py::cast<long>(completed.attr("returncode"));
    } catch (py::error_already_set &error) {
        if (!error.matches(globals.get("subprocess").attr("TimeoutExpired"))) {
            throw;
        }
        warn("lineage: warning: " + *argv.begin() + " did not finish within 900 s");
        return;
    }
    if (status != 0) {
        const std::string &name = *argv.begin();
        warn("lineage: warning: " + name +
             (status < 0 ? " ended by signal " + std::to_string(-status)
                         : " failed with exit status " + std::to_string(status)));
    }
}

}  // namespace

void get_data(const host::Globals &globals) {
    make_dirs_if_missing(globals, kRoot);
    for (const char *component : kComponents) {
        make_dirs_if_missing(globals, component_dir(component));
        const std::string data_name = index_name(component);
        const std::string gz_data_name = data_name + ".gz";
        run(globals, {"curl", "--output", gz_data_name, index_url(component)});
        {
            host::Output out;
            out.print("unzip file " + gz_data_name + "...");
            out.flush();
        }
        run(globals, {"gunzip", data_name});
        run(globals, {"mv", data_name, component_dir(component)});
    }
}

}  // namespace varkit::lineage

#include "download.hpp"

#include "index_layout.hpp"

namespace varkit::lineage {

namespace py = pybind11;

namespace {

void make_dirs_if_missing(const host::Globals &globals, const std::string &path) {
    py::object os = globals.get("os");
    if (!py::bool_(os.attr("path").attr("exists")(path))) {
        os.attr("makedirs")(path);
    }
}

// Runs the command and waits; its exit status is not looked at.
void run(const host::Globals &globals, std::initializer_list<std::string> argv) {
    py::list args;
    for (const std::string &arg : argv) {
        args.append(arg);
    }
    globals.get("subprocess").attr("run")(args);
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

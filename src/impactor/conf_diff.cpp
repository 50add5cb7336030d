#include "conf_diff.hpp"

#include "facilities.hpp"
#include "file_record.hpp"

namespace varkit::impactor {

namespace {

// bin_name present, non-empty, and naming the package at element 0.
bool describes_package(const py::handle &package, const py::object &rpmname) {
    py::object bin_name = package.attr("get")("bin_name");
    return truthy(bin_name) && equals(bin_name[py::int_(0)], rpmname);
}

}  // namespace

py::object get_rpm_conf_diff(const Globals &g, py::object url, py::object rpmname,
                             py::object library_dict) {
    py::object located =
        g.get("get_log_report_path")(rpmname, url, library_dict, g.conf("conf_diff"));
    return g.get("get_confdiff_list")(located, rpmname);
}

py::object get_confdiff_list(const Globals &g, py::object confdiff_path, py::object rpmname) {
    std::optional<py::object> document = load_json_document(g, confdiff_path, "confdiff file ");
    if (!document) {
        return py::list();
    }

    py::dict diffs;
    for (py::handle package : *document) {
        if (!describes_package(package, rpmname)) {
            continue;
        }
        for (py::handle entry : package.attr("get")("configs", py::list())) {
            append_under(diffs, "config_diffs", entry);
        }
    }
    return std::move(diffs);
}

}  // namespace varkit::impactor

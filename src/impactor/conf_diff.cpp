#include "conf_diff.hpp"

#include "facilities.hpp"
#include "result_map.hpp"

namespace varkit::impactor {

namespace {

// bin_name present, non-empty, and naming the package at element 0.
bool describes_package(const py::handle &package, const py::object &rpmname) {
    py::object bin_name = package.attr("get")("bin_name");
    return truthy(bin_name) && equals(bin_name[py::int_(0)], rpmname);
}

}  // namespace

py::object get_rpm_conf_diff(const Globals &g, py::object url, py::object rpmname, py::object library_dict) {
    py::object located = g.get("get_log_report_path")(rpmname, url, library_dict, g.conf("conf_diff"));
    return g.get("get_confdiff_list")(located, rpmname);
}

py::object get_confdiff_list(const Globals &g, py::object confdiff_path, py::object rpmname) {
    if (!truthy(confdiff_path)) {
        log(g, 3, text("confdiff file ", confdiff_path, " is not found."));
        return py::list();
    }
    py::object document;
    if (is_url_reachable(g, confdiff_path)) {
        document = g.get("get_remote_json")(confdiff_path);
    } else if (path_exists(g, confdiff_path)) {
        document = read_json_file(g, confdiff_path);
    } else {
        log(g, 1, text("confdiff file ", confdiff_path, " is lost."));
        return py::list();
    }

    py::dict diffs;
    for (py::handle package : document) {
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

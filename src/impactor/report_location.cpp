#include "report_location.hpp"

#include "facilities.hpp"
#include "result_map.hpp"

namespace varkit::impactor {

namespace {

struct InstalledLibrary {
    py::object package;
    py::object soname;
};

void record_missing_report(py::handle library_dict, const py::object &package,
                           const py::object &libname) {
    py::list entry;
    entry.append(package);
    entry.append(libname);
    append_under(library_dict, "report_not_found", entry);
}

py::object remote_report(const Globals &g, const py::object &source, const py::object &library_path,
                         const InstalledLibrary &library, const py::object &libname,
                         const py::object &library_dict) {
    py::object directory_url = url_join(g, source, concat(library_path, py::str("/")));
    py::object listing = g.get("get_directory_list")(directory_url);
    if (!truthy(listing)) {
        record_missing_report(library_dict, library.package, libname);
        return py::none();
    }
    py::object first = listing[py::int_(0)];
    return url_join(g, directory_url, concat(py::str(first), py::str("/compat_report.xml")));
}

// The report under the library's first subdirectory, in listing order.
py::object local_report(const Globals &g, const py::object &source, const py::object &library_path,
                        const InstalledLibrary &library, const py::object &libname,
                        const py::object &library_dict) {
    py::object library_dir = path_join(g, source, library_path);
    if (!path_exists(g, library_dir)) {
        record_missing_report(library_dict, library.package, libname);
        return py::none();
    }
    py::object report;
    // A plain file where the library's directory belongs holds no report either.
    if (is_dir(g, library_dir)) {
        for (py::handle entry : g.get("os").attr("listdir")(library_dir)) {
            if (is_dir(g, path_join(g, library_dir, entry))) {
                report = path_join(g, library_dir, concat(py::reinterpret_borrow<py::object>(entry),
                                                          py::str("/compat_report.xml")));
                break;
            }
        }
    }
    // Without a subdirectory there is no report location to name: name the
    // library's directory instead.
    py::object searched = report ? report : library_dir;
    if (!report || !path_exists(g, report)) {
        log(g, 3,
            text(libname, " report is not found in search source ", searched,
                 ". The library name may have changed."));
        record_missing_report(library_dict, library.package, libname);
        return py::none();
    }
    return report;
}

}  // namespace

py::object get_xml_report_path(const Globals &g, py::object libname, py::object search_local_or_url,
                               py::object library_dict) {
    const bool is_url = is_url_reachable(g, search_local_or_url);

    py::object candidate = concat(py::str("/lib64/"), libname);
    if (!path_exists(g, candidate)) {
        candidate = concat(py::str("/lib/"), libname);
        if (!path_exists(g, candidate)) {
            append_under(library_dict, "req_libs_not_found", libname);
            return py::none();
        }
    }
    InstalledLibrary library;
    library.package = g.get("get_pkgname_by_libname")(libname);
    library.soname = g.get("get_soname_from_lib")(candidate);

    py::object directory_name = truthy(library.soname) ? library.soname : libname;
    py::object library_path =
        concat(py::str("compat_reports/"), library.package, py::str("/"), directory_name);

    py::object report =
        is_url ? remote_report(g, search_local_or_url, library_path, library, libname, library_dict)
               : local_report(g, search_local_or_url, library_path, library, libname, library_dict);
    if (report.is_none()) {
        return report;
    }
    log(g, 3, text("xml_report_path: ", report));
    return report;
}

}  // namespace varkit::impactor

#include "report_location.hpp"

#include "facilities.hpp"
#include "file_record.hpp"
#include "record_keys.hpp"

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
    append_under(library_dict, key::report_not_found, entry);
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

// A report written without -xml holds nothing the check can read; the
// library then could not be checked, which is not the same as "no report".
void record_html_only_report(const Globals &g, const py::object &directory,
                             const py::object &package, const py::object &libname,
                             const py::object &library_dict) {
    if (!path_exists(g, path_join(g, directory, py::str("compat_report.html")))) {
        return;
    }
    py::list entry;
    entry.append(package);
    entry.append(libname);
    entry.append(directory);
    append_under(library_dict, key::report_not_xml, entry);
}

// The report under the library's first subdirectory, in listing order.
py::object local_report(const Globals &g, const py::object &source, const py::object &library_path,
                        const InstalledLibrary &library, const py::object &libname,
                        const py::object &library_dict) {
    py::object library_dir = path_join(g, source, library_path);
    if (!path_exists(g, library_dir)) {
        // A link that leads nowhere (or round in a loop) is a tree that could not
        // be read, not a library the results know nothing about.
        if (truthy(g.get("os").attr("path").attr("lexists")(library_dir))) {
            py::list entry;
            entry.append(libname);
            entry.append(library_dir);
            entry.append(py::str("a broken symbolic link or a loop of links"));
            append_under(library_dict, key::report_unreadable, entry);
            return py::none();
        }
        record_missing_report(library_dict, library.package, libname);
        return py::none();
    }
    py::object report;
    py::object subdirectory;
    // A plain file where the library's directory belongs holds no report either.
    if (is_dir(g, library_dir)) {
        for (py::handle entry : g.get("os").attr("listdir")(library_dir)) {
            subdirectory = path_join(g, library_dir, entry);
            if (is_dir(g, subdirectory)) {
                report = path_join(g, library_dir,
                                   concat(py::reinterpret_borrow<py::object>(entry),
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
        if (report) {
            record_html_only_report(g, subdirectory, library.package, libname, library_dict);
        }
        return py::none();
    }
    return report;
}

// A required library's name comes from the user's ELF file and becomes a path
// inside the result tree: "/" or a ".." or "." component would lead out of it.
bool is_plain_file_name(const py::object &libname) {
    if (!PyUnicode_Check(libname.ptr())) {
        return true;  // not text: the lookup fails the way Python's would
    }
    const std::string name = host::utf8(libname);
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

// The copy of the library the loader would load for the checked file. One
// found outside /lib64 and /lib (multiarch directories, the file's
// RPATH/RUNPATH, ld.so.conf) is recorded, since the result tree may name the
// library after the distribution's layout.
py::object located(const Globals &g, const py::object &libname, const py::object &library_dict) {
    py::object requester = library_dict.attr("get")(py::str(key::dest_file));
    py::object found = located_library(g, libname, requester);
    if (!truthy(found)) {
        return py::none();
    }
    py::object directory = found.attr("rpartition")("/")[py::int_(0)];
    if (!directory.equal(py::str("/lib64")) && !directory.equal(py::str("/lib"))) {
        library_dict.attr("setdefault")(py::str(key::library_found_at), py::dict())[libname] =
            found;
    }
    return found;
}

}  // namespace

py::object get_xml_report_path(const Globals &g, py::object libname, py::object search_local_or_url,
                               py::object library_dict) {
    if (!is_plain_file_name(libname)) {
        log(g, 1,
            text(libname, " is not a plain file name: no report is looked up for it, ",
                 "since its path would lead out of the result tree"));
        append_under(library_dict, key::libname_refused, libname);
        return py::none();
    }
    const bool is_url = is_url_reachable(g, search_local_or_url);

    // The loader's own search decides which copy is checked: a copy in /lib64
    // or /lib that the loader would not load (another ELF class, or one the
    // file's RUNPATH comes before) is not the library the file runs with.
    py::object candidate = located(g, libname, library_dict);
    if (candidate.is_none()) {
        append_under(library_dict, key::req_libs_not_found, libname);
        return py::none();
    }
    InstalledLibrary library;
    library.package = g.get("get_pkgname_by_libname")(candidate);
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

#include "document_location.hpp"

#include "facilities.hpp"
#include "file_record.hpp"
#include "record_keys.hpp"

namespace varkit::impactor {

py::object get_log_report_path(const Globals &g, py::object libname, py::object search_local_or_url,
                               py::object library_dict, py::object log_name) {
    py::object candidate;
    bool found;
    if (is_url_reachable(g, search_local_or_url)) {
        candidate = url_join(g, search_local_or_url, log_name);
        found = is_url_reachable(g, candidate);
    } else {
        candidate = path_join(g, search_local_or_url, log_name);
        found = path_exists(g, candidate);
    }
    if (!found) {
        py::list entry;
        entry.append(log_name);
        entry.append(libname);
        append_under(library_dict, key::log_report_not_found, entry);
        return py::none();
    }
    log(g, 3, text("summary_path: ", candidate));
    return candidate;
}

py::object get_exec_report_path(const Globals &g, py::object search_local_or_url,
                                py::object exec_dict) {
    if (!is_url_reachable(g, search_local_or_url)) {
        log(g, 1, py::str("Local file exec report is not supported yet."));
        return py::none();
    }
    py::object candidate = url_join(g, search_local_or_url, py::str("exec_diff_report.json"));
    if (is_url_reachable(g, candidate)) {
        return candidate;
    }
    py::list entry;
    entry.append(py::str(kExecReportMarker));
    entry.append(py::none());
    append_under(exec_dict, key::report_not_found, entry);
    return py::none();
}

}  // namespace varkit::impactor

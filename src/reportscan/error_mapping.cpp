// The three handlers of reportscan and the failure record (see error_mapping.hpp).
#include "error_mapping.hpp"

#include "read_document.hpp"

#include <cstddef>
#include <string>

namespace varkit::reportscan {

namespace {

std::string s(py::handle value) { return host::render(value); }  // f"{value}"

// Logs one handler's message and gives []. Also records the failure as the module
// variable `last_failure` ({"xml_path_or_url", "message", "error"}; None after a call
// that did not fail), which varkit.impactor reads to tell an unreadable report from
// a report without changes.
py::object log_failure(const Globals &g, host::Output &out, py::handle xml_path_or_url,
                       const std::string &prefix, const std::string &error) {
    out.flush();
    std::string message = prefix + error;
    py::dict failure;
    failure["xml_path_or_url"] = xml_path_or_url;
    failure["message"] = host::to_str(message);
    failure["error"] = host::to_str(error);
    g.dict()["last_failure"] = failure;
    g.get("ABI_LOG")(0, host::to_str(message));
    return py::list();
}

}  // namespace

py::object guarded_reportscan(const Globals &g, py::object xml_path_or_url) {
    host::Output out;
    g.dict()["last_failure"] = py::none();
    try {
        std::size_t reports = 0;
        py::object result = read_document(g, out, xml_path_or_url, reports);
        if (reports == 0) {
            // Well-formed, but no report at all (an error page, say): not a
            // report without changes. Recorded, not logged: the call itself is fine.
            py::dict failure;
            failure["xml_path_or_url"] = xml_path_or_url;
            failure["message"] = "the document holds no report element";
            failure["error"] = "the document holds no report element";
            g.dict()["last_failure"] = failure;
        }
        return result;
    } catch (const Failure &failure) {
        return log_failure(g, out, xml_path_or_url, "An unexpected error occurred: ", failure.message);
    } catch (py::error_already_set &error) {
        py::object value = error.value();
        if (error.matches(g.get("requests").attr("RequestException"))) {
            return log_failure(g, out, xml_path_or_url,
                               "Failed to fetch XML from " + s(xml_path_or_url) + ": ", s(value));
        }
        if (error.matches(g.get("etree").attr("XMLSyntaxError"))) {
            return log_failure(g, out, xml_path_or_url,
                               "Failed to parse XML from " + s(xml_path_or_url) + ": ", s(value));
        }
        if (error.matches(PyExc_Exception)) {
            return log_failure(g, out, xml_path_or_url, "An unexpected error occurred: ", s(value));
        }
        throw;
    }
}

}  // namespace varkit::reportscan

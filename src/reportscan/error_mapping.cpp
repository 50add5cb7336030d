// The three handlers of reportscan and the failure record (see error_mapping.hpp).
#include "error_mapping.hpp"

#include "read_document.hpp"

#include <cstddef>
#include <string>
#include <utility>

namespace varkit::reportscan {

namespace {

const char *const kNoReport = "the document holds no report element";

std::string s(py::handle value) { return host::render(value); }  // f"{value}"

py::dict failure_record(py::handle xml_path_or_url, py::handle message, py::handle error) {
    py::dict failure;
    failure["xml_path_or_url"] = xml_path_or_url;
    failure["message"] = message;
    failure["error"] = error;
    return failure;
}

// One handler's outcome: [] and the failure, whose message is prefix + error.
// What was printed before the failure is written out first.
ReportReading handled(host::Output &out, py::handle xml_path_or_url, const std::string &prefix,
                      const std::string &error) {
    out.flush();
    py::dict failure =
        failure_record(xml_path_or_url, host::to_str(prefix + error), host::to_str(error));
    return ReportReading{py::list(), std::move(failure), true};
}

}  // namespace

ReportReading read_report(const Globals &g, py::object xml_path_or_url, bool quiet) {
    host::Output out(quiet);
    try {
        std::size_t reports = 0;
        py::object result = read_document(g, out, xml_path_or_url, reports);
        if (reports == 0) {
            // Well-formed, but no report at all (an error page, say): not a
            // report without changes.
            py::str no_report(kNoReport);
            return ReportReading{std::move(result),
                                 failure_record(xml_path_or_url, no_report, no_report), false};
        }
        return ReportReading{std::move(result), py::none(), false};
    } catch (const Failure &failure) {
        return handled(out, xml_path_or_url, "An unexpected error occurred: ", failure.message);
    } catch (py::error_already_set &error) {
        const py::object &value = error.value();
        if (error.matches(g.get("requests").attr("RequestException"))) {
            return handled(out, xml_path_or_url,
                           "Failed to fetch XML from " + s(xml_path_or_url) + ": ", s(value));
        }
        if (error.matches(g.get("etree").attr("XMLSyntaxError"))) {
            return handled(out, xml_path_or_url,
                           "Failed to parse XML from " + s(xml_path_or_url) + ": ", s(value));
        }
        if (error.matches(PyExc_Exception)) {
            return handled(out, xml_path_or_url, "An unexpected error occurred: ", s(value));
        }
        throw;
    }
}

void log_failure(const Globals &g, const ReportReading &reading) {
    if (reading.logged) {
        g.get("ABI_LOG")(0, reading.failure["message"]);
    }
}

}  // namespace varkit::reportscan

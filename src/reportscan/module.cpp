// varkit.reportscan, the ABI compliance report reader: its functions and their registration.
//
// reportscan() reads a document on one of two paths: the streaming path
// (scan.hpp: libxml2's SAX2 parser, used while parse_report and the five section
// readers are still this module's own functions) or the element path
// (element_path.hpp: the functions as called with lxml elements).
#include "element_path.hpp"
#include "error_mapping.hpp"
#include "kept_readings.hpp"
#include "main_program.hpp"

#include <varkit/host.hpp>

#include <libxml/parser.h>

#include <utility>

namespace py = pybind11;
namespace host = varkit::host;
using host::Globals;

namespace varkit::reportscan {
namespace {

// The module variable `last_failure` is the failure of the last reportscan() call
// (varkit.impactor reads it to tell an unreadable report from a report without
// changes); scan_report() hands the same failure back instead.
py::object reportscan(const Globals &g, py::object xml_path_or_url) {
    g.dict()["last_failure"] = py::none();  // what stays when the call raises
    ReportReading reading = read_report(g, std::move(xml_path_or_url));
    g.dict()["last_failure"] = reading.failure;
    log_failure(g, reading);
    return reading.sections;
}

py::tuple scan_report(const Globals &g, py::object xml_path_or_url, bool quiet) {
    ReportReading reading = read_report(g, std::move(xml_path_or_url), quiet);
    log_failure(g, reading);
    return py::make_tuple(reading.sections, reading.failure);
}

// The functions as called from Python (with lxml elements).
py::object parse_report(const Globals &g, py::object report) {
    host::Output out;
    return lx_report(g, out, report);
}
py::object parse_added_symbols(const Globals &g, py::object added_symbols_node) {
    host::Output out;
    return lx_added(g, out, added_symbols_node);
}
py::object parse_removed_symbols(const Globals &g, py::object removed_symbols_node) {
    host::Output out;
    return lx_removed(g, out, removed_symbols_node);
}
py::object parse_problems_with_symbols(const Globals &g, py::object problem_node,
                                       py::object severity) {
    host::Output out;
    return lx_symbols(g, out, problem_node, severity);
}
py::object parse_problems_with_constants(const Globals &g, py::object problem_node,
                                         py::object severity) {
    host::Output out;
    return lx_constants(g, out, problem_node, severity);
}
py::object parse_problems_with_types(const Globals &g, py::object problem_node,
                                     py::object severity) {
    host::Output out;
    return lx_types(g, out, problem_node, severity);
}

}  // namespace
}  // namespace varkit::reportscan

VARKIT_MODULE(reportscan, m) {
    namespace rs = varkit::reportscan;
    m.doc() = "The ABI compliance report reader.\n\n"
              "reportscan(xml_path_or_url) reads the XML report(s) of a local file or an http(s)\n"
              "URL, prints every report as indented text and returns, for the binary reports, the\n"
              "removed and changed symbols per header: a list of section results, each a list of\n"
              "{\"header_name\", \"affected_symbols\"} records. parse_report and the five section\n"
              "readers work on lxml elements; a caller may replace any of them in this module.\n"
              "scan_report(xml_path_or_url) returns (sections, failure) instead of leaving the\n"
              "failure in last_failure.\n"
              "Readings of local files, and of URLs within a fetch run, are kept for the next\n"
              "call (_memo_stats() tells what is kept).\n"
              "Also run as the command varkit-reportscan.";
    xmlInitParser();
    host::bind_module(m, "sys", "sys");
    host::bind_module(m, "requests", "requests");
    host::bind_module(m, "etree", "lxml.etree");
    host::bind_module(m, "fetch", "varkit.fetch");
    host::bind_from(m, "varkit.logger", {"ABI_LOG"});
    m.attr("last_failure") = py::none();  // no call has failed yet
    rs::install_memo(m);

    host::def(m, "reportscan", &rs::reportscan, py::arg("xml_path_or_url"),
              "Read the ABI compliance report(s) at a local path or http(s) URL, print them\n"
              "and return the removed and changed symbols per header of the binary reports.\n"
              "Any failure is logged through ABI_LOG and gives [].");
    host::def(m, "scan_report", &rs::scan_report, py::arg("xml_path_or_url"),
              py::arg("quiet") = false,
              "reportscan() with its failure as a value: (sections, failure), where failure is\n"
              "None or {\"xml_path_or_url\", \"message\", \"error\"} (what reportscan() leaves\n"
              "in last_failure). Prints and logs exactly as reportscan() does; with quiet=True\n"
              "it prints nothing (a kept reading then needs no text), and a kept reading's\n"
              "sections come back as the same object each time: read them, never change them.");
    host::def(m, "_memo_stats", &rs::memo_stats,
              "What the memo of readings holds: {\"readings\", \"result_bytes\", \"text_bytes\",\n"
              "\"hits\"} (hits: calls answered from it).");
    host::def(m, "parse_report", &rs::parse_report, py::arg("report"),
              "Print one `report` element (lxml) and return its list of section results.");
    host::def(m, "parse_added_symbols", &rs::parse_added_symbols, py::arg("added_symbols_node"),
              "Print the added symbols of a report; returns None.");
    host::def(m, "parse_removed_symbols", &rs::parse_removed_symbols,
              py::arg("removed_symbols_node"),
              "Print the removed symbols; return the header records, or None without headers.");
    host::def(m, "parse_problems_with_symbols", &rs::parse_problems_with_symbols,
              py::arg("problem_node"), py::arg("severity"),
              "Print a problems_with_symbols section; return the header records or None.");
    host::def(m, "parse_problems_with_constants", &rs::parse_problems_with_constants,
              py::arg("problem_node"), py::arg("severity"),
              "Print a problems_with_constants section; returns None.");
    host::def(m, "parse_problems_with_types", &rs::parse_problems_with_types,
              py::arg("problem_node"), py::arg("severity"),
              "Print a problems_with_types section; return the header records or None.");
    host::def(m, "_main", &rs::main_program,
              "The main program: varkit-reportscan XML_PATH_OR_URL.");
}

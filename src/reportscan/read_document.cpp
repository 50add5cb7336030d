// Fetching or opening a report document and choosing its path (see read_document.hpp).
#include "read_document.hpp"

#include "element_path.hpp"
#include "kept_readings.hpp"
#include "py_results.hpp"
#include "report_text.hpp"
#include "scan.hpp"

#include <sys/stat.h>

#include <string>

namespace varkit::reportscan {

using host::truthy;

namespace {

const char *const kFunctions[] = {"parse_report",
                                  "parse_added_symbols",
                                  "parse_removed_symbols",
                                  "parse_problems_with_types",
                                  "parse_problems_with_symbols",
                                  "parse_problems_with_constants"};

bool fast_path_allowed(const Globals &g) {
    for (const char *name : kFunctions) {
        if (!g.is_native(name)) {
            return false;
        }
    }
    // The fast path stands in for lxml's parser: only while `etree` is lxml's.
    PyObject *modules = PySys_GetObject("modules");  // borrowed
    PyObject *lxml_etree = modules ? PyDict_GetItemString(modules, "lxml.etree") : nullptr;
    return lxml_etree != nullptr && g.get("etree").ptr() == lxml_etree;
}

// A FIFO, socket or device would block the reader or never end: it is no
// report. A missing path, a directory and a regular file go on to the reader,
// which reports them as it does.
void refuse_special_file(py::handle path) {
    PyObject *fspath = PyOS_FSPath(path.ptr());
    if (fspath == nullptr) {
        PyErr_Clear();
        return;
    }
    auto owned = py::reinterpret_steal<py::object>(fspath);
    py::object encoded = owned;
    if (PyUnicode_Check(fspath)) {
        PyObject *bytes = PyUnicode_EncodeFSDefault(fspath);
        if (bytes == nullptr) {
            PyErr_Clear();
            return;
        }
        encoded = py::reinterpret_steal<py::object>(bytes);
    }
    if (!PyBytes_Check(encoded.ptr())) {
        return;
    }
    std::string name = py::reinterpret_borrow<py::bytes>(encoded);
    struct stat info;
    if (name.find('\0') != std::string::npos || ::stat(name.c_str(), &info) != 0 ||
        S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) {
        return;
    }
    throw Failure{host::render(path) + " is not a regular file"};
}

// The fast path's verdict turned into output and the document result.
py::object emit(ScanOutcome &outcome, host::Output &out) {
    if (outcome.status == ScanOutcome::Status::NoMemory) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    py::list total;
    for (ReportOutput &report : outcome.reports) {
        out.write(text::kSeparatorLine);
        for (std::string &piece : report.text) {
            out.write(piece);
            std::string().swap(piece);
        }
        if (report.failed) {
            throw Failure{report.error};
        }
        for (const Section &section : report.result) {
            total.append(section_to_py(section));
        }
    }
    return std::move(total);
}

// True when requests.get is the real HTTP client, not a substitute.
bool real_client(const Globals &g) {
    py::object requests = g.get("requests");
    py::object api = py::getattr(requests, "api", py::none());
    py::object get = requests.attr("get");
    return !api.is_none() && get.is(py::getattr(api, "get", py::none()));
}

// The report's bytes. The real HTTP client goes through varkit.fetch (bounded in
// time and size, retried, once per run); a substitute for requests.get is
// called as the reader always called it.
py::object fetch_report(const Globals &g, const py::object &url) {
    if (real_client(g)) {
        return g.get("fetch").attr("get_bytes")(url, "report");
    }
    py::object get = g.get("requests").attr("get");
    py::object response = get(url, py::arg("timeout") = 5);
    response.attr("raise_for_status")();
    return response.attr("content");
}

}  // namespace

py::object read_document(const Globals &g, host::Output &out, py::object xml_path_or_url,
                         std::size_t &reports) {
    const bool is_str = PyUnicode_Check(xml_path_or_url.ptr()) != 0;
    bool is_url;
    if (is_str) {
        std::string text = host::utf8(xml_path_or_url);
        is_url = text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
    } else {  // whatever Python's startswith does with it (usually AttributeError)
        is_url = truthy(xml_path_or_url.attr("startswith")("http://")) ||
                 truthy(xml_path_or_url.attr("startswith")("https://"));
    }
    const bool fast = is_str && fast_path_allowed(g);
    // Nothing printed: the scan builds no text (and the memo keeps none).
    const Printing printing = out.discarding() ? Printing::ResultsOnly : Printing::Text;
    py::object root;
    if (is_url) {
        // Within one fetch run a URL stands for one document: its reading is
        // kept under the URL and the run (outside a run, nothing is kept).
        Memo *memo = nullptr;
        FileState run;
        const std::string key = std::string(1, '\0') + host::utf8(xml_path_or_url);
        if (fast && real_client(g)) {
            run.inode = static_cast<ino_t>(py::int_(g.get("fetch").attr("run_token")()));
            memo = run.inode != 0 ? report_memo(g) : nullptr;
        }
        if (memo != nullptr) {
            if (auto kept = memo->find(key, run, !out.discarding())) {
                return replay(*kept, out, reports);
            }
        }
        py::object content = fetch_report(g, xml_path_or_url);
        if (fast && PyBytes_CheckExact(content.ptr())) {
            char *data = nullptr;
            Py_ssize_t size = 0;
            PyBytes_AsStringAndSize(content.ptr(), &data, &size);
            ScanOutcome outcome;
            {
                py::gil_scoped_release unlocked;  // pure C++ over an immutable bytes object we hold
                outcome = scan_memory(data, static_cast<std::size_t>(size), printing);
            }
            if (outcome.status != ScanOutcome::Status::Delegate) {
                reports = outcome.reports.size();
                if (memo != nullptr && is_complete(outcome)) {
                    return emit_and_keep(outcome, out, *memo, key, run);
                }
                return emit(outcome, out);
            }
        }
        root = g.get("etree").attr("fromstring")(content);
    } else {
        refuse_special_file(xml_path_or_url);
        if (fast) {
            PyObject *encoded = PyUnicode_EncodeFSDefault(xml_path_or_url.ptr());
            if (encoded == nullptr) {
                PyErr_Clear();  // not encodable: lxml says what it says
            } else {
                auto path = py::reinterpret_steal<py::bytes>(encoded);
                std::string bytes = path;
                if (bytes.find('\0') == std::string::npos) {
                    Memo *memo = report_memo(g);
                    FileState before;
                    const bool known = memo != nullptr && file_state(bytes.c_str(), before);
                    if (known) {
                        if (auto kept = memo->find(bytes, before, !out.discarding())) {
                            return replay(*kept, out, reports);
                        }
                    }
                    ScanOutcome outcome;
                    {
                        py::gil_scoped_release unlocked;
                        outcome = scan_file(bytes.c_str(), printing);
                    }
                    if (outcome.status != ScanOutcome::Status::Delegate) {
                        reports = outcome.reports.size();
                        FileState after;
                        if (known && is_complete(outcome) && file_state(bytes.c_str(), after) &&
                            after == before) {
                            return emit_and_keep(outcome, out, *memo, bytes, before);
                        }
                        return emit(outcome, out);
                    }
                }
            }
        }
        root = g.get("etree").attr("parse")(xml_path_or_url).attr("getroot")();
    }
    return walk_root(g, out, root, reports);
}

}  // namespace varkit::reportscan

// varkit.reportscan: the ABI compliance report reader.
//
// Two ways through a document:
//  - the fast path (scan.cpp): reportscan() streams the file or body through
//    libxml2's SAX2 parser while parse_report and the five section readers are
//    still this module's own functions;
//  - the element path (this file): the functions as called with lxml elements,
//    walked through lxml's Python API (xpath/find/get/text) exactly as the
//    description words it. reportscan() takes it when a caller has replaced one
//    of the readers in the module namespace (it then calls what is bound), and
//    for every document the fast path hands back (DOCTYPE, entities, syntax
//    errors, unreadable files...), so lxml gives the verdict and the error text.
#include "report_memo.hpp"
#include "scan.hpp"

#include <varkit/host.hpp>

#include <libxml/parser.h>

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

namespace py = pybind11;
namespace host = varkit::host;
using host::Globals;

namespace varkit::reportscan {
namespace {

const char *const kSeparator =
    "================================================================================";
const char *const kSeverities[4] = {"High", "Medium", "Low", "Safe"};
const char *const kFunctions[] = {"parse_report",
                                  "parse_added_symbols",
                                  "parse_removed_symbols",
                                  "parse_problems_with_types",
                                  "parse_problems_with_symbols",
                                  "parse_problems_with_constants"};

// ---------------------------------------------------------------------------
// Conversions

py::object to_py(const OptStr &value) {
    if (!value) {
        return py::none();
    }
    return host::to_str(*value);
}

py::list section_to_py(const Section &section) {
    py::list list;
    for (const Record &record : section) {
        py::dict dict;
        dict["header_name"] = to_py(record.header_name);
        PyObject *set = PySet_New(nullptr);
        if (set == nullptr) {
            throw py::error_already_set();
        }
        py::object symbols = py::reinterpret_steal<py::object>(set);
        for (const OptStr &symbol : record.symbols) {
            if (PySet_Add(set, to_py(symbol).ptr()) != 0) {
                throw py::error_already_set();
            }
        }
        dict["affected_symbols"] = symbols;
        list.append(dict);
    }
    return list;
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

bool equals(py::handle value, const char *text) {
    int result = PyObject_RichCompareBool(value.ptr(), host::to_str(text).ptr(), Py_EQ);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

// seq[0] with Python's IndexError("list index out of range").
py::object first_item(py::handle sequence) {
    PyObject *item = PySequence_GetItem(sequence.ptr(), 0);
    if (item == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(item);
}

std::string s(py::handle value) { return host::render(value); }  // f"{value}"

// ---------------------------------------------------------------------------
// The element path: lxml elements through their Python API.

py::object text_of(py::handle element) { return element.attr("text"); }

// _expand(): element.text with "@" + key replaced by value for each attribute, in order.
py::object expand(py::handle element) {
    py::object text = text_of(element);
    py::object items = element.attr("attrib").attr("items")();
    for (py::handle item : items) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object needle = py::str("@") + pair[0];
        text = text.attr("replace")(needle, pair[1]);
    }
    return text;
}

py::object lx_added(const Globals &, host::Output &out, py::handle node) {
    py::object headers = node.attr("xpath")("header[@name]");
    if (!truthy(headers)) {
        return py::none();
    }
    out.print("\nAdded Symbols:");
    for (py::handle header : headers) {
        out.print("  Header: " + s(header.attr("get")("name")));
        for (py::handle library : header.attr("xpath")("library")) {
            out.print("    Library: " + s(library.attr("get")("name", "Unnamed Library")));
            for (py::handle name : library.attr("xpath")("name")) {
                out.print("      Symbol: " + s(text_of(name)));
            }
        }
    }
    return py::none();
}

py::object lx_removed(const Globals &, host::Output &out, py::handle node) {
    py::object headers = node.attr("xpath")("header");
    if (!truthy(headers)) {
        return py::none();
    }
    out.print("\nRemoved Symbols:");
    py::list result;
    for (py::handle header : headers) {
        py::set symbols;
        py::dict record;
        out.print("  Header: " + s(header.attr("get")("name")));
        for (py::handle library : header.attr("xpath")("library")) {
            out.print("    Library: " + s(library.attr("get")("name", "Unnamed Library")));
            for (py::handle name : library.attr("xpath")("name")) {
                py::object text = text_of(name);
                out.print("      Symbol: " + s(text));
                symbols.add(text);
            }
        }
        record["header_name"] = header.attr("get")("name");
        record["affected_symbols"] = symbols;
        result.append(record);
    }
    return std::move(result);
}

bool not_safe(py::handle severity) {
    int result = PyObject_RichCompareBool(severity.ptr(), host::to_str("Safe").ptr(), Py_NE);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

// ", Problem: <id>, Change: <expanded text>" of the element's first problem and
// that problem's first change; nothing when either is missing.
std::optional<std::string> problem_change(py::handle element) {
    py::object problem = element.attr("find")("problem");
    if (problem.is_none()) {
        return std::nullopt;
    }
    py::object id = problem.attr("get")("id", "");
    py::object change = problem.attr("find")("change");
    if (change.is_none()) {
        return std::nullopt;
    }
    return ", Problem: " + s(id) + ", Change: " + s(expand(change));
}

py::object lx_symbols(const Globals &, host::Output &out, py::handle node, py::handle severity) {
    py::object headers =
        node.attr("xpath")("header[@name][library[@name][symbol[@name][problem[@id][change]]]]");
    if (!truthy(headers)) {
        return py::none();
    }
    out.print("\nProblems with severity '" + s(severity) + "':");
    py::list result;
    for (py::handle header : headers) {
        py::set symbols;
        py::dict record;
        out.print("  Header: " + s(header.attr("get")("name")));
        for (py::handle library : header.attr("xpath")("library[@name]")) {
            out.print("  Library: " + s(library.attr("get")("name")));
            for (py::handle symbol : library.attr("xpath")("symbol[@name]")) {
                py::object name = symbol.attr("get")("name");
                if (not_safe(severity)) {
                    symbols.add(name);
                }
                out.print("    Symbol: " + s(name));
                if (auto change = problem_change(symbol)) {
                    out.print("      Symbol: " + s(name) + *change);
                }
            }
        }
        record["header_name"] = header.attr("get")("name");
        record["affected_symbols"] = symbols;
        result.append(record);
    }
    return std::move(result);
}

py::object lx_constants(const Globals &, host::Output &out, py::handle node, py::handle severity) {
    py::object headers = node.attr("xpath")("header[@name][constant[@name][problem[@id][change]]]");
    if (!truthy(headers)) {
        return py::none();
    }
    out.print("\nProblems with severity '" + s(severity) + "':");
    for (py::handle header : headers) {
        out.print("  Header: " + s(header.attr("get")("name")));
        for (py::handle constant : header.attr("xpath")("constant[@name]")) {
            if (auto change = problem_change(constant)) {
                out.print("    Constant: " + s(constant.attr("get")("name")) + *change);
            }
        }
    }
    return py::none();
}

py::object lx_types(const Globals &, host::Output &out, py::handle node, py::handle severity) {
    py::object headers = node.attr("xpath")(
        "header[@name][type[@name][problem[@id][change]][affected[symbol[@name][comment]]]]");
    if (!truthy(headers)) {
        return py::none();
    }
    out.print("\nProblems with severity '" + s(severity) + "':");
    py::list result;
    for (py::handle header : headers) {
        py::set symbols;
        py::dict record;
        out.print("  Header: " + s(header.attr("get")("name")));
        for (py::handle type : header.attr("xpath")("type[@name]")) {
            if (auto change = problem_change(type)) {
                out.print("    Type: " + s(type.attr("get")("name")) + *change);
            }
            py::object affected = type.attr("find")("affected");
            if (affected.is_none()) {
                continue;
            }
            for (py::handle symbol : affected.attr("xpath")("symbol[@name]")) {
                py::object name = symbol.attr("get")("name");
                if (not_safe(severity)) {
                    symbols.add(name);
                }
                py::object param = symbol.attr("get")("param", "");
                py::object field = symbol.attr("get")("field", "");
                py::object comment = symbol.attr("find")("comment");
                if (comment.is_none()) {
                    continue;
                }
                py::object text = expand(comment);
                text = text.attr("replace")("@param", param);
                text = text.attr("replace")("@field", field);
                out.print("      Affected Symbol: " + s(name) + ", Comment: " + s(text));
            }
        }
        record["header_name"] = header.attr("get")("name");
        record["affected_symbols"] = symbols;
        result.append(record);
    }
    return std::move(result);
}

// A reader as bound now: this module's own function (called in C++, sharing the
// output buffer) or whatever a caller put in its place (called through Python).
template <typename Native, typename... Args>
py::object call_bound(const Globals &g, host::Output &out, const char *name, Native native,
                      Args... args) {
    if (g.is_native(name)) {
        return native(g, out, args...);
    }
    py::object function = g.get(name);
    out.flush();
    return function(args...);
}

py::object lx_report(const Globals &g, host::Output &out, py::handle report) {
    py::object kind = report.attr("get")("kind");
    out.print("Processing " + s(kind) + " report...");
    py::list result;
    py::object library = text_of(first_item(report.attr("xpath")(".//library")));
    py::object old_version = text_of(first_item(report.attr("xpath")(".//version1/number")));
    py::object new_version = text_of(first_item(report.attr("xpath")(".//version2/number")));
    out.print("Test library: " + s(library));
    out.print("Test Version: " + s(old_version) + " VS " + s(new_version));

    py::object test_results = report.attr("find")(".//test_results");
    if (!test_results.is_none()) {
        out.print("Test Results:");
        out.print("  Headers:");
        for (py::handle name : test_results.attr("xpath")(".//headers/name")) {
            out.print("    - " + s(text_of(name)));
        }
        out.print("\n  Libs:");
        for (py::handle name : test_results.attr("xpath")(".//libs/name")) {
            out.print("    - " + s(text_of(name)));
        }
        static const char *const kFields[4][2] = {
            {"symbols", "  Symbols: "}, {"types", "  Types: "}, {"verdict", "  Verdict: "},
            {"affected", "  Affected: "}};
        for (const auto &field : kFields) {
            py::object child = test_results.attr("find")(field[0]);
            if (!child.is_none()) {
                out.print(std::string(field[1]) + s(text_of(child)));
            }
        }
    }
    const bool binary = equals(kind, "binary");

    py::object added = report.attr("find")("./added_symbols");
    call_bound(g, out, "parse_added_symbols", lx_added, py::handle(added));

    py::object removed_node = report.attr("find")("./removed_symbols");
    py::object removed = call_bound(g, out, "parse_removed_symbols", lx_removed, py::handle(removed_node));
    if (binary && truthy(removed)) {
        result.append(removed);
    }
    for (const char *severity : kSeverities) {
        py::str sev = host::to_str(severity);
        std::string predicate = std::string("[@severity='") + severity + "']";
        py::object node = report.attr("find")(".//problems_with_types" + predicate);
        if (!node.is_none()) {
            py::object types = call_bound(g, out, "parse_problems_with_types", lx_types,
                                          py::handle(node), py::handle(sev));
            if (binary && truthy(types)) {
                result.append(types);
            }
        }
        node = report.attr("find")(".//problems_with_symbols" + predicate);
        if (!node.is_none()) {
            py::object symbols = call_bound(g, out, "parse_problems_with_symbols", lx_symbols,
                                            py::handle(node), py::handle(sev));
            if (binary && truthy(symbols)) {
                result.append(symbols);
            }
        }
        node = report.attr("find")(".//problems_with_constants" + predicate);
        if (!node.is_none()) {
            call_bound(g, out, "parse_problems_with_constants", lx_constants, py::handle(node),
                       py::handle(sev));
        }
    }
    return std::move(result);
}

// ---------------------------------------------------------------------------
// reportscan

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

// Steps 4-6 over a root element: every //report, in document order.
py::object walk_root(const Globals &g, host::Output &out, py::handle root, std::size_t &reports) {
    py::object total = py::list();
    py::object found = root.attr("xpath")("//report");
    reports = static_cast<std::size_t>(py::len(found));
    for (py::handle report : found) {
        out.print(kSeparator);
        py::object result = call_bound(g, out, "parse_report", lx_report, report);
        if (truthy(result)) {
            PyObject *joined = PyNumber_Add(total.ptr(), result.ptr());
            if (joined == nullptr) {
                throw py::error_already_set();
            }
            total = py::reinterpret_steal<py::object>(joined);
        }
    }
    return total;
}

struct Failure {  // a report of the fast path raised inside parse_report
    std::string message;
};

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
        out.print(kSeparator);
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

// A report file as read once: the text reportscan() prints for it and its
// document result, whose copies later readings hand out.
struct KeptReading {
    py::str text;
    py::list result;
    std::size_t reports = 0;
};
using Memo = ReadingMemo<KeptReading>;

// The readings this module instance keeps (see report_memo.hpp); nullptr when
// the module's namespace no longer holds them.
constexpr const char *kMemoName = "_report_memo";

Memo *report_memo(const Globals &g) {
    PyObject *capsule = PyDict_GetItemString(g.dict().ptr(), kMemoName);  // borrowed
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, kMemoName)) {
        return nullptr;
    }
    return static_cast<Memo *>(PyCapsule_GetPointer(capsule, kMemoName));
}

// A new document result with the same records: new lists, dicts and sets.
py::list copy_result(const py::list &result) {
    py::list copy;
    for (py::handle section : result) {
        py::list records;
        for (py::handle record : section) {
            py::dict fresh;
            fresh["header_name"] = record["header_name"];
            PyObject *symbols = PySet_New(py::object(record["affected_symbols"]).ptr());
            if (symbols == nullptr) {
                throw py::error_already_set();
            }
            fresh["affected_symbols"] = py::reinterpret_steal<py::object>(symbols);
            records.append(fresh);
        }
        copy.append(records);
    }
    return copy;
}

// The complete reading of a local file (or of a URL within a fetch run), printed
// and kept for the next time.
py::object emit_and_keep(ScanOutcome &outcome, host::Output &out, Memo &memo,
                         const std::string &path, const FileState &state) {
    auto kept = std::make_shared<KeptReading>();
    std::string text;
    for (const ReportOutput &report : outcome.reports) {
        text.append(kSeparator).push_back('\n');
        for (const std::string &piece : report.text) {
            text.append(piece);
        }
        for (const Section &section : report.result) {
            kept->result.append(section_to_py(section));
        }
    }
    kept->text = host::to_str(text);
    kept->reports = outcome.reports.size();
    const std::size_t bytes = footprint(outcome);
    out.write_str(kept->text);
    py::list result = copy_result(kept->result);
    memo.keep(path, state, std::move(kept), bytes);
    return std::move(result);
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
        return py::module_::import("varkit.fetch").attr("get_bytes")(url, "report");
    }
    py::object get = g.get("requests").attr("get");
    py::object response = get(url, py::arg("timeout") = 5);
    response.attr("raise_for_status")();
    return response.attr("content");
}

// `reports` is set to the number of report elements the document holds.
py::object scan_body(const Globals &g, host::Output &out, py::object xml_path_or_url,
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
    py::object root;
    if (is_url) {
        // Within one fetch run a URL stands for one document: its reading is
        // kept under the URL and the run (outside a run, nothing is kept).
        Memo *memo = nullptr;
        FileState run;
        const std::string key = std::string(1, '\0') + host::utf8(xml_path_or_url);
        if (fast && real_client(g)) {
            run.inode = static_cast<ino_t>(
                py::int_(py::module_::import("varkit.fetch").attr("run_token")()));
            memo = run.inode != 0 ? report_memo(g) : nullptr;
        }
        if (memo != nullptr) {
            if (auto kept = memo->find(key, run)) {
                reports = kept->reports;
                out.write_str(kept->text);
                return copy_result(kept->result);
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
                outcome = scan_memory(data, static_cast<std::size_t>(size));
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
                        if (auto kept = memo->find(bytes, before)) {
                            reports = kept->reports;
                            out.write_str(kept->text);
                            return copy_result(kept->result);
                        }
                    }
                    ScanOutcome outcome;
                    {
                        py::gil_scoped_release unlocked;
                        outcome = scan_file(bytes.c_str());
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

py::object reportscan(const Globals &g, py::object xml_path_or_url) {
    host::Output out;
    g.dict()["last_failure"] = py::none();
    try {
        std::size_t reports = 0;
        py::object result = scan_body(g, out, xml_path_or_url, reports);
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

// ---------------------------------------------------------------------------
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
py::object parse_problems_with_symbols(const Globals &g, py::object problem_node, py::object severity) {
    host::Output out;
    return lx_symbols(g, out, problem_node, severity);
}
py::object parse_problems_with_constants(const Globals &g, py::object problem_node, py::object severity) {
    host::Output out;
    return lx_constants(g, out, problem_node, severity);
}
py::object parse_problems_with_types(const Globals &g, py::object problem_node, py::object severity) {
    host::Output out;
    return lx_types(g, out, problem_node, severity);
}

// The main-program block, for the console script varkit-reportscan.
py::object main_program(const Globals &g) {
    py::object sys = g.get("sys");
    py::object argv = sys.attr("argv");
    if (py::len(argv) != 2) {
        {
            host::Output out;
            out.print("Error: Please provide the path to an XML file.");
        }
        sys.attr("exit")(1);
        return py::none();
    }
    py::object xml_path = argv[py::int_(1)];
    g.dict()["xml_path"] = xml_path;
    g.get("reportscan")(xml_path);
    return py::none();
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
              "Also run as the command varkit-reportscan.";
    xmlInitParser();
    host::bind_module(m, "sys", "sys");
    host::bind_module(m, "requests", "requests");
    host::bind_module(m, "etree", "lxml.etree");
    host::bind_from(m, "varkit.logger", {"ABI_LOG"});
    m.attr("last_failure") = py::none();  // no call has failed yet
    m.attr(rs::kMemoName) = py::capsule(std::make_unique<rs::Memo>().release(), rs::kMemoName,
                                        [](PyObject *capsule) {
                                            std::unique_ptr<rs::Memo>(static_cast<rs::Memo *>(
                                                PyCapsule_GetPointer(capsule, rs::kMemoName)));
                                        });

    host::def(m, "reportscan", &rs::reportscan, py::arg("xml_path_or_url"),
              "Read the ABI compliance report(s) at a local path or http(s) URL, print them\n"
              "and return the removed and changed symbols per header of the binary reports.\n"
              "Any failure is logged through ABI_LOG and gives [].");
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

// parse_report and the section readers over lxml elements (see element_path.hpp).
#include "element_path.hpp"

#include "report_text.hpp"
#include "scan.hpp"

#include <optional>
#include <string>
#include <utility>

namespace varkit::reportscan {

using host::truthy;

namespace {

bool not_safe(py::handle severity) {
    int result = PyObject_RichCompareBool(severity.ptr(), host::to_str("Safe").ptr(), Py_NE);
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

// One line of the report text, formatted by report_text.hpp from rendered values.
template <typename Format, typename... Values>
void print(host::Output &out, Format format, const Values &...values) {
    std::string line;
    format(line, values...);
    out.write(line);
}

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

// The id and the expanded text of the element's first problem and that problem's
// first change; nothing when either is missing.
std::optional<std::pair<std::string, std::string>> problem_change(py::handle element) {
    py::object problem = element.attr("find")("problem");
    if (problem.is_none()) {
        return std::nullopt;
    }
    py::object id = problem.attr("get")("id", "");
    py::object change = problem.attr("find")("change");
    if (change.is_none()) {
        return std::nullopt;
    }
    std::string id_text = s(id);
    return std::make_pair(std::move(id_text), s(expand(change)));
}

// For each header, its name printed and then `fill(header, symbols)`; one
// {"header_name", "affected_symbols"} record per header, in order.
template <typename Fill>
py::object header_records(host::Output &out, py::handle headers, Fill fill) {
    py::list result;
    for (py::handle header : headers) {
        py::set symbols;
        print(out, text::header, s(header.attr("get")("name")));
        fill(header, symbols);
        py::dict record;
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

}  // namespace

py::object lx_added(const Globals &, host::Output &out, py::handle node) {
    py::object headers = node.attr("xpath")("header[@name]");
    if (!truthy(headers)) {
        return py::none();
    }
    print(out, text::added_heading);
    for (py::handle header : headers) {
        print(out, text::header, s(header.attr("get")("name")));
        for (py::handle library : header.attr("xpath")("library")) {
            print(out, text::listed_library, s(library.attr("get")("name", text::kUnnamedLibrary)));
            for (py::handle name : library.attr("xpath")("name")) {
                print(out, text::listed_symbol, s(text_of(name)));
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
    print(out, text::removed_heading);
    return header_records(out, headers, [&](py::handle header, py::set &symbols) {
        for (py::handle library : header.attr("xpath")("library")) {
            print(out, text::listed_library, s(library.attr("get")("name", text::kUnnamedLibrary)));
            for (py::handle name : library.attr("xpath")("name")) {
                py::object text = text_of(name);
                print(out, text::listed_symbol, s(text));
                symbols.add(text);
            }
        }
    });
}

py::object lx_symbols(const Globals &, host::Output &out, py::handle node, py::handle severity) {
    py::object headers =
        node.attr("xpath")("header[@name][library[@name][symbol[@name][problem[@id][change]]]]");
    if (!truthy(headers)) {
        return py::none();
    }
    print(out, text::severity_heading, s(severity));
    return header_records(out, headers, [&](py::handle header, py::set &symbols) {
        for (py::handle library : header.attr("xpath")("library[@name]")) {
            print(out, text::problem_library, s(library.attr("get")("name")));
            for (py::handle symbol : library.attr("xpath")("symbol[@name]")) {
                py::object name = symbol.attr("get")("name");
                if (not_safe(severity)) {
                    symbols.add(name);
                }
                print(out, text::problem_symbol, s(name));
                if (auto change = problem_change(symbol)) {
                    print(out, text::symbol_change, s(name), change->first, change->second);
                }
            }
        }
    });
}

py::object lx_constants(const Globals &, host::Output &out, py::handle node, py::handle severity) {
    py::object headers = node.attr("xpath")("header[@name][constant[@name][problem[@id][change]]]");
    if (!truthy(headers)) {
        return py::none();
    }
    print(out, text::severity_heading, s(severity));
    for (py::handle header : headers) {
        print(out, text::header, s(header.attr("get")("name")));
        for (py::handle constant : header.attr("xpath")("constant[@name]")) {
            if (auto change = problem_change(constant)) {
                print(out, text::constant_change, s(constant.attr("get")("name")), change->first,
                      change->second);
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
    print(out, text::severity_heading, s(severity));
    return header_records(out, headers, [&](py::handle header, py::set &symbols) {
        for (py::handle type : header.attr("xpath")("type[@name]")) {
            if (auto change = problem_change(type)) {
                print(out, text::type_change, s(type.attr("get")("name")), change->first,
                      change->second);
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
                print(out, text::affected_symbol, s(name), s(text));
            }
        }
    });
}

py::object lx_report(const Globals &g, host::Output &out, py::handle report) {
    py::object kind = report.attr("get")("kind");
    print(out, text::processing, s(kind));
    py::list result;
    py::object library = text_of(first_item(report.attr("xpath")(".//library")));
    py::object old_version = text_of(first_item(report.attr("xpath")(".//version1/number")));
    py::object new_version = text_of(first_item(report.attr("xpath")(".//version2/number")));
    print(out, text::test_library, s(library));
    print(out, text::test_version, s(old_version), s(new_version));

    py::object test_results = report.attr("find")(".//test_results");
    if (!test_results.is_none()) {
        print(out, text::test_results_heading);
        for (py::handle name : test_results.attr("xpath")(".//headers/name")) {
            print(out, text::listed_name, s(text_of(name)));
        }
        print(out, text::libs_heading);
        for (py::handle name : test_results.attr("xpath")(".//libs/name")) {
            print(out, text::listed_name, s(text_of(name)));
        }
        for (std::size_t i = 0; i < text::kTestResultFields.size(); ++i) {
            py::object child = test_results.attr("find")(text::kTestResultFields[i]);
            if (!child.is_none()) {
                print(out, text::test_result_field, i, s(text_of(child)));
            }
        }
    }
    const bool binary = host::equals(kind, host::to_str("binary"));

    py::object added = report.attr("find")("./added_symbols");
    call_bound(g, out, "parse_added_symbols", lx_added, py::handle(added));

    py::object removed_node = report.attr("find")("./removed_symbols");
    py::object removed =
        call_bound(g, out, "parse_removed_symbols", lx_removed, py::handle(removed_node));
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
    return std::move(result);
}

py::object walk_root(const Globals &g, host::Output &out, py::handle root, std::size_t &reports) {
    py::object total = py::list();
    py::object found = root.attr("xpath")("//report");
    reports = static_cast<std::size_t>(py::len(found));
    for (py::handle report : found) {
        out.write(text::kSeparatorLine);
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

}  // namespace varkit::reportscan

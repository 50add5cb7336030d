#include "exec_impact.hpp"

#include "facilities.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace varkit::impactor {

const char *const kCheckExecAffectedDoc =
    "\n"
    "    检查本地文件是否使用了远程JSON报告中标记为变更的可执行文件\n"
    "\n"
    "    参数:\n"
    "        local_file (str): 本地文件路径\n"
    "        exec_report_path (str): 远程JSON文件URL\n"
    "\n"
    "    返回:\n"
    "        bool: True表示使用了变更的可执行文件，False表示未使用\n"
    "    ";

namespace {

// requests.get(url). The real client goes through varkit.fetch (bounded in time
// and size, retried, once per run); a substitute for requests.get is called
// with the URL alone.
py::object fetch(const Globals &g, const py::object &url) {
    py::object requests = g.get("requests");
    py::object get = requests.attr("get");
    py::object api = py::getattr(requests, "api", py::none());
    if (!api.is_none() && get.is(py::getattr(api, "get", py::none()))) {
        return g.get("fetch").attr("get_document")(url, "json");
    }
    return get(url);
}

using Pair = std::pair<std::string, std::string>;  // (name, diff URL), UTF-8

// Distinct pairs in the order they were first seen.
class PairSet {
public:
    void add(const Pair &pair) {
        if (seen_.insert(pair).second) {
            order_.push_back(pair);
        }
    }
    bool empty() const { return order_.empty(); }
    const std::vector<Pair> &items() const { return order_; }

    py::list to_list() const {
        py::list out;
        for (const Pair &pair : order_) {
            out.append(py::make_tuple(host::to_str(pair.first), host::to_str(pair.second)));
        }
        return out;
    }

private:
    std::set<Pair> seen_;
    std::vector<Pair> order_;
};

using host::last_component;

// The base already ends in "/": published diff URLs have "//diff_output/".
std::string diff_url(const std::string &base_url, std::string executable_path) {
    std::replace(executable_path.begin(), executable_path.end(), '/', '_');
    return base_url + "/diff_output/" + executable_path + ".diff";
}

// scheme://netloc + dirname(path) + "/": query and fragment are dropped.
std::string base_url_of(const Globals &g, const py::object &report_url) {
    py::object parts = g.get("urlparse")(report_url);
    py::object directory = g.get("os").attr("path").attr("dirname")(parts.attr("path"));
    return host::render(parts.attr("scheme")) + "://" + host::render(parts.attr("netloc")) +
           host::render(directory) + "/";
}

bool marks_change(const py::handle &entry) {
    py::object change_type = entry.attr("get")("change_type");
    return equals(change_type, py::str("REMOVED")) || equals(change_type, py::str("MODIFIED"));
}

PairSet changed_executables(const py::object &report, const std::string &base_url) {
    PairSet changed;
    for (py::handle item : report.attr("items")()) {
        py::tuple key_value = py::reinterpret_borrow<py::tuple>(item);
        py::object entries = key_value[1];
        for (py::handle entry : entries.attr("values")()) {
            if (marks_change(entry)) {
                std::string path = host::utf8(key_value[0]);
                changed.add({last_component(path), diff_url(base_url, path)});
            }
        }
    }
    return changed;
}

// The distinct names that can be found in a file: a name that is empty or
// spans lines can never be named on one line of it.
std::vector<std::string> searchable_names(const PairSet &changed) {
    std::set<std::string> distinct;
    for (const Pair &pair : changed.items()) {
        if (!pair.first.empty() && pair.first.find('\n') == std::string::npos) {
            distinct.insert(pair.first);
        }
    }
    return {distinct.begin(), distinct.end()};
}

using Codepoints = std::u32string;

Codepoints codepoints(const py::handle &text) {
    Py_UCS4 *copy = PyUnicode_AsUCS4Copy(text.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    Codepoints out(copy, copy + PyUnicode_GET_LENGTH(text.ptr()));
    PyMem_Free(copy);
    return out;
}

// A word character as the regular expressions of Python's str patterns see it.
bool is_word(Py_UCS4 c) { return c == '_' || Py_UNICODE_ISALNUM(c); }

// Finds, left to right and without overlaps, every whole-word occurrence of
// the names, as the pattern \b(name|name|...)\b with longer names first finds
// them: at each position where a word boundary lies, the longest name that is
// spelled there and ends at a word boundary. The names are kept sorted, and
// the range of names sharing the text read so far narrows one character at a
// time, so the time is linear in the file's length (times the length of the
// longest name) whatever the number of names.
class WholeWordFinder {
public:
    explicit WholeWordFinder(const std::vector<std::string> &names) {
        for (const std::string &name : names) {
            names_.push_back({codepoints(host::to_str(name)), name});
        }
        std::sort(names_.begin(), names_.end());
    }

    std::vector<const std::string *> find(const Codepoints &text) const {
        std::vector<const std::string *> found;
        std::size_t i = 0;
        while (i < text.size()) {
            const Entry *match = boundary(text, i) ? longest_at(text, i) : nullptr;
            if (match != nullptr) {
                found.push_back(&match->name);
                i += match->text.size();
            } else {
                ++i;
            }
        }
        return found;
    }

private:
    struct Entry {
        Codepoints text;
        std::string name;
        bool operator<(const Entry &other) const { return text < other.text; }
    };

    static bool boundary(const Codepoints &text, std::size_t i) {
        const bool before = i > 0 && is_word(text[i - 1]);
        const bool after = i < text.size() && is_word(text[i]);
        return before != after;
    }

    const Entry *longest_at(const Codepoints &text, std::size_t start) const {
        auto lo = names_.begin();
        auto hi = names_.end();
        const Entry *best = nullptr;
        for (std::size_t depth = 0; start + depth < text.size() && lo != hi; ++depth) {
            const Py_UCS4 c = text[start + depth];
            lo = std::lower_bound(lo, hi, c, [depth](const Entry &e, Py_UCS4 value) {
                return e.text.size() <= depth || e.text[depth] < value;
            });
            hi = std::upper_bound(lo, hi, c, [depth](Py_UCS4 value, const Entry &e) {
                return value < e.text[depth];
            });
            // Sorted order puts the name that ends here first in the range.
            if (lo != hi && lo->text.size() == depth + 1 && boundary(text, start + depth + 1)) {
                best = &*lo;
            }
        }
        return best;
    }

    std::vector<Entry> names_;
};

// The whole file as text. Lines are read in universal-newline mode, so only
// "\n" ends a line in it and no name of the pattern contains "\n": matching
// over the whole text finds exactly what matching line by line finds.
py::object read_local_text(const Globals &g, const py::object &local_file) {
    OpenFile input(open_text(g, local_file, "r", "ignore"));
    py::object content = input.file().attr("read")();
    input.close();
    return content;
}

py::list scan(const Globals &g, const py::object &local_file, const py::object &exec_report_path) {
    const std::string base_url = base_url_of(g, exec_report_path);

    py::object response = fetch(g, exec_report_path);
    response.attr("raise_for_status")();
    py::object report = g.get("json").attr("loads")(response.attr("text"));

    PairSet changed = changed_executables(report, base_url);
    if (changed.empty()) {
        return py::list();
    }

    std::vector<std::string> names = searchable_names(changed);
    py::object content = read_local_text(g, local_file);
    PairSet found;
    if (names.empty()) {
        return found.to_list();
    }
    std::map<std::string, std::vector<Pair>> pairs_by_name;
    for (const Pair &pair : changed.items()) {
        pairs_by_name[pair.first].push_back(pair);
    }
    const WholeWordFinder finder(names);  // owns the names the matches point to
    for (const std::string *name : finder.find(codepoints(content))) {
        for (const Pair &pair : pairs_by_name[*name]) {
            found.add(pair);
        }
    }
    return found.to_list();
}

// The failures the check turns into an empty answer: the HTTP client's, an
// invalid JSON body, and reading the local file.
bool is_guarded_failure(const Globals &g, const py::error_already_set &error) {
    return error.matches(PyExc_OSError) ||
           error.matches(g.get("requests").attr("RequestException")) ||
           error.matches(g.get("json").attr("JSONDecodeError"));
}

// The caught failure: printed as the check always printed it, and kept.
py::dict caught_failure(py::error_already_set &error, const py::object &local_file,
                        const py::object &exec_report_path) {
    py::str message = text(error.value());
    host::Output out;
    out.print(host::utf8(text("处理失败: ", message)));
    out.flush();
    py::dict failure;
    failure["location"] = exec_report_path;
    failure["local_file"] = local_file;
    failure["error"] = message;
    return failure;
}

}  // namespace

ExecCheck check_exec(const Globals &g, py::object local_file, py::object exec_report_path) {
    ExecCheck outcome{py::list(), py::none()};
    try {
        outcome.affected = scan(g, local_file, exec_report_path);
    } catch (py::error_already_set &error) {
        if (!is_guarded_failure(g, error)) {
            throw;
        }
        // The empty answer alone would read as "not affected": say why it is empty.
        outcome.failure = caught_failure(error, local_file, exec_report_path);
    }
    return outcome;
}

py::tuple check_exec_outcome(const Globals &g, py::object local_file, py::object exec_report_path) {
    ExecCheck outcome = check_exec(g, std::move(local_file), std::move(exec_report_path));
    return py::make_tuple(outcome.affected, outcome.failure);
}

py::object check_exec_affected(const Globals &g, py::object local_file,
                               py::object exec_report_path) {
    g.dict()[kLastExecFailure] = py::none();  // what stays when the call raises
    ExecCheck outcome = check_exec(g, std::move(local_file), std::move(exec_report_path));
    g.dict()[kLastExecFailure] = outcome.failure;
    return outcome.affected;
}

}  // namespace varkit::impactor

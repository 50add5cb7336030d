// Each step calls the module's own C++ code while the name it goes through is
// still bound to it; a replaced step is called through Python with the values
// the loop holds at that point, so substitutes see exactly their calls.
#include "process.hpp"

#include "filters.hpp"
#include "package_score.hpp"
#include <varkit/pm/sorted_unique.hpp>

#include <algorithm>
#include <deque>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <varkit/host.hpp>
#include <varkit/pm/json.hpp>
#include <vector>

namespace varkit::likeness {

namespace {

namespace py = pybind11;
namespace json = pm::json;
using host::Globals;
using Paths = std::vector<std::string_view>;

constexpr std::string_view kBanner = "==============================";

py::object call(host::Output &out, const py::object &function, py::handle a, py::handle b) {
    out.flush();
    return function(a, b);
}

using host::truthy;

template <typename Strings>
py::list python_list(const Strings &paths) {
    py::list list(paths.size());
    Py_ssize_t i = 0;
    for (const auto &path : paths) {
        std::string_view text;
        if constexpr (std::is_same_v<typename Strings::value_type, json::Value>) {
            text = path.as_string();
        } else {
            text = path;
        }
        PyList_SET_ITEM(list.ptr(), i++, host::to_str(text).release().ptr());
    }
    return list;
}

template <typename Strings>
py::set python_set(const Strings &texts) {
    py::set set;
    for (std::string_view text : texts) {
        set.add(host::to_str(text));
    }
    return set;
}

json::Array json_array(const Paths &paths) {
    json::Array array;
    array.reserve(paths.size());
    for (std::string_view path : paths) {
        array.emplace_back(path);
    }
    return array;
}

const json::Array &side_list(const json::Value &entry, const char *side,
                             const std::string &package) {
    if (!entry.is_object()) {
        host::raise(PyExc_TypeError, "the entry of package '" + package + "' is not a JSON object");
    }
    const json::Value *list = entry.find(side);
    if (list == nullptr) {
        host::raise(PyExc_KeyError, side);
    }
    if (!list->is_string_array()) {
        host::raise(PyExc_TypeError, "the \"" + std::string(side) + "\" list of package '" +
                                         package + "' is not a list of strings");
    }
    return list->as_array();
}

// The filter for a module attribute's list of markers, rebuilt only when the
// list no longer holds the very objects it was built from.
class MarkerFilter {
public:
    explicit MarkerFilter(const char *name) : name_(name) {}

    const SubstringFilter &current(const Globals &g) {
        std::vector<py::object> items;
        for (py::handle item : g.get(name_)) {
            items.push_back(py::reinterpret_borrow<py::object>(item));
        }
        const bool same =
            filter_ && items.size() == items_.size() &&
            std::equal(items.begin(), items.end(), items_.begin(),
                       [](const py::object &a, const py::object &b) { return a.is(b); });
        if (!same) {
            std::vector<std::string> texts;
            for (const py::object &item : items) {
                if (!PyUnicode_Check(item.ptr())) {
                    host::raise(PyExc_TypeError, std::string(name_) + " holds a non-str filter");
                }
                texts.push_back(host::utf8(item));
            }
            filter_.emplace(std::move(texts));
            items_ = std::move(items);
        }
        return *filter_;
    }

private:
    const char *name_;
    std::vector<py::object> items_;
    std::optional<SubstringFilter> filter_;
};

// Paths of `paths` that are in `caught` (str members of a Python iterable).
std::unordered_set<std::string> caught_texts(py::handle caught) {
    py::object set = py::reinterpret_steal<py::object>(PySet_New(caught.ptr()));
    if (!set) {
        throw py::error_already_set();
    }
    std::unordered_set<std::string> texts;
    for (py::handle item : set) {
        if (PyUnicode_Check(item.ptr())) {
            texts.insert(host::utf8(item));
        }
    }
    return texts;
}

// One side's paths without noise, sorted and unique, and its noise in input order.
struct FilteredSide {
    Paths kept;
    json::Array noise;
};

FilteredSide split_noise(const json::Array &paths, const SubstringFilter &filter) {
    FilteredSide side;
    for (const json::Value &path : paths) {
        if (filter.caught(path.as_string())) {
            side.noise.emplace_back(path.as_string());
        } else {
            side.kept.emplace_back(path.as_string());
        }
    }
    pm::sort_unique(side.kept);
    return side;
}

Paths kept_paths(const json::Array &paths, const std::unordered_set<std::string> &caught) {
    Paths kept;
    for (const json::Value &path : paths) {
        if (caught.count(path.as_string()) == 0) {
            kept.emplace_back(path.as_string());
        }
    }
    pm::sort_unique(kept);
    return kept;
}

struct Filtered {
    Paths orv;
    Paths ubuntu;
    json::Value noise;  // {"orv_filtered_files": [...], "ubuntu_filetered_files": [...]}
};

json::Value noise_entry(json::Value orv, json::Value ubuntu) {
    json::Object entry;
    entry.emplace_back("orv_filtered_files", std::move(orv));
    entry.emplace_back("ubuntu_filetered_files", std::move(ubuntu));
    return json::Value(std::move(entry));
}

struct Markers {
    MarkerFilter orv{"orv_filters"};
    MarkerFilter ubuntu{"ubuntu_filters"};
};

Filtered filter_sides(const Globals &g, host::Output &out, const json::Array &orv,
                      const json::Array &ubuntu, Markers &markers) {
    if (g.is_native("filter_files")) {
        FilteredSide orv_side = split_noise(orv, markers.orv.current(g));
        FilteredSide ubuntu_side = split_noise(ubuntu, markers.ubuntu.current(g));
        return Filtered{std::move(orv_side.kept), std::move(ubuntu_side.kept),
                        noise_entry(json::Value(std::move(orv_side.noise)),
                                    json::Value(std::move(ubuntu_side.noise)))};
    }
    // A replacement is asked twice per side: once for the filtered lists, once for the noise entry.
    py::object filter_files = g.get("filter_files");
    py::list orv_list = python_list(orv);
    py::list ubuntu_list = python_list(ubuntu);
    Filtered filtered;
    filtered.orv =
        kept_paths(orv, caught_texts(call(out, filter_files, orv_list, g.get("orv_filters"))));
    filtered.ubuntu = kept_paths(
        ubuntu, caught_texts(call(out, filter_files, ubuntu_list, g.get("ubuntu_filters"))));
    json::Value orv_noise =
        json::from_python(call(out, filter_files, orv_list, g.get("orv_filters")));
    json::Value ubuntu_noise =
        json::from_python(call(out, filter_files, ubuntu_list, g.get("ubuntu_filters")));
    filtered.noise = noise_entry(std::move(orv_noise), std::move(ubuntu_noise));
    return filtered;
}

// What handling_single_package gave: C++ lists while it is the module's own,
// otherwise the objects the replacement returned.
struct Remaining {
    bool native = true;
    Paths orv;
    Paths ubuntu;
    Paths common;                     // sorted, unique: exact common paths and fuzzy entries
    std::deque<std::string> entries;  // the fuzzy entries' text, at stable addresses
    py::object py_orv;
    py::object py_ubuntu;
    py::object py_common;

    void to_python() {
        if (native) {
            py_orv = python_list(orv);
            py_ubuntu = python_list(ubuntu);
            py_common = python_set(common);
            native = false;
        }
    }
};

// a, b, c = value
std::vector<py::object> unpack_three(py::handle value) {
    std::vector<py::object> items;
    for (py::handle item : value) {
        if (items.size() == 3) {
            host::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        }
        items.push_back(py::reinterpret_borrow<py::object>(item));
    }
    if (items.size() < 3) {
        host::raise(PyExc_ValueError, "not enough values to unpack (expected 3, got " +
                                          std::to_string(items.size()) + ")");
    }
    return items;
}

Remaining handle_package(const Globals &g, host::Output &out, const Paths &orv_diff,
                         const Paths &ubuntu_diff, const Paths &common) {
    Remaining remaining;
    if (!g.is_native("handling_single_package")) {
        py::object handling = g.get("handling_single_package");
        out.flush();
        py::object result =
            handling(python_list(orv_diff), python_list(ubuntu_diff), python_set(common));
        std::vector<py::object> items = unpack_three(result);
        remaining.native = false;
        remaining.py_orv = std::move(items[0]);
        remaining.py_ubuntu = std::move(items[1]);
        remaining.py_common = std::move(items[2]);
        return remaining;
    }
    FilePredicate same_file;
    if (!g.is_native("handle_single_file")) {
        py::object function = g.get("handle_single_file");
        out.flush();
        same_file = [function](std::string_view a, std::string_view b) {
            return truthy(function(host::to_str(a), host::to_str(b)));
        };
    }
    FuzzyPairs found = find_fuzzy_pairs(orv_diff, ubuntu_diff, same_file);
    remaining.common.reserve(common.size() + found.pairs.size());
    remaining.common.assign(common.begin(), common.end());
    for (const auto &[i, j] : found.pairs) {
        remaining.common.emplace_back(
            remaining.entries.emplace_back(fuzzy_entry(orv_diff[i], ubuntu_diff[j])));
    }
    pm::sort_unique(remaining.common);
    for (std::size_t i = 0; i < orv_diff.size(); ++i) {
        if (!found.orv_paired[i]) {
            remaining.orv.push_back(orv_diff[i]);
        }
    }
    for (std::size_t j = 0; j < ubuntu_diff.size(); ++j) {
        if (!found.ubuntu_paired[j]) {
            remaining.ubuntu.push_back(ubuntu_diff[j]);
        }
    }
    return remaining;
}

// A package's score as calculate_similarity gave it.
struct ScoreValue {
    bool native = true;
    Score score;
    py::object object;

    bool is_hundred() const {
        if (native) {
            return score.whole || score.percent == 100.0;
        }
        return host::equals(object, py::int_(100));
    }
    json::Value json() const {
        if (!native) {
            return json::from_python(object);
        }
        return score.whole ? json::Value(100) : json::Value(score.percent);
    }
    py::object python() const {
        if (!native) {
            return object;
        }
        return score.whole ? py::object(py::int_(100)) : py::object(py::float_(score.percent));
    }
};

ScoreValue score_package(const Globals &g, host::Output &out, Remaining &remaining) {
    ScoreValue value;
    if (remaining.native && g.is_native("calculate_similarity")) {
        const std::size_t common = remaining.common.size();
        value.score = similarity(remaining.orv == remaining.ubuntu, remaining.orv.size(),
                                 remaining.ubuntu.size(), common);
        if (!value.score.whole) {
            add_to_totals(g, 2 * common,
                          remaining.orv.size() + remaining.ubuntu.size() + 2 * common);
        }
        return value;
    }
    remaining.to_python();
    py::object calculate = g.get("calculate_similarity");
    out.flush();
    value.native = false;
    value.object = calculate(remaining.py_orv, remaining.py_ubuntu, remaining.py_common);
    return value;
}

json::Value score_entry(const ScoreValue &score, const Remaining &remaining) {
    json::Object entry;
    entry.emplace_back("similarity", score.json());
    if (remaining.native) {
        entry.emplace_back("common_files", json_array(remaining.common));
    } else {
        entry.emplace_back("common_files",
                           json::from_python(host::builtin("sorted")(remaining.py_common)));
    }
    if (!score.is_hundred()) {
        entry.emplace_back("orv_files", remaining.native ? json::Value(json_array(remaining.orv))
                                                         : json::from_python(remaining.py_orv));
        entry.emplace_back("ubuntu_files", remaining.native
                                               ? json::Value(json_array(remaining.ubuntu))
                                               : json::from_python(remaining.py_ubuntu));
    }
    return json::Value(std::move(entry));
}

// Positions of the scores, highest first; equal scores keep their order.
std::vector<std::size_t> ranking(const std::vector<ScoreValue> &scores) {
    const bool native =
        std::all_of(scores.begin(), scores.end(), [](const ScoreValue &s) { return s.native; });
    if (!native) {
        // Scores from a replacement compare as Python compares them.
        py::list values;
        for (const ScoreValue &score : scores) {
            values.append(score.python());
        }
        py::object order = host::builtin("sorted")(host::builtin("range")(scores.size()),
                                                   py::arg("key") = values.attr("__getitem__"),
                                                   py::arg("reverse") = true);
        std::vector<std::size_t> positions;
        positions.reserve(scores.size());
        for (py::handle position : order) {
            positions.push_back(position.cast<std::size_t>());
        }
        return positions;
    }
    std::vector<std::size_t> order(scores.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&scores](std::size_t a, std::size_t b) {
        return scores[a].score.percent > scores[b].score.percent;
    });
    return order;
}

json::Value reordered(json::Value &table, const std::vector<std::size_t> &order) {
    json::Object &members = table.as_object();
    json::Object sorted;
    sorted.reserve(members.size());
    for (std::size_t position : order) {
        sorted.push_back(std::move(members[position]));
    }
    return json::Value(std::move(sorted));
}

void print_total(const Globals &g, host::Output &out) {
    py::object common = g.get("total_common");
    py::object count = g.get("total_count");
    if (host::equals(count, py::int_(0))) {
        // No package with differing files has been scored: the figure has no value.
        out.print("total simility: n/a");
        return;
    }
    py::object ratio =
        py::reinterpret_steal<py::object>(PyNumber_TrueDivide(common.ptr(), count.ptr()));
    if (!ratio) {
        throw py::error_already_set();
    }
    py::object figure =
        py::reinterpret_steal<py::object>(PyNumber_Multiply(ratio.ptr(), py::int_(100).ptr()));
    if (!figure) {
        throw py::error_already_set();
    }
    out.print("total simility: " + host::render(figure) + " %");
}

}  // namespace

void add_to_totals(const Globals &g, std::size_t common_count, std::size_t file_count) {
    auto add = [&g](const char *name, std::size_t amount) {
        py::object sum = py::reinterpret_steal<py::object>(
            PyNumber_InPlaceAdd(g.get(name).ptr(), py::int_(amount).ptr()));
        if (!sum) {
            throw py::error_already_set();
        }
        g.dict()[name] = sum;
    };
    add("total_common", common_count);
    add("total_count", file_count);
}

void process(const Globals &g) {
    host::Output out;
    const json::Value table = json::read(py::str("same_name.json"));
    if (!table.is_object()) {
        host::raise(PyExc_TypeError, "same_name.json: the pairing table is not a JSON object");
    }
    json::Object scores;
    json::Object noise;
    std::vector<ScoreValue> values;
    Markers markers;
    for (const json::Member &package : table.as_object()) {
        const std::string &key = package.first;
        std::string banner;
        banner.append(kBanner)
            .append(" processing package: ")
            .append(key)
            .append(" ")
            .append(kBanner);
        out.print(banner);
        const json::Array &orv = side_list(package.second, "orv", key);
        const json::Array &ubuntu = side_list(package.second, "ubuntu", key);

        Filtered filtered = filter_sides(g, out, orv, ubuntu, markers);
        noise.emplace_back(key, std::move(filtered.noise));

        Paths common;
        Paths orv_diff;
        Paths ubuntu_diff;
        std::set_intersection(filtered.orv.begin(), filtered.orv.end(), filtered.ubuntu.begin(),
                              filtered.ubuntu.end(), std::back_inserter(common));
        std::set_difference(filtered.orv.begin(), filtered.orv.end(), common.begin(), common.end(),
                            std::back_inserter(orv_diff));
        std::set_difference(filtered.ubuntu.begin(), filtered.ubuntu.end(), common.begin(),
                            common.end(), std::back_inserter(ubuntu_diff));

        Remaining remaining = handle_package(g, out, orv_diff, ubuntu_diff, common);
        ScoreValue score = score_package(g, out, remaining);
        scores.emplace_back(key, score_entry(score, remaining));
        values.push_back(std::move(score));
    }

    json::Value by_input(std::move(scores));
    json::write(py::str("output.json"), by_input);
    json::write(py::str("output_sort.json"), reordered(by_input, ranking(values)));
    json::write(py::str("filtered.json"), json::Value(std::move(noise)));
    print_total(g, out);
    out.flush();
}

}  // namespace varkit::likeness

// varkit.package_mapping.calculate_simility.likeness: scores how alike the file lists
// of paired packages are, after dropping noise and allowing for layout differences.
#include "filters.hpp"
#include "fuzzy_rule.hpp"
#include "package_score.hpp"
#include "process.hpp"

#include <array>
#include <pybind11/pybind11.h>
#include <string>
#include <varkit/host.hpp>
#include <vector>

namespace {

namespace py = pybind11;
namespace host = varkit::host;
namespace lk = varkit::likeness;
using host::Globals;

std::string text_argument(py::handle value, const char *function) {
    if (!PyUnicode_Check(value.ptr())) {
        host::raise(PyExc_TypeError, std::string(function) + "() takes str paths, not " +
                                         host::utf8(py::type::handle_of(value).attr("__name__")));
    }
    return host::utf8(value);
}

py::object checked(PyObject *result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::list filter_files(const Globals &, py::object files, py::object filters) {
    std::vector<std::string> markers;
    for (py::handle marker : filters) {
        markers.push_back(text_argument(marker, "filter_files"));
    }
    const lk::SubstringFilter filter(std::move(markers));
    py::list caught;
    for (py::handle path : files) {
        if (filter.caught(text_argument(path, "filter_files"))) {
            caught.append(path);
        }
    }
    return caught;
}

bool process_files_same_name(const Globals &, py::object file_name1, py::object file_name2) {
    return host::last_component(text_argument(file_name1, "process_files_same_name")) ==
           host::last_component(text_argument(file_name2, "process_files_same_name"));
}

bool handle_single_file(const Globals &, py::object file_name1, py::object file_name2) {
    return lk::same_file(text_argument(file_name1, "handle_single_file"),
                         text_argument(file_name2, "handle_single_file"));
}

// sorted(set(items) - removed)
py::object sorted_remainder(const py::list &items, const py::set &removed) {
    py::object remainder =
        checked(PyNumber_Subtract(checked(PySet_New(items.ptr())).ptr(), removed.ptr()));
    return host::builtin("sorted")(remainder);
}

py::tuple handling_single_package(const Globals &g, py::object orv_diff, py::object ubuntu_diff,
                                  py::object common_files_set) {
    const py::list orv = checked(PySequence_List(orv_diff.ptr()));
    const py::list ubuntu = checked(PySequence_List(ubuntu_diff.ptr()));
    py::set orv_remove;
    py::set ubuntu_remove;
    py::object add_common = common_files_set.attr("add");
    const py::str arrow = host::to_str(lk::kFuzzyArrow);
    auto pair = [&](py::handle orv_path, py::handle ubuntu_path) {
        orv_remove.add(orv_path);
        ubuntu_remove.add(ubuntu_path);
        add_common(checked(PyNumber_Add(checked(PyNumber_Add(orv_path.ptr(), arrow.ptr())).ptr(),
                                        ubuntu_path.ptr())));
    };
    if (g.is_native("handle_single_file")) {
        std::vector<std::string> orv_text;
        std::vector<std::string> ubuntu_text;
        if (!orv.empty() && !ubuntu.empty()) {
            for (py::handle path : orv) {
                orv_text.push_back(text_argument(path, "handle_single_file"));
            }
            for (py::handle path : ubuntu) {
                ubuntu_text.push_back(text_argument(path, "handle_single_file"));
            }
        }
        const std::vector<std::string_view> orv_paths(orv_text.begin(), orv_text.end());
        const std::vector<std::string_view> ubuntu_paths(ubuntu_text.begin(), ubuntu_text.end());
        const lk::FuzzyPairs found = lk::find_fuzzy_pairs(orv_paths, ubuntu_paths, {});
        for (const auto &[i, j] : found.pairs) {
            pair(orv[i], ubuntu[j]);
        }
    } else {
        py::object same_file = g.get("handle_single_file");
        for (py::handle orv_path : orv) {
            for (py::handle ubuntu_path : ubuntu) {
                if (host::truthy(same_file(orv_path, ubuntu_path))) {
                    pair(orv_path, ubuntu_path);
                }
            }
        }
    }
    return py::make_tuple(sorted_remainder(orv, orv_remove),
                          sorted_remainder(ubuntu, ubuntu_remove), common_files_set);
}

py::object calculate_similarity(const Globals &g, py::object orv_files, py::object ubuntu_files,
                                py::object common_files_set) {
    const py::object orv_set = checked(PySet_New(orv_files.ptr()));
    const py::object ubuntu_set = checked(PySet_New(ubuntu_files.ptr()));
    if (host::equals(orv_set, ubuntu_set)) {
        return py::int_(100);
    }
    const std::size_t orv_count = py::len(orv_set);
    const std::size_t ubuntu_count = py::len(ubuntu_set);
    const std::size_t common = py::len(common_files_set);
    lk::add_to_totals(g, 2 * common, orv_count + ubuntu_count + 2 * common);
    return py::float_(lk::similarity(false, orv_count, ubuntu_count, common).percent);
}

void process(const Globals &g) { lk::process(g); }

void run_as_program(const Globals &g) { g.get("process")(); }

template <std::size_t N>
py::list text_list(const std::array<std::string_view, N> &texts) {
    py::list list;
    for (std::string_view text : texts) {
        list.append(host::to_str(text));
    }
    return list;
}

}  // namespace

VARKIT_MODULE(likeness, m) {
    m.doc() = "Scores how alike the file lists of paired packages are, after dropping noise and\n"
              "allowing for the layout differences of the two distributions.";
    host::bind_module(m, "json", "json");
    host::bind_module(m, "re", "re");
    m.attr("orv_filters") = text_list(lk::kOrvFilters);
    m.attr("ubuntu_filters") = text_list(lk::kUbuntuFilters);
    m.attr("total_common") = 0;
    m.attr("total_count") = 0;

    host::def(m, "filter_files", &filter_files, py::arg("files"), py::arg("filters"),
              "The paths, in input order, in which at least one filter occurs as a substring.");
    host::def(m, "process_files_same_name", &process_files_same_name, py::arg("file_name1"),
              py::arg("file_name2"), "True when the two paths end in the same file name.");
    host::def(
        m, "handle_single_file", &handle_single_file, py::arg("file_name1"), py::arg("file_name2"),
        "True when the distribution path and the Ubuntu path denote the same file: equal once\n"
        "version parts such as -1.2.3 are removed and one layout rewrite is applied to the\n"
        "Ubuntu path.");
    host::def(m, "handling_single_package", &handling_single_package, py::arg("orv_diff"),
              py::arg("ubuntu_diff"), py::arg("common_files_set"),
              "Pair the unmatched files of a package by handle_single_file; return the remaining\n"
              "distribution and Ubuntu paths (sorted) and common_files_set with the pairs added.");
    host::def(m, "calculate_similarity", &calculate_similarity, py::arg("orv_files"),
              py::arg("ubuntu_files"), py::arg("common_files_set"),
              "The integer 100 when both sides hold the same files; otherwise the percentage of\n"
              "common files as a float, added to total_common and total_count.");
    host::def(
        m, "process", &process,
        "Score every package of \"same_name.json\", write \"output.json\", \"output_sort.json\"\n"
        "and \"filtered.json\" and print the overall figure. While no package with differing\n"
        "files has been scored (total_count is 0) the figure has no value and the line reads\n"
        "\"total simility: n/a\". A table that is not a JSON object, or an \"orv\" or \"ubuntu\"\n"
        "that is not a list of strings, raises TypeError before any report is written.");
    host::def(m, "_main", &run_as_program, "The program: process().");
}

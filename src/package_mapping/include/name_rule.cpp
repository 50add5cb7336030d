#include "name_rule.hpp"

#include <pybind11/pybind11.h>
#include <unordered_map>
#include <varkit/host/strings.hpp>

namespace varkit::twinmatch {

namespace py = pybind11;

namespace {

bool is_ascii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string lower_name(std::string_view name) {
    if (is_ascii(name)) {
        std::string lowered(name);
        for (char &c : lowered) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return lowered;
    }
    // Full Unicode case mapping (one character may become two, final sigma...): Python's own.
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogatepass"));
    if (!text) {
        throw py::error_already_set();
    }
    py::object lowered = text.attr("lower")();
    py::object bytes = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(lowered.ptr(), "utf-8", "surrogatepass"));
    if (!bytes) {
        throw py::error_already_set();
    }
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::string ghc_to_haskell(std::string_view name) {
    std::string text(name);
    varkit::host::replace_all(text, "ghc", "haskell");
    return text;
}

bool match_same_package(std::string_view orv_name, std::string_view ubuntu_name) {
    if (orv_name == ubuntu_name) {
        return false;
    }
    const std::string ubuntu_lower = lower_name(ubuntu_name);
    return lower_name(orv_name) == ubuntu_lower ||
           lower_name(ghc_to_haskell(orv_name)) == ubuntu_lower;
}

std::vector<std::pair<std::size_t, std::size_t>>
find_name_pairs(const std::vector<std::string_view> &orv_names,
                const std::vector<std::string_view> &ubuntu_names) {
    // Lower-cased Ubuntu name -> its positions, ascending.
    std::unordered_map<std::string, std::vector<std::size_t>> by_lower;
    by_lower.reserve(ubuntu_names.size());
    for (std::size_t j = 0; j < ubuntu_names.size(); ++j) {
        by_lower[lower_name(ubuntu_names[j])].push_back(j);
    }
    static const std::vector<std::size_t> none;
    auto lookup = [&by_lower](const std::string &key) -> const std::vector<std::size_t> & {
        auto found = by_lower.find(key);
        return found == by_lower.end() ? none : found->second;
    };

    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t i = 0; i < orv_names.size(); ++i) {
        const std::string_view orv = orv_names[i];
        const std::string plain = lower_name(orv);
        const std::string haskell = lower_name(ghc_to_haskell(orv));
        const std::vector<std::size_t> &first = lookup(plain);
        const std::vector<std::size_t> &second = haskell == plain ? none : lookup(haskell);
        // Merge the two ascending position lists; a name found by both rules pairs once.
        std::size_t a = 0;
        std::size_t b = 0;
        while (a < first.size() || b < second.size()) {
            std::size_t j;
            if (b == second.size() || (a < first.size() && first[a] < second[b])) {
                j = first[a++];
            } else if (a == first.size() || second[b] < first[a]) {
                j = second[b++];
            } else {
                j = first[a++];
                ++b;
            }
            if (ubuntu_names[j] != orv) {
                pairs.emplace_back(i, j);
            }
        }
    }
    return pairs;
}

}  // namespace varkit::twinmatch

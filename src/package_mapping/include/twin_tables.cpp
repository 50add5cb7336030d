#include "twin_tables.hpp"

#include "name_rule.hpp"
#include <varkit/pm/sorted_unique.hpp>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <varkit/host/errors.hpp>
#include <vector>

namespace varkit::twinmatch {

namespace {

using Pair = std::pair<std::size_t, std::size_t>;

std::vector<std::string_view> names_of(const json::Object &table) {
    std::vector<std::string_view> names;
    names.reserve(table.size());
    for (const json::Member &member : table) {
        names.emplace_back(member.first);
    }
    return names;
}

std::vector<Pair> pairs_by_loops(const json::Object &orv, const json::Object &ubuntu,
                                 const Predicate &same_package) {
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < orv.size(); ++i) {
        for (std::size_t j = 0; j < ubuntu.size(); ++j) {
            if (same_package(orv[i].first, ubuntu[j].first)) {
                pairs.emplace_back(i, j);
            }
        }
    }
    return pairs;
}

const json::Array &file_list(const json::Value &value, const std::string &package,
                             const char *side) {
    if (!value.is_string_array()) {
        host::raise(PyExc_TypeError, "the " + std::string(side) + " file list of package '" +
                                         package + "' is not a list of strings");
    }
    return value.as_array();
}

json::Array strings(const std::vector<std::string_view> &paths) {
    json::Array array;
    array.reserve(paths.size());
    for (std::string_view path : paths) {
        array.emplace_back(path);
    }
    return array;
}

json::Array sorted_strings(std::vector<std::string_view> paths) {
    pm::sort_unique(paths);
    return strings(paths);
}

std::vector<std::string_view> without(const json::Array &paths,
                                      const std::unordered_set<std::string_view> &removed) {
    std::vector<std::string_view> kept;
    kept.reserve(paths.size());
    for (const json::Value &path : paths) {
        if (removed.count(path.as_string()) == 0) {
            kept.emplace_back(path.as_string());
        }
    }
    return kept;
}

json::Value file_entry(json::Array orv_left, json::Array ubuntu_left, json::Array mapping) {
    json::Object entry;
    entry.emplace_back("orv", std::move(orv_left));
    entry.emplace_back("ubuntu", std::move(ubuntu_left));
    entry.emplace_back("mapping", std::move(mapping));
    return json::Value(std::move(entry));
}

// Files match only when equal, so the first equal Ubuntu path is the path itself:
// both lists are sorted and walked side by side instead of scanned pair by pair.
json::Value match_equal_files(const json::Array &orv, const json::Array &ubuntu) {
    auto path = [&orv](std::uint32_t i) -> std::string_view { return orv[i].as_string(); };
    std::vector<std::uint32_t> order(orv.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    // Stable: the first of equal orv paths comes first and is the one that is mapped.
    pm::sort_runs(order, [&path](std::uint32_t a, std::uint32_t b) { return path(a) < path(b); });
    std::vector<std::string_view> ubuntu_sorted;
    ubuntu_sorted.reserve(ubuntu.size());
    for (const json::Value &p : ubuntu) {
        ubuntu_sorted.emplace_back(p.as_string());
    }
    pm::sort_unique(ubuntu_sorted);

    std::vector<bool> mapped(orv.size(), false);
    std::vector<bool> ubuntu_matched(ubuntu_sorted.size(), false);
    std::vector<std::string_view> orv_left;
    std::size_t u = 0;
    for (std::size_t k = 0; k < order.size();) {
        const std::string_view current = path(order[k]);
        while (u < ubuntu_sorted.size() && ubuntu_sorted[u] < current) {
            ++u;
        }
        if (u < ubuntu_sorted.size() && ubuntu_sorted[u] == current) {
            mapped[order[k]] = true;
            ubuntu_matched[u] = true;
        } else {
            orv_left.push_back(current);
        }
        while (k < order.size() && path(order[k]) == current) {
            ++k;
        }
    }
    std::vector<std::string_view> ubuntu_left;
    for (std::size_t j = 0; j < ubuntu_sorted.size(); ++j) {
        if (!ubuntu_matched[j]) {
            ubuntu_left.push_back(ubuntu_sorted[j]);
        }
    }
    json::Array mapping;
    for (std::uint32_t i = 0; i < orv.size(); ++i) {
        if (mapped[i]) {
            const std::string &p = orv[i].as_string();
            std::string entry;
            entry.reserve(2 * p.size() + 2);
            entry.append(p).append("->").append(p);
            mapping.emplace_back(std::move(entry));
        }
    }
    return file_entry(strings(orv_left), strings(ubuntu_left), std::move(mapping));
}

// The loops as they stand, asking a replacement predicate pair by pair.
json::Value match_files_by(const json::Array &orv, const json::Array &ubuntu,
                           const Predicate &same_file) {
    json::Array mapping;
    std::unordered_set<std::string> mapped;
    // A matched pair leaves both lists by its paths themselves, so paths that
    // contain "->" are removed as well as any other.
    std::unordered_set<std::string_view> matched_orv;
    std::unordered_set<std::string_view> matched_ubuntu;
    for (const json::Value &path1 : orv) {
        for (const json::Value &path2 : ubuntu) {
            if (same_file(path1.as_string(), path2.as_string())) {
                std::string entry = path1.as_string() + "->" + path2.as_string();
                if (mapped.insert(entry).second) {
                    mapping.emplace_back(std::move(entry));
                }
                matched_orv.insert(path1.as_string());
                matched_ubuntu.insert(path2.as_string());
                break;
            }
        }
    }
    return file_entry(sorted_strings(without(orv, matched_orv)),
                      sorted_strings(without(ubuntu, matched_ubuntu)), std::move(mapping));
}

json::Value leftovers(json::Object &table, const std::vector<bool> &used) {
    json::Object left;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!used[i]) {
            left.emplace_back(table[i].first, std::move(table[i].second));
        }
    }
    std::stable_sort(left.begin(), left.end(), [](const json::Member &a, const json::Member &b) {
        return a.first < b.first;
    });
    return json::Value(std::move(left));
}

}  // namespace

TwinTables match_tables(json::Object orv, json::Object ubuntu, const Predicate &same_package,
                        const Predicate &same_file) {
    std::unordered_map<std::string_view, std::size_t> ubuntu_index;
    ubuntu_index.reserve(ubuntu.size());
    for (std::size_t j = 0; j < ubuntu.size(); ++j) {
        ubuntu_index.emplace(ubuntu[j].first, j);
    }

    // Pair key -> (orv package, Ubuntu package). Names present on both sides come
    // first; a pair key that collides with one (only possible for names holding
    // "->") keeps the common package.
    std::vector<std::pair<std::string, Pair>> keyed;
    std::unordered_set<std::string> keys;
    std::vector<bool> used_orv(orv.size(), false);
    std::vector<bool> used_ubuntu(ubuntu.size(), false);
    for (std::size_t i = 0; i < orv.size(); ++i) {
        auto found = ubuntu_index.find(orv[i].first);
        if (found != ubuntu_index.end() && keys.insert(orv[i].first).second) {
            keyed.emplace_back(orv[i].first, Pair(i, found->second));
            used_orv[i] = true;
            used_ubuntu[found->second] = true;
        }
    }
    const std::vector<Pair> pairs = same_package ? pairs_by_loops(orv, ubuntu, same_package)
                                                 : find_name_pairs(names_of(orv), names_of(ubuntu));
    for (const Pair &pair : pairs) {
        std::string key = orv[pair.first].first + "->" + ubuntu[pair.second].first;
        if (keys.insert(key).second) {
            keyed.emplace_back(std::move(key), pair);
        }
        used_orv[pair.first] = true;
        used_ubuntu[pair.second] = true;
    }
    std::sort(keyed.begin(), keyed.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });

    TwinTables tables;
    json::Object same_name;
    same_name.reserve(keyed.size());
    for (auto &[key, pair] : keyed) {
        const json::Array &orv_files =
            file_list(orv[pair.first].second, orv[pair.first].first, "orv");
        const json::Array &ubuntu_files =
            file_list(ubuntu[pair.second].second, ubuntu[pair.second].first, "ubuntu");
        same_name.emplace_back(std::move(key),
                               same_file ? match_files_by(orv_files, ubuntu_files, same_file)
                                         : match_equal_files(orv_files, ubuntu_files));
    }
    tables.same_name = json::Value(std::move(same_name));
    tables.left_orv = leftovers(orv, used_orv);
    tables.left_ubuntu = leftovers(ubuntu, used_ubuntu);
    return tables;
}

}  // namespace varkit::twinmatch

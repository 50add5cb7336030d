#include "grouping.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace varkit::provenance {

namespace {

struct Group {
    std::string_view name;
    json::Array paths;
};

// Sorts `items` by merging its ascending runs: a list that is the concatenation
// of a few sorted lists (what group_files writes), or a package's file list in
// (nearly) sorted order as package databases give them, costs little more than
// a scan; any other order costs O(n log n) as a merge sort.
template <typename T, typename Less>
void sort_runs(std::vector<T> &items, std::vector<std::size_t> &runs, Less less) {
    runs.clear();
    runs.push_back(0);
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (less(items[i], items[i - 1])) {
            runs.push_back(i);
        }
    }
    runs.push_back(items.size());
    while (runs.size() > 2) {
        std::size_t kept = 1;
        for (std::size_t i = 2; i < runs.size(); i += 2) {
            std::inplace_merge(items.begin() + static_cast<std::ptrdiff_t>(runs[i - 2]),
                               items.begin() + static_cast<std::ptrdiff_t>(runs[i - 1]),
                               items.begin() + static_cast<std::ptrdiff_t>(runs[i]), less);
            runs[kept++] = runs[i];
        }
        if (runs.size() % 2 == 0) {
            runs[kept++] = runs.back();
        }
        runs.resize(kept);
    }
}

}  // namespace

std::optional<json::Value> group_files(const json::Value &sources, json::Value &package_files) {
    if (!sources.is_array() || !package_files.is_object()) {
        return std::nullopt;
    }
    // How often each package is asked for: its last use may take its paths.
    struct Package {
        json::Value *files;
        std::size_t uses = 0;
    };
    std::unordered_map<std::string_view, Package> packages;
    packages.reserve(package_files.as_object().size());
    for (json::Member &member : package_files.as_object()) {
        packages[member.first] = Package{&member.second};  // the last of repeated names, as a dict
    }
    // Check the whole shape before anything is moved, so a fallback sees the tables intact.
    for (const json::Value &item : sources.as_array()) {
        const json::Value *srcname = item.find("srcname");
        const json::Value *names = item.find("packages");
        if (srcname == nullptr || names == nullptr || !srcname->is_string() ||
            !names->is_string_array()) {
            return std::nullopt;
        }
        for (const json::Value &name : names->as_array()) {
            auto found = packages.find(name.as_string());
            if (found != packages.end()) {
                if (!found->second.files->is_string_array()) {
                    return std::nullopt;
                }
                ++found->second.uses;
            }
        }
    }

    std::vector<Group> groups;
    std::unordered_map<std::string_view, std::size_t> group_of;
    std::vector<std::string *> sorted;
    std::vector<std::size_t> runs;
    for (const json::Value &item : sources.as_array()) {
        const std::string &srcname = item.find("srcname")->as_string();
        for (const json::Value &name : item.find("packages")->as_array()) {
            auto found = packages.find(name.as_string());
            if (found == packages.end()) {
                continue;
            }
            Package &package = found->second;
            sorted.clear();
            for (json::Value &path : package.files->as_array()) {
                sorted.push_back(&path.as_string());
            }
            sort_runs(sorted, runs,
                      [](const std::string *a, const std::string *b) { return *a < *b; });
            auto [slot, added] = group_of.try_emplace(srcname, groups.size());
            if (added) {
                groups.push_back(Group{srcname, {}});
            }
            json::Array &paths = groups[slot->second].paths;
            const bool last_use = --package.uses == 0;
            for (std::string *path : sorted) {
                paths.emplace_back(last_use ? std::move(*path) : *path);
            }
        }
    }

    std::sort(groups.begin(), groups.end(),
              [](const Group &a, const Group &b) { return a.name < b.name; });
    json::Object result;
    result.reserve(groups.size());
    for (Group &group : groups) {
        result.emplace_back(std::string(group.name), json::Value(std::move(group.paths)));
    }
    return json::Value(std::move(result));
}

bool sort_distinct(json::Value &data) {
    if (!data.is_object()) {
        return false;
    }
    for (const json::Member &member : data.as_object()) {
        if (!member.second.is_string_array()) {
            return false;
        }
    }
    std::vector<std::string *> order;
    std::vector<std::size_t> runs;
    const auto less = [](const std::string *a, const std::string *b) { return *a < *b; };
    for (json::Member &member : data.as_object()) {
        json::Array &paths = member.second.as_array();
        order.clear();
        for (json::Value &path : paths) {
            order.push_back(&path.as_string());
        }
        sort_runs(order, runs, less);
        order.erase(
            std::unique(order.begin(), order.end(),
                        [](const std::string *a, const std::string *b) { return *a == *b; }),
            order.end());
        json::Array distinct;
        distinct.reserve(order.size());
        for (std::string *path : order) {
            distinct.emplace_back(std::move(*path));
        }
        paths = std::move(distinct);
    }
    return true;
}

}  // namespace varkit::provenance

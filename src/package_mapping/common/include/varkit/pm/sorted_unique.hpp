// Sorting file lists that mostly come in order already.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

namespace varkit::pm {

// A stable sort that merges the ascending runs already present: package file
// lists are written directory by directory, so they hold long runs and sorting
// costs little more than one pass; random input costs O(n log n).
template <typename T, typename Less = std::less<T>>
void sort_runs(std::vector<T> &items, Less less = Less()) {
    const std::size_t size = items.size();
    if (size < 2) {
        return;
    }
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 1; i < size; ++i) {
        if (less(items[i], items[i - 1])) {
            bounds.push_back(i);
        }
    }
    bounds.push_back(size);
    while (bounds.size() > 2) {
        std::vector<std::size_t> merged{0};
        std::size_t run = 0;
        for (; run + 2 < bounds.size(); run += 2) {
            std::inplace_merge(items.begin() + bounds[run], items.begin() + bounds[run + 1],
                               items.begin() + bounds[run + 2], less);
            merged.push_back(bounds[run + 2]);
        }
        if (run + 1 < bounds.size()) {
            merged.push_back(size);  // an odd run out goes to the next round as it is
        }
        bounds = std::move(merged);
    }
}

// Sorts ascending and drops repeats.
template <typename T>
void sort_unique(std::vector<T> &items) {
    sort_runs(items);
    items.erase(std::unique(items.begin(), items.end()), items.end());
}

}  // namespace varkit::pm

#include "package_score.hpp"

#include "fuzzy_rule.hpp"

#include <algorithm>

namespace varkit::likeness {

FuzzyPairs find_fuzzy_pairs(const std::vector<std::string_view> &orv,
                            const std::vector<std::string_view> &ubuntu,
                            const FilePredicate &same_file) {
    FuzzyPairs found;
    found.orv_paired.assign(orv.size(), false);
    found.ubuntu_paired.assign(ubuntu.size(), false);
    auto add = [&found](std::uint32_t i, std::uint32_t j) {
        found.pairs.emplace_back(i, j);
        found.orv_paired[i] = true;
        found.ubuntu_paired[j] = true;
    };
    if (orv.empty() || ubuntu.empty()) {
        return found;
    }
    if (same_file) {
        for (std::uint32_t i = 0; i < orv.size(); ++i) {
            for (std::uint32_t j = 0; j < ubuntu.size(); ++j) {
                if (same_file(orv[i], ubuntu[j])) {
                    add(i, j);
                }
            }
        }
        return found;
    }
    // Index the distribution side, look up each Ubuntu path's images, then put the
    // pairs in the order the loops would meet them.
    FuzzyIndex index(orv);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (std::uint32_t j = 0; j < ubuntu.size(); ++j) {
        index.partners(ubuntu[j], [&pairs, j](std::uint32_t i) { pairs.emplace_back(i, j); });
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    for (const auto &[i, j] : pairs) {
        add(i, j);
    }
    return found;
}

std::string fuzzy_entry(std::string_view orv_path, std::string_view ubuntu_path) {
    std::string entry;
    entry.reserve(orv_path.size() + kFuzzyArrow.size() + ubuntu_path.size());
    entry.append(orv_path).append(kFuzzyArrow).append(ubuntu_path);
    return entry;
}

Score similarity(bool same_sets, std::size_t orv_count, std::size_t ubuntu_count,
                 std::size_t common_count) {
    if (same_sets) {
        return Score{true, 100.0};
    }
    const double common = static_cast<double>(common_count);
    const double all = static_cast<double>(orv_count + ubuntu_count + 2 * common_count);
    return Score{false, common / all * 2 * 100};
}

}  // namespace varkit::likeness

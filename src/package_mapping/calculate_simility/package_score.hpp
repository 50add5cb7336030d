// Scoring one package: fuzzy pairing of the files left after the exact match,
// and the similarity percentage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace varkit::likeness {

// The text that records a fuzzy pair among a package's common files.
inline constexpr std::string_view kFuzzyArrow = "  ------>  ";

// A replacement for the fuzzy rule, asked pair by pair in the order of the
// all-pairs loops. Empty: the module's own rule, answered from a FuzzyIndex.
using FilePredicate = std::function<bool(std::string_view, std::string_view)>;

struct FuzzyPairs {
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
        pairs;  // (orv, Ubuntu) positions, loop order
    std::vector<bool> orv_paired;
    std::vector<bool> ubuntu_paired;
};

// Every (orv, Ubuntu) pair the fuzzy rule accepts, in the order "for each orv
// path, for each Ubuntu path" visits them.
FuzzyPairs find_fuzzy_pairs(const std::vector<std::string_view> &orv,
                            const std::vector<std::string_view> &ubuntu,
                            const FilePredicate &same_file);

std::string fuzzy_entry(std::string_view orv_path, std::string_view ubuntu_path);

// A package's score: the integer 100 when both sides' remaining files are the
// same set, otherwise common / (orv + ubuntu + 2 * common) * 2 * 100 as a double,
// evaluated in that order.
struct Score {
    bool whole = false;  // the integer 100
    double percent = 0.0;
};
Score similarity(bool same_sets, std::size_t orv_count, std::size_t ubuntu_count,
                 std::size_t common_count);

}  // namespace varkit::likeness

// Noise markers: documentation, licence and packaging files that say nothing
// about what a package installs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varkit::likeness {

extern const std::array<std::string_view, 36> kOrvFilters;
extern const std::array<std::string_view, 30> kUbuntuFilters;

// Answers "does any marker occur in this path?" (case-sensitive substrings).
// A bitmap of the markers' first two bytes rules out most positions at once;
// only where it hits are the markers starting with those two bytes compared.
class SubstringFilter {
public:
    explicit SubstringFilter(std::vector<std::string> markers);
    bool caught(std::string_view path) const;

private:
    std::vector<std::string> markers_;
    std::vector<std::pair<std::uint16_t, std::uint32_t>>
        by_first_two_bytes_;                             // (b0 << 8 | b1, marker), sorted
    std::array<std::uint64_t, 1024> first_two_bytes_{};  // bit (b0 << 8 | b1)
    std::array<bool, 256> one_byte_{};                   // markers of one byte
    bool has_empty_ = false;
};

}  // namespace varkit::likeness

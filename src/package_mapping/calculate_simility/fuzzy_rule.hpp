// The fuzzy file rule: a distribution path and an Ubuntu path denote the same
// file when, with version parts such as "-1.2.3" removed from both, one of a
// fixed list of layout rewrites turns the Ubuntu path into the distribution one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace varkit::likeness {

// Each applied alone to the Ubuntu path: every occurrence of `first` becomes `second`.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 11> kRewrites = {{
    {"x86_64-linux-gnu/", ""},
    {"/x86_64-linux-gnu", "64"},
    {"lib", "libexec"},
    {"games", "bin"},
    {"/usr/bin", "/usr/sbin"},
    {"/bin", "/usr/bin"},
    {"/lib", "/usr/lib"},
    {"/lib", "/lib64"},
    {"python3/dist-packages", "python3.11/site-packages"},
    {"dev/", "devel/"},
    {"/examples/", "/"},
}};

// The path without any "-<digits>.<digits>.<digits>" (Unicode decimal digits).
std::string strip_versions(std::string_view path);

bool same_file(std::string_view orv_path, std::string_view ubuntu_path);

// The distribution side of a package indexed by its stripped paths. An Ubuntu
// path's partners are then found by looking up each of its (at most eleven)
// rewritten images, instead of trying every distribution path.
class FuzzyIndex {
public:
    explicit FuzzyIndex(const std::vector<std::string_view> &orv_paths);
    FuzzyIndex(const FuzzyIndex &) = delete;  // first_ views the strings in stripped_
    FuzzyIndex &operator=(const FuzzyIndex &) = delete;

    // Calls found(i) for every distribution position i that same_file() pairs with
    // `ubuntu_path`; a position may be reported more than once.
    template <typename Found>
    void partners(std::string_view ubuntu_path, Found found) {
        const std::string stripped = strip_versions(ubuntu_path);
        bool unchanged = false;
        for (const auto &[old_text, new_text] : kRewrites) {
            if (rewrite_into(stripped, old_text, new_text, image_)) {
                report(image_, found);
            } else {
                unchanged = true;  // this rewrite leaves the path as it is
            }
        }
        if (unchanged) {
            report(stripped, found);
        }
    }

    // `text` with every `old_text` replaced, into `out`; false (and `out` untouched)
    // when `old_text` does not occur.
    static bool rewrite_into(std::string_view text, std::string_view old_text,
                             std::string_view new_text, std::string &out);

private:
    template <typename Found>
    void report(const std::string &image, Found &found) const {
        auto hit = first_.find(image);
        if (hit == first_.end()) {
            return;
        }
        for (std::uint32_t i = hit->second; i != kEnd; i = next_[i]) {
            found(i);
        }
    }

    static constexpr std::uint32_t kEnd = UINT32_MAX;
    std::vector<std::string> stripped_;                          // per distribution position
    std::unordered_map<std::string_view, std::uint32_t> first_;  // stripped path -> first position
    std::vector<std::uint32_t> next_;  // next position with the same stripped path
    std::string image_;                // scratch space for the images
};

}  // namespace varkit::likeness

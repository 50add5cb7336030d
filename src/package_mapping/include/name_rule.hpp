// The rule that pairs an orv package name with a differently spelled Ubuntu one.
//
// Two names denote the same package when they differ but are equal after
// lower-casing, or when the orv name with "ghc" replaced by "haskell" equals the
// Ubuntu name, both lower-cased. Lower-casing is Python's str.lower(), so the
// functions need the GIL for names with non-ASCII characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varkit::twinmatch {

// str.lower() of UTF-8 text.
std::string lower_name(std::string_view name);
// Every "ghc" replaced by "haskell" (case-sensitive).
std::string ghc_to_haskell(std::string_view name);

bool match_same_package(std::string_view orv_name, std::string_view ubuntu_name);

// Every (i, j) for which match_same_package(orv_names[i], ubuntu_names[j]) holds,
// found through an index of the lower-cased Ubuntu names, ordered by i, then j.
std::vector<std::pair<std::size_t, std::size_t>>
find_name_pairs(const std::vector<std::string_view> &orv_names,
                const std::vector<std::string_view> &ubuntu_names);

}  // namespace varkit::twinmatch

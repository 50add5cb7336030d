// Shared-object version suffixes in file and library names (UTF-8 text).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varkit::twinmatch {

// The name without a trailing ".so.N.N..." version: "libz.so.1.2.13" -> "libz.so".
// Digits are Unicode decimal digits, and the end may be followed by one final
// line break, as a Python regular expression ending in "$" allows.
std::string truncate_so_version(std::string_view name);

// Number of ".<digits><letters>" groups after the last ".so" (the whole name when
// it has none): "libz.so.1.2.13" -> 3, "libfoo.so.6a.2" -> 2, "libz.so" -> 0.
std::size_t count_so_combinations(std::string_view name);

}  // namespace varkit::twinmatch

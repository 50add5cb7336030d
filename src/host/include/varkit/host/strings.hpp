// Small text helpers shared by the modules (plain C++, no Python: the fuzz targets use them).
#pragma once

#include <string>
#include <string_view>

namespace varkit::host {

// Every occurrence of `needle` in `text` replaced by `value`, non-overlapping, left
// to right (Python's str.replace); nothing happens for an empty needle.
void replace_all(std::string &text, std::string_view needle, std::string_view value);

// The part of `path` after its last "/" (all of it without one).
std::string last_component(std::string_view path);

}  // namespace varkit::host

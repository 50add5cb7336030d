// The source-to-files table on C++ values, for tables of the documented shape.
// Pure C++. Each function answers std::nullopt / false when the input is not of
// that shape, and the caller then runs the same steps on Python objects
// (generic_steps.hpp), which fail or succeed exactly as Python would.
#pragma once

#include <optional>
#include <varkit/pm/json_value.hpp>

namespace varkit::provenance {

namespace json = varkit::pm::json;

// Groups the files of every source's packages: `sources` an array of objects
// with a string "srcname" and an array of strings "packages"; `package_files`
// an object of arrays of strings. The result object is ordered by source name;
// each list is the concatenation of its packages' sorted file lists. Paths are
// moved out of `package_files` once the shape has been checked; on std::nullopt
// both tables are unchanged.
std::optional<json::Value> group_files(const json::Value &sources, json::Value &package_files);

// Replaces every member's list by its sorted distinct paths; false (and `data`
// unchanged) unless `data` is an object of arrays of strings.
bool sort_distinct(json::Value &data);

}  // namespace varkit::provenance

// Pairing two package tables (package name -> file paths) and matching the files
// of every pair: the work behind twinmatch.main.
#pragma once

#include <functional>
#include <string>
#include <varkit/pm/json_value.hpp>

namespace varkit::twinmatch {

namespace json = varkit::pm::json;

// A replacement for one of the module's predicates, called pair by pair in the
// order of the all-pairs loops. Empty: the module's own rule, answered from an index.
using Predicate = std::function<bool(const std::string &, const std::string &)>;

struct TwinTables {
    json::Value same_name;  // pair key -> {"orv", "ubuntu", "mapping"}, keys ascending
    json::Value left_orv;   // unpaired orv packages with their lists as read, names ascending
    json::Value left_ubuntu;
};

// `orv` and `ubuntu` are the two tables (JSON objects); their unpaired file lists
// are moved into the left-over tables. Raises TypeError when a paired package's
// file list is not a list of strings.
TwinTables match_tables(json::Object orv, json::Object ubuntu, const Predicate &same_package,
                        const Predicate &same_file);

}  // namespace varkit::twinmatch

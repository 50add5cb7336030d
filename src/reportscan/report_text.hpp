// The printed report text: every line the reader prints is formatted here and nowhere else.
//
// Each function appends one line (or a fixed group of lines) and its line break
// to `out`; values come already rendered (the element path renders them as
// str() does, the streaming path through shown()).
#pragma once

#include "scan.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace varkit::reportscan::text {

// A value as printed: its text, or "None" when absent.
inline std::string_view shown(const OptStr &value) {
    return value ? std::string_view(*value) : std::string_view("None");
}

inline constexpr const char *kUnnamedLibrary = "Unnamed Library";
// The children of test_results printed after the lists, in order.
inline constexpr std::array<const char *, 4> kTestResultFields = {"symbols", "types", "verdict",
                                                                  "affected"};

namespace detail {
inline void line(std::string &out, std::string_view label, std::string_view value) {
    out.append(label).append(value).push_back('\n');
}
inline void change(std::string &out, std::string_view label, std::string_view name,
                   std::string_view id, std::string_view change) {
    out.append(label).append(name).append(", Problem: ").append(id).append(", Change: ");
    out.append(change).push_back('\n');
}
}  // namespace detail

// Printed by reportscan before each report: 80 "=" and the line break.
inline constexpr std::string_view kSeparatorLine =
    "================================================================================\n";
inline void separator(std::string &out) { out.append(kSeparatorLine); }

// The report's opening lines.
inline void processing(std::string &out, std::string_view kind) {
    out.append("Processing ").append(kind).append(" report...\n");
}
inline void test_library(std::string &out, std::string_view library) {
    detail::line(out, "Test library: ", library);
}
inline void test_version(std::string &out, std::string_view old_version,
                         std::string_view new_version) {
    out.append("Test Version: ").append(old_version).append(" VS ").append(new_version);
    out.push_back('\n');
}

// test_results: the headers, then the libs, then the fields present.
inline void test_results_heading(std::string &out) { out.append("Test Results:\n  Headers:\n"); }
inline void libs_heading(std::string &out) { out.append("\n  Libs:\n"); }
inline void listed_name(std::string &out, std::string_view name) {
    detail::line(out, "    - ", name);
}
inline void test_result_field(std::string &out, std::size_t index, std::string_view value) {
    static constexpr std::array<const char *, 4> kLabels = {
        "  Symbols: ", "  Types: ", "  Verdict: ", "  Affected: "};
    detail::line(out, kLabels[index], value);
}

// Section headings.
inline void added_heading(std::string &out) { out.append("\nAdded Symbols:\n"); }
inline void removed_heading(std::string &out) { out.append("\nRemoved Symbols:\n"); }
inline void severity_heading(std::string &out, std::string_view severity) {
    out.append("\nProblems with severity '").append(severity).append("':\n");
}
inline void header(std::string &out, std::string_view name) {
    detail::line(out, "  Header: ", name);
}

// Added and removed symbols.
inline void listed_library(std::string &out, std::string_view name) {
    detail::line(out, "    Library: ", name);
}
inline void listed_symbol(std::string &out, std::string_view name) {
    detail::line(out, "      Symbol: ", name);
}

// Problem sections.
inline void problem_library(std::string &out, std::string_view name) {
    detail::line(out, "  Library: ", name);
}
inline void problem_symbol(std::string &out, std::string_view name) {
    detail::line(out, "    Symbol: ", name);
}
inline void symbol_change(std::string &out, std::string_view name, std::string_view id,
                          std::string_view change) {
    detail::change(out, "      Symbol: ", name, id, change);
}
inline void constant_change(std::string &out, std::string_view name, std::string_view id,
                            std::string_view change) {
    detail::change(out, "    Constant: ", name, id, change);
}
inline void type_change(std::string &out, std::string_view name, std::string_view id,
                        std::string_view change) {
    detail::change(out, "    Type: ", name, id, change);
}
inline void affected_symbol(std::string &out, std::string_view name, std::string_view comment) {
    out.append("      Affected Symbol: ").append(name).append(", Comment: ").append(comment);
    out.push_back('\n');
}

}  // namespace varkit::reportscan::text

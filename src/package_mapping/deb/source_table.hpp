// The package-to-source table, built from the text of one "Packages" index.
// Pure C++: text in (UTF-8, newlines already "\n"), rows out.
#pragma once

#include <string>
#include <string_view>

namespace varkit::lineage {

// "package_name", spaces up to column 61, "source_name"; then 80 "*". Each ends with "\n".
std::string table_header();

// Appends one row per paragraph of `index_text`, each ending with "\n": the
// "Package" value padded with spaces to 60 characters, then the "Source" value
// (the package value when the paragraph has none or an empty one). Values keep
// the space after the colon. A paragraph without a "Package" line has no row.
void append_rows(std::string_view index_text, std::string &rows);

// `text` without the white space str.strip() removes at either end.
std::string_view strip_python_whitespace(std::string_view text);

}  // namespace varkit::lineage

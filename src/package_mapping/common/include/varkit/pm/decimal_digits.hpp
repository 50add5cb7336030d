// Decimal digits as Python's regular expressions see them (\d: Unicode
// category Nd), in UTF-8 text.
#pragma once

#include <cstddef>
#include <string_view>

namespace varkit::pm {

// Length in bytes of the decimal digit starting at `text[at]`, or 0.
std::size_t digit_at(std::string_view text, std::size_t at);
// End of the run of decimal digits starting at `at` (== at when there is none).
std::size_t skip_digits(std::string_view text, std::size_t at);

}  // namespace varkit::pm

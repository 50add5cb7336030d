#include "so_version.hpp"

#include <varkit/pm/decimal_digits.hpp>

namespace varkit::twinmatch {

namespace {

using pm::skip_digits;

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// True when `tail` is one or more ".<digits>" groups, optionally followed by a single "\n".
bool is_version_tail(std::string_view tail) {
    if (!tail.empty() && tail.back() == '\n') {
        tail.remove_suffix(1);
    }
    if (tail.empty()) {
        return false;
    }
    std::size_t at = 0;
    while (at < tail.size()) {
        if (tail[at] != '.') {
            return false;
        }
        std::size_t end = skip_digits(tail, at + 1);
        if (end == at + 1) {
            return false;
        }
        at = end;
    }
    return true;
}

}  // namespace

std::string truncate_so_version(std::string_view name) {
    // The leftmost ".so" whose remainder is all version groups.
    for (std::size_t at = name.find(".so"); at != std::string_view::npos;
         at = name.find(".so", at + 1)) {
        if (is_version_tail(name.substr(at + 3))) {
            return std::string(name.substr(0, at + 3));
        }
    }
    return std::string(name);
}

std::size_t count_so_combinations(std::string_view name) {
    std::size_t last = name.rfind(".so");
    std::string_view tail = last == std::string_view::npos ? name : name.substr(last + 3);
    std::size_t count = 0;
    std::size_t at = 0;
    while (at < tail.size()) {
        if (tail[at] == '.') {
            std::size_t end = skip_digits(tail, at + 1);
            if (end > at + 1) {
                while (end < tail.size() && is_ascii_letter(tail[end])) {
                    ++end;
                }
                ++count;
                at = end;
                continue;
            }
        }
        ++at;
    }
    return count;
}

}  // namespace varkit::twinmatch

#include "so_version.hpp"

#include <Python.h>
#include <cstdint>

namespace varkit::twinmatch {

namespace {

// Length of the decimal digit (Unicode category Nd) starting at `text[at]`, or 0.
std::size_t digit_at(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return lead >= '0' && lead <= '9' ? 1 : 0;
    }
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    std::uint32_t code = lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        code = (code << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3fu);
    }
    return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(code)) ? length : 0;
}

// End of the run of digits starting at `at` (== at when there is none).
std::size_t skip_digits(std::string_view text, std::size_t at) {
    while (at < text.size()) {
        std::size_t length = digit_at(text, at);
        if (length == 0) {
            break;
        }
        at += length;
    }
    return at;
}

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
    for (std::size_t at = name.find(".so"); at != std::string_view::npos; at = name.find(".so", at + 1)) {
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

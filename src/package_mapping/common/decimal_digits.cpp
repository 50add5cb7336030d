#include "varkit/pm/decimal_digits.hpp"

#include <Python.h>
#include <cstdint>

namespace varkit::pm {

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

}  // namespace varkit::pm

// The walker of added_symbols (named headers only) and removed_symbols.
#pragma once

#include "elements.hpp"

#include <array>
#include <cstddef>
#include <string>

namespace varkit::reportscan {

// `base` is the depth of the section element; events come with the depth of the
// element (the section's children have base + 1).
struct SymbolListWalker {
    bool removed = false;
    bool found = false, active = false;
    std::size_t base = 0;
    bool with_text = true;
    bool listed = false;  // a header was listed (the block is printed)
    std::string body;
    Section records;
    std::array<bool, 3> open{};  // relevant header/library open at levels 1, 2

    void start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame);
    void end(std::size_t depth, Tag tag, const Frame &frame);
};

}  // namespace varkit::reportscan

// The walker of one problem section (types, symbols or constants) of one severity.
#pragma once

#include "elements.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace varkit::reportscan {

enum class Kind { Types = 0, Symbols = 1, Constants = 2 };

// Buffers one `header` at a time: the header filter may be satisfied by a chain
// that comes after lines the header already printed, and an untaken header is
// cut off again. `base` is the depth of the section element.
struct ProblemWalker {
    Kind kind = Kind::Types;
    std::string severity;
    bool safe = false;
    bool with_text = true;  // false: results only, the block's text is not built
    bool found = false, active = false;
    bool any_taken = false;  // a header was taken (the block is printed)
    std::size_t base = 0;
    // The block: taken headers only.
    std::string body;
    Section records;
    bool done = false;  // a taken header failed: the reader raised there
    bool failed = false;
    std::string error;

    // The header being read (level 1).
    bool h_open = false, h_taken = false, h_failed = false;
    std::string h_name, h_error;
    std::string &h_text = body;  // the open header writes straight into the block...
    std::size_t h_start = 0;     // ...from here; an untaken header is cut off again
    std::vector<OptStr> h_set;
    // roles of the open elements at levels 1..5 (Tag::Other = not on a walked path)
    std::array<Tag, 6> role{};
    // level-2 element (library, constant or type) and the symbol of the symbol reader
    std::string owner_name, symbol_name;
    // problem/change of the current owner (symbol, constant or type)
    bool first_problem_seen = false, in_first_problem = false, problem_has_id = false;
    bool first_change_seen = false, capturing = false;
    std::string problem_id;
    AttrList capture_attrs;
    bool capture_has_attrs = false;
    // type reader
    bool has_problem_chain = false, has_affected_chain = false;
    bool type_line_failed = false, affected_failed = false;
    std::string type_line, affected_text;
    bool first_affected_seen = false, in_first_affected = false;
    bool first_comment_seen = false;
    std::string param, field;
    std::string expanded;  // scratch for the expanded problem text

    void start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame);
    void end(std::size_t depth, const Frame &frame);

private:
    void fail_header(const char *message);
    void start_problem(std::size_t level, const Attrs &attrs);
    // The first change/comment of a problem: its placeholders and text are kept.
    void capture(const Attrs &attrs, Frame &frame);
    // Its expanded text into `expanded` (only whether it expands, without text).
    bool expand_capture(const Frame &frame, bool comment);
    // A `change` child of a problem; returns true when it completes the filter chain.
    bool start_change(std::size_t level, const Attrs &attrs, Frame &frame);
    void start_symbols(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame);
    void start_constants(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame);
    void start_types(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame);
};

}  // namespace varkit::reportscan

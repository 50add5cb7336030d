// Problems with types, symbols and constants from the SAX events (see problem_walker.hpp).
#include "problem_walker.hpp"

#include "report_text.hpp"

#include <utility>

namespace varkit::reportscan {

void ProblemWalker::fail_header(const char *message) {
    if (!h_failed) {
        h_failed = true;
        h_error = message;
    }
}

void ProblemWalker::start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame) {
    if (done) {
        return;
    }
    std::size_t level = depth - base;
    if (level > 5) {
        return;
    }
    role[level] = Tag::Other;
    if (level == 1) {
        if (tag == Tag::Header && attrs.has("name")) {
            role[1] = Tag::Header;
            h_open = true;
            h_taken = h_failed = false;
            attrs.assign("name", h_name);
            h_start = body.size();
            if (with_text) {
                text::header(body, h_name);
            }
            h_error.clear();
            h_set.clear();
        }
        return;
    }
    if (role[level - 1] == Tag::Other) {
        return;
    }
    switch (kind) {
    case Kind::Symbols: start_symbols(level, tag, attrs, frame); break;
    case Kind::Constants: start_constants(level, tag, attrs, frame); break;
    case Kind::Types: start_types(level, tag, attrs, frame); break;
    }
}

void ProblemWalker::capture(const Attrs &attrs, Frame &frame) {
    capture_has_attrs = attrs.count > 0;
    if (with_text) {
        attrs.placeholders(capture_attrs);
        frame.want_text = true;
    }
}

bool ProblemWalker::expand_capture(const Frame &frame, bool comment) {
    if (!with_text) {
        return expandable(frame, capture_has_attrs, comment);
    }
    return expand(frame, capture_attrs, comment, param, field, expanded);
}

void ProblemWalker::start_problem(std::size_t level, const Attrs &attrs) {
    role[level] = Tag::Problem;
    problem_has_id = attrs.has("id");
    in_first_problem = !first_problem_seen;
    first_problem_seen = true;
    if (in_first_problem) {
        attrs.assign_or("id", "", problem_id);
        first_change_seen = false;
    }
}

bool ProblemWalker::start_change(std::size_t level, const Attrs &attrs, Frame &frame) {
    role[level] = Tag::Change;
    capturing = false;
    if (in_first_problem && !first_change_seen) {
        first_change_seen = true;
        capturing = true;
        capture(attrs, frame);
    }
    return problem_has_id;
}

void ProblemWalker::start_symbols(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
    if (level == 2 && tag == Tag::Library && attrs.has("name")) {
        role[2] = Tag::Library;
        if (!h_failed && with_text) {
            text::problem_library(h_text, attrs.get_or("name", ""));
        }
    } else if (level == 3 && tag == Tag::Symbol && attrs.has("name")) {
        role[3] = Tag::Symbol;
        attrs.assign("name", symbol_name);
        first_problem_seen = false;
        if (!safe) {
            h_set.emplace_back(symbol_name);
        }
        if (!h_failed && with_text) {
            text::problem_symbol(h_text, symbol_name);
        }
    } else if (level == 4 && tag == Tag::Problem) {
        start_problem(level, attrs);
    } else if (level == 5 && tag == Tag::Change) {
        if (start_change(level, attrs, frame)) {
            h_taken = true;
        }
    }
}

void ProblemWalker::start_constants(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
    if (level == 2 && tag == Tag::Constant && attrs.has("name")) {
        role[2] = Tag::Constant;
        attrs.assign("name", owner_name);
        first_problem_seen = false;
    } else if (level == 3 && tag == Tag::Problem) {
        start_problem(level, attrs);
    } else if (level == 4 && tag == Tag::Change) {
        if (start_change(level, attrs, frame)) {
            h_taken = true;
        }
    }
}

void ProblemWalker::start_types(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
    if (level == 2) {
        if (tag == Tag::Type && attrs.has("name")) {
            role[2] = Tag::Type;
            attrs.assign("name", owner_name);
            first_problem_seen = first_affected_seen = false;
            has_problem_chain = has_affected_chain = false;
            type_line_failed = affected_failed = false;
            type_line.clear();
            affected_text.clear();
        }
    } else if (level == 3 && tag == Tag::Problem) {
        start_problem(level, attrs);
    } else if (level == 3 && tag == Tag::Affected) {
        role[3] = Tag::Affected;
        in_first_affected = !first_affected_seen;
        first_affected_seen = true;
    } else if (level == 4 && role[3] == Tag::Problem && tag == Tag::Change) {
        if (start_change(level, attrs, frame)) {
            has_problem_chain = true;
        }
    } else if (level == 4 && role[3] == Tag::Affected && tag == Tag::Symbol && attrs.has("name")) {
        role[4] = Tag::Symbol;
        first_comment_seen = false;
        if (in_first_affected) {
            attrs.assign("name", symbol_name);
            if (!safe) {
                h_set.emplace_back(symbol_name);
            }
            attrs.assign_or("param", "", param);
            attrs.assign_or("field", "", field);
        }
    } else if (level == 5 && role[4] == Tag::Symbol && tag == Tag::Comment) {
        role[5] = Tag::Comment;
        has_affected_chain = true;
        capturing = false;
        if (in_first_affected && !first_comment_seen) {
            first_comment_seen = true;
            capturing = true;
            capture(attrs, frame);
        }
    }
}

void ProblemWalker::end(std::size_t depth, const Frame &frame) {
    if (done) {
        return;
    }
    std::size_t level = depth - base;
    if (level > 5 || level == 0) {
        return;
    }
    Tag r = role[level];
    role[level] = Tag::Other;
    if (r == Tag::Other) {
        return;
    }
    if (r == Tag::Change && capturing) {
        capturing = false;
        bool ok = expand_capture(frame, false);
        if (kind == Kind::Types) {
            if (!ok) {
                type_line_failed = true;
            } else if (with_text) {
                type_line.clear();
                text::type_change(type_line, owner_name, problem_id, expanded);
            }
        } else if (!h_failed) {
            if (!ok) {
                fail_header(kNoneReplace);
            } else if (with_text && kind == Kind::Symbols) {
                text::symbol_change(h_text, symbol_name, problem_id, expanded);
            } else if (with_text) {
                text::constant_change(h_text, owner_name, problem_id, expanded);
            }
        }
    } else if (r == Tag::Comment && capturing) {
        capturing = false;
        if (!affected_failed) {
            if (!expand_capture(frame, true)) {
                affected_failed = true;
            } else if (with_text) {
                text::affected_symbol(affected_text, symbol_name, expanded);
            }
        }
    } else if (r == Tag::Type) {
        if (has_problem_chain && has_affected_chain) {
            h_taken = true;
        }
        if (!h_failed) {
            if (type_line_failed) {
                fail_header(kNoneReplace);
            } else {
                if (with_text) {
                    h_text.append(type_line);
                    h_text.append(affected_text);
                }
                if (affected_failed) {
                    fail_header(kNoneReplace);
                }
            }
        }
    } else if (r == Tag::Header) {
        h_open = false;
        if (!h_taken) {
            body.resize(h_start);
            return;
        }
        any_taken = true;
        if (kind != Kind::Constants) {
            records.push_back(Record{h_name, std::move(h_set)});
            h_set.clear();
        }
        if (h_failed) {
            failed = done = true;
            error = h_error;
        }
    }
}

}  // namespace varkit::reportscan

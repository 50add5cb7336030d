// The report's own queries, the dispatch to its section walkers, and its result
// (see report_walker.hpp).
#include "report_walker.hpp"

#include "report_text.hpp"

#include <utility>

namespace varkit::reportscan {

namespace {

int test_result_field(Tag tag) {
    switch (tag) {
    case Tag::Symbols: return 0;
    case Tag::Types: return 1;
    case Tag::Verdict: return 2;
    case Tag::Affected: return 3;
    default: return -1;
    }
}

}  // namespace

ReportState::ReportState(std::size_t depth, std::size_t index, OptStr report_kind, bool with_text)
    : base(depth), slot(index), kind(std::move(report_kind)) {
    removed.removed = true;
    added.with_text = removed.with_text = with_text;
    for (std::size_t s = 0; s < kSeverities.size(); ++s) {
        for (std::size_t k = 0; k < 3; ++k) {
            ProblemWalker &walker = problems[s * 3 + k];
            walker.kind = static_cast<Kind>(k);
            walker.severity = kSeverities[s];
            walker.safe = s == kSeverities.size() - 1;
            walker.with_text = with_text;
        }
    }
}

void ReportState::start(const std::vector<Frame> &frames, std::size_t depth, Tag tag,
                        const Attrs &attrs) {
    Frame &frame = const_cast<Frame &>(frames[depth]);
    Tag parent = frames[depth - 1].tag;
    // Walkers already open see this element as their content.
    if (tr_state == 1) {
        if (tag == Tag::Name && depth - 1 > tr_base &&
            (parent == Tag::Headers || parent == Tag::Libs)) {
            frame.want_text = true;
            std::vector<OptStr> &list = parent == Tag::Headers ? tr_headers : tr_libs;
            tr_open_names.push_back(OpenName{depth, &list, list.size()});
            list.emplace_back();
        } else if (depth == tr_base + 1) {
            int index = test_result_field(tag);
            if (index >= 0 && tr_field_state[static_cast<std::size_t>(index)] == 0) {
                tr_field_state[static_cast<std::size_t>(index)] = 1;
                frame.want_text = true;
            }
        }
    }
    if (added.active) {
        added.start(depth, tag, attrs, frame);
    }
    if (removed.active) {
        removed.start(depth, tag, attrs, frame);
    }
    for (ProblemWalker *walker : active) {
        walker->start(depth, tag, attrs, frame);
    }
    // First matches of the report's own queries.
    switch (tag) {
    case Tag::Library:
        if (library_state == 0) {
            library_state = 1;
            library_depth = depth;
            frame.want_text = true;
        }
        break;
    case Tag::Number:
        if (depth - 1 > base && parent == Tag::Version1 && v1_state == 0) {
            v1_state = 1;
            v1_depth = depth;
            frame.want_text = true;
        }
        if (depth - 1 > base && parent == Tag::Version2 && v2_state == 0) {
            v2_state = 1;
            v2_depth = depth;
            frame.want_text = true;
        }
        break;
    case Tag::TestResults:
        if (tr_state == 0) {
            tr_state = 1;
            tr_base = depth;
        }
        break;
    case Tag::AddedSymbols:
    case Tag::RemovedSymbols: {
        SymbolListWalker &walker = tag == Tag::AddedSymbols ? added : removed;
        if (depth == base + 1 && !walker.found) {
            walker.found = walker.active = true;
            walker.base = depth;
        }
        break;
    }
    case Tag::ProblemsWithTypes:
    case Tag::ProblemsWithSymbols:
    case Tag::ProblemsWithConstants: {
        std::size_t k = tag == Tag::ProblemsWithTypes ? 0 : tag == Tag::ProblemsWithSymbols ? 1 : 2;
        for (std::size_t s = 0; s < kSeverities.size(); ++s) {
            ProblemWalker &walker = problems[s * 3 + k];
            if (!walker.found && attrs.equals("severity", kSeverities[s])) {
                walker.found = walker.active = true;
                walker.base = depth;
                active.push_back(&walker);
                break;
            }
        }
        break;
    }
    default: break;
    }
}

void ReportState::end(const Frame &frame, std::size_t depth, Tag tag) {
    if (tr_state == 1 && depth == tr_base) {
        tr_state = 2;
    }
    if (added.active) {
        if (depth == added.base) {
            added.active = false;
        } else {
            added.end(depth, tag, frame);
        }
    }
    if (removed.active) {
        if (depth == removed.base) {
            removed.active = false;
        } else {
            removed.end(depth, tag, frame);
        }
    }
    for (std::size_t i = 0; i < active.size();) {
        ProblemWalker *walker = active[i];
        if (depth == walker->base) {
            walker->active = false;
            active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            walker->end(depth, frame);
            ++i;
        }
    }
    if (library_state == 1 && depth == library_depth) {
        library_state = 2;
        library = frame.value();
    }
    if (v1_state == 1 && depth == v1_depth) {
        v1_state = 2;
        v1 = frame.value();
    }
    if (v2_state == 1 && depth == v2_depth) {
        v2_state = 2;
        v2 = frame.value();
    }
}

void ReportState::end_in_test_results(const Frame &frame, std::size_t depth, Tag tag) {
    if (tr_state != 1 || depth <= tr_base) {
        return;
    }
    if (tag == Tag::Name && depth - 1 > tr_base) {
        if (!tr_open_names.empty() && tr_open_names.back().depth == depth) {
            OpenName name = tr_open_names.back();
            tr_open_names.pop_back();
            (*name.list)[name.slot] = frame.value();
        }
    } else if (depth == tr_base + 1) {
        int index = test_result_field(tag);
        if (index >= 0 && tr_field_state[static_cast<std::size_t>(index)] == 1) {
            tr_field_state[static_cast<std::size_t>(index)] = 2;
            tr_field[static_cast<std::size_t>(index)] = frame.value();
        }
    }
}

void ReportState::finish(ReportOutput &out) {
    out.text.emplace_back();
    auto text = [&out]() -> std::string & { return out.text.back(); };
    // the big blocks are moved in as pieces of their own
    auto piece = [&out](std::string &&block) {
        out.text.push_back(std::move(block));
        out.text.emplace_back();
    };
    auto fail = [&](const char *message) {
        out.failed = true;
        out.error = message;
    };
    text::processing(text(), text::shown(kind));
    if (library_state != 2 || v1_state != 2 || v2_state != 2) {
        return fail(kIndexError);
    }
    text::test_library(text(), text::shown(library));
    text::test_version(text(), text::shown(v1), text::shown(v2));
    if (tr_state != 0) {
        text::test_results_heading(text());
        for (const OptStr &name : tr_headers) {
            text::listed_name(text(), text::shown(name));
        }
        text::libs_heading(text());
        for (const OptStr &name : tr_libs) {
            text::listed_name(text(), text::shown(name));
        }
        for (std::size_t i = 0; i < tr_field.size(); ++i) {
            if (tr_field_state[i] == 2) {
                text::test_result_field(text(), i, text::shown(tr_field[i]));
            }
        }
    }
    const bool binary = kind && *kind == "binary";
    if (!added.found) {
        return fail(kNoneXpath);
    }
    if (added.listed) {
        text::added_heading(text());
        piece(std::move(added.body));
    }
    if (!removed.found) {
        return fail(kNoneXpath);
    }
    if (removed.listed) {
        text::removed_heading(text());
        piece(std::move(removed.body));
        if (binary) {
            out.result.push_back(std::move(removed.records));
        }
    }
    for (ProblemWalker &walker : problems) {
        if (!walker.found || !walker.any_taken) {
            continue;
        }
        text::severity_heading(text(), walker.severity);
        piece(std::move(walker.body));
        if (walker.failed) {
            return fail(walker.error.c_str());
        }
        if (binary && walker.kind != Kind::Constants) {
            out.result.push_back(std::move(walker.records));
        }
    }
}

}  // namespace varkit::reportscan

// What one open `report` element collects from the SAX events, and its printed text.
#pragma once

#include "elements.hpp"
#include "problem_walker.hpp"
#include "symbol_list_walker.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace varkit::reportscan {

// Every query the reader makes relative to a report (first .//library, first
// .//version1/number, first .//test_results, ./added_symbols, the first problem
// section per kind and severity, ...) is answered from the same events.
struct ReportState {
    std::size_t base;  // depth of the report element
    std::size_t slot;  // index in the outcome's report list
    OptStr kind;
    // first .//library, .//version1/number, .//version2/number
    int library_state = 0, v1_state = 0, v2_state = 0;  // 0 not seen, 1 open, 2 done
    std::size_t library_depth = 0, v1_depth = 0, v2_depth = 0;
    OptStr library, v1, v2;
    // first .//test_results
    int tr_state = 0;
    std::size_t tr_base = 0;
    std::vector<OptStr> tr_headers, tr_libs;
    // Names under test_results are listed in document order (start tags), so each gets
    // its slot when it opens and its text when it closes; nested names stack here.
    struct OpenName {
        std::size_t depth;
        std::vector<OptStr> *list;
        std::size_t slot;
    };
    std::vector<OpenName> tr_open_names;
    std::array<int, 4> tr_field_state{};  // symbols, types, verdict, affected
    std::array<OptStr, 4> tr_field{};
    SymbolListWalker added, removed;
    std::array<ProblemWalker, 12> problems;  // [severity * 3 + kind]
    std::vector<ProblemWalker *> active;     // the problem walkers whose section is open

    // `with_text`: false when only the results are wanted (no printed text is built).
    ReportState(std::size_t depth, std::size_t index, OptStr report_kind, bool with_text = true);

    void start(const std::vector<Frame> &frames, std::size_t depth, Tag tag, const Attrs &attrs);
    void end(const Frame &frame, std::size_t depth, Tag tag);
    // Called for the end of an element below test_results; the parent tag is needed.
    void end_in_test_results(const Frame &frame, std::size_t depth, Tag tag);
    // parse_report's printed text and result, in the fixed order.
    void finish(ReportOutput &out);
};

}  // namespace varkit::reportscan

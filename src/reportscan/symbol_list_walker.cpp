// Added and removed symbols from the SAX events (see symbol_list_walker.hpp).
#include "symbol_list_walker.hpp"

#include "report_text.hpp"

#include <utility>

namespace varkit::reportscan {

void SymbolListWalker::start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame) {
    std::size_t level = depth - base;
    if (level == 1) {
        open[1] = tag == Tag::Header && (removed || attrs.has("name"));
        if (open[1]) {
            listed = true;
            OptStr name = attrs.get("name");
            if (with_text) {
                text::header(body, text::shown(name));
            }
            if (removed) {
                records.push_back(Record{std::move(name), {}});
            }
        }
    } else if (level == 2) {
        open[2] = open[1] && tag == Tag::Library;
        if (open[2] && with_text) {
            text::listed_library(body, attrs.get_or("name", text::kUnnamedLibrary));
        }
    } else if (level == 3 && open[2] && tag == Tag::Name && (with_text || removed)) {
        frame.want_text = true;
    }
}

void SymbolListWalker::end(std::size_t depth, Tag tag, const Frame &frame) {
    if (depth - base == 3 && open[2] && tag == Tag::Name && (with_text || removed)) {
        OptStr symbol = frame.value();
        if (with_text) {
            text::listed_symbol(body, text::shown(symbol));
        }
        if (removed) {
            records.back().symbols.push_back(std::move(symbol));
        }
    }
}

}  // namespace varkit::reportscan

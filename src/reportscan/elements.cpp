// Tag classification, attribute placeholders and problem-text expansion (see elements.hpp).
#include "elements.hpp"

namespace varkit::reportscan {

Tag classify(const xmlChar *localname, const xmlChar *uri) {
    if (uri != nullptr) {
        return Tag::Other;  // the reader's XPaths name elements without a namespace
    }
    std::string_view n(reinterpret_cast<const char *>(localname));
    auto is = [&n](std::string_view text) { return n == text; };
    switch (n.empty() ? '\0' : n[0]) {
    case 'a':
        if (is("affected")) return Tag::Affected;
        if (is("added_symbols")) return Tag::AddedSymbols;
        break;
    case 'c':
        if (is("change")) return Tag::Change;
        if (is("comment")) return Tag::Comment;
        if (is("constant")) return Tag::Constant;
        break;
    case 'h':
        if (is("header")) return Tag::Header;
        if (is("headers")) return Tag::Headers;
        break;
    case 'l':
        if (is("library")) return Tag::Library;
        if (is("libs")) return Tag::Libs;
        break;
    case 'n':
        if (is("name")) return Tag::Name;
        if (is("number")) return Tag::Number;
        break;
    case 'p':
        if (is("problem")) return Tag::Problem;
        if (is("problems_with_types")) return Tag::ProblemsWithTypes;
        if (is("problems_with_symbols")) return Tag::ProblemsWithSymbols;
        if (is("problems_with_constants")) return Tag::ProblemsWithConstants;
        break;
    case 'r':
        if (is("report")) return Tag::Report;
        if (is("removed_symbols")) return Tag::RemovedSymbols;
        break;
    case 's':
        if (is("symbol")) return Tag::Symbol;
        if (is("symbols")) return Tag::Symbols;
        break;
    case 't':
        if (is("type")) return Tag::Type;
        if (is("types")) return Tag::Types;
        if (is("test_results")) return Tag::TestResults;
        break;
    case 'v':
        if (is("version1")) return Tag::Version1;
        if (is("version2")) return Tag::Version2;
        if (is("verdict")) return Tag::Verdict;
        break;
    default: break;
    }
    return Tag::Other;
}

void Attrs::placeholders(AttrList &list) const {
    list.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const xmlChar *const *a = data + 5 * i;
        std::string &key = list[static_cast<std::size_t>(i)].first;
        key.assign("@");
        if (a[2] != nullptr) {
            key.append("{").append(reinterpret_cast<const char *>(a[2])).append("}");
        }
        key.append(reinterpret_cast<const char *>(a[0]));
        decode_attribute(a[3], a[4], list[static_cast<std::size_t>(i)].second);
    }
}

// The problem text of `change`/`comment`: .text with every attribute expanded.
// Returns false (text None with something to replace) where Python's
// None.replace(...) raises.
bool expandable(const Frame &element, bool has_attrs, bool comment) {
    return element.has_text || (!has_attrs && !comment);
}

bool expand(const Frame &element, const AttrList &attrs, bool comment, const std::string &param,
            const std::string &field, std::string &out) {
    if (!expandable(element, !attrs.empty(), comment)) {
        return false;
    }
    if (!element.has_text) {
        out = "None";
        return true;
    }
    out.assign(element.text);
    // Placeholder expansion: each replacement on the result of the one before.
    for (const auto &[needle, value] : attrs) {
        host::replace_all(out, needle, value);
    }
    if (comment) {
        static const std::string kParam = "@param", kField = "@field";
        host::replace_all(out, kParam, param);
        host::replace_all(out, kField, field);
    }
    return true;
}

}  // namespace varkit::reportscan

// Streaming reader of ABI compliance reports (see scan.hpp).
//
// One SAX2 pass. Every `report` element open at a point of the stream has a
// ReportState; every query the Python reader makes relative to a report (first
// .//library, first .//version1/number, first .//test_results, ./added_symbols,
// the first problem section per kind and severity, ...) is a small walker fed by
// the same events. Each walker writes its own printed block; the blocks are
// joined in the fixed order when the report ends. A problem section buffers one
// `header` at a time, because the header filter may be satisfied by a chain that
// comes after lines the header already printed. Nothing is returned before the
// whole document has parsed, so a syntax error anywhere prints nothing.
//
// Anything unusual is not guessed at: a DOCTYPE (entities, default attributes), an
// entity reference, any libxml2 error or warning, a resource limit lxml enforces
// (depth > 256, a text node > 10,000,000 bytes), an unreadable file: the scan ends
// with Status::Delegate and the caller redoes the call through lxml.
#include "scan.hpp"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace varkit::reportscan {

void replace_all(std::string &text, const std::string &needle, const std::string &value) {
    if (needle.empty()) {
        return;  // never happens: needles are "@" + a non-empty name
    }
    std::size_t pos = text.find(needle);
    if (pos == std::string::npos) {
        return;
    }
    thread_local std::string scratch;  // swapped with `text`: both keep their storage
    scratch.clear();
    std::size_t start = 0;
    while (pos != std::string::npos) {
        scratch.append(text, start, pos - start);
        scratch.append(value);
        start = pos + needle.size();
        pos = text.find(needle, start);
    }
    scratch.append(text, start, std::string::npos);
    text.swap(scratch);
}

namespace {

// The exception texts the Python reader raises (str() of the exception).
const char *const kIndexError = "list index out of range";                    // xpath(...)[0]
const char *const kNoneXpath = "'NoneType' object has no attribute 'xpath'";  // reader(None)
const char *const kNoneReplace = "'NoneType' object has no attribute 'replace'";

// lxml's limits without huge_tree (libxml2 2.14): deeper or longer input is an
// error there, so it is not ours to accept.
constexpr std::size_t kMaxDepth = 256;
constexpr std::size_t kMaxTextRun = 10000000;

enum class Tag : unsigned char {
    Other, Report, Library, Version1, Version2, Number, TestResults, Headers, Libs, Name,
    Symbols, Types, Verdict, Affected, AddedSymbols, RemovedSymbols, ProblemsWithTypes,
    ProblemsWithSymbols, ProblemsWithConstants, Header, Symbol, Problem, Change, Constant,
    Type, Comment,
};

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
    default:
        break;
    }
    return Tag::Other;
}

// SAX2 attribute value: with entity substitution off, libxml2 hands "&" (from
// &amp; or &#38;) over as the five characters "&#38;" and nothing else starting
// with "&" (other entities delegate), so this is the whole decoding.
std::string attribute_value(const xmlChar *begin, const xmlChar *end) {
    std::string value(reinterpret_cast<const char *>(begin), static_cast<std::size_t>(end - begin));
    if (value.find('&') != std::string::npos) {
        replace_all(value, "&#38;", "&");
    }
    return value;
}

using AttrList = std::vector<std::pair<std::string, std::string>>;

// The attributes of a start tag: 5 pointers each (localname, prefix, URI, value, end).
struct Attrs {
    int count;
    const xmlChar **data;

    const xmlChar *const *find(const char *name) const {
        for (int i = 0; i < count; ++i) {
            const xmlChar *const *a = data + 5 * i;
            if (a[2] == nullptr && a[0][0] == static_cast<xmlChar>(name[0]) &&
                std::strcmp(reinterpret_cast<const char *>(a[0]), name) == 0) {
                return a;
            }
        }
        return nullptr;
    }
    bool has(const char *name) const { return find(name) != nullptr; }
    OptStr get(const char *name) const {
        const xmlChar *const *a = find(name);
        if (a == nullptr) {
            return std::nullopt;
        }
        return attribute_value(a[3], a[4]);
    }
    // value of `name` into `out` (reusing its storage); false when absent.
    bool assign(const char *name, std::string &out) const {
        const xmlChar *const *a = find(name);
        if (a == nullptr) {
            return false;
        }
        out.assign(reinterpret_cast<const char *>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
        if (out.find('&') != std::string::npos) {
            replace_all(out, "&#38;", "&");
        }
        return true;
    }
    void assign_or(const char *name, const char *fallback, std::string &out) const {
        if (!assign(name, out)) {
            out.assign(fallback);
        }
    }
    std::string get_or(const char *name, const char *fallback) const {
        OptStr value = get(name);
        return value ? std::move(*value) : std::string(fallback);
    }
    bool equals(const char *name, std::string_view expected) const {
        const xmlChar *const *a = find(name);
        return a != nullptr && attribute_value(a[3], a[4]) == expected;
    }
    // lxml's attrib.items() as placeholders: "@" + name ("@{uri}local" for namespaced
    // names) and the value, in document order. Reuses the list's storage.
    void placeholders(AttrList &list) const {
        list.resize(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const xmlChar *const *a = data + 5 * i;
            std::string &key = list[static_cast<std::size_t>(i)].first;
            key.assign("@");
            if (a[2] != nullptr) {
                key.append("{").append(reinterpret_cast<const char *>(a[2])).append("}");
            }
            key.append(reinterpret_cast<const char *>(a[0]));
            std::string &value = list[static_cast<std::size_t>(i)].second;
            value.assign(reinterpret_cast<const char *>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
            if (value.find('&') != std::string::npos) {
                replace_all(value, "&#38;", "&");
            }
        }
    }
};

struct Frame {
    Tag tag = Tag::Other;
    bool want_text = false;  // somebody reads this element's .text
    bool text_open = true;   // no child node yet: character data still belongs to .text
    bool has_text = false;
    std::string text;

    OptStr value() const { return has_text ? OptStr(text) : std::nullopt; }
};

void line(std::string &out, std::string_view a) {
    out.append(a);
    out.push_back('\n');
}
void append_opt(std::string &out, const OptStr &value) { out.append(value ? *value : "None"); }

// The problem text of `change`/`comment`: .text with every attribute expanded.
// Returns false (text None with something to replace) where Python's
// None.replace(...) raises.
bool expand(const Frame &element, const AttrList &attrs, bool comment, const std::string &param,
            const std::string &field, std::string &out) {
    if (!element.has_text) {
        if (attrs.empty() && !comment) {
            out = "None";
            return true;
        }
        return false;
    }
    out.assign(element.text);
    for (const auto &[needle, value] : attrs) {
        replace_all(out, needle, value);
    }
    if (comment) {
        static const std::string kParam = "@param", kField = "@field";
        replace_all(out, kParam, param);
        replace_all(out, kField, field);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Section walkers. `base` is the depth of the section element; events come with
// the depth of the element (the section's children have base + 1).

struct SymbolListWalker {  // added_symbols (named headers only) and removed_symbols
    bool removed = false;
    bool found = false, active = false;
    std::size_t base = 0;
    std::string body;
    Section records;
    std::array<bool, 3> open{};  // relevant header/library open at levels 1, 2

    void start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame) {
        std::size_t level = depth - base;
        if (level == 1) {
            open[1] = tag == Tag::Header && (removed || attrs.has("name"));
            if (open[1]) {
                OptStr name = attrs.get("name");
                body.append("  Header: ");
                append_opt(body, name);
                body.push_back('\n');
                if (removed) {
                    records.push_back(Record{std::move(name), {}});
                }
            }
        } else if (level == 2) {
            open[2] = open[1] && tag == Tag::Library;
            if (open[2]) {
                body.append("    Library: ");
                line(body, attrs.get_or("name", "Unnamed Library"));
            }
        } else if (level == 3 && open[2] && tag == Tag::Name) {
            frame.want_text = true;
        }
    }
    void end(std::size_t depth, Tag tag, const Frame &frame) {
        if (depth - base == 3 && open[2] && tag == Tag::Name) {
            OptStr text = frame.value();
            body.append("      Symbol: ");
            append_opt(body, text);
            body.push_back('\n');
            if (removed) {
                records.back().symbols.push_back(std::move(text));
            }
        }
    }
};

enum class Kind { Types = 0, Symbols = 1, Constants = 2 };

struct ProblemWalker {
    Kind kind = Kind::Types;
    std::string severity;
    bool safe = false;
    bool found = false, active = false;
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
    // type reader
    bool has_problem_chain = false, has_affected_chain = false;
    bool type_line_failed = false, affected_failed = false;
    std::string type_line, affected_text;
    bool first_affected_seen = false, in_first_affected = false;
    bool first_comment_seen = false;
    std::string param, field;
    std::string expanded;  // scratch for the expanded problem text

    void fail_header(const char *message) {
        if (!h_failed) {
            h_failed = true;
            h_error = message;
        }
    }

    void start(std::size_t depth, Tag tag, const Attrs &attrs, Frame &frame) {
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
                body.append("  Header: ");
                line(body, h_name);
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

    void start_problem(std::size_t level, const Attrs &attrs) {
        role[level] = Tag::Problem;
        problem_has_id = attrs.has("id");
        in_first_problem = !first_problem_seen;
        first_problem_seen = true;
        if (in_first_problem) {
            attrs.assign_or("id", "", problem_id);
            first_change_seen = false;
        }
    }
    // A `change` child of a problem; returns true when it completes the filter chain.
    bool start_change(std::size_t level, const Attrs &attrs, Frame &frame) {
        role[level] = Tag::Change;
        capturing = false;
        if (in_first_problem && !first_change_seen) {
            first_change_seen = true;
            capturing = true;
            attrs.placeholders(capture_attrs);
            frame.want_text = true;
        }
        return problem_has_id;
    }

    void start_symbols(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
        if (level == 2 && tag == Tag::Library && attrs.has("name")) {
            role[2] = Tag::Library;
            if (!h_failed) {
                h_text.append("  Library: ");
                line(h_text, *attrs.get("name"));
            }
        } else if (level == 3 && tag == Tag::Symbol && attrs.has("name")) {
            role[3] = Tag::Symbol;
            attrs.assign("name", symbol_name);
            first_problem_seen = false;
            if (!safe) {
                h_set.emplace_back(symbol_name);
            }
            if (!h_failed) {
                h_text.append("    Symbol: ");
                line(h_text, symbol_name);
            }
        } else if (level == 4 && tag == Tag::Problem) {
            start_problem(level, attrs);
        } else if (level == 5 && tag == Tag::Change) {
            if (start_change(level, attrs, frame)) {
                h_taken = true;
            }
        }
    }

    void start_constants(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
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

    void start_types(std::size_t level, Tag tag, const Attrs &attrs, Frame &frame) {
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
        } else if (level == 4 && role[3] == Tag::Affected && tag == Tag::Symbol &&
                   attrs.has("name")) {
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
                attrs.placeholders(capture_attrs);
                frame.want_text = true;
            }
        }
    }

    void end(std::size_t depth, const Frame &frame) {
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
            std::string &text = expanded;
            bool ok = expand(frame, capture_attrs, false, param, field, text);
            if (kind == Kind::Types) {
                if (!ok) {
                    type_line_failed = true;
                } else {
                    type_line.assign("    Type: ").append(owner_name).append(", Problem: ")
                        .append(problem_id).append(", Change: ").append(text).push_back('\n');
                }
            } else if (!h_failed) {
                if (!ok) {
                    fail_header(kNoneReplace);
                } else if (kind == Kind::Symbols) {
                    h_text.append("      Symbol: ").append(symbol_name).append(", Problem: ")
                        .append(problem_id).append(", Change: ").append(text).push_back('\n');
                } else {
                    h_text.append("    Constant: ").append(owner_name).append(", Problem: ")
                        .append(problem_id).append(", Change: ").append(text).push_back('\n');
                }
            }
        } else if (r == Tag::Comment && capturing) {
            capturing = false;
            if (!affected_failed) {
                std::string &text = expanded;
                if (!expand(frame, capture_attrs, true, param, field, text)) {
                    affected_failed = true;
                } else {
                    affected_text.append("      Affected Symbol: ").append(symbol_name)
                        .append(", Comment: ").append(text).push_back('\n');
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
                    h_text.append(type_line);
                    h_text.append(affected_text);
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

};

// ---------------------------------------------------------------------------

const char *const kSeverities[4] = {"High", "Medium", "Low", "Safe"};

struct ReportState {
    std::size_t base;      // depth of the report element
    std::size_t slot;      // index in the outcome's report list
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

    ReportState(std::size_t depth, std::size_t index, OptStr report_kind)
        : base(depth), slot(index), kind(std::move(report_kind)) {
        removed.removed = true;
        for (int s = 0; s < 4; ++s) {
            for (int k = 0; k < 3; ++k) {
                ProblemWalker &walker = problems[static_cast<std::size_t>(s * 3 + k)];
                walker.kind = static_cast<Kind>(k);
                walker.severity = kSeverities[s];
                walker.safe = s == 3;
            }
        }
    }

    static int tr_field_index(Tag tag) {
        switch (tag) {
        case Tag::Symbols: return 0;
        case Tag::Types: return 1;
        case Tag::Verdict: return 2;
        case Tag::Affected: return 3;
        default: return -1;
        }
    }

    void start(const std::vector<Frame> &frames, std::size_t depth, Tag tag, const Attrs &attrs) {
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
                int index = tr_field_index(tag);
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
            int k = tag == Tag::ProblemsWithTypes ? 0 : tag == Tag::ProblemsWithSymbols ? 1 : 2;
            for (int s = 0; s < 4; ++s) {
                ProblemWalker &walker = problems[static_cast<std::size_t>(s * 3 + k)];
                if (!walker.found && attrs.equals("severity", kSeverities[s])) {
                    walker.found = walker.active = true;
                    walker.base = depth;
                    active.push_back(&walker);
                    break;
                }
            }
            break;
        }
        default:
            break;
        }
    }

    void end(const Frame &frame, std::size_t depth, Tag tag) {
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

    // Called for the end of an element below test_results; the parent tag is needed.
    void end_in_test_results(const Frame &frame, std::size_t depth, Tag tag) {
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
            int index = tr_field_index(tag);
            if (index >= 0 && tr_field_state[static_cast<std::size_t>(index)] == 1) {
                tr_field_state[static_cast<std::size_t>(index)] = 2;
                tr_field[static_cast<std::size_t>(index)] = frame.value();
            }
        }
    }

    // parse_report's printed text and result, in the fixed order.
    void finish(ReportOutput &out) {
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
        text().append("Processing ");
        append_opt(text(), kind);
        text().append(" report...\n");
        if (library_state != 2 || v1_state != 2 || v2_state != 2) {
            return fail(kIndexError);
        }
        text().append("Test library: ");
        append_opt(text(), library);
        text().append("\nTest Version: ");
        append_opt(text(), v1);
        text().append(" VS ");
        append_opt(text(), v2);
        text().push_back('\n');
        if (tr_state != 0) {
            text().append("Test Results:\n  Headers:\n");
            for (const OptStr &name : tr_headers) {
                text().append("    - ");
                append_opt(text(), name);
                text().push_back('\n');
            }
            text().append("\n  Libs:\n");
            for (const OptStr &name : tr_libs) {
                text().append("    - ");
                append_opt(text(), name);
                text().push_back('\n');
            }
            static const char *const kLabels[4] = {"  Symbols: ", "  Types: ", "  Verdict: ",
                                                   "  Affected: "};
            for (std::size_t i = 0; i < 4; ++i) {
                if (tr_field_state[i] == 2) {
                    text().append(kLabels[i]);
                    append_opt(text(), tr_field[i]);
                    text().push_back('\n');
                }
            }
        }
        const bool binary = kind && *kind == "binary";
        if (!added.found) {
            return fail(kNoneXpath);
        }
        if (!added.body.empty()) {
            text().append("\nAdded Symbols:\n");
            piece(std::move(added.body));
        }
        if (!removed.found) {
            return fail(kNoneXpath);
        }
        if (!removed.body.empty()) {
            text().append("\nRemoved Symbols:\n");
            piece(std::move(removed.body));
            if (binary) {
                out.result.push_back(std::move(removed.records));
            }
        }
        for (ProblemWalker &walker : problems) {
            if (!walker.found || walker.body.empty()) {
                continue;
            }
            text().append("\nProblems with severity '" + walker.severity + "':\n");
            piece(std::move(walker.body));
            if (walker.failed) {
                return fail(walker.error.c_str());
            }
            if (binary && walker.kind != Kind::Constants) {
                out.result.push_back(std::move(walker.records));
            }
        }
    }
};

// ---------------------------------------------------------------------------

struct Engine {
    xmlParserCtxtPtr ctxt = nullptr;
    bool delegate = false;
    bool no_memory = false;
    std::vector<Frame> frames;  // frames[0] is the document; frames[d] an element at depth d
    std::size_t depth = 0;
    std::size_t text_run = 0;
    std::vector<std::unique_ptr<ReportState>> open_reports;
    ScanOutcome outcome;

    Engine() { frames.resize(64); }

    void stop(bool memory = false) {
        if (memory) {
            no_memory = true;
        } else {
            delegate = true;
        }
        if (ctxt != nullptr) {
            xmlStopParser(ctxt);
        }
    }

    void start(const xmlChar *localname, const xmlChar *uri, int nb_attributes,
               const xmlChar **attributes) {
        text_run = 0;
        Frame &parent = frames[depth];
        parent.text_open = false;
        ++depth;
        if (depth > kMaxDepth) {
            return stop();
        }
        if (depth >= frames.size()) {
            frames.resize(frames.size() * 2);
        }
        Frame &frame = frames[depth];
        frame.tag = classify(localname, uri);
        frame.want_text = false;
        frame.text_open = true;
        frame.has_text = false;
        frame.text.clear();
        Attrs attrs{nb_attributes, attributes};
        for (auto &report : open_reports) {
            report->start(frames, depth, frame.tag, attrs);
        }
        if (frame.tag == Tag::Report) {
            std::size_t slot = outcome.reports.size();
            outcome.reports.emplace_back();
            open_reports.push_back(std::make_unique<ReportState>(depth, slot, attrs.get("kind")));
        }
    }

    void end() {
        text_run = 0;
        if (depth == 0) {
            return;
        }
        Frame &frame = frames[depth];
        for (auto &report : open_reports) {
            report->end_in_test_results(frame, depth, frame.tag);
            report->end(frame, depth, frame.tag);
        }
        if (!open_reports.empty() && open_reports.back()->base == depth) {
            std::unique_ptr<ReportState> report = std::move(open_reports.back());
            open_reports.pop_back();
            report->finish(outcome.reports[report->slot]);
        }
        --depth;
    }

    void characters(const xmlChar *text, int len) {
        text_run += static_cast<std::size_t>(len);
        if (text_run > kMaxTextRun) {
            return stop();
        }
        Frame &frame = frames[depth];
        if (frame.text_open && depth > 0) {
            frame.has_text = true;
            if (frame.want_text) {
                frame.text.append(reinterpret_cast<const char *>(text), static_cast<std::size_t>(len));
            }
        }
    }

    void other_node() {  // a comment or processing instruction ends the .text of its parent
        text_run = 0;
        frames[depth].text_open = false;
    }
};

thread_local Engine *current_engine = nullptr;

template <typename F>
void guarded(void *user, F &&body) {
    auto *engine = static_cast<Engine *>(user);
    if (engine->delegate || engine->no_memory) {
        return;
    }
    try {
        body(*engine);
    } catch (const std::bad_alloc &) {
        engine->stop(true);
    } catch (...) {
        engine->stop();  // not a memory failure: lxml redoes the call and gives the outcome
    }
}

void sax_start(void *user, const xmlChar *localname, const xmlChar *, const xmlChar *uri, int,
               const xmlChar **, int nb_attributes, int, const xmlChar **attributes) {
    guarded(user, [&](Engine &e) { e.start(localname, uri, nb_attributes, attributes); });
}
void sax_end(void *user, const xmlChar *, const xmlChar *, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.end(); });
}
void sax_characters(void *user, const xmlChar *text, int len) {
    guarded(user, [&](Engine &e) { e.characters(text, len); });
}
void sax_comment(void *user, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.other_node(); });
}
void sax_pi(void *user, const xmlChar *, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.other_node(); });
}
void sax_subset(void *user, const xmlChar *, const xmlChar *, const xmlChar *) {
    // A DOCTYPE: entities, default attributes... lxml's business. Stop even when an
    // earlier warning has already decided the delegation: the internal subset is
    // never parsed here (a SAX callback may stop the parser; error callbacks may not).
    static_cast<Engine *>(user)->stop();
}
void sax_reference(void *user, const xmlChar *) {
    guarded(user, [&](Engine &e) { e.stop(); });
}
xmlEntityPtr sax_get_entity(void *user, const xmlChar *name) {
    // Predefined entities never get here; anything else is lxml's business.
    xmlEntityPtr predefined = xmlGetPredefinedEntity(name);
    if (predefined == nullptr) {
        guarded(user, [&](Engine &e) { e.stop(); });
    }
    return predefined;
}
void sax_structured_error(void *, xmlErrorPtr) {
    // Any error or warning: let lxml give the verdict and its message. Only a flag:
    // error callbacks may run inside libxml2's input layer, where stopping the parser
    // (which releases the input) is not safe. A fatal error ends SAX events anyway;
    // after any other, every callback returns at once (see guarded()).
    if (current_engine != nullptr) {
        current_engine->delegate = true;
    }
}

// libxml2 reports a few failures (encoding conversion, I/O) through its generic
// error channel, which prints to the process's stderr. During a scan they go here:
// silent, and the document is handed to lxml for the verdict (flag only, as above).
void generic_error(void *, const char *, ...) {
    if (current_engine != nullptr) {
        current_engine->delegate = true;
    }
}

struct MemorySource {
    const char *data;
    std::size_t size;
    std::size_t pos = 0;
};
int read_memory(void *context, char *buffer, int len) {
    auto *source = static_cast<MemorySource *>(context);
    std::size_t n = std::min(static_cast<std::size_t>(len), source->size - source->pos);
    std::memcpy(buffer, source->data + source->pos, n);
    source->pos += n;
    return static_cast<int>(n);
}
struct FileSource {
    int fd;
    bool failed = false;
};
int read_file(void *context, char *buffer, int len) {
    auto *source = static_cast<FileSource *>(context);
    for (;;) {
        ssize_t n = ::read(source->fd, buffer, static_cast<std::size_t>(len));
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            source->failed = true;
            return -1;
        }
    }
}
int close_nothing(void *) { return 0; }

// Sits between libxml2 and a source: keeps the first bytes (the encoding libxml2
// detects from them) and whether the source was read to its end.
struct SourceTap {
    xmlInputReadCallback reader;
    void *source;
    unsigned char head[4] = {0, 0, 0, 0};
    std::size_t head_len = 0;
    bool at_end = false;
};
int read_tapped(void *context, char *buffer, int len) {
    auto *tap = static_cast<SourceTap *>(context);
    int n = tap->reader(tap->source, buffer, len);
    if (n == 0) {
        tap->at_end = true;
    }
    for (int i = 0; i < n && tap->head_len < sizeof tap->head; ++i) {
        tap->head[tap->head_len++] = static_cast<unsigned char>(buffer[i]);
    }
    return n;
}

// The encodings read here exactly as lxml reads them; any other (EBCDIC code pages,
// which lxml refuses, legacy sets whose iconv tables may differ) is lxml's business.
bool plain_encoding(const xmlChar *name) {
    if (name == nullptr) {
        return true;
    }
    static constexpr std::array<const char *, 10> kPlain = {
        "UTF-8", "UTF8", "US-ASCII", "ASCII", "ISO-8859-1", "ISO-LATIN-1", "LATIN1",
        "UTF-16", "UTF-16LE", "UTF-16BE"};
    for (const char *plain : kPlain) {
        if (xmlStrcasecmp(name, reinterpret_cast<const xmlChar *>(plain)) == 0) {
            return true;
        }
    }
    return false;
}

// Whether anything follows the point where libxml2 stopped: it ends a document at a
// NUL byte after the root element without an error, where lxml reports extra content.
bool input_left(xmlParserCtxtPtr ctxt, SourceTap &tap) {
    if (ctxt->input != nullptr && ctxt->input->cur != nullptr && ctxt->input->end != nullptr &&
        ctxt->input->cur < ctxt->input->end) {
        return true;
    }
    if (ctxt->input != nullptr && ctxt->input->buf != nullptr && ctxt->input->buf->raw != nullptr &&
        xmlBufUse(ctxt->input->buf->raw) > 0) {
        return true;
    }
    if (!tap.at_end) {
        char probe[1];
        return tap.reader(tap.source, probe, 1) != 0;
    }
    return false;
}

ScanOutcome run(xmlInputReadCallback raw_reader, void *raw_source, bool *source_failed) {
    SourceTap tap{raw_reader, raw_source};
    Engine engine;
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = sax_start;
    sax.endElementNs = sax_end;
    sax.characters = sax_characters;
    sax.ignorableWhitespace = sax_characters;
    sax.cdataBlock = sax_characters;
    sax.comment = sax_comment;
    sax.processingInstruction = sax_pi;
    sax.internalSubset = sax_subset;
    sax.externalSubset = sax_subset;
    sax.reference = sax_reference;
    sax.getEntity = sax_get_entity;
    sax.serror = sax_structured_error;

    Engine *previous = current_engine;
    current_engine = &engine;
    xmlGenericErrorFunc saved_error = xmlGenericError;
    void *saved_error_context = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(nullptr, generic_error);
    xmlParserCtxtPtr ctxt =
        xmlCreateIOParserCtxt(&sax, &engine, read_tapped, close_nothing, &tap, XML_CHAR_ENCODING_NONE);
    if (ctxt == nullptr) {
        xmlSetGenericErrorFunc(saved_error_context, saved_error);
        current_engine = previous;
        ScanOutcome failed;
        failed.status = ScanOutcome::Status::Delegate;
        return failed;
    }
    engine.ctxt = ctxt;
    // No network, no entity substitution, no DTD loading, no huge input.
    xmlCtxtUseOptions(ctxt, XML_PARSE_NONET);
    xmlParseDocument(ctxt);
    bool well_formed = ctxt->wellFormed != 0;
    bool unusual_input = well_formed && !engine.delegate && !engine.no_memory &&
                         (xmlDetectCharEncoding(tap.head, static_cast<int>(tap.head_len)) ==
                              XML_CHAR_ENCODING_EBCDIC ||
                          !plain_encoding(ctxt->encoding) ||
                          (ctxt->input != nullptr && !plain_encoding(ctxt->input->encoding)) ||
                          input_left(ctxt, tap));
    if (ctxt->myDoc != nullptr) {  // libxml2's SAX-compatibility document, if it made one
        xmlFreeDoc(ctxt->myDoc);
        ctxt->myDoc = nullptr;
    }
    engine.ctxt = nullptr;
    xmlFreeParserCtxt(ctxt);
    xmlSetGenericErrorFunc(saved_error_context, saved_error);
    current_engine = previous;

    ScanOutcome outcome = std::move(engine.outcome);
    if (engine.no_memory) {
        outcome.reports.clear();
        outcome.status = ScanOutcome::Status::NoMemory;
    } else if (engine.delegate || !well_formed || unusual_input || (source_failed && *source_failed) ||
               engine.depth != 0 || !engine.open_reports.empty()) {
        outcome.reports.clear();
        outcome.status = ScanOutcome::Status::Delegate;
    } else {
        // reportscan stops at the first report that raises.
        for (std::size_t i = 0; i < outcome.reports.size(); ++i) {
            if (outcome.reports[i].failed) {
                outcome.reports.resize(i + 1);
                break;
            }
        }
    }
    return outcome;
}

}  // namespace

ScanOutcome scan_memory(const char *data, std::size_t size) {
    MemorySource source{data, size};
    return run(read_memory, &source, nullptr);
}

ScanOutcome scan_file(const char *path) {
    ScanOutcome delegate;
    delegate.status = ScanOutcome::Status::Delegate;
    // Non-blocking: a FIFO put in the report's place must not hold the open.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return delegate;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return delegate;
    }
    FileSource source{fd};
    ScanOutcome outcome = run(read_file, &source, &source.failed);
    ::close(fd);
    return outcome;
}

}  // namespace varkit::reportscan

// Elements of a report as the SAX events give them: tag, attributes, text.
#pragma once

#include "scan.hpp"

#include <libxml/xmlstring.h>
#include <varkit/host/strings.hpp>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varkit::reportscan {

// The exception texts the Python reader raises (str() of the exception).
inline const char *const kIndexError = "list index out of range";  // xpath(...)[0]
inline const char *const kNoneXpath = "'NoneType' object has no attribute 'xpath'";  // f(None)
inline const char *const kNoneReplace = "'NoneType' object has no attribute 'replace'";

enum class Tag : unsigned char {
    Other,
    Report,
    Library,
    Version1,
    Version2,
    Number,
    TestResults,
    Headers,
    Libs,
    Name,
    Symbols,
    Types,
    Verdict,
    Affected,
    AddedSymbols,
    RemovedSymbols,
    ProblemsWithTypes,
    ProblemsWithSymbols,
    ProblemsWithConstants,
    Header,
    Symbol,
    Problem,
    Change,
    Constant,
    Type,
    Comment,
};

Tag classify(const xmlChar *localname, const xmlChar *uri);

// SAX2 attribute value: with entity substitution off, libxml2 hands "&" (from
// &amp; or &#38;) over as the five characters "&#38;" and nothing else starting
// with "&" (other entities delegate), so this is the whole decoding.
inline void decode_attribute(const xmlChar *begin, const xmlChar *end, std::string &out) {
    out.assign(reinterpret_cast<const char *>(begin), static_cast<std::size_t>(end - begin));
    if (out.find('&') != std::string::npos) {
        host::replace_all(out, "&#38;", "&");
    }
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
        std::string value;
        return assign(name, value) ? OptStr(std::move(value)) : std::nullopt;
    }
    // value of `name` into `out` (reusing its storage); false when absent.
    bool assign(const char *name, std::string &out) const {
        const xmlChar *const *a = find(name);
        if (a == nullptr) {
            return false;
        }
        decode_attribute(a[3], a[4], out);
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
        OptStr value = get(name);
        return value && *value == expected;
    }
    // lxml's attrib.items() as placeholders: "@" + name ("@{uri}local" for namespaced
    // names) and the value, in document order. Reuses the list's storage.
    void placeholders(AttrList &list) const;
};

struct Frame {
    Tag tag = Tag::Other;
    bool want_text = false;  // somebody reads this element's .text
    bool text_open = true;   // no child node yet: character data still belongs to .text
    bool has_text = false;
    std::string text;

    OptStr value() const { return has_text ? OptStr(text) : std::nullopt; }
};

// Whether expand() succeeds for `element`, without building the text.
bool expandable(const Frame &element, bool has_attrs, bool comment);

// The problem text of `change`/`comment`: .text with every attribute expanded.
// Returns false (text None with something to replace) where Python's
// None.replace(...) raises.
bool expand(const Frame &element, const AttrList &attrs, bool comment, const std::string &param,
            const std::string &field, std::string &out);

}  // namespace varkit::reportscan

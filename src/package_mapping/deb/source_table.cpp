#include "source_table.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

namespace varkit::lineage {

namespace {

constexpr std::size_t kSourceColumn = 60;

// str.isspace() for one code point.
bool is_python_space(std::uint32_t cp) {
    if (cp < 0x80) {
        return (cp >= 0x09 && cp <= 0x0d) || (cp >= 0x1c && cp <= 0x20);
    }
    return cp == 0x85 || cp == 0xa0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200a) ||
           cp == 0x2028 || cp == 0x2029 || cp == 0x202f || cp == 0x205f || cp == 0x3000;
}

// Decodes the valid UTF-8 sequence of `length` bytes at `p`.
std::uint32_t decode(const unsigned char *p, int length) {
    if (length == 1) {
        return p[0];
    }
    std::uint32_t cp = p[0] & (0x7f >> length);
    for (int i = 1; i < length; ++i) {
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    return cp;
}

int sequence_length(unsigned char lead) {
    return lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
}

std::size_t count_characters(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }
    return count;
}

// The first "\n\n" at or after `from`, as text.find("\n\n", from); sixteen bytes a step.
std::size_t find_blank_line(std::string_view text, std::size_t from) {
    const char *const begin = text.data();
    const char *p = begin + from;
    const char *const end = begin + text.size();
#if defined(__GNUC__)
    typedef unsigned char Block __attribute__((vector_size(16)));
    const Block newline = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n',
                           '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
    while (end - p > 16) {
        Block here, next;
        std::memcpy(&here, p, 16);
        std::memcpy(&next, p + 1, 16);
        auto pairs = (here == newline) & (next == newline);
        std::uint64_t halves[2];
        std::memcpy(halves, &pairs, 16);
        if ((halves[0] | halves[1]) != 0) {
            break;
        }
        p += 16;
    }
#endif
    for (; end - p >= 2; ++p) {
        if (p[0] == '\n' && p[1] == '\n') {
            return static_cast<std::size_t>(p - begin);
        }
    }
    return std::string_view::npos;
}

void append_row(std::string_view package, std::optional<std::string_view> source,
                std::string &rows) {
    rows.append(package);
    std::size_t length = count_characters(package);
    if (length < kSourceColumn) {
        rows.append(kSourceColumn - length, ' ');
    }
    rows.append(source && !source->empty() ? *source : package);
    rows.push_back('\n');
}

void append_paragraph_row(std::string_view paragraph, std::string &rows) {
    std::optional<std::string_view> package;
    std::optional<std::string_view> source;
    std::size_t start = 0;
    while (start <= paragraph.size()) {
        std::size_t end = paragraph.find('\n', start);
        if (end == std::string_view::npos) {
            end = paragraph.size();
        }
        std::string_view line = paragraph.substr(start, end - start);
        start = end + 1;
        const void *colon = std::memchr(line.data(), ':', line.size());
        if (colon == nullptr) {
            continue;
        }
        std::size_t at = static_cast<std::size_t>(static_cast<const char *>(colon) - line.data());
        std::string_view key = line.substr(0, at);
        if (key == "Package") {
            package = line.substr(at + 1);
        } else if (key == "Source") {
            source = line.substr(at + 1);
        }
        if (package && source && !package->empty() && !source->empty()) {
            break;
        }
    }
    if (package) {
        append_row(*package, source, rows);
    }
}

}  // namespace

std::string table_header() {
    std::string header = "package_name";
    header.append(48, ' ');
    header.append("source_name\n");
    header.append(80, '*');
    header.push_back('\n');
    return header;
}

std::string_view strip_python_whitespace(std::string_view text) {
    auto bytes = [&text] { return reinterpret_cast<const unsigned char *>(text.data()); };
    while (!text.empty()) {
        int length = sequence_length(bytes()[0]);
        if (static_cast<std::size_t>(length) > text.size() ||
            !is_python_space(decode(bytes(), length))) {
            break;
        }
        text.remove_prefix(static_cast<std::size_t>(length));
    }
    while (!text.empty()) {
        std::size_t lead = text.size() - 1;
        while (lead > 0 && lead + 4 > text.size() && (bytes()[lead] & 0xc0) == 0x80) {
            --lead;
        }
        int length = static_cast<int>(text.size() - lead);
        if (length != sequence_length(bytes()[lead]) ||
            !is_python_space(decode(bytes() + lead, length))) {
            break;
        }
        text.remove_suffix(static_cast<std::size_t>(length));
    }
    return text;
}

void append_rows(std::string_view index_text, std::string &rows) {
    std::string_view text = strip_python_whitespace(index_text);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = find_blank_line(text, start);
        if (end == std::string_view::npos) {
            append_paragraph_row(text.substr(start), rows);
            return;
        }
        append_paragraph_row(text.substr(start, end - start), rows);
        start = end + 2;
    }
}

}  // namespace varkit::lineage

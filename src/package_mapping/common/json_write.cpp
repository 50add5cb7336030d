// The fixed layout, byte for byte what json.dumps(value, indent=4) writes.
#include "varkit/pm/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

namespace varkit::pm::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes json writes as they are: printable ASCII but '"' and '\\' (DEL is escaped).
constexpr std::array<bool, 256> make_plain_table() {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7f; ++c) {
        table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    }
    return table;
}
constexpr std::array<bool, 256> kPlain = make_plain_table();

// Whether any of eight bytes is not plain: a control byte, '"', '\\', DEL or
// a byte of a multibyte character (each test exact for the word as a whole).
constexpr bool any_escaped(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto has_zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    const std::uint64_t below_space = (word - ones * 0x20) & ~word & highs;
    return ((word & highs) | below_space | has_zero(word ^ (ones * '"')) |
            has_zero(word ^ (ones * '\\')) | has_zero(word ^ (ones * 0x7f))) != 0;
}

// The output text: written through a raw cursor into room made beforehand, so
// the byte loops do no capacity checks of their own. With a consumer, the text
// is handed over in chunks of about kChunk bytes (at element boundaries) and
// the buffer reused, so a big document never sits in memory whole.
class Sink {
public:
    using Consumer = std::function<void(std::string_view)>;
    static constexpr std::size_t kChunk = std::size_t{1} << 20;

    explicit Sink(std::string &out) : out_(out), used_(out.size()) {}
    Sink(std::string &buffer, Consumer consumer)
        : out_(buffer), used_(0), consumer_(std::move(consumer)) {}
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;
    ~Sink() { out_.resize(used_); }

    // Room for `size` more bytes; hand the end of what was written to commit().
    char *room(std::size_t size) {
        if (out_.size() - used_ < size) {
            out_.resize(std::max(out_.size() * 2, used_ + size + 4096));
        }
        return &out_[used_];
    }
    void commit(const char *end) { used_ = static_cast<std::size_t>(end - out_.data()); }

    void append(std::string_view text) {
        char *p = room(text.size());
        std::memcpy(p, text.data(), text.size());
        commit(p + text.size());
    }

    // Between elements: passes a full chunk on.
    void boundary() {
        if (consumer_ && used_ >= kChunk) {
            finish();
        }
    }
    void finish() {
        if (consumer_) {
            consumer_(std::string_view(out_.data(), used_));
            used_ = 0;
        }
    }

private:
    std::string &out_;
    std::size_t used_;
    Consumer consumer_;
};

char *put_u_escape(char *p, std::uint32_t unit) {
    p[0] = '\\';
    p[1] = 'u';
    p[2] = kHex[(unit >> 12) & 0xf];
    p[3] = kHex[(unit >> 8) & 0xf];
    p[4] = kHex[(unit >> 4) & 0xf];
    p[5] = kHex[unit & 0xf];
    return p + 6;
}

// Decodes one code point of generalised UTF-8 (surrogates allowed) at `p`;
// a malformed byte reads as U+FFFD and is skipped alone.
std::uint32_t next_code_point(const unsigned char *&p, const unsigned char *end) {
    unsigned char lead = *p;
    int length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || end - p < length) {
        ++p;
        return 0xfffd;
    }
    std::uint32_t cp = lead & (0x7f >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xc0) != 0x80) {
            ++p;
            return 0xfffd;
        }
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    p += length;
    return cp;
}

char *put_escaped(char *out, unsigned char c) {
    char two = 0;
    switch (c) {
    case '"': two = '"'; break;
    case '\\': two = '\\'; break;
    case '\n': two = 'n'; break;
    case '\r': two = 'r'; break;
    case '\t': two = 't'; break;
    case '\b': two = 'b'; break;
    case '\f': two = 'f'; break;
    default: return put_u_escape(out, c);
    }
    out[0] = '\\';
    out[1] = two;
    return out + 2;
}

void append_string(std::string_view text, Sink &sink) {
    // Each input byte becomes at most six output bytes ("\u001f"; a four-byte
    // character becomes twelve).
    char *out = sink.room(text.size() * 6 + 2);
    *out++ = '"';
    auto p = reinterpret_cast<const unsigned char *>(text.data());
    const auto end = p + text.size();
    while (p < end) {
        // Runs of plain text go eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (any_escaped(word)) {
                break;
            }
            std::memcpy(out, p, 8);
            out += 8;
            p += 8;
        }
        if (p == end) {
            break;
        }
        unsigned char c = *p;
        if (kPlain[c]) {
            *out++ = static_cast<char>(c);
            ++p;
        } else if (c < 0x80) {
            out = put_escaped(out, c);
            ++p;
        } else {
            std::uint32_t cp = next_code_point(p, end);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out = put_u_escape(out, 0xd800 | (cp >> 10));
                out = put_u_escape(out, 0xdc00 | (cp & 0x3ff));
            } else {
                out = put_u_escape(out, cp);
            }
        }
    }
    *out++ = '"';
    sink.commit(out);
}

void append_int(std::int64_t i, Sink &sink) {
    char *p = sink.room(24);
    sink.commit(std::to_chars(p, p + 24, i).ptr);
}

// The line break and indentation before a member or element, after a comma unless first.
void next_line(bool first, int level, Sink &sink) {
    sink.boundary();
    const std::size_t indent = static_cast<std::size_t>(level) * 4;
    char *p = sink.room(indent + 2);
    if (!first) {
        *p++ = ',';
    }
    *p++ = '\n';
    std::memset(p, ' ', indent);
    sink.commit(p + indent);
}

void dump_at(const Value &value, int level, Sink &sink) {
    switch (value.kind()) {
    case Value::Kind::Null: sink.append("null"); break;
    case Value::Kind::Bool: sink.append(value.as_bool() ? "true" : "false"); break;
    case Value::Kind::Int: append_int(value.as_int(), sink); break;
    case Value::Kind::BigInt: sink.append(value.as_big_int().digits); break;
    case Value::Kind::Float: {
        std::string text;
        append_float(value.as_float(), text);
        sink.append(text);
        break;
    }
    case Value::Kind::String: append_string(value.as_string(), sink); break;
    case Value::Kind::Array: {
        const Array &elements = value.as_array();
        if (elements.empty()) {
            sink.append("[]");
            break;
        }
        sink.append("[");
        bool first = true;
        for (const Value &element : elements) {
            next_line(first, level + 1, sink);
            first = false;
            dump_at(element, level + 1, sink);
        }
        next_line(true, level, sink);
        sink.append("]");
        break;
    }
    case Value::Kind::Object: {
        const Object &members = value.as_object();
        if (members.empty()) {
            sink.append("{}");
            break;
        }
        sink.append("{");
        bool first = true;
        for (const Member &member : members) {
            next_line(first, level + 1, sink);
            first = false;
            append_string(member.first, sink);
            sink.append(": ");
            dump_at(member.second, level + 1, sink);
        }
        next_line(true, level, sink);
        sink.append("}");
        break;
    }
    }
}

}  // namespace

void append_float(double d, std::string &out) {
    if (std::isnan(d)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(d)) {
        out.append(d > 0 ? "Infinity" : "-Infinity");
        return;
    }
    // Shortest round-trip digits, then Python's repr rules for where the point goes.
    char buffer[40];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    if (!text.empty() && text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits.push_back(c);
        }
    }
    std::string_view exponent_text = text.substr(e + 1);  // "+NN" or "-NN"
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1);
    }
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    const int n = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits d1 d2 ... = 0.d1d2... x 10^point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out.append("0.");
            out.append(static_cast<std::size_t>(-point), '0');
            out.append(digits);
        } else if (point < n) {
            out.append(digits, 0, static_cast<std::size_t>(point));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(point), std::string::npos);
        } else {
            out.append(digits);
            out.append(static_cast<std::size_t>(point - n), '0');
            out.append(".0");
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    int magnitude = std::abs(exponent);
    if (magnitude < 10) {
        out.push_back('0');
    }
    out.append(std::to_string(magnitude));
}

void dump(const Value &value, std::string &out) {
    Sink sink(out);
    dump_at(value, 0, sink);
}

void dump_chunks(const Value &value, const std::function<void(std::string_view)> &consume) {
    std::string buffer;
    Sink sink(buffer, consume);
    dump_at(value, 0, sink);
    sink.finish();
}

std::string dumps(const Value &value) {
    std::string out;
    dump(value, out);
    return out;
}

}  // namespace varkit::pm::json

// An ordered JSON value, as the package-mapping tools hold a document in C++.
//
// Strings hold UTF-8; a lone surrogate (a file name read with surrogateescape,
// or a "\udXXX" escape) is kept as its three-byte generalised UTF-8 form, the
// way host::utf8 encodes it, so byte order is code-point order: sorting with
// operator< on the bytes gives Python's string order.
//
// Objects are member vectors in document order. The parser never leaves two
// members with one name (the last value takes the first name's place, as
// Python's json does); values built by hand or from Python dicts may.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace varkit::pm::json {

class Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
using Object = std::vector<Member>;

// An integer outside int64, kept as its decimal text.
struct BigInt {
    std::string digits;
};

class Value {
public:
    enum class Kind { Null, Bool, Int, BigInt, Float, String, Array, Object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : data_(b) {}
    Value(std::int64_t i) : data_(i) {}
    Value(int i) : data_(std::int64_t{i}) {}
    Value(BigInt i) : data_(std::move(i)) {}
    Value(double d) : data_(d) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(const char *s) : data_(std::string(s)) {}
    Value(Array a) : data_(std::move(a)) {}
    Value(Object o) : data_(std::move(o)) {}

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_string() const { return kind() == Kind::String; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_object() const { return kind() == Kind::Object; }

    // Accessors for a known kind (std::bad_variant_access otherwise).
    bool as_bool() const { return std::get<bool>(data_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
    const BigInt &as_big_int() const { return std::get<BigInt>(data_); }
    double as_float() const { return std::get<double>(data_); }
    const std::string &as_string() const { return std::get<std::string>(data_); }
    std::string &as_string() { return std::get<std::string>(data_); }
    const Array &as_array() const { return std::get<Array>(data_); }
    Array &as_array() { return std::get<Array>(data_); }
    const Object &as_object() const { return std::get<Object>(data_); }
    Object &as_object() { return std::get<Object>(data_); }

    // The value of the last member called `name` of an object, or nullptr
    // (also when this is no object). Linear: index big objects yourself.
    const Value *find(std::string_view name) const;

    // True for an array whose elements are all strings (an empty one too).
    bool is_string_array() const;

private:
    // Alternative order matches Kind.
    std::variant<std::monostate, bool, std::int64_t, BigInt, double, std::string, Array, Object>
        data_;
};

}  // namespace varkit::pm::json

// Reading JSON: simdjson for what it accepts, the host's json module for the rest.
#include "varkit/pm/files.hpp"
#include "varkit/pm/json.hpp"

#include <simdjson.h>
#include <unordered_map>

namespace varkit::pm::json {

namespace {

namespace dom = simdjson::dom;

// dom::array::size() and dom::object::size() stop counting here: the true
// size is this or more.
constexpr std::size_t kSaturatedSize = 0xFFFFFF;

std::size_t element_count(dom::array array) {
    std::size_t count = array.size();
    if (count < kSaturatedSize) {
        return count;
    }
    count = 0;
    for (auto it = array.begin(); it != array.end(); ++it) {
        ++count;
    }
    return count;
}

// Objects this small are checked for repeated names by a scan, bigger ones by a hash.
constexpr std::size_t kLinearMembers = 16;

Value to_value(dom::element element);

Object to_object(dom::object object) {
    Object members;
    const std::size_t size = object.size();  // saturates for huge objects: a hint only
    members.reserve(size);
    const bool hashed = size >= kLinearMembers;
    // Names as views into the parser's tape, which outlives this call.
    std::unordered_map<std::string_view, std::size_t> index;
    for (dom::key_value_pair field : object) {
        Value value = to_value(field.value);
        std::size_t found = members.size();
        if (hashed) {
            auto inserted = index.emplace(field.key, members.size());
            if (!inserted.second) {
                found = inserted.first->second;
            }
        } else {
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (members[i].first == field.key) {
                    found = i;
                    break;
                }
            }
        }
        if (found < members.size()) {
            members[found].second = std::move(value);  // json keeps the first place, last value
        } else {
            members.emplace_back(std::string(field.key), std::move(value));
        }
    }
    return members;
}

Value to_value(dom::element element) {
    switch (element.type()) {
    case dom::element_type::ARRAY: {
        dom::array array = element.get_array().value_unsafe();
        Array elements;
        elements.reserve(array.size());  // a hint only (saturates)
        for (dom::element child : array) {
            elements.push_back(to_value(child));
        }
        return Value(std::move(elements));
    }
    case dom::element_type::OBJECT: return Value(to_object(element.get_object().value_unsafe()));
    case dom::element_type::INT64: return Value(element.get_int64().value_unsafe());
    case dom::element_type::UINT64:
        return Value(BigInt{std::to_string(element.get_uint64().value_unsafe())});
    case dom::element_type::DOUBLE: return Value(element.get_double().value_unsafe());
    case dom::element_type::STRING: return Value(element.get_string().value_unsafe());
    case dom::element_type::BOOL: return Value(element.get_bool().value_unsafe());
    case dom::element_type::NULL_VALUE: break;
    }
    return Value();
}

// Builds Python objects straight from the parsed tape; names are shared
// between objects as json's decoder shares them.
class PythonBuilder {
public:
    py::object build(dom::element element) {
        switch (element.type()) {
        case dom::element_type::ARRAY: {
            dom::array array = element.get_array().value_unsafe();
            const std::size_t count = element_count(array);
            py::list list(static_cast<Py_ssize_t>(count));
            std::size_t i = 0;
            for (dom::element child : array) {
                if (i == count) {
                    break;  // never past the list's end
                }
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i++),
                                build(child).release().ptr());
            }
            return std::move(list);
        }
        case dom::element_type::OBJECT: {
            py::dict dict;
            dom::object object = element.get_object().value_unsafe();
            for (dom::key_value_pair field : object) {
                py::object value = build(field.value);
                if (PyDict_SetItem(dict.ptr(), name(field.key).ptr(), value.ptr()) != 0) {
                    throw py::error_already_set();
                }
            }
            return std::move(dict);
        }
        case dom::element_type::INT64:
            return py::reinterpret_steal<py::object>(
                PyLong_FromLongLong(element.get_int64().value_unsafe()));
        case dom::element_type::UINT64:
            return py::reinterpret_steal<py::object>(
                PyLong_FromUnsignedLongLong(element.get_uint64().value_unsafe()));
        case dom::element_type::DOUBLE:
            return py::reinterpret_steal<py::object>(
                PyFloat_FromDouble(element.get_double().value_unsafe()));
        case dom::element_type::STRING: return text(element.get_string().value_unsafe());
        case dom::element_type::BOOL: return py::bool_(element.get_bool().value_unsafe());
        case dom::element_type::NULL_VALUE: break;
        }
        return py::none();
    }

private:
    static py::object text(std::string_view utf8) {
        PyObject *object =
            PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
        if (object == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(object);
    }

    const py::object &name(std::string_view utf8) {
        auto it = names_.find(utf8);
        if (it == names_.end()) {
            it = names_.emplace(utf8, text(utf8)).first;  // views into the parser's tape
        }
        return it->second;
    }

    std::unordered_map<std::string_view, py::object> names_;
};

bool has_bom(std::string_view document) { return document.substr(0, 3) == "\xef\xbb\xbf"; }

// json.loads of the document's text, the text read as open() reads it.
py::object python_loads(std::string_view document) {
    files::check_utf8(document);
    std::string text(document);
    files::translate_newlines(text);
    py::str decoded = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (!decoded) {
        throw py::error_already_set();
    }
    return py::module_::import("json").attr("loads")(decoded);
}

// `padded`: simdjson may read SIMDJSON_PADDING bytes past the end (else it copies).
template <typename Build>
auto with_simdjson(std::string_view document, bool padded, Build build)
    -> std::optional<decltype(build(dom::element()))> {
    if (has_bom(document)) {
        return std::nullopt;  // json rejects it; simdjson would not
    }
    dom::parser parser;
    dom::element root;
    if (parser.parse(document.data(), document.size(), !padded).get(root) != simdjson::SUCCESS) {
        return std::nullopt;
    }
    return build(root);
}

bool has_padding(const std::string &document) {
    return document.capacity() >= document.size() + simdjson::SIMDJSON_PADDING;
}

Value parse_bytes(std::string_view document, bool padded) {
    if (auto value =
            with_simdjson(document, padded, [](dom::element root) { return to_value(root); })) {
        return std::move(*value);
    }
    return from_python(python_loads(document));
}

py::object parse_bytes_python(std::string_view document, bool padded) {
    PythonBuilder builder;
    if (auto object = with_simdjson(
            document, padded, [&builder](dom::element root) { return builder.build(root); })) {
        return std::move(*object);
    }
    return python_loads(document);
}

}  // namespace

std::optional<Value> try_parse(const std::string &document) {
    return with_simdjson(document, has_padding(document),
                         [](dom::element root) { return to_value(root); });
}

Value parse(const std::string &document) { return parse_bytes(document, has_padding(document)); }

py::object parse_python(const std::string &document) {
    return parse_bytes_python(document, has_padding(document));
}

Value read(py::handle path) {
    files::Mapped file(path);
    return parse_bytes(file.view(), file.readable_past_end(simdjson::SIMDJSON_PADDING));
}

py::object read_python(py::handle path) {
    files::Mapped file(path);
    return parse_bytes_python(file.view(), file.readable_past_end(simdjson::SIMDJSON_PADDING));
}

}  // namespace varkit::pm::json

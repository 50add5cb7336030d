// libFuzzer target over the shared JSON layer, with an embedded interpreter.
//   cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVARKIT_FUZZ=ON ...
//   build/fuzz/src/package_mapping/common/fuzz_json -dict=src/package_mapping/common/fuzz_json.dict
//   CORPUS
// For every input it checks, besides the sanitizers:
// - parse_python gives what json.loads gives (a value, or an exception of the same type);
// - the writer's text of that value is json.dumps(value, indent=4);
// - the text read back and written again is the same text;
// - the pure C++ value (try_parse), when simdjson takes the input, writes the same text.
#include "varkit/pm/json.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <pybind11/embed.h>
#include <string>

namespace py = pybind11;
namespace json = varkit::pm::json;

namespace {

py::module_ *python_json = nullptr;

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_json: %s\n", what);
    std::abort();
}

std::string utf8(const py::handle text) { return py::cast<std::string>(text); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static py::scoped_interpreter interpreter;
    static py::module_ module = py::module_::import("json");
    python_json = &module;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string document(reinterpret_cast<const char *>(data), size);
    py::object ours;
    py::object theirs;
    std::string our_error;
    std::string their_error;
    try {
        ours = json::parse_python(document);
    } catch (py::error_already_set &error) {
        our_error = utf8(py::type::handle_of(error.value()).attr("__name__"));
    }
    try {
        py::object text = py::bytes(document).attr("decode")("utf-8");
        text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");  // as open() reads
        theirs = python_json->attr("loads")(text);
    } catch (py::error_already_set &error) {
        their_error = utf8(py::type::handle_of(error.value()).attr("__name__"));
    }
    if (our_error != their_error) {
        fail("parse_python and json.loads disagree on failing");
    }
    if (!our_error.empty()) {
        return 0;
    }
    std::string text;
    try {
        text = json::dumps(json::from_python(ours));
    } catch (py::error_already_set &) {
        fail("a parsed value could not be written");
    }
    const std::string reference = utf8(python_json->attr("dumps")(ours, py::arg("indent") = 4));
    if (text != reference) {
        fail("the writer differs from json.dumps");
    }
    if (utf8(python_json->attr("dumps")(theirs, py::arg("indent") = 4)) != reference) {
        fail("parse_python and json.loads give different values");
    }
    if (json::dumps(json::from_python(json::parse_python(text))) != text) {
        fail("the written text does not read back to itself");
    }
    if (auto value = json::try_parse(document)) {
        if (json::dumps(*value) != text) {
            fail("the C++ value and the Python value write differently");
        }
    }
    return 0;
}

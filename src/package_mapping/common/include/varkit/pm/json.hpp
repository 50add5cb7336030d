// The JSON layer of the package-mapping data tools.
//
// Reading: simdjson parses the file's bytes; whatever it declines (malformed
// text, but also valid JSON it does not take: "\udXXX" escapes of lone
// surrogates, integers beyond 64 bits, NaN/Infinity, floats out of range, a
// leading byte-order mark) goes to the host's json module, which then either
// returns what json.load would or raises its json.JSONDecodeError. So a read
// gives exactly json.load(open(path)) — ordered, the last of duplicate names
// kept at the first one's place — or the error it would raise
// (FileNotFoundError, IsADirectoryError, UnicodeDecodeError, JSONDecodeError).
//
// Writing: one writer, byte-identical to json.dumps(value, indent=4) (which
// is also what json.dump(value, file, indent=4) writes): four spaces per
// level, one member or element per line, "," ending all lines but a
// container's last, ": " after names, [] and {}, ASCII only (\u escapes,
// surrogate pairs beyond the basic plane), floats in Python's repr, no final
// line break.
//
// Functions taking py::handle need the GIL and raise Python exceptions
// (pybind11::error_already_set). The pure C++ core is try_parse and the
// dump functions. Whole-file text reads (Python's text mode) are in files.hpp.
//
// Typical tool:
//     json::Value table = json::read(path);          // C++ value, fast path
//     ... work on table ...
//     json::write(out_path, result);                  // open(out, "w") + json.dump
// and for a Python-facing read_json:  return json::read_python(path);
#pragma once

#include "varkit/pm/files.hpp"
#include "varkit/pm/json_value.hpp"

#include <functional>
#include <optional>

#include <pybind11/pybind11.h>
#include <string>
#include <string_view>

namespace varkit::pm::json {

namespace py = pybind11;

// ---- Pure C++ ------------------------------------------------------------

// Parses `document` when simdjson accepts it; std::nullopt otherwise (see
// above: the caller must then let Python decide). A buffer from
// files::read_bytes carries the padding simdjson wants, so it is not copied.
std::optional<Value> try_parse(const std::string &document);

// Appends `value` in the fixed layout.
void dump(const Value &value, std::string &out);
std::string dumps(const Value &value);
// The same text handed to `consume` in pieces of about a megabyte, in order.
void dump_chunks(const Value &value, const std::function<void(std::string_view)> &consume);
// Appends repr(d) as Python writes it ("1e+16", "0.0001", "1.0", "-0.0");
// NaN and infinities as json writes them ("NaN", "Infinity", "-Infinity").
void append_float(double d, std::string &out);

// ---- With the interpreter --------------------------------------------------

// The document in `document` (the file's bytes): json.loads of its text.
Value parse(const std::string &document);
py::object parse_python(const std::string &document);

// json.load(open(path)) for a path given as str, bytes or os.PathLike.
Value read(py::handle path);
py::object read_python(py::handle path);

// with open(path, "w") as f: json.dump(value, f, indent=4)
// The text is written in pieces as it is made. The file is opened (created or
// truncated) before anything is converted, so a value json cannot write leaves
// the file empty (json.dump could leave the part it had written).
// Returns what it wrote: while files::still_written() says the file is that
// one, read(path) would give `value` back (as long as its objects have no
// repeated names), so a caller that reads back what it wrote may keep `value`.
files::Written write(py::handle path, const Value &value);
void write_python(py::handle path, py::handle value);

// Python objects from a value: dict, list, str, int, float, bool, None;
// members in order (a repeated name keeps its first place, last value).
py::object to_python(const Value &value);
// A value as json.dumps sees a Python object: dict (keys str, int, float,
// bool or None, turned into names as json does), list or tuple, str, int,
// float, bool, None. Anything else raises json's TypeError, a container that
// contains itself ValueError("Circular reference detected").
Value from_python(py::handle object);

}  // namespace varkit::pm::json

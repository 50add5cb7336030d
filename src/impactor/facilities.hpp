// The host facilities the impact check uses, each looked up in the module's
// namespace at the moment of the call (os.path, urljoin, json, open, the
// logger), so a caller that substitutes one sees the effect at once.
#pragma once

#include <optional>
#include <pybind11/pybind11.h>
#include <string>
#include <utility>
#include <varkit/host.hpp>

namespace varkit::impactor {

namespace py = pybind11;
using host::Globals;

using host::equals;
using host::truthy;

// ABI_LOG(level, message)
void log(const Globals &g, int level, py::handle message);

// Message text: every piece rendered as str() renders it, joined.
inline std::string piece(const char *text) { return text; }
inline std::string piece(const std::string &text) { return text; }
inline std::string piece(py::handle value) { return host::render(value); }
template <typename... Parts>
py::str text(const Parts &...parts) {
    std::string joined;
    (joined.append(piece(parts)), ...);
    return host::to_str(joined);
}

// first + rest... with Python's `+`, so a value that is not text fails the way
// Python's concatenation fails (TypeError).
template <typename... Rest>
py::object concat(py::object first, const Rest &...rest) {
    ((first = first + py::reinterpret_borrow<py::object>(rest)), ...);
    return first;
}

bool path_exists(const Globals &g, py::handle path);                           // os.path.exists
bool is_dir(const Globals &g, py::handle path);                                // os.path.isdir
py::object path_join(const Globals &g, py::handle head, py::handle tail);      // os.path.join
py::object url_join(const Globals &g, py::handle base, py::handle reference);  // urljoin
bool is_url_reachable(const Globals &g, py::handle location);

// open(path, mode, encoding="utf-8"[, errors=errors]) through the host.
py::object open_text(const Globals &g, py::handle path, const char *mode,
                     const char *errors = nullptr);

// Owns a file object and closes it when the scope ends (errors while closing
// during unwinding are dropped; close() reports them).
class OpenFile {
public:
    explicit OpenFile(py::object file) : file_(std::move(file)) {}
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    ~OpenFile();

    const py::object &file() const { return file_; }
    void close();

private:
    py::object file_;
    bool closed_ = false;
};

// A scope in which documents are fetched once (varkit.fetch.fetch_run, joining
// the run of the caller when there is one; a run begun here keeps the plain
// answers to faults).
class FetchRun {
public:
    explicit FetchRun(const Globals &g);
    FetchRun(const FetchRun &) = delete;
    FetchRun &operator=(const FetchRun &) = delete;
    ~FetchRun();

private:
    py::object scope_;
};

// json.loads of the whole text of a local file, read as UTF-8 text.
py::object read_json_file(const Globals &g, py::handle path);

// The path the dynamic loader would load for `libname` required by `requester`
// (locate_library: the requester's RPATH/RUNPATH, ld.so.conf, the default
// directories; objects of the requester's class and machine only), or "".
py::object located_library(const Globals &g, py::handle libname, py::handle requester);

// The package owning the copy of `libname` the loader would load for
// `requester` (get_pkgname_by_libname of that path; of the bare name where no
// copy is found).
py::object library_owner(const Globals &g, py::handle libname, py::handle requester);

// The JSON document at `path`: fetched when it is a URL that answers, else read
// from the local file. Without a path, logs `label` + path + " is not found."
// (level 3); with a path that leads nowhere, `label` + path + " is lost."
// (level 1); both give an empty optional.
std::optional<py::object> load_json_document(const Globals &g, const py::object &path,
                                             const char *label);

}  // namespace varkit::impactor

#include "facilities.hpp"

#include <varkit/host/unthrown.hpp>

#include <cerrno>

namespace varkit::impactor {

void log(const Globals &g, int level, py::handle message) { g.get("ABI_LOG")(level, message); }

bool path_exists(const Globals &g, py::handle path) {
    return truthy(g.get("os").attr("path").attr("exists")(path));
}

bool is_dir(const Globals &g, py::handle path) {
    return truthy(g.get("os").attr("path").attr("isdir")(path));
}

py::object path_join(const Globals &g, py::handle head, py::handle tail) {
    return g.get("os").attr("path").attr("join")(head, tail);
}

py::object url_join(const Globals &g, py::handle base, py::handle reference) {
    return g.get("urljoin")(base, reference);
}

bool is_url_reachable(const Globals &g, py::handle location) {
    return truthy(g.get("is_url_reachable")(location));
}

py::object open_text(const Globals &g, py::handle path, const char *mode, const char *errors) {
    py::object open = g.builtin("open");
    if (mode[0] == 'r') {
        // Opening a FIFO for reading waits for a writer that may never come, and a
        // device never ends: a document is read only when it is a regular file.
        py::object mode_bits = g.get("os").attr("stat")(path).attr("st_mode");
        if (!truthy(py::module_::import("stat").attr("S_ISREG")(mode_bits))) {
            host::raise_not_regular_file(path);
        }
    }
    if (errors != nullptr) {
        return open(path, mode, py::arg("encoding") = "utf-8", py::arg("errors") = errors);
    }
    return open(path, mode, py::arg("encoding") = "utf-8");
}

OpenFile::~OpenFile() {
    if (closed_ || !file_) {
        return;
    }
    host::run_in_destructor("varkit.impactor closing a file", [this] { file_.attr("close")(); });
}

void OpenFile::close() {
    closed_ = true;
    file_.attr("close")();
}

FetchRun::FetchRun(const Globals &g)
    : scope_(g.get("fetch").attr("fetch_run")(py::arg("faults_surface") = false)) {
    py::type::of(scope_).attr("__enter__")(scope_);
}

FetchRun::~FetchRun() {
    host::run_in_destructor("varkit.impactor ending a fetch run", [this] {
        py::type::of(scope_).attr("__exit__")(scope_, py::none(), py::none(), py::none());
    });
}

py::object read_json_file(const Globals &g, py::handle path) {
    OpenFile input(open_text(g, path, "r"));
    py::object content = input.file().attr("read")();
    input.close();
    return g.get("json").attr("loads")(content);
}

std::optional<py::object> load_json_document(const Globals &g, const py::object &path,
                                             const char *label) {
    if (!truthy(path)) {
        log(g, 3, text(label, path, " is not found."));
        return std::nullopt;
    }
    if (is_url_reachable(g, path)) {
        return g.get("get_remote_json")(path);
    }
    if (path_exists(g, path)) {
        return read_json_file(g, path);
    }
    log(g, 1, text(label, path, " is lost."));
    return std::nullopt;
}

py::object located_library(const Globals &g, py::handle libname, py::handle requester) {
    return g.get("locate_library")(libname, requester);
}

py::object library_owner(const Globals &g, py::handle libname, py::handle requester) {
    if (requester.is_none()) {
        return g.get("get_pkgname_by_libname")(libname);
    }
    py::object found = located_library(g, libname, requester);
    return g.get("get_pkgname_by_libname")(
        truthy(found) ? found : py::reinterpret_borrow<py::object>(libname));
}

}  // namespace varkit::impactor

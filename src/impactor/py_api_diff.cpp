#include "py_api_diff.hpp"

#include "facilities.hpp"

namespace varkit::impactor {

namespace {

// "<rpm>_<configured name up to its first '.'>.json"
py::object document_name(const Globals &g, const py::object &rpm) {
    py::object stem = g.conf("py_api_diff").attr("split")(".")[py::int_(0)];
    return concat(rpm, py::str("_"), stem, py::str(".json"));
}

// get_json_content_from_url gives the parsed document first. The document is
// an array holding the diff object first; a document that already is the
// object is taken as it is.
py::object diff_object(const py::object &document) {
    if (PyMapping_Check(document.ptr()) && !PySequence_Check(document.ptr())) {
        return document;
    }
    return document[py::int_(0)];
}

}  // namespace

py::object get_py_api_diff(const Globals &g, py::object rpm, py::object search_local_or_url,
                           py::object /*library_dict*/) {
    const bool is_url = is_url_reachable(g, search_local_or_url);
    py::object location = path_join(g, search_local_or_url, document_name(g, rpm));

    if (is_url) {
        if (!is_url_reachable(g, location)) {
            return py::none();
        }
        return diff_object(g.get("get_json_content_from_url")(location)[py::int_(0)]);
    }
    if (!path_exists(g, location)) {
        log(g, 3, text(location, " is not in local dir: ", search_local_or_url, "."));
        return py::none();
    }
    py::object document;
    try {
        document = read_json_file(g, location);
    } catch (py::error_already_set &error) {
        if (!error.matches(g.get("json").attr("JSONDecodeError"))) {
            throw;
        }
        log(g, 0, text("Failed to decode JSON: ", error.value()));
        // Within a varkit run, a document that is there but unreadable is not
        // "no document": the scripts that need it could not be checked.
        if (!truthy(g.get("fetch").attr("faults_surface")())) {
            return py::none();
        }
        py::str message = text(location, ": not a valid JSON document: ", error.value());
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw py::error_already_set();
    }
    return document[py::int_(0)];
}

}  // namespace varkit::impactor

#include "result_map.hpp"

namespace varkit::impactor {

bool has_key(py::handle map, const char *key) {
    py::str name(key);
    int found = PySequence_Contains(map.ptr(), name.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

py::object list_under(py::handle map, const char *key) {
    if (!has_key(map, key)) {
        map[py::str(key)] = py::list();
    }
    return map[py::str(key)];
}

void append_under(py::handle map, const char *key, py::handle entry) {
    list_under(map, key).attr("append")(entry);
}

void set_if_absent(py::handle map, const char *key, py::handle value) {
    if (!has_key(map, key)) {
        map[py::str(key)] = value;
    }
}

}  // namespace varkit::impactor

#include "file_record.hpp"

namespace varkit::impactor {

bool has_key(py::handle record, const char *key) {
    py::str name(key);
    int found = PySequence_Contains(record.ptr(), name.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

py::object list_under(py::handle record, const char *key) {
    if (!has_key(record, key)) {
        record[py::str(key)] = py::list();
    }
    return record[py::str(key)];
}

void append_under(py::handle record, const char *key, py::handle entry) {
    list_under(record, key).attr("append")(entry);
}

void set_if_absent(py::handle record, const char *key, py::handle value) {
    if (!has_key(record, key)) {
        record[py::str(key)] = value;
    }
}

}  // namespace varkit::impactor

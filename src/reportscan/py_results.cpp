// Conversions between the core's results and Python objects (see py_results.hpp).
#include "py_results.hpp"

#include <varkit/host.hpp>

namespace varkit::reportscan {

namespace host = varkit::host;

py::object to_py(const OptStr &value) {
    if (!value) {
        return py::none();
    }
    return host::to_str(*value);
}

py::list section_to_py(const Section &section) {
    py::list list;
    for (const Record &record : section) {
        py::dict dict;
        dict["header_name"] = to_py(record.header_name);
        PyObject *set = PySet_New(nullptr);
        if (set == nullptr) {
            throw py::error_already_set();
        }
        py::object symbols = py::reinterpret_steal<py::object>(set);
        for (const OptStr &symbol : record.symbols) {
            if (PySet_Add(set, to_py(symbol).ptr()) != 0) {
                throw py::error_already_set();
            }
        }
        dict["affected_symbols"] = symbols;
        list.append(dict);
    }
    return list;
}

py::list copy_result(const py::list &result) {
    py::list copy;
    for (py::handle section : result) {
        py::list records;
        for (py::handle record : section) {
            py::dict fresh;
            fresh["header_name"] = record["header_name"];
            PyObject *symbols = PySet_New(py::object(record["affected_symbols"]).ptr());
            if (symbols == nullptr) {
                throw py::error_already_set();
            }
            fresh["affected_symbols"] = py::reinterpret_steal<py::object>(symbols);
            records.append(fresh);
        }
        copy.append(records);
    }
    return copy;
}

}  // namespace varkit::reportscan

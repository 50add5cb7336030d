#include "summary_symbols.hpp"

#include "facilities.hpp"
#include "file_record.hpp"
#include "record_keys.hpp"

namespace varkit::impactor {

namespace {

py::object not_found() { return py::make_tuple(py::list(), false); }

// The library objects of a package object; none when it has no `library`.
py::object libraries_of(const py::handle &package) {
    return package.attr("get")("library", py::list());
}

bool names_library(const py::handle &library, const py::object &library_name) {
    return has_key(library, "so_name") && equals(library[py::str("so_name")], library_name);
}

}  // namespace

py::object get_removed_symbols_from_summary(const Globals &g, py::object summary_path,
                                            py::object library_name, py::object library_dict) {
    std::optional<py::object> summary = load_json_document(g, summary_path, "Summary file ");
    if (!summary) {
        return not_found();
    }

    py::list symbols;
    bool found = false;
    for (py::handle package : *summary) {
        for (py::handle library : libraries_of(package)) {
            if (names_library(library, library_name) && has_key(library, "removed_symbols")) {
                symbols.attr("extend")(library[py::str("removed_symbols")]);
                found = true;
            }
            if (names_library(library, library_name) && has_key(library, "lib_soname_ver_change")) {
                log(g, 3, text("lib_soname_ver_change: ", library_name));
                py::object change = library[py::str("lib_soname_ver_change")];
                py::dict record;
                record[key::soname_change::pkg_name] = library_owner(
                    g, library_name, library_dict.attr("get")(py::str(key::dest_file)));
                record[key::soname_change::old_name] = change[py::int_(0)];
                record[key::soname_change::new_name] = change[py::int_(1)];
                append_under(library_dict, key::lib_soname_ver_change, record);
                found = true;
            }
        }
    }
    return py::make_tuple(py::set(symbols), found);
}

}  // namespace varkit::impactor

#include "file_check.hpp"

#include "exec_impact.hpp"
#include "facilities.hpp"
#include "file_record.hpp"
#include "record_keys.hpp"

namespace varkit::impactor {

namespace {

bool is_type(const Globals &g, const py::object &file_type, const char *member) {
    return file_type.equal(g.get("FileType").attr(member));
}

bool is_elf_object(const Globals &g, const py::object &file_type) {
    return is_type(g, file_type, "DYNAMIC_LIBRARY") || is_type(g, file_type, "BINARY_EXECUTABLE");
}

struct ReportReading {
    py::object sections;  // the reader's document result
    py::object failure;   // None, or why `sections` is empty though the report exists
    bool kept = false;    // from the module's own reader: a kept reading is one object
};

// True while the module's `reportscan` is its own: its failure then comes back
// as a value from `scan_report`.
bool reads_natively(const py::object &reader) {
    py::object names = py::getattr(reader, "__dict__", py::none());
    return PyDict_Check(names.ptr()) &&
           Globals(py::reinterpret_borrow<py::dict>(names)).is_native("reportscan") &&
           py::hasattr(reader, "scan_report");
}

// What the reader recorded of its last call (a substituted reader may record nothing).
py::object recorded_failure(const py::object &reader) {
    return py::getattr(reader, "last_failure", py::none());
}

// with suppress_stdout(os.devnull): reportscan.reportscan(path)
ReportReading read_report_silently(const Globals &g, const py::object &report_path) {
    py::object reader = g.get("reportscan");
    const bool native = reads_natively(reader);
    if (native) {
        // The tree's index holds the reading of a report still as indexed.
        py::object indexed = g.get("indexed_reading")(report_path);
        if (!indexed.is_none()) {
            return {indexed, py::none(), true};
        }
    }
    py::object scope = g.get("suppress_stdout")(g.get("os").attr("devnull"));
    py::object exit = py::type::of(scope).attr("__exit__");
    py::type::of(scope).attr("__enter__")(scope);
    ReportReading reading{py::none(), py::none()};
    try {
        if (native) {
            // Quiet: the printed text would go to os.devnull; without it a kept reading
            // needs no text either.
            py::tuple outcome = reader.attr("scan_report")(report_path, py::arg("quiet") = true);
            reading = {outcome[0], outcome[1], true};
            if (reading.failure.is_none()) {
                // Beside a remote report's cached body, for the next run's 304.
                g.get("keep_reading")(report_path, reading.sections);
            }
        } else {
            reading.sections = reader.attr("reportscan")(report_path);
        }
    } catch (py::error_already_set &e) {
        // The scope sees the error (and may swallow it), as a with-statement would show it.
        if (truthy(exit(scope, e.type(), e.value(), e.trace()))) {
            return {py::none(), recorded_failure(reader)};
        }
        throw;
    }
    exit(scope, py::none(), py::none(), py::none());
    if (!native) {
        reading.failure = recorded_failure(reader);
    }
    return reading;
}

py::object symbol_table(const Globals &g) {
    py::object prettytable = g.get("prettytable");
    py::list columns;
    for (const char *title : {"Package Name", "Related file", "Symbol"}) {
        columns.append(title);
    }
    py::object table = prettytable.attr("PrettyTable")(columns);
    table.attr("align") = "l";
    // Newer releases name the constant through an enum; the value is the same.
    table.attr("hrules") = py::hasattr(prettytable, "HRuleStyle")
                               ? prettytable.attr("HRuleStyle").attr("ALL")
                               : prettytable.attr("ALL");
    return table;
}

// True for a table that holds no row (a table of another kind never counts as empty).
bool is_empty_table(const py::object &table) {
    py::object rows = py::getattr(table, "rows", py::none());
    return PyList_Check(rows.ptr()) && PyList_GET_SIZE(rows.ptr()) == 0;
}

// Where the changed symbols of `lib` came from, so that a verdict can say what
// changed for each symbol the file uses.
void record_changes_source(const py::object &library_dict, const py::object &lib,
                           const char *document, const py::object &location) {
    py::dict source;
    source[key::changes_source::library] = lib;
    source[key::changes_source::document] = document;
    source[key::changes_source::location] = location;
    append_under(library_dict, key::changed_symbols_from, source);
}

bool check_libraries(const Globals &g, const py::object &search, const py::object &dest_file,
                     const py::object &library_dict) {
    py::object used_symbols = g.get("get_undefined_symbols_from_file")(dest_file);
    py::object libs = g.get("find_req_libs")(dest_file);
    if (!truthy(libs)) {
        log(g, 3, concat(dest_file, py::str(" doesn't require any lib.")));
        return true;
    }
    library_dict[py::str(key::required_libs)] = libs;
    bool passed = true;
    // A table that got no row is handed to the next library: most libraries
    // match nothing, and making a table costs more than matching.
    py::object spare_table = py::none();
    for (py::handle lib_handle : libs) {
        auto lib = py::reinterpret_borrow<py::object>(lib_handle);
        py::object report_path = g.get("get_xml_report_path")(lib, search, library_dict);
        py::object total_symbols = py::set();
        py::object found_in_summary = py::bool_(false);
        if (truthy(report_path)) {
            ReportReading reading = read_report_silently(g, report_path);
            const py::object &sections = reading.sections;
            if (!truthy(sections) && truthy(reading.failure)) {
                // An unreadable report is no report without changes.
                py::list entry;
                entry.append(lib);
                entry.append(report_path);
                entry.append(reading.failure[py::str("error")]);
                append_under(library_dict, key::report_unreadable, entry);
            }
            if (truthy(sections)) {
                log(g, 3, py::str("following symbols will be checked:"));
                log(g, 3, sections);
                record_changes_source(library_dict, lib, "report", report_path);
                if (reading.kept) {  // worked out once per reading, not once per file
                    total_symbols = g.get("report_symbols")(sections);
                } else {
                    for (py::handle section : sections) {
                        for (py::handle record : section) {
                            total_symbols.attr("update")(record[py::str("affected_symbols")]);
                        }
                    }
                }
            }
        } else {
            py::object summary_path =
                g.get("get_log_report_path")(lib, search, library_dict, g.conf("summary_log"));
            py::object pair =
                g.get("get_removed_symbols_from_summary")(summary_path, lib, library_dict);
            py::tuple unpacked = py::tuple(pair);
            if (unpacked.size() != 2) {
                host::raise(PyExc_ValueError,
                            "expected 2 values to unpack from the summary lookup");
            }
            total_symbols = unpacked[0];
            found_in_summary = unpacked[1];
            if (truthy(total_symbols)) {
                record_changes_source(library_dict, lib, "summary", summary_path);
            }
        }
        if (truthy(total_symbols) && truthy(used_symbols)) {
            py::object table = spare_table.is_none() ? symbol_table(g) : spare_table;
            spare_table = py::none();
            py::object package = library_owner(g, lib, dest_file);
            py::object affected =
                g.get("find_symbols_in_file")(total_symbols, library_dict, package, lib, table,
                                              py::arg("symbol_list") = used_symbols);
            if (!truthy(affected) && is_empty_table(table)) {
                spare_table = table;
            }
            if (truthy(affected)) {
                passed = false;
            } else {
                append_under(library_dict, key::dest_not_affacted_by, lib);
            }
        }
        if (!truthy(used_symbols)) {
            append_under(library_dict, key::no_symbol_found_in_dest_file, lib);
        }
        if (truthy(found_in_summary) && !truthy(total_symbols)) {
            append_under(library_dict, key::no_symbol_changed_libs, lib);
        }
    }
    return passed;
}

bool check_python(const Globals &g, const py::object &search, const py::object &dest_file,
                  const py::object &library_dict) {
    py::object modules = g.get("get_modules_used_by")(dest_file);
    py::object packages = g.get("get_pkgs_by_module_name")(modules);
    if (truthy(packages)) {
        py::list holder;
        holder.append(packages);
        set_if_absent(library_dict, key::used_modules, holder);
    }
    for (py::handle item : packages.attr("items")()) {
        py::object package = item[py::int_(0)];
        py::object module_list = item[py::int_(1)];
        py::object diff = g.get("get_py_api_diff")(package, search, library_dict);
        if (!truthy(diff)) {
            continue;
        }
        g.get("surfacediff")
            .attr("check_dependence_affected")(diff[py::str("funcs_need_check")], package,
                                               dest_file, library_dict);
        for (py::handle module : module_list) {
            for (py::handle function : diff[py::str("funcs_need_check")]) {
                if (truthy(function.attr("startswith")(module))) {
                    append_under(library_dict, key::py_mod_maybe_change, function);
                }
            }
        }
    }
    return true;
}

bool check_configuration(const Globals &g, const py::object &file_type, const py::object &search,
                         const py::object &dest_file, const py::object &library_dict) {
    if (!is_elf_object(g, file_type)) {
        return true;
    }
    py::object packages = g.get("find_reqed_rpms")(dest_file);
    log(g, 3, text("Found required rpms: ", packages));
    if (packages.is_none()) {
        py::list names;
        for (py::handle lib : g.get("find_req_libs")(dest_file)) {
            names.append(g.get("get_pkgname_by_libname")(lib));
        }
        packages = names;
    }
    list_under(library_dict, key::required_rpms).attr("extend")(py::list(packages));
    for (py::handle package : packages) {
        py::object diff = g.get("get_rpm_conf_diff")(search, package, library_dict);
        py::list entry;
        entry.append(package);
        entry.append(diff);
        append_under(library_dict, key::rpm_conf_diff, entry);
    }
    return true;
}

bool check_executables(const Globals &g, const py::object &search, const py::object &dest_file,
                       const py::object &library_dict) {
    py::object report_path = g.get("get_exec_report_path")(search, library_dict);
    log(g, 3, text("Get exec report path: ", report_path));
    if (!truthy(report_path)) {
        return true;
    }
    py::object affected;
    py::object failure = py::none();
    if (g.is_native("check_exec_affected")) {
        ExecCheck outcome = check_exec(g, dest_file, report_path);
        affected = outcome.affected;
        failure = outcome.failure;
    } else {
        // A failure the substituted check recorded in this call: one recorded
        // before it (or none at all) is no failure of this file's.
        py::object before =
            g.dict().contains(kLastExecFailure) ? g.get(kLastExecFailure) : py::none();
        affected = g.get("check_exec_affected")(dest_file, report_path);
        py::object after =
            g.dict().contains(kLastExecFailure) ? g.get(kLastExecFailure) : py::none();
        if (!after.is(before)) {
            failure = std::move(after);
        }
    }
    log(g, 3, affected);
    if (!truthy(affected) && truthy(failure)) {
        py::list entry;
        entry.append(report_path);
        entry.append(failure[py::str("error")]);
        append_under(library_dict, key::exec_check_failed, entry);
    }
    list_under(library_dict, key::affected_exec_list).attr("extend")(affected);
    return !truthy(affected);
}

}  // namespace

bool search_source_for_dest_file(const Globals &g, py::object search_local_or_url,
                                 py::object search_dest_file, py::object library_dict,
                                 py::object check_type) {
    py::object file_type = g.get("get_file_type")(search_dest_file);
    log(g, 3, concat(search_dest_file, py::str(" type is "), py::str(file_type.attr("value"))));
    library_dict[py::str(key::dest_file)] = search_dest_file;

    py::object owner = g.get("get_belonged_rpm")(search_dest_file);
    set_if_absent(library_dict, key::belong_to_rpm, truthy(owner) ? owner : py::str(kTextFalse));
    if (truthy(g.get("is_32bit_file")(search_dest_file))) {
        set_if_absent(library_dict, key::file_32bit, py::str(kTextTrue));
    }

    if (check_type.equal(py::str("ABI"))) {
        if (is_elf_object(g, file_type)) {
            return check_libraries(g, search_local_or_url, search_dest_file, library_dict);
        }
        if (is_type(g, file_type, "PYTHON_FILE")) {
            return check_python(g, search_local_or_url, search_dest_file, library_dict);
        }
        if (is_type(g, file_type, "PHP_FILE")) {
            g.get("check_php_file_compat")(search_dest_file, library_dict);
        }
        return true;
    }
    if (check_type.equal(py::str("CONF"))) {
        return check_configuration(g, file_type, search_local_or_url, search_dest_file,
                                   library_dict);
    }
    if (check_type.equal(py::str("EXEC"))) {
        return check_executables(g, search_local_or_url, search_dest_file, library_dict);
    }
    return true;
}

}  // namespace varkit::impactor

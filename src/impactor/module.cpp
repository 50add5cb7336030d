// varkit.impactor: is a user's file affected by the upgrade?
//
// Import binds the siblings and host modules the checks call; every call looks
// them up again in the module's namespace, so callers may substitute them.
#include "conf_diff.hpp"
#include "document_location.hpp"
#include "drivers.hpp"
#include "exec_impact.hpp"
#include "file_check.hpp"
#include "php_compat.hpp"
#include "py_api_diff.hpp"
#include "report_location.hpp"
#include "summary_symbols.hpp"

#include <varkit/host.hpp>

VARKIT_MODULE(impactor, m) {
    namespace host = varkit::host;
    namespace impactor = varkit::impactor;
    using pybind11::arg;
    m.doc() = "Is a user's file affected by the upgrade?\n\n"
              "The drivers (use_local_result_check_local, use_remote_result_check_local,\n"
              "search_source_for_dest_dir) walk the user's files and call\n"
              "search_source_for_dest_file for each with a fresh per-file record; by the check\n"
              "kind (\"ABI\", \"CONF\" or \"EXEC\") it locates the documents of the result tree\n"
              "(ABI reports, summary log, executable-diff report, Python API diffs, configuration\n"
              "diffs), reads them and records in the map what touches the file. Every check\n"
              "answers True when the file passes. The siblings bound here (get_file_type,\n"
              "find_symbols_in_file, conf, ...) are looked up at each call, so callers may\n"
              "replace them.";

    host::bind_module(m, "os", "os");
    host::bind_module(m, "re", "re");
    host::bind_module(m, "json", "json");
    host::bind_module(m, "shlex", "shlex");
    host::bind_module(m, "subprocess", "subprocess");
    host::bind_module(m, "requests", "requests");
    host::bind_module(m, "prettytable", "prettytable");
    host::bind_from(m, "urllib.parse", {"urljoin", "urlparse"});

    host::bind_from(m, "varkit", {"conf"});
    host::bind_module(m, "reportscan", "varkit.reportscan");
    host::bind_module(m, "surfacediff", "varkit.surfacediff");
    host::bind_module(m, "fetch", "varkit.fetch");
    host::bind_from(m, "varkit.logger", {"ABI_LOG"});
    host::bind_from(m, "varkit.common",
                    {"is_valid_url", "is_url_reachable", "is_32bit_file", "get_file_type",
                     "FileType", "find_reqed_rpms", "get_pkgname_by_libname", "get_soname_from_lib",
                     "get_directory_list", "get_remote_json", "get_undefined_symbols_from_file",
                     "find_req_libs", "suppress_stdout", "find_symbols_in_file",
                     "get_json_content_from_url", "get_belonged_rpm", "locate_library"});
    host::bind_from(m, "varkit.modtrace", {"get_pkgs_by_module_name", "get_modules_used_by"});
    host::bind_from(m, "varkit.symbols", {"report_symbols"});
    host::bind_from(m, "varkit.tree_index", {"indexed_reading", "keep_reading"});

    // Report and document location.
    host::def(m, "get_xml_report_path", &impactor::get_xml_report_path, arg("libname"),
              arg("search_local_or_url"), arg("library_dict"),
              "Location of the ABI compliance report of a required library, or None.");
    host::def(m, "get_log_report_path", &impactor::get_log_report_path, arg("libname"),
              arg("search_local_or_url"), arg("library_dict"), arg("log_name"),
              "Location of the named log in the result source, or None.");
    host::def(m, "get_exec_report_path", &impactor::get_exec_report_path,
              arg("search_local_or_url"), arg("exec_dict"),
              "URL of the executable-diff report of a remote result source, or None.");

    m.attr(impactor::kLastExecFailure) = pybind11::none();

    // Per-kind checks.
    host::def(m, "check_exec_affected", &impactor::check_exec_affected, arg("local_file"),
              arg("exec_report_path"), impactor::kCheckExecAffectedDoc);
    host::def(m, "check_exec_outcome", &impactor::check_exec_outcome, arg("local_file"),
              arg("exec_report_path"),
              "(affected, failure): check_exec_affected's answer and, when it caught a failure,\n"
              "the failure ({\"location\", \"local_file\", \"error\"}), else None.");
    host::def(m, "get_removed_symbols_from_summary", &impactor::get_removed_symbols_from_summary,
              arg("summary_path"), arg("library_name"), arg("library_dict"),
              "(removed symbols, found) of a library according to the summary document.");
    host::def(m, "get_py_api_diff", &impactor::get_py_api_diff, arg("rpm"),
              arg("search_local_or_url"), arg("library_dict"),
              "The Python API diff object of a package, or None.");
    host::def(m, "check_php_file_compat", &impactor::check_php_file_compat, arg("php_file"),
              arg("php_dict"),
              "Scan a PHP file for compatibility with the configured PHP version.");
    host::def(m, "get_rpm_conf_diff", &impactor::get_rpm_conf_diff, arg("url"), arg("rpmname"),
              arg("library_dict"), "Configuration differences of a package in the result source.");
    host::def(m, "get_confdiff_list", &impactor::get_confdiff_list, arg("confdiff_path"),
              arg("rpmname"),
              "Configuration differences of a package in a configuration-diff document.");

    // The per-file check and the drivers.
    host::def(m, "search_source_for_dest_file", &impactor::search_source_for_dest_file,
              arg("search_local_or_url"), arg("search_dest_file"), arg("library_dict"),
              arg("check_type"),
              "Check one file for the kind \"ABI\", \"CONF\" or \"EXEC\"; True when it passes.");
    host::def(m, "search_source_for_dest_dir", &impactor::search_source_for_dest_dir,
              arg("search_local"), arg("check_local_dir"), arg("result"), arg("check_type"),
              "Check every file under a directory; True when all pass.");
    host::def(m, "use_local_result_check_local", &impactor::use_local_result_check_local,
              arg("search_local"), arg("check_local"), arg("result"), arg("check_type"),
              "Check a file or directory against a local result directory.");
    host::def(m, "use_remote_result_check_local", &impactor::use_remote_result_check_local,
              arg("search_remote"), arg("check_local"), arg("result"), arg("check_type"),
              "Check files or directories (comma-separated) against a remote result tree.");
}

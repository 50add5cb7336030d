// The keys of the per-file result record, as the C++ checks write them.
//
// python/varkit/record.py declares the whole record with its value types;
// tests/test_record.py holds these spellings equal to it.
#pragma once

namespace varkit::impactor::key {

inline constexpr char dest_file[] = "dest_file";
inline constexpr char belong_to_rpm[] = "belong_to_rpm";
inline constexpr char file_32bit[] = "32bit_file";
inline constexpr char required_libs[] = "required_libs";
inline constexpr char req_libs_not_found[] = "req_libs_not_found";
inline constexpr char libname_refused[] = "libname_refused";
inline constexpr char library_found_at[] = "library_found_at";
inline constexpr char report_not_found[] = "report_not_found";
inline constexpr char report_not_xml[] = "report_not_xml";
inline constexpr char report_unreadable[] = "report_unreadable";
inline constexpr char log_report_not_found[] = "log_report_not_found";
inline constexpr char lib_soname_ver_change[] = "lib_soname_ver_change";
inline constexpr char changed_symbols_from[] = "changed_symbols_from";
inline constexpr char dest_not_affacted_by[] = "dest_not_affacted_by";
inline constexpr char no_symbol_found_in_dest_file[] = "no_symbol_found_in_dest_file";
inline constexpr char no_symbol_changed_libs[] = "no_symbol_changed_libs";
inline constexpr char used_modules[] = "used_modules";
inline constexpr char py_mod_maybe_change[] = "py_mod_maybe_change";
inline constexpr char pass_compat_check[] = "pass_compat_check";
inline constexpr char required_rpms[] = "required_rpms";
inline constexpr char rpm_conf_diff[] = "rpm_conf_diff";
inline constexpr char affected_exec_list[] = "affected_exec_list";
inline constexpr char exec_check_failed[] = "exec_check_failed";

}  // namespace varkit::impactor::key

// Fields of a `changed_symbols_from` entry.
namespace varkit::impactor::key::changes_source {
inline constexpr char library[] = "library";
inline constexpr char document[] = "document";
inline constexpr char location[] = "location";
}  // namespace varkit::impactor::key::changes_source

// Fields of a `lib_soname_ver_change` entry.
namespace varkit::impactor::key::soname_change {
inline constexpr char pkg_name[] = "pkg_name";
inline constexpr char old_name[] = "old";
inline constexpr char new_name[] = "new";
}  // namespace varkit::impactor::key::soname_change

namespace varkit::impactor {

// `text` values of the record: the checks spell booleans and the missing
// executable-diff report this way.
inline constexpr char kTextTrue[] = "True";
inline constexpr char kTextFalse[] = "False";
inline constexpr char kExecReportMarker[] = "EXEC_REPORT";

}  // namespace varkit::impactor

"""Plain-Python rendering of the impact check's ABI path for ELF files: the
directory walk, the per-file library check, the report location and the
summary lookup, over the same host helpers as varkit.impactor. The benchmark's
baseline; the package never imports it.
"""

import json
import os
from urllib.parse import urljoin

from prettytable import HRuleStyle, PrettyTable

from oracles import reportscan_baseline
from varkit import conf
from varkit.common import (
    FileType,
    find_req_libs,
    find_symbols_in_file,
    get_belonged_rpm,
    get_directory_list,
    get_file_type,
    get_pkgname_by_libname,
    get_remote_json,
    get_soname_from_lib,
    get_undefined_symbols_from_file,
    is_32bit_file,
    is_url_reachable,
    locate_library,
    suppress_stdout,
)
from varkit.logger import ABI_LOG


def library_owner(libname, requester):
    """The package of the copy the loader loads for ``requester`` (of ``libname`` without one)."""
    if requester is None:
        return get_pkgname_by_libname(libname)
    return get_pkgname_by_libname(locate_library(libname, requester) or libname)


def get_xml_report_path(libname, search_local_or_url, library_dict):
    if isinstance(libname, str) and ("/" in libname or libname in (".", "..")):
        library_dict.setdefault("libname_refused", []).append(libname)
        return None
    is_url = is_url_reachable(search_local_or_url)
    # The copy the loader loads for the file; one outside /lib64 and /lib is recorded.
    lib_path = locate_library(libname, library_dict.get("dest_file"))
    if not lib_path:
        library_dict.setdefault("req_libs_not_found", []).append(libname)
        return None
    if os.path.dirname(lib_path) not in ("/lib64", "/lib"):
        library_dict.setdefault("library_found_at", {})[libname] = lib_path
    pkg_name = get_pkgname_by_libname(lib_path)
    soname = get_soname_from_lib(lib_path)
    lib_path = soname or libname
    if is_url:
        url_libname_path = urljoin(
            search_local_or_url, "compat_reports/" + pkg_name + "/" + lib_path + "/"
        )
        url_list = get_directory_list(url_libname_path)
        if not url_list:
            library_dict.setdefault("report_not_found", []).append([pkg_name, libname])
            return None
        xml_report_path = urljoin(url_libname_path, str(url_list[0]) + "/compat_report.xml")
    else:
        libname_path = os.path.join(
            search_local_or_url, "compat_reports/" + pkg_name + "/" + lib_path
        )
        if not os.path.exists(libname_path):
            library_dict.setdefault("report_not_found", []).append([pkg_name, libname])
            return None
        xml_report_path = None
        for entry in os.listdir(libname_path):
            if os.path.isdir(os.path.join(libname_path, entry)):
                xml_report_path = os.path.join(libname_path, entry + "/compat_report.xml")
                break
        if xml_report_path is None or not os.path.exists(xml_report_path):
            ABI_LOG(
                3,
                f"{libname} report is not found in search source {xml_report_path}. "
                "The library name may have changed.",
            )
            library_dict.setdefault("report_not_found", []).append([pkg_name, libname])
            return None
    ABI_LOG(3, "xml_report_path: " + xml_report_path)
    return xml_report_path


def get_log_report_path(libname, search_local_or_url, library_dict, log_name):
    if is_url_reachable(search_local_or_url):
        candidate = urljoin(search_local_or_url, log_name)
        if not is_url_reachable(candidate):
            library_dict.setdefault("log_report_not_found", []).append([log_name, libname])
            return None
    else:
        candidate = os.path.join(search_local_or_url, log_name)
        if not os.path.exists(candidate):
            library_dict.setdefault("log_report_not_found", []).append([log_name, libname])
            return None
    ABI_LOG(3, "summary_path: " + candidate)
    return candidate


def get_removed_symbols_from_summary(summary_path, library_name, library_dict):
    if not summary_path:
        ABI_LOG(3, "Summary file " + str(summary_path) + " is not found.")
        return [], False
    if is_url_reachable(summary_path):
        document = get_remote_json(summary_path)
    elif os.path.exists(summary_path):
        with open(summary_path) as handle:
            document = json.load(handle)
    else:
        ABI_LOG(1, "Summary file " + summary_path + " is lost.")
        return [], False
    symbols, found = [], False
    for package in document:
        for library in package.get("library", []):
            if library.get("so_name") == library_name and "removed_symbols" in library:
                symbols.extend(library["removed_symbols"])
                found = True
            if library.get("so_name") == library_name and "lib_soname_ver_change" in library:
                ABI_LOG(3, "lib_soname_ver_change: " + library_name)
                change = library["lib_soname_ver_change"]
                library_dict.setdefault("lib_soname_ver_change", []).append(
                    {
                        "pkg_name": library_owner(library_name, library_dict.get("dest_file")),
                        "old": change[0],
                        "new": change[1],
                    }
                )
                found = True
    return set(symbols), found


def search_source_for_dest_file(search_local_or_url, search_dest_file, library_dict, check_type):
    file_type = get_file_type(search_dest_file)
    ABI_LOG(3, search_dest_file + " type is " + str(file_type.value))
    library_dict["dest_file"] = search_dest_file
    belong_rpm = get_belonged_rpm(search_dest_file)
    library_dict.setdefault("belong_to_rpm", belong_rpm if belong_rpm else "False")
    if is_32bit_file(search_dest_file):
        library_dict.setdefault("32bit_file", "True")
    if check_type != "ABI" or file_type not in (
        FileType.DYNAMIC_LIBRARY,
        FileType.BINARY_EXECUTABLE,
    ):
        return True
    used_symbols = get_undefined_symbols_from_file(search_dest_file)
    libs = find_req_libs(search_dest_file)
    if not libs:
        ABI_LOG(3, search_dest_file + " doesn't require any lib.")
        return True
    library_dict["required_libs"] = libs
    ret = True
    for lib in libs:
        xml_report_path = get_xml_report_path(lib, search_local_or_url, library_dict)
        total_symbols, found_lib_in_summary = set(), False
        if xml_report_path:
            with suppress_stdout(os.devnull):
                global_affected_symbols = reportscan_baseline.reportscan(xml_report_path)
            if global_affected_symbols:
                ABI_LOG(3, "following symbols will be checked:")
                ABI_LOG(3, global_affected_symbols)
                library_dict.setdefault("changed_symbols_from", []).append(
                    {"library": lib, "document": "report", "location": xml_report_path}
                )
                for section in global_affected_symbols:
                    for record in section:
                        total_symbols.update(record["affected_symbols"])
        else:
            summary_path = get_log_report_path(
                lib, search_local_or_url, library_dict, conf.summary_log
            )
            total_symbols, found_lib_in_summary = get_removed_symbols_from_summary(
                summary_path, lib, library_dict
            )
            if total_symbols:
                library_dict.setdefault("changed_symbols_from", []).append(
                    {"library": lib, "document": "summary", "location": summary_path}
                )
        if total_symbols and used_symbols:
            table = PrettyTable(["Package Name", "Related file", "Symbol"])
            table.align = "l"
            table.hrules = HRuleStyle.ALL
            pkg_name = library_owner(lib, library_dict.get("dest_file"))
            if find_symbols_in_file(
                total_symbols, library_dict, pkg_name, lib, table, symbol_list=used_symbols
            ):
                ret = False
            else:
                library_dict.setdefault("dest_not_affacted_by", []).append(lib)
        if not used_symbols:
            library_dict.setdefault("no_symbol_found_in_dest_file", []).append(lib)
        if found_lib_in_summary and not total_symbols:
            library_dict.setdefault("no_symbol_changed_libs", []).append(lib)
    return ret


def search_source_for_dest_dir(search_local, check_local_dir, result, check_type):
    compat = True
    for root, dirs, files in os.walk(check_local_dir):
        if os.path.abspath(root) == os.path.abspath(check_local_dir) == "/":
            dirs[:] = [d for d in dirs if d not in ("proc", "sys", "dev", "run")]
        for name in files:
            library_dict = {}
            if not search_source_for_dest_file(
                search_local, os.path.join(root, name), library_dict, check_type
            ):
                compat = False
            result["library"].append(library_dict)
    return compat

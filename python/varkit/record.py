"""The per-file result record: every key a check may write, in one place.

One record is made for each checked file. The impact check (varkit.impactor)
and the helpers it calls fill it, the `varkit` command adds the keys of
`COMMAND_KEYS` and the verdict, and varkit.verdict reads it. The C++ writers
spell the keys through src/impactor/record_keys.hpp, which a test holds
equal to `WRITTEN_BY_THE_CHECK` here.

Most values are lists that grow as entries are appended; a record may already
hold entries from an earlier check of the same file, and they are kept.
"""

from __future__ import annotations

from typing import Any, Dict, List, TypedDict

# "True"/"False" as text: how `32bit_file` and `belong_to_rpm` spell booleans.
TEXT_TRUE = "True"
TEXT_FALSE = "False"
# Element 0 of the `report_not_found` entry that says the executable-diff report is missing.
EXEC_REPORT_MARKER = "EXEC_REPORT"


class ChangesSource(TypedDict):
    """Where the changed symbols of one library came from."""

    library: str
    document: str  # "report" or "summary"
    location: str


class _AffectedSymbolKeys(TypedDict):
    library: str
    package: str
    symbol: str  # as the report spells it


class AffectedSymbol(_AffectedSymbolKeys, total=False):
    demangled: str  # the C++ name as c++filt writes it, added by the `varkit` command


class SymbolMatch(TypedDict):
    library: str
    report_symbol: str
    file_symbol: str
    how: str  # "exact", "version" or "ctor-dtor-variant"


class SonameChange(TypedDict):
    pkg_name: str
    old: str
    new: str


class ReportFailure(TypedDict):
    """Why a report reading came back empty (varkit.reportscan's failure record)."""

    xml_path_or_url: str
    message: str  # what was logged
    error: str


class ExecFailure(TypedDict):
    """Why the executable check answered [] (varkit.impactor's failure record)."""

    location: str  # the executable-diff report
    local_file: str
    error: str


class PythonFunctionUse(TypedDict):
    package: str
    function: str


# The functional form: "32bit_file" is not an identifier.
FileRecord = TypedDict(
    "FileRecord",
    {
        # Written for every file.
        "dest_file": str,
        "belong_to_rpm": str,  # the owning package, or TEXT_FALSE
        "32bit_file": str,  # TEXT_TRUE, only for 32-bit files
        # ABI check of executables and libraries.
        "required_libs": List[str],
        "req_libs_not_found": List[str],
        "libname_refused": List[str],  # names that are not plain file names
        "library_found_at": Dict[str, str],  # found outside /lib64 and /lib: name -> path
        "report_not_found": List[List[Any]],  # [package, library] or [EXEC_REPORT_MARKER, None]
        "report_not_xml": List[List[str]],  # [package, library, directory]
        "report_unreadable": List[List[str]],  # [library, location, error]
        "log_report_not_found": List[List[str]],  # [document, library]
        "lib_soname_ver_change": List[SonameChange],
        "changed_symbols_from": List[ChangesSource],
        "affected_symbols": List[AffectedSymbol],
        "symbol_matches": List[SymbolMatch],
        "dest_not_affacted_by": List[str],
        "no_symbol_found_in_dest_file": List[str],
        "no_symbol_changed_libs": List[str],
        # ABI check of Python and PHP files.
        "used_modules": List[Dict[str, List[str]]],
        "py_mod_maybe_change": List[str],
        "py_affected_functions": List[PythonFunctionUse],
        "pass_compat_check": bool,
        # Configuration check.
        "required_rpms": List[str],
        "rpm_conf_diff": List[List[Any]],  # [package, configuration difference]
        # Executable check.
        "affected_exec_list": List[Any],  # [name, diff URL] pairs
        "exec_check_failed": List[List[str]],  # [location, error]
        # Added by the `varkit` command.
        "check_type": str,
        "check_failed": List[List[str]],  # [error type, text]
        "file_unreadable": List[str],
        "walk_error": List[str],
        "interrupted": List[str],
        "py_imports_unresolved": List[List[Any]],  # [module, result document or None]
        "verdict": str,
        "reasons": List[str],
        "notes": List[str],
    },
    total=False,
)

# Keys the `varkit` command writes around the check; all other keys come from the check.
COMMAND_KEYS = frozenset(
    {
        "check_type",
        "check_failed",
        "file_unreadable",
        "walk_error",
        "interrupted",
        "py_imports_unresolved",
        "verdict",
        "reasons",
        "notes",
    }
)
# Keys the helpers written in Python add (varkit.urls, elf, packages, symbols and surfacediff).
WRITTEN_BY_HELPERS = frozenset({"affected_symbols", "symbol_matches", "py_affected_functions"})
ALL_KEYS = frozenset(FileRecord.__annotations__)
WRITTEN_BY_THE_CHECK = ALL_KEYS - COMMAND_KEYS - WRITTEN_BY_HELPERS


class CheckResult(TypedDict, total=False):
    """What the `varkit` command prints: the records and the overall verdict."""

    library: List[FileRecord]  # one record per checked file, in the order checked
    verdict: str
    files: Dict[str, int]  # verdict -> number of files
    meta: Dict[str, Any]  # version, location, checks, targets, started
    interrupted: str  # the signal that stopped the run
    error: str  # an error of varkit itself, outside any one file's check

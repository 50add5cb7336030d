"""One honest verdict per checked file, from what the checks recorded.

A file is

- "affected" when it uses a symbol the upgrade removed or changed, requires a
  shared object the upgrade renames, names an executable whose output
  changed, or fails the PHP compatibility scan;
- "maybe affected" when a Python module it imports has changed functions, or
  a package it depends on changes configuration files;
- "not checked" when something needed for the check was missing or
  unreadable: a report, a result document, an installed library, the check
  itself for this location;
- "no check" when none of the requested checks applies to this kind of file
  (a shell script or a static archive under the ABI check): nothing was
  missing, there is nothing to check;
- "not affected" otherwise.

The first that applies wins. Everything that led to the verdict is listed in
its reasons, and notes say what was looked at without counting against it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping, Optional, cast

from varkit.record import EXEC_REPORT_MARKER, FileRecord

AFFECTED = "affected"
MAYBE_AFFECTED = "maybe affected"
NOT_CHECKED = "not checked"
NO_CHECK = "no check"
NOT_AFFECTED = "not affected"
# Every verdict, worst first.
VERDICTS = (AFFECTED, MAYBE_AFFECTED, NOT_CHECKED, NO_CHECK, NOT_AFFECTED)

# Exit status bits of the `varkit` command, in the positions ABI tools use
# (1 error, 2 usage, 4 change to review, 8 incompatible): a crash or a check
# that could not be made never reads as a verdict on the files.
EXIT_NOT_CHECKED = 1
EXIT_USAGE = 2
EXIT_MAYBE_AFFECTED = 4
EXIT_AFFECTED = 8
EXIT_BITS = {
    AFFECTED: EXIT_AFFECTED,
    MAYBE_AFFECTED: EXIT_MAYBE_AFFECTED,
    NOT_CHECKED: EXIT_NOT_CHECKED,
    NO_CHECK: 0,
    NOT_AFFECTED: 0,
}

_ELF_TYPES = ("BINARY_EXECUTABLE", "DYNAMIC_LIBRARY")
_ABI_TYPES = _ELF_TYPES + ("PYTHON_FILE", "PHP_FILE")


@dataclass
class Verdict:
    affected: list[str] = field(default_factory=list)
    maybe: list[str] = field(default_factory=list)
    not_checked: list[str] = field(default_factory=list)
    no_check: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    @property
    def verdict(self) -> str:
        if self.affected:
            return AFFECTED
        if self.maybe:
            return MAYBE_AFFECTED
        if self.not_checked:
            return NOT_CHECKED
        if self.no_check:
            return NO_CHECK
        return NOT_AFFECTED

    @property
    def reasons(self) -> list[str]:
        return self.affected + self.maybe + self.not_checked + self.no_check


def _pairs(entries: Iterable[Any]) -> Iterable[tuple[Any, Any]]:
    for entry in entries:
        if isinstance(entry, (list, tuple)) and len(entry) >= 2:
            yield entry[0], entry[1]


def _type_name(file_type: Any) -> str:
    return getattr(file_type, "name", str(file_type))


def _library_findings(entry: FileRecord, verdict: Verdict) -> None:
    uses = []
    for record in entry.get("affected_symbols", []):
        from varkit.symbol_changes import symbol_use  # reads reports: only when needed

        use = symbol_use(
            record.get("symbol"), record.get("library"), entry.get("changed_symbols_from")
        )
        uses.append(use)
        if use.note and use.note not in verdict.notes:
            verdict.notes.append(use.note)
    # The worst change first: a removed symbol, then by severity.
    for use in sorted(uses, key=lambda use: use.rank):
        (verdict.maybe if use.source_only else verdict.affected).append(use.reason)
    for library, location, error in (e for e in entry.get("report_unreadable", []) if len(e) == 3):
        verdict.not_checked.append(
            f"the report of {library} could not be read ({location}: {error})"
        )
    for library in entry.get("req_libs_not_found", []):
        from varkit.elf import unloadable_copies

        path = entry.get("dest_file")
        others = unloadable_copies(library, path) if isinstance(path, str) else []
        if others:
            verdict.not_checked.append(
                f"{library} cannot be loaded: the copies where the loader looks "
                f"({', '.join(others)}) are of another ELF class or machine than this file"
            )
        else:
            verdict.not_checked.append(
                f"{library} is not where the loader looks for it (the file's RPATH/RUNPATH, "
                "the directories of ld.so.conf, the standard and multiarch directories)"
            )
    for library in entry.get("libname_refused", []):
        verdict.not_checked.append(
            f"the required library name {library} is not a plain file name: no report was "
            "looked up for it"
        )
    for package, library, directory in (e for e in entry.get("report_not_xml", []) if len(e) == 3):
        verdict.not_checked.append(
            f"the results hold no XML report for {library} ({package}), only an HTML one in "
            f"{directory}: reports must be written with -xml"
        )
    found_at = entry.get("library_found_at")
    if isinstance(found_at, dict):
        for library, path in found_at.items():
            verdict.notes.append(f"{library} was found at {path}")
    for document, what in _pairs(entry.get("log_report_not_found", [])):
        verdict.not_checked.append(f"the result document {document} is missing (needed for {what})")

    # A library without a report was still checked when the summary knew it.
    through_summary = (
        set(entry.get("dest_not_affacted_by", []))
        | set(entry.get("no_symbol_changed_libs", []))
        | {r.get("library") for r in entry.get("affected_symbols", [])}
    )
    missing_documents = {what for _, what in _pairs(entry.get("log_report_not_found", []))}
    missing_documents |= {e[1] for e in entry.get("report_not_xml", []) if len(e) == 3}
    for package, library in _pairs(entry.get("report_not_found", [])):
        if (
            package == EXEC_REPORT_MARKER
            or library in through_summary
            or library in missing_documents
        ):
            continue
        if library in entry.get("no_symbol_found_in_dest_file", []):
            continue
        verdict.notes.append(
            f"{library} ({package or 'no package'}) is not part of the upgrade results"
        )
    for library in entry.get("dest_not_affacted_by", []):
        verdict.notes.append(f"{library} changed, but not in symbols this file uses")
    # The old shared object is gone after the upgrade: the program no longer
    # loads, whatever symbols the new one keeps.
    for change in entry.get("lib_soname_ver_change", []):
        verdict.affected.append(
            f"requires {change.get('old')}, which the upgrade replaces by {change.get('new')}: "
            "rebuild the program, or keep the old library installed"
        )


# Keys the `varkit` command adds when a file could not be checked at all.
_BLOCKING = (
    ("file_unreadable", "the file could not be checked: {}"),
    ("walk_error", "the directory could not be read: {}"),
    ("check_failed", None),
    ("interrupted", "{}"),
)


def blocked(entry: FileRecord) -> bool:
    """True when the file's own check never ran to its end."""
    fields = cast(Mapping[str, Any], entry)
    return any(fields.get(key) for key, _ in _BLOCKING)


def _blocking_reasons(entry: FileRecord, verdict: Verdict) -> None:
    fields = cast(Mapping[str, Any], entry)
    for key, template in _BLOCKING:
        for detail in fields.get(key, []):
            if template is None:
                kind, message = (
                    (list(detail) + ["", ""])[:2]
                    if isinstance(detail, (list, tuple))
                    else ("", detail)
                )
                verdict.not_checked.append(f"the check could not be completed: {message or kind}")
            else:
                verdict.not_checked.append(template.format(detail))


def judge(entry: FileRecord, check_type: str, remote: bool, file_type: Optional[Any]) -> Verdict:
    """The verdict on one per-file record of the given check kind."""
    verdict = Verdict()
    _blocking_reasons(entry, verdict)
    if blocked(entry):
        file_type = None
    type_name = _type_name(file_type) if file_type is not None else None

    _library_findings(entry, verdict)
    for name, url in _pairs(entry.get("affected_exec_list", [])):
        verdict.affected.append(f"calls {name}, whose output changed (diff: {url})")
    if entry.get("pass_compat_check") is False:
        verdict.affected.append("fails the PHP compatibility scan for the target PHP version")
    for function in entry.get("py_mod_maybe_change", []):
        verdict.maybe.append(f"imports a module whose function {function} changed")
    for record in entry.get("py_affected_functions", []):
        verdict.maybe.append(
            f"calls {record.get('function')}, changed in package {record.get('package')}"
        )
    for module, document in _pairs(entry.get("py_imports_unresolved", [])):
        if document:
            verdict.not_checked.append(
                f"imports {module}, which is not installed here, while the results list "
                f"changed functions in {document}: install it to check this script's uses"
            )
        else:
            verdict.notes.append(f"imports {module}, which is not installed here: not followed")
    for package, diff in _pairs(entry.get("rpm_conf_diff", [])):
        if isinstance(diff, dict) and diff.get("config_diffs"):
            verdict.maybe.append(
                f"package {package} changes {len(diff['config_diffs'])} configuration file(s)"
            )
    for marker, _ in _pairs(entry.get("report_not_found", [])):
        if marker == EXEC_REPORT_MARKER:
            verdict.not_checked.append("the executable-diff report is missing from the results")
    for location, error in _pairs(entry.get("exec_check_failed", [])):
        verdict.not_checked.append(f"the executable check failed ({location}: {error})")

    covered = _ABI_TYPES if check_type == "ABI" else _ELF_TYPES if check_type == "CONF" else None
    if covered is not None and type_name is not None and type_name not in covered:
        from varkit.file_kinds import describe

        what = describe(str(entry.get("dest_file", "")))
        check = "ABI check" if check_type == "ABI" else "configuration check"
        verdict.no_check.append(
            f"{what}: the {check} covers programs, shared libraries"
            + (", Python and PHP files" if check_type == "ABI" else "")
        )
    if check_type == "ABI" and type_name == "PHP_FILE" and "pass_compat_check" not in entry:
        verdict.not_checked.append("the PHP compatibility scanner could not be loaded")
    if check_type == "EXEC" and not remote:
        verdict.not_checked.append("the executable check needs a remote result location")
    return verdict


def exit_status(verdicts: Iterable[str]) -> int:
    status = 0
    for name in verdicts:
        status |= EXIT_BITS[name]
    return status


def overall(verdicts: list[str]) -> str:
    """The worst verdict; files that no check covers count only when they are all there is."""
    for name in (AFFECTED, MAYBE_AFFECTED, NOT_CHECKED, NOT_AFFECTED):
        if name in verdicts:
            return name
    return NO_CHECK if NO_CHECK in verdicts else NOT_AFFECTED

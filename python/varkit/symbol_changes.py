"""What an ABI report says about each changed symbol, for the reasons of a verdict.

The report reader returns only the names of the symbols a program may miss or
misuse; the reasons of a verdict name the change itself: removed, or the
problem and its change text, with the severity. This module reads those from
the report the file check already used (a local path or an http(s) URL), once
per report and process.

Reading here never fails a check: a report that cannot be read again gives no
details, and the caller says so.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Optional, Union

import requests
from lxml import etree

from varkit import fetch


@dataclass(frozen=True)
class Change:
    """One reason a report lists a symbol."""

    kind: str  # "removed", "parameter added", ...
    severity: Optional[str] = None  # "High", "Medium", "Low"; None for a removed symbol
    text: str = ""  # the report's change text, placeholders filled in
    type_name: Optional[str] = None  # the changed type through which the symbol is affected
    problem_id: str = ""  # the report's identifier of the problem ("Renamed_Parameter")

    def describe(self) -> str:
        what = f"type {self.type_name}: {self.kind}" if self.type_name else self.kind
        if self.severity:
            what += f" (severity {self.severity})"
        return f"{what}: {self.text}" if self.text else what


SymbolChanges = dict[str, list[Change]]


class ReportUnavailable(Exception):
    """The report could not be read again (the message says why)."""


# Problem identifiers name the subject and, in most cases, what happened to it
# ("Added_Parameter", "Return_Type", "DataType_Size"); the words read better
# in the order subject, change.
_VERBS = {
    "Added": "added",
    "Removed": "removed",
    "Moved": "moved",
    "Renamed": "renamed",
    "Changed": "changed",
}
_WORDS = {
    "DataType": "type",
    "BaseType": "base type",
    "PointerLevel": "pointer level",
    "VTable": "v-table",
    "VaList": "va_list",
}
_HAPPENED = {"Became", "Changed", "Increased", "Decreased", "Added", "Removed", "Replacement"}


def _words(parts: list[str]) -> str:
    return " ".join(_WORDS.get(part, part.lower()) for part in parts)


def problem_kind(problem_id: str) -> str:
    """A short phrase for a problem identifier: "Added_Parameter" -> "parameter added"."""
    parts = [part for part in problem_id.split("_") if part]
    if not parts:
        return "changed"
    if parts[0] in _VERBS:
        groups = " ".join(parts[1:]).split(" And ")
        subject = _words(groups[0].split()) if groups[0] else ""
        phrase = f"{subject} {_VERBS[parts[0]]}".strip()
        rest = [_words(group.split()) for group in groups[1:] if group]
        return phrase + (f", {' and '.join(rest)} changed" if rest else "")
    phrase = _words(parts)
    if any(part in _HAPPENED for part in parts[1:]):
        return phrase
    return phrase + " changed"


def _expand(element: Any) -> str:
    """The element's text with every "@" + attribute name replaced by its value, in order."""
    text = element.text or ""
    for key, value in element.attrib.items():
        text = text.replace("@" + key, value)
    return " ".join(text.split())


def _problems(owner: Any) -> list[tuple[str, str, str]]:
    """(kind, text, problem identifier) of each problem of a symbol or type."""
    found = []
    for problem in owner.findall("problem"):
        change = problem.find("change")
        problem_id = problem.get("id") or ""
        found.append(
            (problem_kind(problem_id), _expand(change) if change is not None else "", problem_id)
        )
    return found


def _read_binary_report(report: Any, changes: SymbolChanges) -> None:
    def add(symbol: Optional[str], change: Change) -> None:
        if symbol:
            listed = changes.setdefault(symbol, [])
            if change not in listed:
                listed.append(change)

    removed = report.find("removed_symbols")
    if removed is not None:
        for name in removed.iterfind("header/library/name"):
            add(name.text, Change("removed"))
    for section in report.iterfind(".//problems_with_symbols"):
        severity = section.get("severity")
        if severity == "Safe":
            continue  # the report reader does not count these as changes
        for symbol in section.iterfind("header/library/symbol"):
            for kind, text, problem_id in _problems(symbol) or [("changed", "", "")]:
                add(symbol.get("name"), Change(kind, severity, text, None, problem_id))
    for section in report.iterfind(".//problems_with_types"):
        severity = section.get("severity")
        if severity == "Safe":
            continue
        for type_element in section.iterfind("header/type"):
            problems = _problems(type_element) or [("changed", "", "")]
            type_name = type_element.get("name")
            for symbol in type_element.iterfind("affected/symbol"):
                for kind, text, problem_id in problems:
                    add(symbol.get("name"), Change(kind, severity, text, type_name, problem_id))


def _parse(document: Union[str, bytes], is_file: bool) -> SymbolChanges:
    # No network, no DTD, no entity expansion: the report is data from elsewhere.
    parser = etree.XMLParser(
        resolve_entities=False, no_network=True, load_dtd=False, huge_tree=False
    )
    try:
        root = (
            etree.parse(document, parser).getroot()
            if is_file
            else etree.fromstring(document, parser)
        )
    except (etree.XMLSyntaxError, OSError, ValueError) as error:
        raise ReportUnavailable(str(error) or type(error).__name__) from None
    if root is None:
        raise ReportUnavailable("the document is empty")
    changes: SymbolChanges = {}
    reports = [root] if root.tag == "report" else list(root.iter("report"))
    for report in reports:
        if report.get("kind") == "binary":
            _read_binary_report(report, changes)
    return changes


def _fetch(url: str) -> bytes:
    # The file check fetched the same report in this run: this is its kept body.
    try:
        return fetch.get_bytes(url, "report")
    except requests.RequestException as error:
        raise ReportUnavailable(str(error) or type(error).__name__) from None


# location -> (what identifies the state read, its changes or the failure)
_memo: dict[str, tuple[Any, Union[SymbolChanges, ReportUnavailable]]] = {}
_MEMO_SIZE = 16


def _state(location: str) -> Any:
    if fetch.is_url(location):
        return None  # one reading per process: the run reads a published tree
    try:
        info = os.stat(location)
    except OSError as error:
        raise ReportUnavailable(f"{error.strerror or error}: {location}") from None
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


def changes_in_report(location: str) -> SymbolChanges:
    """symbol -> what its binary report(s) list for it; raises ReportUnavailable."""
    state = _state(location)
    kept = _memo.get(location)
    if kept is not None and kept[0] == state:
        if isinstance(kept[1], ReportUnavailable):
            raise kept[1]
        return kept[1]
    from varkit import tree_index

    indexed = tree_index.indexed_changes(location)
    if indexed is not None:  # the tree's index holds them: nothing to fetch or parse
        return indexed
    outcome: Union[SymbolChanges, ReportUnavailable]
    try:
        outcome = (
            _parse(_fetch(location), False) if fetch.is_url(location) else _parse(location, True)
        )
    except ReportUnavailable as error:
        outcome = error
    if len(_memo) >= _MEMO_SIZE:
        _memo.pop(next(iter(_memo)))
    _memo[location] = (state, outcome)
    if isinstance(outcome, ReportUnavailable):
        raise outcome
    tree_index.keep_changes(location, outcome)
    return outcome


_DOCUMENTS = {"report": "report", "summary": "summary log"}


# Problems of a binary report that change names or access in the source only:
# the symbol, its layout and its calling convention stay as they were, so a
# program built against the old version runs as before (a rebuild may need
# its source changed).
SOURCE_ONLY_PROBLEMS = frozenset(
    {
        "Renamed_Parameter",
        "Renamed_Field",
        "Enum_Member_Name",
        "Method_Became_Private",
        "Method_Became_Protected",
        "Global_Data_Became_Private",
        "Global_Data_Became_Protected",
        "Field_Became_Private",
        "Field_Became_Protected",
    }
)

# How bad a change is, for the order of reasons: removed first, then by severity.
_RANKS = {"High": 1, "Medium": 2, "Low": 3}
UNKNOWN_RANK = 1  # details that could not be read count as a severe change


def _rank(change: Change) -> int:
    if change.kind == "removed" and change.severity is None:
        return 0
    return _RANKS.get(change.severity or "", UNKNOWN_RANK)


@dataclass(frozen=True)
class SymbolUse:
    """Why a file's use of a changed symbol counts: the reason, a note when the
    details could not be read, how bad the change is (0 removed, 1 High, 2
    Medium, 3 Low) and whether it changes the source only."""

    reason: str
    note: Optional[str] = None
    rank: int = UNKNOWN_RANK
    source_only: bool = False


def symbol_use(symbol: Any, library: Any, sources: Any) -> SymbolUse:
    """The use of a changed `symbol` of `library`.

    `sources` are the file check's records {"library", "document", "location"}
    of where each library's changed symbols were read.
    """
    reason = f"uses {symbol} of {library}"
    source = next(
        (
            s
            for s in sources or ()
            if isinstance(s, dict)
            and s.get("library") == library
            and s.get("document") in _DOCUMENTS
            and isinstance(s.get("location"), str)
        ),
        None,
    )
    if source is None:
        return SymbolUse(f"{reason}, removed or changed")
    location = source["location"]
    where = f"[{_DOCUMENTS[source['document']]}: {location}]"
    if source["document"] == "summary":
        return SymbolUse(f"{reason}: removed {where}", rank=0)
    try:
        changes = changes_in_report(location).get(symbol) if isinstance(symbol, str) else None
    except ReportUnavailable as error:
        return SymbolUse(
            f"{reason}, removed or changed {where}",
            f"the changes in {location} could not be read again for details: {error}",
        )
    if not changes:
        return SymbolUse(f"{reason}, removed or changed {where}")
    text = f"{reason}: {'; '.join(change.describe() for change in changes)} {where}"
    rank = min(map(_rank, changes))
    if all(change.problem_id in SOURCE_ONLY_PROBLEMS for change in changes):
        note = "; this changes the source only, not the binary interface"
        return SymbolUse(text + note, rank=rank, source_only=True)
    return SymbolUse(text, rank=rank)

"""The compact index of a result tree: what the check needs from every report, in one
compressed document at the tree's root ("varkit-index.json.gz", made by ``varkit-index``).

For each report that reads without a fault it holds the report's size, modification
time (whole seconds) and SHA-256, the reader's quiet result and the changes the
verdicts' reasons name. A check that finds the index takes a report's reading from
it when the report is still the one indexed: for a local tree the file's size and
time; for a remote one the size and ``Last-Modified`` a HEAD request answers. A
report the index does not know, or one changed since, is read as without the index;
so is every report when the index is missing, damaged or of another format.

Without an index entry, a remote report's reading and changes are kept beside its
body in the document cache (``keep_reading`` / ``keep_changes``): a later run that
is answered 304 for the report takes them from there instead of parsing it again.
"""

from __future__ import annotations

import contextlib
import datetime
import email.utils
import gzip
import hashlib
import json
import os
import tempfile
import zlib
from typing import Any, Optional

from varkit import fetch
from varkit.logger import ABI_LOG, DEBUG

INDEX_NAME = "varkit-index.json.gz"
FORMAT = 1
REPORTS_DIR = "compat_reports/"
REPORT_NAME = "compat_report.xml"


# --- what is kept of a report ----------------------------------------------------


def _sections_out(sections: list[Any]) -> list[Any]:
    return [
        [
            [
                record["header_name"],
                sorted(record["affected_symbols"], key=lambda s: (s is None, s or "")),
            ]
            for record in section
        ]
        for section in sections
    ]


def _sections_in(data: Any) -> list[Any]:
    return [
        [{"header_name": name, "affected_symbols": set(symbols)} for name, symbols in section]
        for section in data
    ]


def _changes_out(changes: dict[str, list[Any]]) -> dict[str, list[Any]]:
    return {
        symbol: [[c.kind, c.severity, c.text, c.type_name, c.problem_id] for c in listed]
        for symbol, listed in changes.items()
    }


def _changes_in(data: Any) -> dict[str, list[Any]]:
    from varkit.symbol_changes import Change

    return {symbol: [Change(*fields) for fields in listed] for symbol, listed in data.items()}


# --- making the index ------------------------------------------------------------


def _digest(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def build(tree: str) -> tuple[dict[str, Any], int]:
    """The index of ``tree`` and the number of reports left out (they do not read)."""
    from varkit import reportscan, symbol_changes

    reports: dict[str, Any] = {}
    skipped = 0
    top = os.path.join(tree, REPORTS_DIR)
    for directory, subdirs, files in os.walk(top):
        subdirs.sort()
        if REPORT_NAME not in files:
            continue
        path = os.path.join(directory, REPORT_NAME)
        relative = os.path.relpath(path, tree).replace(os.sep, "/")
        before = os.stat(path)
        sections, failure = reportscan.scan_report(path, quiet=True)
        try:
            changes = symbol_changes.changes_in_report(path)
        except symbol_changes.ReportUnavailable:
            changes = None
        if (
            failure is not None
            or changes is None
            or os.stat(path).st_mtime_ns != before.st_mtime_ns
        ):
            skipped += 1
            continue
        reports[relative] = {
            "size": before.st_size,
            "mtime": int(before.st_mtime),
            "sha256": _digest(path),
            "sections": _sections_out(sections),
            "changes": _changes_out(changes),
        }
    made = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    return {"format": FORMAT, "made": made, "reports": reports}, skipped


def write(tree: str) -> tuple[str, int, int]:
    """Writes the index of ``tree`` at its root in one rename; (path, indexed, left out)."""
    index, skipped = build(tree)
    target = os.path.join(tree, INDEX_NAME)
    fd, temporary = tempfile.mkstemp(dir=tree, prefix=".varkit-index.")
    try:
        with os.fdopen(fd, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) as stream:
            stream.write(json.dumps(index, separators=(",", ":")).encode())
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return target, len(index["reports"]), skipped


# --- using it --------------------------------------------------------------------


def _tree_of(location: str) -> Optional[tuple[str, str]]:
    """(tree root, the report's path inside it) of a report location, or None."""
    at = location.rfind("/" + REPORTS_DIR)
    if at < 0 or not location.endswith("/" + REPORT_NAME):
        return None
    return location[: at + 1], location[at + 1 :]


def _load(root: str) -> Optional[dict[str, Any]]:
    """The index at ``root`` (a directory path ending in "/" or a URL), or None."""
    location = root + INDEX_NAME
    try:
        if fetch.is_url(location):
            packed = fetch.get_bytes(location, "report")
        else:
            with open(location, "rb") as stream:
                packed = stream.read(fetch.size_cap("report") + 1)
        cap = fetch.size_cap("report")
        unpacker = zlib.decompressobj(wbits=31)  # gzip
        text = unpacker.decompress(packed, cap + 1)
        if len(text) > cap or not unpacker.eof:
            raise ValueError("larger than max_report_bytes, or cut off")
        index = json.loads(text)
        if not isinstance(index, dict) or index.get("format") != FORMAT:
            raise ValueError("not an index of this format")
        if not isinstance(index.get("reports"), dict):
            raise ValueError("no reports")
        return index
    except FileNotFoundError:
        return None
    except Exception as exc:  # any fault of the index: every report is read as without it
        ABI_LOG(DEBUG, f"index {location} not used: {exc}")
        return None


def _still_indexed(location: str, entry: dict[str, Any]) -> bool:
    if not fetch.is_url(location):
        try:
            info = os.stat(location)
        except OSError:
            return False
        return info.st_size == entry.get("size") and int(info.st_mtime) == entry.get("mtime")
    headers = fetch.head(location)
    if headers is None:
        return False
    try:
        modified = email.utils.parsedate_to_datetime(headers.get("Last-Modified", ""))
        size = int(headers.get("Content-Length", ""))
    except (TypeError, ValueError, IndexError):
        return False
    return size == entry.get("size") and int(modified.timestamp()) == entry.get("mtime")


def _indexed(location: str) -> Optional[dict[str, Any]]:
    """The index entry of the report at ``location`` while it is the one indexed;
    worked out once per run (None outside a run: nothing is kept then)."""
    memo = fetch.run_memo("tree index")
    if memo is None or not isinstance(location, str):
        return None
    place = _tree_of(location)
    if place is None:
        return None
    root, relative = place
    if ("index", root) not in memo:
        memo["index", root] = _load(root)
    index = memo["index", root]
    if not isinstance(index, dict):
        return None
    if ("entry", location) not in memo:
        entry = index["reports"].get(relative)
        current = isinstance(entry, dict) and _still_indexed(location, entry)
        memo["entry", location] = entry if current else None
    entry = memo["entry", location]
    return entry if isinstance(entry, dict) else None


def _made(convert: Any, stored: Any) -> Any:
    try:
        return convert(stored)
    except (TypeError, ValueError, KeyError, AttributeError, IndexError):
        return None


def _recalled(location: str, field: str, convert: Any) -> Any:
    """``convert`` of what a run kept as ``field`` beside the report's cached body,
    once per run; None when nothing usable is kept."""
    memo = fetch.run_memo("tree index")
    if memo is None or not fetch.is_url(location):
        return None
    key = ("recalled", field, location)
    if key not in memo:
        data = fetch.derived(location, field)
        memo[key] = None
        if data is not None:
            with contextlib.suppress(ValueError):
                memo[key] = _made(convert, json.loads(data))
    return memo[key]


def _converted(location: str, field: str, convert: Any) -> Any:
    """``convert(entry[field])`` of the report at ``location``'s index entry (or of
    what is kept beside its cached body), made once per run; None when neither
    answers for it."""
    entry = _indexed(location)
    if entry is None:
        return _recalled(location, field, convert)
    made = "_" + field  # kept beside the stored form, in this run's copy of the index
    if made not in entry:
        entry[made] = _made(convert, entry[field])
    return entry[made] if entry[made] is not None else _recalled(location, field, convert)


def _keep(location: str, field: str, value: Any, convert: Any) -> None:
    memo = fetch.run_memo("tree index")
    if memo is None or not isinstance(location, str) or not fetch.is_url(location):
        return
    key = ("kept", field, location)
    if key in memo:
        return
    memo[key] = True
    try:
        data = json.dumps(convert(value), separators=(",", ":")).encode()
    except (TypeError, ValueError, KeyError, AttributeError, IndexError):
        return
    fetch.keep_derived(location, field, data)


def indexed_reading(location: str) -> Optional[list[Any]]:
    """The reader's quiet result for the report at ``location`` from the tree's
    index (the same object for the whole run), or None: read the report."""
    return _converted(location, "sections", _sections_in)  # type: ignore[no-any-return]


def indexed_changes(location: str) -> Optional[dict[str, list[Any]]]:
    """What the verdicts' reasons need of the report at ``location``, from the index."""
    return _converted(location, "changes", _changes_in)  # type: ignore[no-any-return]


def keep_reading(location: str, sections: list[Any]) -> None:
    """Keeps the quiet reading of the remote report at ``location`` beside its
    cached body, for a later run (nothing for a local report)."""
    _keep(location, "sections", sections, _sections_out)


def keep_changes(location: str, changes: dict[str, list[Any]]) -> None:
    """Keeps the changes the verdicts' reasons name beside the report's cached body."""
    _keep(location, "changes", changes, _changes_out)

"""The command's result as text, and writing it where the user asked.

File names are bytes on Linux; Python carries a byte that is not UTF-8 as a
lone surrogate (U+DC80-U+DCFF). The JSON result writes such a character as
its escape (a file name byte 0xff as "\\udcff"), so the output is always valid
UTF-8 and ``os.fsencode(json.loads(text)[...])`` gives the original bytes
back. Tables, which are for reading, show such a byte as "\\xff".
"""

from __future__ import annotations

import json
import os
import re
import tempfile
from typing import Any, Optional

from varkit.record import CheckResult

_SURROGATE = re.compile("[\ud800-\udfff]")

VERDICT_KEYS = ("verdict", "reasons", "notes")


def _json_default(value: Any) -> Any:
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=str)
    return str(value)


def render_json(result: CheckResult) -> str:
    text = json.dumps(result, indent=4, ensure_ascii=False, default=_json_default)
    # Outside strings JSON has only ASCII, so every surrogate is inside one.
    return _SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text)


def _readable(text: str) -> str:
    def shown(match: re.Match) -> str:
        code = ord(match.group())
        return "\\x%02x" % (code - 0xDC00) if 0xDC80 <= code <= 0xDCFF else "\\u%04x" % code

    return _SURROGATE.sub(shown, text)


def _shorten(text: str, width: int) -> str:
    return text if len(text) <= width else text[: max(width - 1, 0)] + "…"


def _summary_line(result: CheckResult) -> str:
    counts = ", ".join(f"{n} {name}" for name, n in result["files"].items() if n)
    line = f"verdict: {result['verdict']} ({counts or 'no files'})"
    if result.get("interrupted"):
        line += f"; interrupted by {result['interrupted']}, the rest was not checked"
    return line


def render_compact(result: CheckResult, width: int = 100) -> str:
    """One line per file: verdict, check kind, file, the first reason."""
    lines = []
    for entry in result["library"]:
        reasons = entry.get("reasons") or []
        head = f"{entry.get('verdict', ''):<14} {entry.get('check_type', ''):<4} "
        line = head + str(entry.get("dest_file", "?"))
        if reasons:
            line += f": {reasons[0]}"
            if len(reasons) > 1:
                line += f" (+{len(reasons) - 1} more)"
        lines.append(_shorten(line, width))
    lines.append(_shorten(_summary_line(result), width))
    return _readable("\n".join(lines))


def render_table(result: CheckResult) -> str:
    """Every detail: per file its verdict, reasons, notes and recorded keys."""
    from prettytable import PrettyTable

    blocks = []
    for entry in result["library"]:
        lines = [
            (
                f"{entry.get('dest_file', '?')} [{entry.get('check_type', '')}]: "
                f"{entry.get('verdict', '')}"
            )
        ]
        lines += [f"  - {reason}" for reason in entry.get("reasons", [])]
        lines += [f"  note: {note}" for note in entry.get("notes", [])]
        table = PrettyTable(["Key", "Value"])
        table.align = "l"
        table.max_width = 76
        for key, value in entry.items():
            if key in ("dest_file", "check_type") + VERDICT_KEYS:
                continue
            text = (
                value
                if isinstance(value, str)
                else json.dumps(value, ensure_ascii=False, default=_json_default)
            )
            table.add_row([key, text])
        blocks.append("\n".join(lines) + "\n" + str(table))
    blocks.append(_summary_line(result))
    return _readable("\n\n".join(blocks))


class OutputFile:
    """A result file replaced whole when the run ends, never left half written.

    Opening it checks at once that the file can be written, before any work:
    a temporary file is created beside it and renamed over it by ``commit``.
    """

    def __init__(self, path: str) -> None:
        if os.path.isdir(path):
            raise OSError(f"{path} is a directory")
        directory = os.path.dirname(os.path.abspath(path))
        self.path = path
        descriptor, self._temporary = tempfile.mkstemp(
            dir=directory, prefix="." + os.path.basename(path) + ".", suffix=".tmp"
        )
        os.close(descriptor)
        mode = self._mode_of(path)
        os.chmod(self._temporary, mode)

    @staticmethod
    def _mode_of(path: str) -> int:
        try:
            return os.stat(path).st_mode & 0o7777
        except OSError:
            umask = os.umask(0)
            os.umask(umask)
            return 0o666 & ~umask

    def commit(self, text: str) -> None:
        with open(self._temporary, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.replace(self._temporary, self.path)
        self._temporary = ""

    def discard(self) -> None:
        if self._temporary:
            try:
                os.unlink(self._temporary)
            except OSError:
                pass
            self._temporary = ""


def open_output(path: Optional[str]) -> Optional[OutputFile]:
    return OutputFile(path) if path else None

"""The command's result as text, and writing it where the user asked.

File names are bytes on Linux; Python carries a byte that is not UTF-8 as a
lone surrogate (U+DC80-U+DCFF). The JSON result writes such a character as
its escape (a file name byte 0xff as "\\udcff"), so the output is always valid
UTF-8 and ``os.fsencode(json.loads(text)[...])`` gives the original bytes
back. Tables, which are for reading, show such a byte as "\\xff".
"""

from __future__ import annotations

import json
import re
from typing import Any

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

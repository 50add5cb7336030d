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
import shutil
import subprocess
from typing import Any, Callable, Iterable, Optional

from varkit.record import CheckResult

_SURROGATE = re.compile("[\ud800-\udfff]")
# What a table must not print as it is: a control character could start a new
# row of its own or move the cursor (a file named "x\naffected ...").
_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_MANGLED = re.compile(r"\b_Z[A-Za-z0-9_.$]+")

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
    """One field of a table: every control character and undecodable byte as an escape."""

    def shown(match: re.Match) -> str:
        code = ord(match.group())
        if 0xDC80 <= code <= 0xDCFF:
            return "\\x%02x" % (code - 0xDC00)
        return "\\x%02x" % code if code <= 0xFF else "\\u%04x" % code

    return _UNPRINTABLE.sub(shown, text)


def demangled_names(names: Iterable[str]) -> dict[str, str]:
    """Mangled C++ name -> its demangled form, by one run of c++filt; empty where
    c++filt is not installed or fails."""
    wanted = sorted(set(names))
    if not wanted or not shutil.which("c++filt"):
        return {}
    try:
        done = subprocess.run(
            ["c++filt"],
            input="\n".join(wanted) + "\n",
            capture_output=True,
            text=True,
            timeout=60,
        )
    except (OSError, subprocess.SubprocessError):
        return {}
    lines = done.stdout.splitlines()
    if done.returncode != 0 or len(lines) != len(wanted):
        return {}
    return {name: plain for name, plain in zip(wanted, lines) if plain and plain != name}


def demangler(texts: list[str]) -> Callable[[str], str]:
    """Replaces the C++ symbol names in a text by their demangled form (all of
    those in ``texts`` demangled at once); names stay where that fails."""
    plain = demangled_names(name for text in texts for name in _MANGLED.findall(text))
    if not plain:
        return lambda text: text
    return lambda text: _MANGLED.sub(lambda m: plain.get(m.group(), m.group()), text)


def add_demangled(result: CheckResult) -> None:
    """Each affected C++ symbol of the JSON result gains its demangled name beside it."""
    records = [r for e in result["library"] for r in e.get("affected_symbols", [])]

    def base(record: Any) -> str:
        # The name without its symbol version (name@VER): what c++filt reads.
        return str(record.get("symbol", "")).partition("@")[0]

    plain = demangled_names(base(r) for r in records if base(r).startswith("_Z"))
    for record in records:
        if base(record) in plain:
            record["demangled"] = plain[base(record)]


def _texts(result: CheckResult) -> list[str]:
    return [
        str(t) for e in result["library"] for t in (e.get("reasons") or []) + (e.get("notes") or [])
    ]


def _shorten(text: str, width: Optional[int]) -> str:
    if width is None or len(text) <= width:
        return text
    return text[: max(width - 1, 0)] + "…"


def _summary_line(result: CheckResult) -> str:
    counts = ", ".join(f"{n} {name}" for name, n in result["files"].items() if n)
    line = f"verdict: {result['verdict']} ({counts or 'no files'})"
    if result.get("interrupted"):
        line += f"; interrupted by {result['interrupted']}, the rest was not checked"
    return line


def render_compact(result: CheckResult, width: Optional[int] = None) -> str:
    """One line per file: verdict, check kind, file, the first (worst) reason;
    cut at ``width`` columns when given (a terminal), else whole."""
    readable = demangler(_texts(result))
    lines = []
    for entry in result["library"]:
        reasons = entry.get("reasons") or []
        head = f"{entry.get('verdict', ''):<14} {entry.get('check_type', ''):<4} "
        line = head + _readable(str(entry.get("dest_file", "?")))
        if reasons:
            line += f": {_readable(readable(str(reasons[0])))}"
            if len(reasons) > 1:
                line += f" (+{len(reasons) - 1} more)"
        lines.append(_shorten(line, width))
    lines.append(_shorten(_summary_line(result), width))
    return "\n".join(lines)


def render_table(result: CheckResult) -> str:
    """Every detail: per file its verdict, reasons, notes and recorded keys."""
    from prettytable import PrettyTable

    readable = demangler(_texts(result))
    blocks = []
    for entry in result["library"]:
        lines = [
            (
                f"{_readable(str(entry.get('dest_file', '?')))} [{entry.get('check_type', '')}]: "
                f"{entry.get('verdict', '')}"
            )
        ]
        lines += [f"  - {_readable(readable(reason))}" for reason in entry.get("reasons", [])]
        lines += [f"  note: {_readable(readable(note))}" for note in entry.get("notes", [])]
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
            table.add_row([key, _readable(text)])
        blocks.append("\n".join(lines) + "\n" + str(table))
    blocks.append(_summary_line(result))
    return "\n\n".join(blocks)

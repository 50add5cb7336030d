"""The ``varkit`` command: options, the impact check they ask for, the report.

    varkit --checkabi --with-symbol --search-local RESULTS --check-local FILE_OR_DIR
    varkit --checkconf --search-remote URL --check-local A,B
    varkit --checkexec --search-remote URL --check-local SCRIPT -f table -o report.txt

The result is ``{"library": [per-file maps...], "verdict": ..., "files": {...}}``,
printed as JSON (default) or as tables; each per-file map gains "verdict",
"reasons" and "notes" (see varkit.verdict). Standard output carries the result
alone: whatever the checks and the commands they run print on their way goes
to standard error.

Exit status: 0 when every file is "not affected"; otherwise the sum of 1 (a file
is affected), 4 (maybe affected) and 8 (a file could not be checked); 2 for a
usage error or a rejected result location.
"""

from __future__ import annotations

import contextlib
import json
import os
import sys
from typing import Any, Callable, Iterator, Optional, Sequence, TextIO

from varkit import verdict as verdicts

# Option destination -> check kind understood by the impact check.
CHECK_KINDS = (("checkabi", "ABI"), ("checkconf", "CONF"), ("checkexec", "EXEC"))

# Operations that compare two sets of RPM packages; this package only checks local files.
OUTSIDE_OPERATIONS = ("checkability", "checkfile", "scan_dep", "multi_packages", "local")

VERDICT_KEYS = ("verdict", "reasons", "notes")


def _json_default(value: Any) -> Any:
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=str)
    return str(value)


def render_json(result: dict) -> str:
    return json.dumps(result, indent=4, ensure_ascii=False, default=_json_default)


def render_table(result: dict) -> str:
    from prettytable import PrettyTable

    blocks = []
    for entry in result["library"]:
        lines = [f"{entry.get('dest_file', '?')} [{entry.get('check_type', '')}]: "
                 f"{entry.get('verdict', '')}"]
        lines += [f"  - {reason}" for reason in entry.get("reasons", [])]
        lines += [f"  note: {note}" for note in entry.get("notes", [])]
        table = PrettyTable(["Key", "Value"])
        table.align = "l"
        table.max_width = 100
        for key, value in entry.items():
            if key in ("dest_file", "check_type") + VERDICT_KEYS:
                continue
            text = value if isinstance(value, str) else json.dumps(
                value, ensure_ascii=False, default=_json_default)
            table.add_row([key, text])
        blocks.append("\n".join(lines) + "\n" + str(table))
    counts = ", ".join(f"{n} {name}" for name, n in result["files"].items() if n)
    blocks.append(f"verdict: {result['verdict']} ({counts or 'no files'})")
    return "\n\n".join(blocks)


@contextlib.contextmanager
def _output_to_stderr() -> Iterator[None]:
    """Standard output, Python's and the process's, goes to standard error."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        with contextlib.redirect_stdout(sys.stderr):
            yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 1)
        os.close(saved)


@contextlib.contextmanager
def _progress(impactor: Any, stream: TextIO) -> Iterator[None]:
    """Shows files checked and the current file while a directory is walked."""
    if not stream.isatty():
        yield
        return
    original: Callable[..., Any] = impactor.search_source_for_dest_file
    count = 0

    def counting(search: Any, path: Any, file_map: Any, check_type: Any) -> Any:
        nonlocal count
        count += 1
        stream.write(f"\r\x1b[K[{count}] {path}"[:200])
        stream.flush()
        return original(search, path, file_map, check_type)

    impactor.search_source_for_dest_file = counting
    try:
        yield
    finally:
        impactor.search_source_for_dest_file = original
        stream.write("\r\x1b[K")
        stream.flush()


def run_check(options: Any, check_type: str, result: dict) -> Optional[bool]:
    """Runs one kind of check; None when the driver rejected its inputs."""
    from varkit import common, impactor

    first = len(result["library"])
    with _output_to_stderr(), _progress(impactor, sys.stderr):
        if options.search_remote:
            passed = impactor.use_remote_result_check_local(
                options.search_remote, options.check_local, result, check_type)
        else:
            passed = impactor.use_local_result_check_local(
                options.search_local or "", options.check_local, result, check_type)
    checked = result["library"][first:]
    if not passed and not checked:
        return None
    for file_map in checked:
        file_map.setdefault("check_type", check_type)
        path = file_map.get("dest_file")
        file_type = common.get_file_type(path) if isinstance(path, str) else None
        judged = verdicts.judge(file_map, check_type, bool(options.search_remote), file_type)
        file_map["verdict"] = judged.verdict
        file_map["reasons"] = judged.reasons
        file_map["notes"] = judged.notes
    return bool(passed)


def _usage_error(message: str) -> int:
    sys.stderr.write(f"varkit: {message}\n")
    return verdicts.EXIT_USAGE


def main(argv: Optional[Sequence[str]] = None) -> int:
    from varkit import logger
    from varkit.cmdline import get_options

    options = get_options(list(argv) if argv is not None else None)
    logger.set_verbose(bool(options.verbose))

    kinds = [kind for dest, kind in CHECK_KINDS if getattr(options, dest)]
    if not options.check_local:
        asked = [f"--{dest.replace('_', '-')}" for dest in OUTSIDE_OPERATIONS + ("checkabi",
                 "checkconf", "checkexec") if getattr(options, dest)]
        return _usage_error(
            f"{' '.join(asked) or 'this operation'} without --check-local compares RPM package "
            "sets, which this package does not do; give --check-local FILE_OR_DIR to check "
            "your own files")
    if options.checkabi and not options.with_symbol:
        return _usage_error("--check-local with --checkabi needs --with-symbol")

    result: dict = {"library": []}
    for kind in kinds:
        if run_check(options, kind, result) is None:
            return _usage_error(f"the {kind} check could not start: see the message above")

    names = [entry["verdict"] for entry in result["library"]]
    result["verdict"] = verdicts.overall(names)
    result["files"] = {name: names.count(name) for name in (
        verdicts.AFFECTED, verdicts.MAYBE_AFFECTED, verdicts.NOT_CHECKED, verdicts.NOT_AFFECTED)}

    text = render_table(result) if options.format == "table" else render_json(result)
    if options.output_log:
        with open(options.output_log, "w", encoding="utf-8") as handle:
            handle.write(text + "\n")
    else:
        sys.stdout.write(text + "\n")
    return verdicts.exit_status(names)


def console_main() -> None:
    sys.exit(main())

"""The ``varkit`` command: options, the impact check they ask for, the report.

    varkit --checkabi --with-symbol --search-local RESULTS --check-local FILE_OR_DIR
    varkit --checkconf --search-remote URL --check-local A,B
    varkit --checkexec --check-local FILE -f table -o report.txt

The overall result is ``{"library": [per-file maps...], "verdict": ...}``, printed
as JSON (default) or as tables. Whatever the checks print on their own (symbol
tables, log lines) goes to standard error, so standard output carries only the
result. Exit status: 0 nothing affected, 1 something affected, 2 usage error.
"""

from __future__ import annotations

import contextlib
import json
import sys
from typing import Any, Callable, Iterator, Optional, Sequence, TextIO

EXIT_PASSED = 0
EXIT_AFFECTED = 1
EXIT_USAGE = 2

# Option destination -> check kind understood by the impact check.
CHECK_KINDS = (("checkabi", "ABI"), ("checkconf", "CONF"), ("checkexec", "EXEC"))

# Operations that compare two sets of RPM packages; this package only checks local files.
OUTSIDE_OPERATIONS = ("checkability", "checkfile", "scan_dep", "multi_packages", "local")


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
        table = PrettyTable(["Key", "Value"])
        table.align = "l"
        table.max_width = 100
        for key, value in entry.items():
            if key == "dest_file":
                continue
            text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False,
                                                                   default=_json_default)
            table.add_row([key, text])
        blocks.append(f"{entry.get('dest_file', '?')} [{entry.get('check_type', '')}]\n{table}")
    blocks.append(f"verdict: {result['verdict']}")
    return "\n\n".join(blocks)


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


def run_check(options: Any, check_type: str, result: dict) -> bool:
    from varkit import impactor

    first = len(result["library"])
    with contextlib.redirect_stdout(sys.stderr), _progress(impactor, sys.stderr):
        if options.search_remote:
            passed = impactor.use_remote_result_check_local(
                options.search_remote, options.check_local, result, check_type)
        else:
            passed = impactor.use_local_result_check_local(
                options.search_local or "", options.check_local, result, check_type)
    for file_map in result["library"][first:]:
        file_map.setdefault("check_type", check_type)
    return bool(passed)


def _usage_error(message: str) -> int:
    sys.stderr.write(f"varkit: {message}\n")
    return EXIT_USAGE


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
    passed = True
    for kind in kinds:
        passed = run_check(options, kind, result) and passed
    result["verdict"] = "not affected" if passed else "affected"

    text = render_table(result) if options.format == "table" else render_json(result)
    if options.output_log:
        with open(options.output_log, "w", encoding="utf-8") as handle:
            handle.write(text + "\n")
    else:
        sys.stdout.write(text + "\n")
    return EXIT_PASSED if passed else EXIT_AFFECTED


def console_main() -> None:
    sys.exit(main())

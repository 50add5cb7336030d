"""The ``varkit`` command's own options: only what the command does.

The full checker's option set (``varkit.cmdline.get_options``) also names
operations that compare RPM package sets; this command checks the user's own
files, so it refuses those options with one line instead of ignoring them.
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap
from dataclasses import dataclass
from typing import NoReturn, Optional, Sequence

from varkit import __version__, verdict

PROG = "varkit"

CHECK_KINDS = (("checkabi", "ABI"), ("checkconf", "CONF"), ("checkexec", "EXEC"))

# Options of the full checker that compare RPM package sets or need a
# container image: (option strings, takes a value).
NOT_IMPLEMENTED = (
    (("--d1",), True),
    (("--d2",), True),
    (("--dir1",), True),
    (("--dir2",), True),
    (("--checkability",), False),
    (("--checkfile",), False),
    (("-s", "--scan-dep"), True),
    (("--ai-interpret",), False),
    (("--strict",), False),
    (("-l", "--local"), False),
    (("--multi-packages",), False),
    (("--image-url",), True),
)

_BARE = object()  # --search-remote given without a URL

# What --help, the manual page and the README say of the verdicts and the
# exit status: (verdict or status, when).
VERDICT_HELP = (
    (
        verdict.AFFECTED,
        (
            "uses a symbol the upgrade removes or changes, needs a shared object the upgrade "
            "renames, calls an executable whose output changes, or fails the PHP compatibility scan"
        ),
    ),
    (
        verdict.MAYBE_AFFECTED,
        (
            "uses a symbol whose only changes are to the source (a renamed parameter), "
            "imports a Python module whose package changes functions, or depends on a "
            "package that changes configuration files"
        ),
    ),
    (
        verdict.NOT_CHECKED,
        (
            "something the check needs is missing or unreadable (a report, a result document, "
            "a required library, the file itself)"
        ),
    ),
    (
        verdict.NO_CHECK,
        (
            "none of the requested checks applies to this kind of file (a shell script or a "
            "static archive under --checkabi): nothing to check, not an error"
        ),
    ),
    (verdict.NOT_AFFECTED, "none of the above"),
)
EXIT_HELP = (
    ("0", "every file is not affected"),
    (str(verdict.EXIT_NOT_CHECKED), "some file could not be checked, or varkit itself failed"),
    (str(verdict.EXIT_USAGE), "usage error, or the result location was rejected"),
    (str(verdict.EXIT_MAYBE_AFFECTED), "some file is maybe affected (review it)"),
    (str(verdict.EXIT_AFFECTED), "some file is affected"),
)
EXIT_EXAMPLE = (
    f"{verdict.EXIT_AFFECTED | verdict.EXIT_NOT_CHECKED} = something is affected and "
    "something else could not be checked"
)
EXAMPLES = (
    "varkit --checkabi --with-symbol --search-local /srv/results --check-local /usr/local/bin",
    (
        "varkit --checkabi --with-symbol --search-remote https://results.example/abi/ "
        "--check-local ~/bin/*"
    ),
    (
        "varkit --checkconf --search-remote https://results.example/abi/ "
        "--check-local /opt/app/bin/server -f table"
    ),
)


def _epilog() -> str:
    def rows(pairs: Sequence[tuple[str, str]], width: int) -> list[str]:
        lines = []
        for name, text in pairs:
            wrapped = textwrap.wrap(text, 78 - width - 2) or [""]
            lines.append(f"  {name:<{width}}{wrapped[0]}")
            lines.extend(" " * (width + 2) + line for line in wrapped[1:])
        return lines

    parts = ["verdicts (one per checked file, with its reasons):"]
    parts += rows(VERDICT_HELP, 16)
    parts += ["", "exit status (bits add up):"]
    parts += rows(EXIT_HELP, 4)
    parts += [f"  e.g. {EXIT_EXAMPLE}", "", "examples:"]
    parts += [f"  {example}" for example in EXAMPLES]
    return "\n".join(parts) + "\n"


EPILOG = _epilog()


class UsageError(Exception):
    """A command line this command cannot run; the message is one line."""


@dataclass
class CommandOptions:
    kinds: list[str]
    targets: list[str]
    with_symbol: bool = False
    search_local: Optional[str] = None
    search_remote: Optional[str] = None
    format: str = "json"
    output: Optional[str] = None
    verbose: bool = False
    only: Optional[list[str]] = None
    no_cache: bool = False


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


class _Refuse(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):  # type: ignore[no-untyped-def]
        raise UsageError(
            f"{option_string} is not implemented by this command: it checks your own "
            "files against published results and compares no RPM package sets"
        )


VERDICT_NAMES = {name.replace(" ", "-"): name for name in verdict.VERDICTS}


def _verdict_list(text: str) -> list[str]:
    chosen = []
    for word in filter(None, text.split(",")):
        if word.strip() not in VERDICT_NAMES:
            raise argparse.ArgumentTypeError(
                f"unknown verdict {word!r}: choose from {', '.join(VERDICT_NAMES)}"
            )
        chosen.append(VERDICT_NAMES[word.strip()])
    return chosen


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=EPILOG,
        description="Tell which of your own programs, libraries and scripts an upgrade affects,\n"
        "from the results of an upgrade check (a local directory or a URL).",
    )
    checks = parser.add_argument_group("what to check (one or more)")
    checks.add_argument(
        "--checkabi",
        action="store_true",
        help="ABI: symbols your programs and libraries use (needs --with-symbol)",
    )
    checks.add_argument(
        "--with-symbol",
        action="store_true",
        help="with --checkabi: match the symbols each file imports",
    )
    checks.add_argument(
        "--checkconf",
        action="store_true",
        help="configuration files of the packages your programs depend on",
    )
    checks.add_argument(
        "--checkexec",
        action="store_true",
        help="executables whose output changes, named in your scripts (remote results)",
    )
    where = parser.add_argument_group("files and results")
    where.add_argument(
        "--check-local",
        action="extend",
        nargs="+",
        default=[],
        metavar="FILE_OR_DIR",
        help="your files or directories; repeatable, comma lists allowed",
    )
    where.add_argument(
        "paths",
        nargs="*",
        default=[],
        metavar="FILE_OR_DIR",
        help="more files or directories to check",
    )
    where.add_argument("--search-local", metavar="DIR", help="a local result tree")
    where.add_argument(
        "--no-cache",
        action="store_true",
        help="fetch every remote document anew; keep none for later runs (cache_dir)",
    )
    where.add_argument(
        "--search-remote",
        nargs="?",
        const=_BARE,
        metavar="URL",
        help="a remote result tree; without URL, remote_url of /etc/varkit.conf",
    )
    out = parser.add_argument_group("output")
    out.add_argument(
        "-f", "--format", choices=("json", "table"), default="json", help="json (default) or table"
    )
    out.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the result to FILE (replaced whole, only once the run ends)",
    )
    out.add_argument(
        "--only",
        metavar="VERDICTS",
        type=_verdict_list,
        help="list only files with these verdicts, e.g. affected,not-checked "
        "(the counts still cover every file)",
    )
    out.add_argument(
        "--verbose",
        action="store_true",
        help="log every step on standard error; tables show every detail",
    )
    out.add_argument("-v", "--version", action="version", version=f"{PROG} {__version__}")
    for strings, takes_value in NOT_IMPLEMENTED:
        parser.add_argument(
            *strings, action=_Refuse, nargs="?" if takes_value else 0, help=argparse.SUPPRESS
        )
    return parser


def _split_targets(values: Sequence[str]) -> list[str]:
    """Each value is one path when it exists as given, else a comma list."""
    targets: list[str] = []
    for value in values:
        if os.path.lexists(value) or "," not in value:
            targets.append(value)
            continue
        pieces = value.split(",")
        if any(not piece for piece in pieces):
            raise UsageError(f"empty path in the comma list {value!r}")
        targets.extend(pieces)
    return targets


def _remote_url(value: object) -> Optional[str]:
    if value is None:
        return None
    if value is _BARE:
        from varkit import conf

        configured = str(getattr(conf, "remote_url", "") or "")
        if not configured:
            raise UsageError(
                "--search-remote without a URL needs remote_url in the configuration "
                "(/etc/varkit.conf or the file named by VARKIT_CONF)"
            )
        value = configured
    from varkit.common import is_valid_url

    if not is_valid_url(value):
        raise UsageError(f"remote-url: {value} must be a valid url")
    return str(value)


def parse(argv: Optional[Sequence[str]] = None) -> CommandOptions:
    """The command's options; UsageError for anything it cannot run."""
    args = build_parser().parse_args(list(sys.argv[1:] if argv is None else argv))
    kinds = [kind for dest, kind in CHECK_KINDS if getattr(args, dest)]
    if not kinds:
        raise UsageError("one of --checkabi, --checkconf or --checkexec must be given")
    if args.with_symbol and not args.checkabi:
        raise UsageError("--with-symbol can only be used with --checkabi")
    if args.checkabi and not args.with_symbol:
        raise UsageError("--checkabi needs --with-symbol")
    raw = list(args.check_local) + list(args.paths)
    if args.paths and not args.check_local:
        raise UsageError(
            f"{args.paths[0]}: files to check follow --check-local (comparing RPM "
            "files is not implemented by this command)"
        )
    if not raw:
        raise UsageError("--check-local FILE_OR_DIR is required: the files to check")
    if args.search_local is not None:
        if not os.path.isdir(args.search_local):
            raise UsageError("search-local must be a directory")
        if args.search_remote is not None:
            raise UsageError("--search-local and --search-remote can not be used at the same time")
        if not args.checkabi:
            raise UsageError("--search-local can only be used with --checkabi --with-symbol")
    targets = list(dict.fromkeys(_split_targets(raw)))  # a target given twice is checked once
    for target in targets:
        if not os.path.lexists(target):
            raise UsageError(f"{target}: no such file or directory")
    return CommandOptions(
        kinds=kinds,
        targets=targets,
        with_symbol=args.with_symbol,
        search_local=args.search_local,
        search_remote=_remote_url(args.search_remote),
        format=args.format,
        output=args.output,
        verbose=args.verbose,
        only=args.only,
        no_cache=args.no_cache,
    )

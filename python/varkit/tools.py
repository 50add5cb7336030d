"""The data-tool commands: varkit-reportscan, varkit-index, varkit-lineage,
varkit-provenance, varkit-twinmatch and varkit-likeness.

Each command answers --help and --version without touching a file, says in one
line which input is missing and what produces it (exit 1), and otherwise runs
its module's main program unchanged. The mapping tools work in the current
directory, at the fixed relative paths below.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from dataclasses import dataclass
from typing import NoReturn, Optional, Sequence

from varkit import __version__


@dataclass(frozen=True)
class Tool:
    command: str
    module: str
    description: str
    inputs: tuple[tuple[str, str], ...]  # (relative path, what produces it)
    outputs: tuple[str, ...]


TOOLS = {
    tool.command: tool
    for tool in (
        Tool(
            "varkit-lineage",
            "varkit.package_mapping.deb.lineage",
            "Download the amd64 package indexes of Ubuntu noble (main, multiverse, restricted, "
            "universe) with curl and gunzip, and tabulate which source package builds each "
            "binary package.",
            (),
            ("./deb/noble/<component>/Packages_<component>", "./package_source_mapping.txt"),
        ),
        Tool(
            "varkit-provenance",
            "varkit.package_mapping.orv.provenance",
            "Group the files of the distribution's RPM packages by the source package that "
            "builds them.",
            (
                (
                    "./orv/rpm_res/rpm_source_packages_mapping.json",
                    (
                        "a table of source package -> binary packages, made from the distribution's "
                        "repository metadata"
                    ),
                ),
                (
                    "./orv/rpm_res/rpm_package_files_mapping.json",
                    "a table of binary package -> installed files, made from the same metadata",
                ),
            ),
            ("./orv/rpm_res/provenance.json",),
        ),
        Tool(
            "varkit-twinmatch",
            "varkit.package_mapping.include.twinmatch",
            "Pair the distribution's packages with the Ubuntu packages of the same name by "
            "their file lists.",
            (
                (
                    "./include_provenance.json",
                    (
                        "a table of package -> files of the distribution "
                        "(e.g. from varkit-provenance)"
                    ),
                ),
                ("./include_source_files_mapping.json", "a table of package -> files of Ubuntu"),
            ),
            (
                "./include_same_name.json",
                "./leftinclude_provenance.json",
                "./leftinclude_source_files_mapping.json",
            ),
        ),
        Tool(
            "varkit-likeness",
            "varkit.package_mapping.calculate_simility.likeness",
            "Score how alike the file lists of paired packages are.",
            (
                (
                    "./same_name.json",
                    ("a pairing table as varkit-twinmatch writes it (include_same_name.json)"),
                ),
            ),
            ("./output.json", "./output_sort.json", "./filtered.json"),
        ),
    )
}


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see {self.prog} --help)\n")
        sys.exit(2)


def tool_parser(tool: Tool) -> argparse.ArgumentParser:
    files = [f"  reads  {path}\n         ({producer})" for path, producer in tool.inputs]
    files += [f"  writes {path}" for path in tool.outputs]
    parser = _Parser(
        prog=tool.command,
        description=tool.description,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="files (relative to the current directory):\n" + "\n".join(files),
    )
    parser.add_argument("-v", "--version", action="version", version=__version__)
    return parser


def reportscan_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="varkit-reportscan",
        description="Print an ABI compliance XML report (written with -xml) as "
        "indented text: the added and removed symbols and the problems "
        "with symbols, types and constants.",
    )
    parser.add_argument("report", metavar="FILE_OR_URL", help="path or http(s) URL of the report")
    parser.add_argument("-v", "--version", action="version", version=__version__)
    return parser


def index_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="varkit-index",
        description="Write the compact index of a result tree (varkit-index.json.gz at its "
        "root): for every report that reads, what the check needs from it, with its size, "
        "time and SHA-256. A check that finds the index reads no report it holds unchanged; "
        "run it again whenever the tree is republished.",
    )
    parser.add_argument("tree", metavar="TREE", help="the result tree (a local directory)")
    parser.add_argument("-v", "--version", action="version", version=__version__)
    return parser


def run_index(argv: Optional[Sequence[str]] = None) -> int:
    args = index_parser().parse_args(list(sys.argv[1:] if argv is None else argv))
    if not os.path.isdir(os.path.join(args.tree, "compat_reports")):
        sys.stderr.write(f"varkit-index: {args.tree} holds no compat_reports directory\n")
        return 1
    from varkit import tree_index

    try:
        path, indexed, left_out = tree_index.write(args.tree)
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        sys.stderr.write(f"varkit-index: {where}{exc.strerror or exc}\n")
        return 1
    size = os.path.getsize(path)
    sys.stdout.write(
        f"{path}: {indexed} report{'s' if indexed != 1 else ''} indexed, {size} bytes"
        + (f"; {left_out} that do not read left out (read as before)" if left_out else "")
        + "\n"
    )
    return 0


def run_tool(command: str, argv: Optional[Sequence[str]] = None) -> int:
    tool = TOOLS[command]
    tool_parser(tool).parse_args(list(sys.argv[1:] if argv is None else argv))
    for path, producer in tool.inputs:
        if not os.path.isfile(path):
            sys.stderr.write(f"{command}: {path} is missing: it is {producer}\n")
            return 1
    module = importlib.import_module(tool.module)
    try:
        module._main()
    except OSError as exc:
        # A file the tool needs is not there or not readable, typically because a
        # download or unpack step it reported above failed: one line, no traceback.
        where = f"{exc.filename}: " if exc.filename else ""
        sys.stderr.write(f"{command}: {where}{exc.strerror or exc}\n")
        return 1
    return 0


def run_reportscan(argv: Optional[Sequence[str]] = None) -> int:
    args = reportscan_parser().parse_args(list(sys.argv[1:] if argv is None else argv))
    from varkit import reportscan

    reportscan.xml_path = args.report
    reportscan.reportscan(args.report)
    # The reader has said why on standard error already.
    return 1 if getattr(reportscan, "last_failure", None) else 0


def _console(command: str) -> NoReturn:
    if command == "varkit-reportscan":
        sys.exit(run_reportscan())
    sys.exit(run_index() if command == "varkit-index" else run_tool(command))


def index_main() -> NoReturn:
    _console("varkit-index")


def reportscan_main() -> NoReturn:
    _console("varkit-reportscan")


def lineage_main() -> NoReturn:
    _console("varkit-lineage")


def provenance_main() -> NoReturn:
    _console("varkit-provenance")


def twinmatch_main() -> NoReturn:
    _console("varkit-twinmatch")


def likeness_main() -> NoReturn:
    _console("varkit-likeness")

"""Manual pages and shell completion of the commands, made from their parsers.

python -m varkit.docs DIRECTORY    writes DIRECTORY/man1/*.1 and the
                                   bash and zsh completion of `varkit`
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Iterator

from varkit import __version__, command_line, tools

RESULT_TREE = """\
.SH RESULT TREE
A result location (a directory, or the same tree under an http(s) URL ending in "/") holds:
.TP
.B compat_reports/PACKAGE/SONAME/V1_to_V2/compat_report.xml
the ABI compliance report of one library, written by abi-compliance-checker with \\-xml
(use \\-limit-affected N with a high N); the first subdirectory is used.
.TP
.B summary.log
JSON list of package objects: the removed symbols and soname changes of each library.
.TP
.B conf_diff.json
JSON list of package objects with their configuration-file differences.
.TP
.B exec_diff_report.json
JSON object: changed executables, with diff files under diff_output/.
.TP
.B PACKAGE_py_api_diff.json
JSON list whose first element names the changed functions of a Python package.
"""


def parsers() -> Iterator[tuple[str, argparse.ArgumentParser]]:
    yield "varkit", command_line.build_parser()
    yield "varkit-reportscan", tools.reportscan_parser()
    for name, tool in sorted(tools.TOOLS.items()):
        yield name, tools.tool_parser(tool)


def man_page(name: str, parser: argparse.ArgumentParser) -> str:
    from build_manpages.manpage import Manpage

    parser.prog = name
    page = Manpage(
        parser,
        _data={
            "version": __version__,
            "project_name": "varkit",
            "description": parser.description or name,
        },
    )
    text = str(page)
    if name == "varkit":
        text += "\n" + RESULT_TREE
    return text


def completion(shell: str) -> str:
    import shtab

    return shtab.complete(command_line.build_parser(), shell=shell)


def write_all(directory: str) -> list[str]:
    written = []
    man_dir = os.path.join(directory, "man1")
    os.makedirs(man_dir, exist_ok=True)
    for name, parser in parsers():
        path = os.path.join(man_dir, f"{name}.1")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(man_page(name, parser))
        written.append(path)
    for shell, relative in (
        ("bash", "bash-completion/completions/varkit"),
        ("zsh", "zsh/site-functions/_varkit"),
    ):
        path = os.path.join(directory, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(completion(shell))
        written.append(path)
    return written


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python -m varkit.docs DIRECTORY")
    print("\n".join(write_all(sys.argv[1])))

"""Manual pages, shell completion and the default configuration file, made from
the commands' parsers and the configuration's defaults.

python -m varkit.docs SHARE_DIRECTORY   writes SHARE_DIRECTORY/man/man1/*.1 and
                                        the bash and zsh completion of `varkit`
python -m varkit.docs --conf FILE       writes the commented default /etc/varkit.conf
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Iterable, Iterator, Sequence

from varkit import DEFAULT_CONF_PATH, DEFAULTS, __version__, command_line, tools

# Where each file goes below a share directory (PREFIX/share), as man-db,
# bash-completion and zsh look for them.
MAN_DIR = "man/man1"
BASH_COMPLETION = "bash-completion/completions/varkit"
ZSH_COMPLETION = "zsh/site-functions/_varkit"

# The `varkit` options (by dest) whose values are paths: "file" completes files
# and directories, "dir" directories only. Positional words are paths too.
PATH_OPTIONS = {"check_local": "file", "paths": "file", "output": "file", "search_local": "dir"}

RESULT_TREE = (
    (
        "compat_reports/PACKAGE/SONAME/V1_to_V2/compat_report.xml",
        (
            "the ABI compliance report of one library, written by abi-compliance-checker with "
            "-xml (use -limit-affected N with a high N); the first subdirectory is used."
        ),
    ),
    (
        "summary.log",
        "JSON list of package objects: the removed symbols and soname changes of each library.",
    ),
    ("conf_diff.json", "JSON list of package objects with their configuration-file differences."),
    (
        "exec_diff_report.json",
        "JSON object: changed executables, with diff files under diff_output/.",
    ),
    (
        "PACKAGE_py_api_diff.json",
        "JSON list whose first element names the changed functions of a Python package.",
    ),
    (
        "varkit-index.json.gz",
        "optional: the compact index varkit-index writes; a report it holds unchanged is not read.",
    ),
)


def parsers() -> Iterator[tuple[str, argparse.ArgumentParser]]:
    yield "varkit", command_line.build_parser()
    yield "varkit-reportscan", tools.reportscan_parser()
    yield "varkit-index", tools.index_parser()
    for name, tool in sorted(tools.TOOLS.items()):
        yield name, tools.tool_parser(tool)


# --- roff -------------------------------------------------------------------


def roff(text: str) -> str:
    """Text as roff prints it literally: backslashes, hyphens and a leading
    control character escaped."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    lines = [("\\&" + line) if line[:1] in (".", "'") else line for line in text.split("\n")]
    return "\n".join(lines)


def _table(header: tuple[str, str], rows: Iterable[tuple[str, str]]) -> str:
    # tbl: the second column takes the rest of the line and wraps inside it.
    lines = [".TS", "tab(\t);", "lb lb", "l lx.", f"{roff(header[0])}\t{roff(header[1])}"]
    lines += [f"{roff(name)}\tT{{\n{roff(text)}\nT}}" for name, text in rows]
    return "\n".join(lines + [".TE"])


def _tagged(items: Iterable[tuple[str, str]]) -> str:
    return "\n".join(f".TP\n.B {roff(tag)}\n{roff(text)}" for tag, text in items)


def _option_label(action: argparse.Action) -> str:
    if not action.option_strings:
        return f"\\fI{roff(str(action.metavar or action.dest))}\\fR"
    value = ""
    if action.nargs != 0:
        metavar = action.metavar or action.dest.upper()
        if isinstance(metavar, tuple):
            metavar = " ".join(metavar)
        value = f" \\fI{roff(str(metavar))}\\fR"
        if action.nargs == "?":
            value = f" [\\fI{roff(str(metavar))}\\fR]"
    return ", ".join(f"\\fB{roff(option)}\\fR" for option in action.option_strings) + value


def _options(parser: argparse.ArgumentParser) -> str:
    parts = []
    for group in parser._action_groups:
        shown = [a for a in group._group_actions if a.help != argparse.SUPPRESS]
        if not shown:
            continue
        parts.append(f".SS {roff(str(group.title).capitalize())}")
        for action in shown:
            text = str(action.help or "")
            if action.choices and not isinstance(action.choices, dict):
                text += f" (one of: {', '.join(map(str, action.choices))})"
            parts.append(f".TP\n{_option_label(action)}\n{roff(text)}")
    return "\n".join(parts)


def _sections(name: str) -> list[tuple[str, str]]:
    """The sections a page has after OPTIONS: (title, roff body)."""
    if name == "varkit":
        exits = _table(("Status", "Meaning"), command_line.EXIT_HELP)
        return [
            ("VERDICTS", _table(("Verdict", "When"), command_line.VERDICT_HELP)),
            ("EXIT STATUS", f"The bits add up.\n{exits}\n.PP\n{roff(command_line.EXIT_EXAMPLE)}."),
            ("EXAMPLES", "\n".join(f".PP\n.nf\n{roff(e)}\n.fi" for e in command_line.EXAMPLES)),
            (
                "RESULT TREE",
                "A result location (a directory, or the same tree under an http(s) "
                'URL ending in "/") holds:\n' + _tagged(RESULT_TREE),
            ),
            (
                "FILES",
                _tagged(
                    [
                        (
                            DEFAULT_CONF_PATH,
                            (
                                "the configuration (INI, section [varkit]); "
                                "the environment variable VARKIT_CONF names another file."
                            ),
                        )
                    ]
                ),
            ),
        ]
    tool = tools.TOOLS.get(name)
    if tool is None:
        return []
    files = [(path, f"read: {producer}") for path, producer in tool.inputs]
    files += [(path, "written") for path in tool.outputs]
    return [("FILES", "Relative to the current directory.\n" + _tagged(files))]


def man_page(name: str, parser: argparse.ArgumentParser) -> str:
    parser.prog = name
    usage = parser.format_usage().removeprefix("usage: ").strip()
    description = " ".join((parser.description or name).split())
    summary = description.split(". ")[0].rstrip(".")
    lines = [
        "'\\\" t",  # run the page through tbl
        f'.TH {name.upper()} 1 "" "varkit {__version__}" "User Commands"',
        ".SH NAME",
        f"{roff(name)} \\- {roff(summary[:1].lower() + summary[1:])}",
        ".SH SYNOPSIS",
        f".nf\n{roff(usage)}\n.fi",
        ".SH DESCRIPTION",
        roff(description),
        ".SH OPTIONS",
        _options(parser),
    ]
    for title, body in _sections(name):
        lines += [f".SH {title}", body]
    return "\n".join(lines) + "\n"


# --- completion -------------------------------------------------------------


def _visible(parser: argparse.ArgumentParser) -> list[argparse.Action]:
    return [a for a in parser._actions if a.help != argparse.SUPPRESS]


def _words(values: Iterable[object]) -> str:
    return " ".join(str(v) for v in values)


def bash_completion(parser: argparse.ArgumentParser) -> str:
    """A bash completion function that needs nothing but bash itself: options,
    the values of options that have a fixed set, and file or directory names
    wherever a path goes. URLs are left as typed."""
    options = [s for a in _visible(parser) for s in a.option_strings]
    cases = []
    for action in _visible(parser):
        if not action.option_strings or action.nargs == 0:
            continue
        pattern = "|".join(action.option_strings)
        kind = PATH_OPTIONS.get(action.dest)
        if kind:
            body = "_varkit_paths" + (" -d" if kind == "dir" else "")
        elif action.choices:
            body = f'_varkit_words "{_words(action.choices)}"'
        elif action.dest == "only":
            body = f'_varkit_list "{_words(command_line.VERDICT_NAMES)}"'
        else:
            body = "COMPREPLY=()"
        if action.nargs == "?":
            # The value may be left out: an option may follow instead.
            body = f'if [[ $cur == -* ]]; then _varkit_words "$options"; else {body}; fi'
        cases.append(f"        {pattern}) {body}; return ;;")
    return f"""\
# bash completion of varkit {__version__}
# Loaded by the bash-completion package from its completions directory; without
# that package, source this file from ~/.bashrc.

_varkit_words() {{
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$cur")
}}

_varkit_list() {{
    # A comma list: complete the word after the last comma.
    local done=""
    [[ $cur == *,* ]] && done=${{cur%,*}},
    mapfile -t COMPREPLY < <(compgen -W "$1" -P "$done" -- "${{cur##*,}}")
}}

_varkit_paths() {{
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen "${{1:--f}}" -- "$cur")
}}

_varkit() {{
    local cur=${{COMP_WORDS[COMP_CWORD]}} prev=""
    local options="{_words(options)}"
    (( COMP_CWORD > 0 )) && prev=${{COMP_WORDS[COMP_CWORD-1]}}
    if [[ $cur == = ]]; then
        cur=""
    elif [[ $prev == = ]] && (( COMP_CWORD > 1 )); then
        prev=${{COMP_WORDS[COMP_CWORD-2]}}
    fi
    case $prev in
{chr(10).join(cases)}
    esac
    if [[ $cur == -* ]]; then
        _varkit_words "$options"
    else
        _varkit_paths
    fi
}}

complete -F _varkit varkit
"""


def _zsh_quote(text: str) -> str:
    for char in "[]:":
        text = text.replace(char, "\\" + char)
    return "'" + text.replace("'", "'\\''") + "'"


def zsh_completion(parser: argparse.ArgumentParser) -> str:
    specs = []
    for action in _visible(parser):
        kind = PATH_OPTIONS.get(action.dest)
        if kind:
            value = "_files -/" if kind == "dir" else "_files"
        elif action.choices:
            value = f"({_words(action.choices)})"
        elif action.dest == "only":
            value = f"_values -s , verdict {_words(command_line.VERDICT_NAMES)}"
        else:
            value = " "  # a value that is typed, not completed (a URL, say)
        help_text = _zsh_quote(str(action.help or ""))[1:-1]
        if not action.option_strings:
            specs.append(f"'*:{action.metavar or action.dest}:{value}'")
            continue
        strings = action.option_strings
        repeat = "*" if action.dest == "check_local" else ""
        exclusive = f"({' '.join(strings)})" if len(strings) > 1 else ""
        if action.nargs == 0:
            argument = ""
        else:
            colon = "::" if action.nargs == "?" else ":"
            argument = f"{colon}{str(action.metavar or action.dest).lower()}:{value}"
        for string in strings:
            specs.append(f"'{exclusive}{repeat}{string}[{help_text}]{argument}'")
    body = " \\\n  ".join(specs)
    return (
        f"#compdef varkit\n# zsh completion of varkit {__version__}\n\n_arguments -s \\\n  {body}\n"
    )


# --- configuration ----------------------------------------------------------


def conf_file() -> str:
    lines = [
        f"# varkit configuration ({DEFAULT_CONF_PATH}); every key shows its default.",
        "# Uncomment a line to change it.",
        "[varkit]",
    ]
    lines += [f"# {key} = {value}" for key, value in DEFAULTS.items() if key != "varkit_ver"]
    return "\n".join(lines) + "\n"


def _write(path: str, text: str) -> str:
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    return path


def write_all(share: str) -> list[str]:
    """Every manual page and both completions below the share directory."""
    written = [
        _write(os.path.join(share, MAN_DIR, f"{name}.1"), man_page(name, parser))
        for name, parser in parsers()
    ]
    parser = command_line.build_parser()
    written.append(_write(os.path.join(share, BASH_COMPLETION), bash_completion(parser)))
    written.append(_write(os.path.join(share, ZSH_COMPLETION), zsh_completion(parser)))
    return written


def main(argv: Sequence[str]) -> int:
    if len(argv) == 2 and argv[0] == "--conf":
        print(_write(argv[1], conf_file()))
        return 0
    if len(argv) != 1 or argv[0].startswith("-"):
        sys.stderr.write("usage: python -m varkit.docs SHARE_DIRECTORY | --conf FILE\n")
        return 2
    print("\n".join(write_all(argv[0])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

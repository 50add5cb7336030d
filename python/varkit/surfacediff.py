"""Does a Python script call functions whose API changed in a package?"""

from __future__ import annotations

import ast
from typing import Any, Iterable

from varkit.record import FileRecord

__all__ = ["check_dependence_affected", "get_called_functions"]


def _dotted(node: ast.expr) -> str | None:
    """ "a.b.c" for a chain of attributes on a name, else None."""
    parts: list[str] = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if isinstance(node, ast.Name):
        parts.append(node.id)
        return ".".join(reversed(parts))
    return None


def _import_aliases(tree: ast.AST) -> dict[str, str]:
    """Local name -> the dotted name it was imported as."""
    aliases: dict[str, str] = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.asname:
                    aliases[alias.asname] = alias.name
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            for alias in node.names:
                if alias.name != "*":
                    aliases[alias.asname or alias.name] = f"{node.module}.{alias.name}"
    return aliases


def get_called_functions(tree: ast.AST) -> set[str]:
    """Names a module calls: as written ("np.dot", "obj.run"), with import
    aliases expanded ("numpy.dot"), and the bare attribute for calls on
    other expressions ("f().run" gives "run")."""
    aliases = _import_aliases(tree)
    called: set[str] = set()
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call):
            continue
        func = node.func
        dotted = _dotted(func)
        if dotted is None:
            if isinstance(func, ast.Attribute):
                called.add(func.attr)
            continue
        called.add(dotted)
        head, sep, rest = dotted.partition(".")
        if head in aliases:
            called.add(aliases[head] + sep + rest)
    return called


def _last(name: str) -> str:
    return name.rsplit(".", 1)[-1]


def check_dependence_affected(
    funcs_need_check: Iterable[Any], rpm: str, search_dest_file: str, library_dict: FileRecord
) -> bool:
    """True when the script calls none of the changed functions.

    A changed function matches a call when the dotted names are equal or
    their last components are (the script may reach a function through a
    re-export or an instance).  Matches are appended, sorted, as
    {"package": rpm, "function": name} to library_dict["py_affected_functions"].
    Unreadable or invalid scripts record nothing.
    """
    try:
        with open(search_dest_file, "rb") as handle:
            tree = ast.parse(handle.read(), filename=search_dest_file)
    except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
        return True
    called = get_called_functions(tree)
    called_last = {_last(name) for name in called}
    changed = {f for f in funcs_need_check if isinstance(f, str) and f}
    used = sorted(f for f in changed if f in called or _last(f) in called_last)
    if not used:
        return True
    records = library_dict.setdefault("py_affected_functions", [])
    for name in used:
        records.append({"package": rpm, "function": name})
    return False

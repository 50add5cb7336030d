"""Which modules a Python script imports, and which packages provide them."""

from __future__ import annotations

import ast
import importlib.metadata
import importlib.util
import os
import sys
from typing import Any, Iterable, Mapping

__all__ = ["get_modules_used_by", "get_pkgs_by_module_name"]


def _parse(path: str) -> ast.Module | None:
    try:
        with open(path, "rb") as handle:
            source = handle.read()
        # Bytes let the parser honour an encoding declaration.
        return ast.parse(source, filename=path)
    except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
        return None


def get_modules_used_by(path: str) -> list[str]:
    """Top-level names of the absolute imports of the script, first appearance first.

    Imports anywhere in the file count (inside functions or try blocks too);
    relative imports and ``__future__`` do not.  Unreadable or invalid files
    give [].
    """
    tree = _parse(path)
    if tree is None:
        return []
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))]
    nodes.sort(key=lambda n: (n.lineno, n.col_offset))
    names: list[str] = []
    for node in nodes:
        if isinstance(node, ast.Import):
            dotted = [alias.name for alias in node.names]
        elif node.level == 0 and node.module:
            dotted = [node.module]
        else:
            continue
        for name in dotted:
            top = name.split(".", 1)[0]
            if top and top != "__future__" and top not in names:
                names.append(top)
    return names


def _module_files(name: str) -> list[str]:
    """Files that make up the top-level module ``name`` in this interpreter."""
    try:
        found = importlib.util.find_spec(name)
    except (ImportError, ValueError, AttributeError):
        return []
    if found is None:
        return []
    files: list[str] = []
    if found.has_location and found.origin and os.path.isfile(found.origin):
        files.append(found.origin)
    files.extend(found.submodule_search_locations or ())
    return files


# The installed distributions' top-level names, read once for a state of the
# search path: reading them walks every distribution's file list (0.1 s and
# more), and a check of a tree asks for every Python file in it.
_distributions_seen: tuple[tuple[Any, ...], Mapping[str, list[str]]] | None = None


def _path_state() -> tuple[Any, ...]:
    state: list[Any] = [id(importlib.metadata.packages_distributions)]
    for entry in sys.path:
        try:
            state.append((entry, os.stat(entry or ".").st_mtime_ns))
        except (OSError, TypeError, ValueError):
            state.append((entry, None))
    return tuple(state)


def _distributions() -> Mapping[str, list[str]]:
    global _distributions_seen
    state = _path_state()
    if _distributions_seen is None or _distributions_seen[0] != state:
        _distributions_seen = (state, importlib.metadata.packages_distributions())
    return _distributions_seen[1]


def get_pkgs_by_module_name(names: Iterable[str]) -> dict[str, list[str]]:
    """Map from package name to the given module names it provides.

    A module whose files belong to a package of the system's package
    database (rpm or dpkg) is attributed to that package; otherwise to the
    installed Python distributions that provide it.  Modules nobody
    provides are left out.
    """
    from varkit.packages import get_belonged_rpm

    wanted = [n for n in dict.fromkeys(names) if isinstance(n, str) and n]
    result: dict[str, list[str]] = {}
    if not wanted:
        return result
    distributions = _distributions()

    for name in wanted:
        owners: list[str] = []
        for file in _module_files(name):
            owner = get_belonged_rpm(file)
            if owner and owner not in owners:
                owners.append(owner)
        if not owners:
            owners = list(dict.fromkeys(distributions.get(name, ())))
        for owner in owners:
            modules = result.setdefault(owner, [])
            if name not in modules:
                modules.append(name)
    return result

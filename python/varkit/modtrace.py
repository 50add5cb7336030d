"""Which modules a Python script imports, and which packages provide them."""

from __future__ import annotations

import ast
import importlib.metadata
import importlib.util
import os
from typing import Iterable

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
    for directory in found.submodule_search_locations or ():
        files.append(directory)
    return files


def get_pkgs_by_module_name(names: Iterable[str]) -> dict[str, list[str]]:
    """Map from package name to the given module names it provides.

    A module whose files belong to a package of the system's package
    database (rpm or dpkg) is attributed to that package; otherwise to the
    installed Python distributions that provide it.  Modules nobody
    provides are left out.
    """
    from varkit.common import get_belonged_rpm

    wanted = [n for n in dict.fromkeys(names) if isinstance(n, str) and n]
    result: dict[str, list[str]] = {}
    if not wanted:
        return result
    distributions = importlib.metadata.packages_distributions()

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

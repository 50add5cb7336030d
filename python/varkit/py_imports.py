"""Imports of a Python script that this machine cannot resolve.

The Python check follows the modules a script imports to the packages that
provide them here; a module that is not installed leads nowhere, so the
script's uses of it go unchecked. Such a module is recorded with the result
document that may describe it: a ``<package>_<py_api_diff>`` document of a
package named like the module (``barkit``, ``python3-barkit``,
``python-barkit``). When the results hold one, the script could not be
checked; otherwise the gap is only noted.
"""

from __future__ import annotations

import importlib.util
import os
import sys
from typing import Any, Optional

_PACKAGE_NAMES = ("{}", "python3-{}", "python-{}")


def _resolvable(module: str, script: str) -> bool:
    if module in sys.builtin_module_names:
        return True
    # The script's own directory comes first on its search path when it runs.
    beside = os.path.join(os.path.dirname(os.path.abspath(script)), module)
    if os.path.isfile(beside + ".py") or os.path.isdir(beside):
        return True
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError, AttributeError):
        return False


def _document_for(module: str, location: str) -> Optional[str]:
    from varkit import conf, urls

    stem = str(getattr(conf, "py_api_diff", "py_api_diff.json")).split(".")[0]
    for pattern in _PACKAGE_NAMES:
        name = f"{pattern.format(module)}_{stem}.json"
        if urls.is_valid_url(location):
            candidate = location.rstrip("/") + "/" + name
            if urls.is_url_reachable(candidate):
                return candidate
        else:
            candidate = os.path.join(location, name)
            if os.path.isfile(candidate):
                return candidate
    return None


def record_unresolved(location: Any, path: Any, file_map: Any) -> None:
    """Adds [module, document or None] for each import of the Python script
    ``path`` that cannot be resolved here."""
    from varkit import elf, modtrace

    if not isinstance(path, str) or not isinstance(location, str) or not isinstance(file_map, dict):
        return
    if elf.get_file_type(path).name != "PYTHON_FILE":
        return
    found = [
        [module, _document_for(module, location)]
        for module in modtrace.get_modules_used_by(path)
        if not _resolvable(module, path)
    ]
    if found:
        file_map["py_imports_unresolved"] = found

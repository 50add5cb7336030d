"""The directories the dynamic loader searches for a required library.

In the loader's order: the requesting object's DT_RPATH (only when it has no
DT_RUNPATH), its DT_RUNPATH, the directories configured in /etc/ld.so.conf
(with its ``include`` lines), then the standard and multiarch directories.
``$ORIGIN`` stands for the directory of the requesting object.
"""

from __future__ import annotations

import functools
import glob
import os
from typing import Iterable

LD_SO_CONF = "/etc/ld.so.conf"

# The trusted directories, /lib64 first as on the distribution the checker is made for.
STANDARD_DIRS = (
    "/lib64",
    "/usr/lib64",
    "/lib",
    "/usr/lib",
    "/lib32",
    "/usr/lib32",
    "/libx32",
    "/usr/libx32",
)
_MULTIARCH_BASES = STANDARD_DIRS[:4]

# ld.so.conf files may include one another; a cycle stops here.
_MAX_INCLUDE_DEPTH = 8


def _configured_dirs(path: str, depth: int = 0) -> list[str]:
    if depth > _MAX_INCLUDE_DEPTH:
        return []
    try:
        with open(path, encoding="utf-8", errors="replace") as handle:
            lines = handle.read().splitlines()
    except OSError:
        return []
    dirs: list[str] = []
    for line in lines:
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if words[0] == "include":
            for pattern in words[1:]:
                if not os.path.isabs(pattern):
                    pattern = os.path.join(os.path.dirname(path), pattern)
                for included in sorted(glob.glob(pattern)):
                    dirs.extend(_configured_dirs(included, depth + 1))
        elif words[0] != "hwcap":
            # "dir=type" entries of old configurations name the directory first.
            dirs.extend(word.split("=", 1)[0] for word in words)
    return dirs


def _unique_dirs(dirs: Iterable[str]) -> list[str]:
    seen: set[str] = set()
    kept = []
    for directory in dirs:
        normal = os.path.normpath(directory)
        if directory and normal not in seen and os.path.isdir(normal):
            seen.add(normal)
            kept.append(normal)
    return kept


@functools.lru_cache(maxsize=1)
def system_dirs() -> tuple[str, ...]:
    """The standard directories with their multiarch subdirectories, present here."""
    dirs: list[str] = []
    for base in _MULTIARCH_BASES:
        dirs.append(base)
        dirs.extend(sorted(d for d in glob.glob(base + "/*-linux-*") if os.path.isdir(d)))
    dirs.extend(STANDARD_DIRS[len(_MULTIARCH_BASES) :])
    return tuple(_unique_dirs(dirs))


@functools.lru_cache(maxsize=1)
def loader_dirs() -> tuple[str, ...]:
    """ld.so.conf's directories, then the system directories, each once."""
    return tuple(_unique_dirs(_configured_dirs(LD_SO_CONF) + list(system_dirs())))


def expand_origin(entry: str, origin: str) -> str:
    return entry.replace("${ORIGIN}", origin).replace("$ORIGIN", origin)


def search_dirs(rpath: Iterable[str], runpath: Iterable[str], origin: str) -> list[str]:
    """Where the loader looks for the libraries of an object with these tags."""
    runpath = [entry for entry in runpath if entry]
    own = runpath or [entry for entry in rpath if entry]
    return [expand_origin(entry, origin) for entry in own] + list(loader_dirs())

"""The directories the dynamic loader searches for a required library.

In the loader's order: the requesting object's DT_RPATH (only when it has no
DT_RUNPATH), its DT_RUNPATH, the directories configured in /etc/ld.so.conf
(with its ``include`` lines), then the standard and multiarch directories.
``$ORIGIN`` stands for the directory of the requesting object.

An image root (``rpm_root`` of the configuration) is the whole system the
files belong to: its ld.so.conf, its library directories and the absolute
RPATH/RUNPATH entries of its objects are all read inside it.
"""

from __future__ import annotations

import functools
import glob
import os
from typing import Any, Iterable, Optional

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


def image_root() -> str:
    """The configured root of the system being checked, "" for this machine's own."""
    from varkit import conf

    root = str(getattr(conf, "rpm_root", "") or "")
    root = os.path.normpath(root) if root else ""
    return "" if root in ("", "/") else root


def in_root(path: str, root: str) -> str:
    """``path`` as the system under ``root`` sees it, on this machine's disk."""
    return root + path if root and path.startswith("/") else path


def _configured_dirs(path: str, root: str = "", depth: int = 0) -> list[str]:
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
                if os.path.isabs(pattern):
                    pattern = in_root(pattern, root)
                else:
                    pattern = os.path.join(os.path.dirname(path), pattern)
                for included in sorted(glob.glob(pattern)):
                    dirs.extend(_configured_dirs(included, root, depth + 1))
        elif words[0] != "hwcap":
            # "dir=type" entries of old configurations name the directory first.
            dirs.extend(in_root(word.split("=", 1)[0], root) for word in words)
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


@functools.lru_cache(maxsize=4)
def _system_dirs(root: str) -> tuple[str, ...]:
    dirs: list[str] = []
    for base in _MULTIARCH_BASES:
        base = in_root(base, root)
        dirs.append(base)
        dirs.extend(sorted(d for d in glob.glob(base + "/*-linux-*") if os.path.isdir(d)))
    dirs.extend(in_root(d, root) for d in STANDARD_DIRS[len(_MULTIARCH_BASES) :])
    return tuple(_unique_dirs(dirs))


def system_dirs() -> tuple[str, ...]:
    """The standard directories with their multiarch subdirectories, present here
    (inside the image root when one is configured)."""
    return _system_dirs(image_root())


@functools.lru_cache(maxsize=4)
def _loader_dirs(root: str) -> tuple[str, ...]:
    configured = _configured_dirs(in_root(LD_SO_CONF, root), root)
    return tuple(_unique_dirs(configured + list(_system_dirs(root))))


def loader_dirs() -> tuple[str, ...]:
    """ld.so.conf's directories, then the system directories, each once."""
    return _loader_dirs(image_root())


def expand_origin(entry: str, origin: str) -> str:
    return entry.replace("${ORIGIN}", origin).replace("$ORIGIN", origin)


# e_machine -> (the loader's $PLATFORM, the multiarch triplet).
_PLATFORMS = {
    "EM_X86_64": ("x86_64", "x86_64-linux-gnu"),
    "EM_386": ("i686", "i386-linux-gnu"),
    "EM_AARCH64": ("aarch64", "aarch64-linux-gnu"),
    "EM_ARM": ("v7l", "arm-linux-gnueabihf"),
}


def _lib_and_platform(
    elfclass: Any, machine: Any, root: str
) -> tuple[Optional[str], Optional[str]]:
    """What $LIB and $PLATFORM stand for, for objects of this class and machine:
    "lib/TRIPLET" where the system has that multiarch directory, else lib64 or lib."""
    platform, triplet = _PLATFORMS.get(str(machine), (None, None))
    if triplet and os.path.isdir(in_root(f"/lib/{triplet}", root)):
        return f"lib/{triplet}", platform
    if elfclass is None:
        return None, platform
    return ("lib64" if elfclass == 64 else "lib"), platform


def _expand(entry: str, origin: str, lib: Optional[str], platform: Optional[str], root: str) -> str:
    text = expand_origin(entry, origin)
    for token, value in (("LIB", lib), ("PLATFORM", platform)):
        if value is not None:
            text = text.replace("${%s}" % token, value).replace("$" + token, value)
    # An absolute entry (not from $ORIGIN) names a directory of the image.
    return text if "ORIGIN" in entry else in_root(text, root)


def search_dirs(
    rpath: Iterable[str],
    runpath: Iterable[str],
    origin: str,
    elfclass: Any = None,
    machine: Any = None,
) -> list[str]:
    """Where the loader looks for the libraries of an object with these tags.

    ``origin`` is the object's directory on this machine's disk; $LIB and
    $PLATFORM take the values of the object's class and machine; an absolute
    entry is read inside the image root."""
    runpath = [entry for entry in runpath if entry]
    own = runpath or [entry for entry in rpath if entry]
    root = image_root()
    lib, platform = _lib_and_platform(elfclass, machine, root)
    return [_expand(entry, origin, lib, platform, root) for entry in own] + list(loader_dirs())

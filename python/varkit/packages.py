"""Which installed package owns a file, and which packages a program's libraries come from.

Ownership comes from the database that ``conf.package_db`` names (see
varkit's configuration): by default the rpm database where ``rpm`` is
installed and knows packages, else dpkg's file lists.  The index is built
once per process and setting instead of asking the package manager per file.
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess

from varkit import libpath
from varkit.elf import dependency_facts_of, locate_library, run_memo
from varkit.logger import ABI_LOG

__all__ = [
    "PACKAGE_DATABASES",
    "find_reqed_rpms",
    "get_belonged_rpm",
    "get_pkgname_by_libname",
]


PACKAGE_DATABASES = ("auto", "rpm", "dpkg", "none")
DPKG_INFO_DIR = "/var/lib/dpkg/info"
RPM_QUERY_SECONDS = 300


class PackageDatabaseError(OSError):
    """The package database could not be read: no file's owner is known, so no
    check that needs one can be made (an empty answer would read as "owned by
    no package")."""


class _OwnershipIndex:
    """Maps absolute file paths to the name of the package that installed them."""

    def __init__(
        self, owners: dict[str, str], source: str, root: str = "", failure: str = ""
    ) -> None:
        self.owners = owners
        self.source = source  # "rpm", "dpkg" or "" (no package database)
        # Installation root of the database's packages ("" for /).
        self.root = root
        # Why the database could not be read; "" when it was.
        self.failure = failure
        # The configuration the index was built for; None for one made by hand.
        self.key: tuple[str, ...] | None = None

    def __bool__(self) -> bool:
        return bool(self.owners)

    @classmethod
    def from_rpm(cls, rpm: str, dbpath: str = "", root: str = "") -> _OwnershipIndex:
        owners: dict[str, str] = {}
        command = [rpm]
        if root:
            command += ["--root", root]
        if dbpath:
            command += ["--dbpath", dbpath]
        # %{=NAME} repeats the one name beside each file; a bare %{NAME} in
        # the array iterator is an error for any package of more than one file.
        command += ["-qa", "--qf", "[%{=NAME}\t%{FILENAMES}\n]"]
        failure = ""
        try:
            run = subprocess.run(
                command,
                capture_output=True,
                check=False,
                timeout=RPM_QUERY_SECONDS,
            )
            out = run.stdout.decode("utf-8", "surrogateescape")
            if run.returncode != 0:
                # A broken or unreadable database lists nothing: say why.
                message = run.stderr.decode("utf-8", "replace").strip().splitlines()
                failure = f"exit status {run.returncode}" + (f": {message[0]}" if message else "")
        except subprocess.TimeoutExpired:
            failure = f"no answer within {RPM_QUERY_SECONDS} s"
            out = ""
        except (OSError, subprocess.SubprocessError) as exc:
            failure = str(exc)
            out = ""
        if failure:
            failure = f"the rpm database could not be read ({' '.join(command[:-2])}): {failure}"
            ABI_LOG(1, failure)
            return cls({}, "rpm", _normal_root(root), failure)
        for line in out.splitlines():
            name, sep, filename = line.partition("\t")
            if sep and filename.startswith("/"):
                owners.setdefault(filename, name)
        return cls(owners, "rpm", _normal_root(root))

    @classmethod
    def from_dpkg(cls, info_dir: str = DPKG_INFO_DIR) -> _OwnershipIndex:
        owners: dict[str, str] = {}
        for list_file in sorted(glob.glob(os.path.join(glob.escape(info_dir), "*.list"))):
            package = os.path.basename(list_file)[: -len(".list")].split(":", 1)[0]
            try:
                with open(list_file, encoding="utf-8", errors="surrogateescape") as handle:
                    for line in handle:
                        filename = line.rstrip("\n")
                        if filename.startswith("/"):
                            owners.setdefault(filename, package)
            except OSError:
                continue
        return cls(owners, "dpkg")

    def owner(self, path: str) -> str:
        if self.failure:
            raise PackageDatabaseError(self.failure)
        memo = run_memo("package owners")
        key = (id(self), path)
        if memo is not None and key in memo:
            return str(memo[key])
        variants = _path_variants(path, self.root)
        answer = next((self.owners[v] for v in variants if self.owners.get(v)), "")
        if memo is not None:
            memo[key] = answer
        return answer


def _normal_root(root: str) -> str:
    """The root as an absolute path without a trailing slash; "" for /."""
    if not root:
        return ""
    root = os.path.abspath(root)
    return "" if root == "/" else root


_USR_MERGED = ("/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libx32/")


def _inside_root(path: str, root: str) -> str:
    """``path`` as seen inside ``root``, or "" when it lies outside."""
    if root and path.startswith(root + "/"):
        return path[len(root) :]
    return ""


def _path_variants(path: str, root: str = "") -> list[str]:
    """The path as given, resolved, inside the root, and across the /usr merge."""
    variants: list[str] = []
    absolute = os.path.abspath(path)
    bases = [absolute, os.path.realpath(path)]
    # A symlinked directory with the file's own name (libfoo.so.1 -> ...).
    head, tail = os.path.split(absolute)
    bases.append(os.path.join(os.path.realpath(head), tail))
    if root:
        # Links inside the root are relative to it; keep both readings.
        bases += [inner for inner in (_inside_root(base, root) for base in bases) if inner]
        real_root = os.path.realpath(root)
        if real_root != root:
            bases += [inner for inner in (_inside_root(base, real_root) for base in bases) if inner]
    for base in bases:
        for candidate in (base, _usr_merge_twin(base)):
            if candidate and candidate not in variants:
                variants.append(candidate)
    return variants


def _usr_merge_twin(path: str) -> str:
    if path.startswith(_USR_MERGED):
        return "/usr" + path
    if path.startswith("/usr/") and path[4:].startswith(_USR_MERGED):
        return path[4:]
    return ""


def _package_db_settings() -> tuple[str, str, str]:
    """(database, rpm dbpath, rpm root) as configured."""
    from varkit import conf  # read at each use: the settings may change at run time

    choice = str(getattr(conf, "package_db", "auto") or "auto").strip().lower()
    if choice not in PACKAGE_DATABASES:
        ABI_LOG(1, f"unknown package_db {choice!r}; using auto")
        choice = "auto"
    dbpath = str(getattr(conf, "rpm_dbpath", "") or "").strip()
    root = str(getattr(conf, "rpm_root", "") or "").strip()
    return choice, dbpath, root


def _build_ownership_index(choice: str, dbpath: str, root: str) -> _OwnershipIndex:
    rpm = shutil.which("rpm") if choice in ("auto", "rpm") else None
    if rpm:
        index = _OwnershipIndex.from_rpm(rpm, dbpath, root)
        # In auto mode an empty or unreadable rpm database (rpm installed as
        # a tool on a dpkg system) gives way to dpkg, where there is one.
        if index or choice == "rpm" or (index.failure and not os.path.isdir(DPKG_INFO_DIR)):
            return index
    elif choice == "rpm":
        ABI_LOG(1, "package_db is rpm but rpm is not on the search path")
    if choice in ("auto", "dpkg") and os.path.isdir(DPKG_INFO_DIR):
        return _OwnershipIndex.from_dpkg()
    return _OwnershipIndex({}, "")


_ownership_index: _OwnershipIndex | None = None


def _get_ownership_index() -> _OwnershipIndex:
    global _ownership_index
    choice, dbpath, root = _package_db_settings()
    key = (choice, dbpath, root)
    index = _ownership_index
    # An index set by hand (key None) stays; a built one follows the settings.
    if index is None or (index.key is not None and index.key != key):
        index = _build_ownership_index(choice, dbpath, root)
        if not index and not index.failure:
            index = _OwnershipIndex({}, "")
        index.key = key
        where = ""
        if index.source == "rpm":
            where = f" (dbpath {dbpath or 'default'}, root {root or '/'})"
        ABI_LOG(
            2,
            f"package database ({choice}): {index.source or 'none'}{where}, "
            f"{len(index.owners)} files",
        )
        _ownership_index = index
    return index


def get_belonged_rpm(path: str) -> str:
    """Name of the installed package owning ``path``, or ""."""
    if not isinstance(path, str) or not path:
        return ""
    return _get_ownership_index().owner(path)


def get_pkgname_by_libname(name: str) -> str:
    """Package owning the library file or soname ``name``, or ""."""
    if not isinstance(name, str) or not name:
        return ""
    if "/" in name:
        return get_belonged_rpm(name)
    for directory in libpath.loader_dirs():
        candidate = os.path.join(directory, name)
        if os.path.lexists(candidate):
            owner = get_belonged_rpm(candidate)
            if owner:
                return owner
    return ""


def find_reqed_rpms(path: str) -> list[str] | None:
    """Packages owning the libraries ``path`` needs, or None when unknown.

    None when the file is not a readable ELF object or there is no package
    database.  Libraries are looked up as the dynamic loader would (see
    varkit.libpath), keeping only objects of the file's own class and machine.
    """
    facts = dependency_facts_of(path)
    if facts is None:
        return None
    index = _get_ownership_index()
    if not index and not index.failure:
        return None
    packages: list[str] = []
    for lib in facts[2]:
        # The owner of the copy the loader loads, not of any copy further along its search.
        loaded = locate_library(lib, path)
        found = index.owner(loaded) if loaded else ""
        if not found:
            ABI_LOG(3, f"{path}: no package found for {lib}")
        elif found not in packages:
            packages.append(found)
    return packages

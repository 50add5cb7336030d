"""Host utilities used by the checker's modules.

Three groups of facts:

* ELF facts read once per file state by the native reader (pyelftools for
  the odd objects it leaves alone): file type, word size, imported symbols,
  required libraries, shared-object name.  Anything that is not a readable
  ELF object simply gives the empty answer.
* URLs read through varkit.fetch: bounded in time and size, retried when the
  failure is transient, fetched once per run.
* Package ownership of installed files, from the database that
  ``conf.package_db`` names (see varkit's configuration): by default the rpm
  database where ``rpm`` is installed and knows packages, else dpkg's file
  lists.  The index is built once per process and setting instead of asking
  the package manager per file.
"""

from __future__ import annotations

import contextlib
import enum
import functools
import glob
import itertools
import json
import os
import re
import shutil
import stat
import subprocess
import sys
from html.parser import HTMLParser
from typing import IO, Any, Callable, Iterable, Iterator, TypeVar
from urllib.parse import unquote, urljoin, urlsplit

import requests
from elftools.common.exceptions import ELFError
from elftools.construct.core import ConstructError
from elftools.elf.dynamic import DynamicSection, DynamicSegment
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection
from elftools.elf.relocation import RelocationSection
from elftools.elf.sections import SymbolTableSection

from varkit import fetch, libpath
from varkit.logger import ABI_LOG

try:
    from varkit import _elf
except ImportError:  # extension not built: pyelftools reads every object
    _elf = None  # type: ignore[assignment]

__all__ = [
    "is_valid_url",
    "is_url_reachable",
    "get_remote_json",
    "get_json_content_from_url",
    "FileType",
    "get_file_type",
    "get_belonged_rpm",
    "is_32bit_file",
    "get_undefined_symbols_from_file",
    "find_req_libs",
    "find_reqed_rpms",
    "locate_library",
    "get_pkgname_by_libname",
    "get_soname_from_lib",
    "get_directory_list",
    "suppress_stdout",
    "find_symbols_in_file",
    "ImportedSymbols",
    "split_version",
    "structor_family",
]

# Seconds allowed for a reachability probe; documents follow varkit.fetch's policy.
PROBE_TIMEOUT = 5
FETCH_TIMEOUT = (fetch.CONNECT_TIMEOUT, fetch.READ_TIMEOUT)

T = TypeVar("T")


# --------------------------------------------------------------------------
# URLs


def is_valid_url(url: Any) -> bool:
    """True for an http or https URL with a host (and a sane port)."""
    if not isinstance(url, str) or not url:
        return False
    if any(ch.isspace() or ord(ch) < 0x20 or ord(ch) == 0x7F for ch in url):
        return False
    try:
        parts = urlsplit(url)
        parts.port  # raises ValueError for a malformed port
    except ValueError:
        return False
    return parts.scheme.lower() in ("http", "https") and bool(parts.hostname)


def _probe(url: str) -> bool:
    try:
        return fetch.probe(url, PROBE_TIMEOUT)
    except fetch.FetchError as exc:
        ABI_LOG(3, f"{url} is not reachable: {exc}")
        if fetch.faults_surface():
            raise
        return False


def is_url_reachable(x: Any) -> bool:
    """True only for a valid URL that answers with a non-error status.

    False for an invalid URL and for a definite client error (404 and the
    like).  Inside a ``varkit.fetch.fetch_run`` (the whole ``varkit`` run), a
    server that cannot be reached or fails raises ``varkit.fetch.FetchError``,
    since the document may well exist; outside one it gives False.
    """
    if not is_valid_url(x):
        return False
    return _probe(x)


def _fetch(url: str, kind: str = "json") -> fetch.Fetched:
    return fetch.get_document(url, kind)


def _json_body(fetched: fetch.Fetched) -> Any:
    return json.loads(fetched.content)


def get_remote_json(url: str) -> Any:
    """The JSON document at ``url``; HTTP and JSON errors propagate.

    A missing document raises requests.HTTPError; any other failure, a
    truncated or junk body included, raises varkit.fetch.FetchError naming
    the URL.
    """
    return fetch.parsed(url, "json", _json_body)


def get_json_content_from_url(url: str) -> tuple[Any, int]:
    """(parsed document, HTTP status) of the JSON document at ``url``."""
    document = fetch.parsed(url, "json", _json_body)
    return document, _fetch(url).status_code


class _LinkCollector(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.hrefs: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "a":
            for name, value in attrs:
                if name == "href" and value:
                    self.hrefs.append(value.strip())
                    break


def _listing_subdirs(html: str, base_url: str) -> list[str]:
    """Names of the direct subdirectories linked from a directory index page."""
    if not base_url.endswith("/"):
        base_url += "/"
    base = urlsplit(base_url)
    base_path = unquote(base.path)
    collector = _LinkCollector()
    collector.feed(html)
    collector.close()

    names: list[str] = []
    for href in collector.hrefs:
        if href.startswith(("?", "#")):
            continue  # sort-order links of fancy indexes
        target = urlsplit(urljoin(base_url, href))
        if target.query or (target.scheme, target.netloc) != (base.scheme, base.netloc):
            continue
        path = unquote(target.path)
        if not path.startswith(base_path) or not path.endswith("/"):
            continue  # parent links, absolute links elsewhere, plain files
        name = path[len(base_path):-1]
        if not name or "/" in name or name in (".", ".."):
            continue
        if name not in names:  # icon and text links may point to the same entry
            names.append(name)
    return names


def get_directory_list(url: str) -> list[str]:
    """Subdirectory names in the directory index at ``url``, in listing order.

    Reads the index pages of the usual servers (generated listings of
    Python's http.server, nginx and Apache).  An invalid URL or a missing
    directory (404) gives [].  A listing that could not be had gives [] too,
    except inside a ``varkit.fetch.fetch_run`` (the whole ``varkit`` run),
    where it raises varkit.fetch.FetchError so that it is never taken for
    "no report".
    """
    if not is_valid_url(url):
        return []
    try:
        response = _fetch(url, "listing")
    except requests.RequestException as exc:
        ABI_LOG(3, f"cannot list {url}: {exc}")
        missing = exc.response is not None and exc.response.status_code in fetch.MISSING_STATUSES
        if missing or not fetch.faults_surface():
            return []
        if isinstance(exc, fetch.FetchError):
            raise
        raise fetch.FetchError(url, str(exc)) from exc
    try:
        text = response.content.decode("utf-8")
    except UnicodeDecodeError:
        text = response.content.decode("latin-1")
    # After a redirect ("dir" -> "dir/") links are relative to the final URL.
    return _listing_subdirs(text, response.url or url)


# --------------------------------------------------------------------------
# ELF facts


class FileType(enum.Enum):
    BINARY_EXECUTABLE = "binary_executable"
    DYNAMIC_LIBRARY = "dynamic_library"
    PYTHON_FILE = "python_file"
    PHP_FILE = "php_file"
    JAVA_FILE = "java_file"
    OTHER = "other"

    def __str__(self) -> str:
        return self.value


# Corrupt or truncated objects make pyelftools fail in many ways.
_ELF_ERRORS = (
    ELFError,
    ConstructError,
    OSError,
    EOFError,
    ValueError,
    KeyError,
    IndexError,
    AttributeError,
    TypeError,
    AssertionError,
    OverflowError,
)


def _is_regular_file(path: Any) -> bool:
    # Never open FIFOs or devices met while walking a user's tree.
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, TypeError, ValueError):
        return False


def _with_elf(path: Any, reader: Callable[[ELFFile], T], default: T) -> T:
    """reader(elf) for an ELF file at ``path``; ``default`` for anything else."""
    if not _is_regular_file(path):
        return default
    try:
        with open(path, "rb") as stream:
            if stream.read(4) != b"\x7fELF":
                return default
            stream.seek(0)
            return reader(ELFFile(stream))
    except _ELF_ERRORS as exc:
        ABI_LOG(3, f"{path}: unreadable ELF object ({type(exc).__name__}: {exc})")
        return default


def _dynamic_tags(elf: ELFFile) -> Iterator[Any]:
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            yield from section.iter_tags()
            return
    # Objects without section headers still have the dynamic segment.
    for segment in elf.iter_segments():
        if isinstance(segment, DynamicSegment):
            yield from segment.iter_tags()
            return


def _has_interpreter(elf: ELFFile) -> bool:
    return any(seg["p_type"] == "PT_INTERP" for seg in elf.iter_segments())


_DF_1_PIE = 0x08000000


def _elf_kind(elf: ELFFile) -> FileType:
    e_type = elf.header["e_type"]
    if e_type == "ET_EXEC":
        return FileType.BINARY_EXECUTABLE
    if e_type != "ET_DYN":
        return FileType.OTHER
    pie_flag = has_soname = False
    for tag in _dynamic_tags(elf):
        if tag.entry.d_tag == "DT_FLAGS_1" and tag.entry.d_val & _DF_1_PIE:
            pie_flag = True
        elif tag.entry.d_tag == "DT_SONAME":
            has_soname = True
    # A position-independent executable names a program interpreter, but so
    # do libraries that can also be run (libc.so.6); those carry a soname.
    if pie_flag or (_has_interpreter(elf) and not has_soname):
        return FileType.BINARY_EXECUTABLE
    return FileType.DYNAMIC_LIBRARY


_SUFFIX_TYPES = {
    ".py": FileType.PYTHON_FILE,
    ".pyw": FileType.PYTHON_FILE,
    ".php": FileType.PHP_FILE,
    ".java": FileType.JAVA_FILE,
    ".jar": FileType.JAVA_FILE,
    ".class": FileType.JAVA_FILE,
}
_PYTHON_INTERP = re.compile(r"python[0-9.]*")
_PHP_INTERP = re.compile(r"php[0-9.]*(-cli)?")


def _shebang_type(path: str) -> FileType:
    try:
        with open(path, "rb") as stream:
            first = stream.readline(256)
    except OSError:
        return FileType.OTHER
    if not first.startswith(b"#!"):
        return FileType.OTHER
    words = first[2:].decode("utf-8", "replace").split()
    if not words:
        return FileType.OTHER
    interp = os.path.basename(words[0])
    if interp == "env":
        # "#!/usr/bin/env [-S] [VAR=x] python3"
        rest = [w for w in words[1:] if not w.startswith("-") and "=" not in w]
        if not rest:
            return FileType.OTHER
        interp = os.path.basename(rest[0])
    if _PYTHON_INTERP.fullmatch(interp):
        return FileType.PYTHON_FILE
    if _PHP_INTERP.fullmatch(interp):
        return FileType.PHP_FILE
    return FileType.OTHER


def get_file_type(path: str) -> FileType:
    """Classify a file: ELF executable or library, Python, PHP, Java, other."""
    if not _is_regular_file(path):
        return FileType.OTHER
    return _remembered(_type_cache, path, _classify)


def _classify(path: str) -> FileType:
    kind = _facts(path).kind
    if kind is not None:
        return kind
    suffix = os.path.splitext(path)[1].lower()
    if suffix in _SUFFIX_TYPES:
        return _SUFFIX_TYPES[suffix]
    return _shebang_type(path)


def is_32bit_file(path: str) -> bool:
    """True for a 32-bit ELF object."""
    return _facts(path).is32


class ImportedSymbols(set[str]):
    """Plain names of the symbols an object imports, as a set.

    ``versions`` maps a name to the version names (GLIBC_2.2.5, ...) that the
    object's version needs bind it to; names imported without a version are
    absent from it.  Callers that only intersect names see a plain set.
    """

    def __init__(self, names: Iterable[str] = (), versions: dict[str, frozenset[str]] | None = None) -> None:
        super().__init__(names)
        self.versions: dict[str, frozenset[str]] = dict(versions or {})

    def spellings(self, name: str) -> list[str]:
        """``name@VERSION`` for each version the object needs it at, else the plain name."""
        versions = self.versions.get(name)
        return [f"{name}@{version}" for version in sorted(versions)] if versions else [name]


def _needed_versions(elf: ELFFile) -> tuple[Any, dict[int, str]]:
    """(.gnu.version section, version index -> version name needed) of the object."""
    versym = None
    names: dict[int, str] = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerSymSection):
            versym = section
        elif isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    names[aux["vna_other"] & 0x7FFF] = aux.name
    return versym, names


# R_<machine>_COPY: a program that reads a library's variable directly gets a
# copy of it in its own data, and a defined symbol where an import would be.
_COPY_RELOCATION = {
    "EM_X86_64": 5, "EM_386": 5, "EM_AARCH64": 1024, "EM_ARM": 20, "EM_PPC": 19, "EM_PPC64": 19,
    "EM_S390": 9, "EM_RISCV": 4, "EM_LOONGARCH": 4, "EM_MIPS": 126, "EM_SPARC": 19, "EM_SPARCV9": 19,
}


def _copied_symbols(elf: ELFFile, dynsym_index: int) -> set[int]:
    """Indexes in the dynamic symbol table of the variables copied into the object."""
    copy = _COPY_RELOCATION.get(elf.header["e_machine"])
    indexes: set[int] = set()
    if copy is None:
        return indexes
    for section in elf.iter_sections():
        if isinstance(section, RelocationSection) and section["sh_link"] == dynsym_index:
            indexes.update(r["r_info_sym"] for r in section.iter_relocations() if r["r_info_type"] == copy)
    return indexes


def _undefined_symbols(elf: ELFFile) -> ImportedSymbols:
    symbols: Iterable[Any] = ()
    versym = None
    version_names: dict[int, str] = {}
    copied: set[int] = set()
    for index, section in enumerate(elf.iter_sections()):
        if isinstance(section, SymbolTableSection) and section["sh_type"] == "SHT_DYNSYM":
            symbols = section.iter_symbols()
            versym, version_names = _needed_versions(elf)
            copied = _copied_symbols(elf, index)
            break
    else:
        # Without section headers the version tables cannot be found.
        for segment in elf.iter_segments():
            if isinstance(segment, DynamicSegment):
                symbols = segment.iter_symbols()
                break
    names: set[str] = set()
    versions: dict[str, set[str]] = {}
    for number, sym in enumerate(symbols):
        if not sym.name or (sym["st_shndx"] != "SHN_UNDEF" and number not in copied):
            continue
        names.add(sym.name)
        if versym is None or number >= versym.num_symbols():
            continue
        index = versym.get_symbol(number)["ndx"]
        version = version_names.get(index & 0x7FFF) if isinstance(index, int) else None
        if version:
            versions.setdefault(sym.name, set()).add(version)
    return ImportedSymbols(names, {name: frozenset(v) for name, v in versions.items()})


def get_undefined_symbols_from_file(path: str) -> ImportedSymbols:
    """Plain names of the dynamic symbols the object imports, copied
    variables included.

    The result is a set of names; its ``versions`` attribute tells the
    version each name is bound to where the ELF version tables give one.
    """
    imported = _facts(path).imported
    return ImportedSymbols(imported, imported.versions)


def _needed(elf: ELFFile) -> list[str]:
    names: list[str] = []
    for tag in _dynamic_tags(elf):
        if tag.entry.d_tag == "DT_NEEDED" and tag.needed not in names:
            names.append(tag.needed)
    return names


def find_req_libs(path: str) -> list[str]:
    """DT_NEEDED entries of the object, in order."""
    return list(_facts(path).needed)


def _soname(elf: ELFFile) -> str:
    for tag in _dynamic_tags(elf):
        if tag.entry.d_tag == "DT_SONAME":
            return str(tag.soname)
    return ""


def _file_signature(path: Any) -> tuple[int, ...] | None:
    try:
        info = os.stat(path)
    except (OSError, TypeError, ValueError):
        return None
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


def get_soname_from_lib(path: str) -> str:
    """DT_SONAME of a shared library, or ""."""
    return _facts(path).soname


# Everything the helpers tell about one object, read in one pass and kept per
# file state (device, inode, size, times): a directory walk asks about the
# same files and libraries again and again.
_LinkFacts = tuple[int, str, list[str], list[str], list[str]]


class _ObjectFacts:
    __slots__ = ("kind", "is32", "imported", "needed", "soname", "link")

    def __init__(
        self,
        kind: FileType | None = None,
        is32: bool = False,
        imported: ImportedSymbols | None = None,
        needed: tuple[str, ...] = (),
        soname: str = "",
        link: _LinkFacts | None = None,
    ) -> None:
        self.kind = kind
        self.is32 = is32
        self.imported = imported if imported is not None else ImportedSymbols()
        self.needed = needed
        self.soname = soname
        self.link = link


_NOT_ELF = _ObjectFacts()
_CACHE_SIZE = 4096
_facts_cache: dict[str, tuple[tuple[int, ...], Any]] = {}
_type_cache: dict[str, tuple[tuple[int, ...], Any]] = {}


def _remembered(cache: dict[str, tuple[tuple[int, ...], Any]], path: Any, compute: Callable[[Any], T]) -> T:
    signature = _file_signature(path)
    if signature is None or not isinstance(path, str):
        return compute(path)
    known = cache.get(path)
    if known is not None and known[0] == signature:
        return known[1]  # type: ignore[no-any-return]
    value = compute(path)
    if len(cache) >= _CACHE_SIZE:
        cache.clear()
    cache[path] = (signature, value)
    return value


def _facts(path: Any) -> _ObjectFacts:
    if not _is_regular_file(path):
        return _NOT_ELF
    return _remembered(_facts_cache, path, _read_facts)


_MACHINE_NAMES: dict[int, str] = {}


def _machine_name(number: int) -> Any:
    if not _MACHINE_NAMES:
        from elftools.elf.enums import ENUM_E_MACHINE

        _MACHINE_NAMES.update({v: k for k, v in ENUM_E_MACHINE.items() if isinstance(v, int) and k != "_default_"})
    return _MACHINE_NAMES.get(number, number)


def _split_paths(entries: list[str]) -> list[str]:
    return [part for entry in entries for part in entry.split(":")]


def _read_facts(path: Any) -> _ObjectFacts:
    raw: Any = None
    if _elf is not None and isinstance(path, str):
        try:
            raw = _elf.read(path)
        except (OSError, ValueError, UnicodeError):
            raw = None
    if raw is False:
        return _NOT_ELF
    if raw is None:
        return _read_facts_general(path)
    elfclass, machine, e_type, interp, pie_flag, has_soname, soname, needed, rpath, runpath, undefined, _ = raw
    if e_type == 2:
        kind = FileType.BINARY_EXECUTABLE
    elif e_type != 3:
        kind = FileType.OTHER
    elif pie_flag or (interp and not has_soname):
        kind = FileType.BINARY_EXECUTABLE
    else:
        kind = FileType.DYNAMIC_LIBRARY
    versions = {name: frozenset(v) for name, v in undefined if v}
    imported = ImportedSymbols((name for name, _ in undefined), versions)
    link = (elfclass, _machine_name(machine), list(needed), _split_paths(rpath), _split_paths(runpath))
    return _ObjectFacts(kind, elfclass == 32, imported, tuple(needed), soname, link)


def _read_facts_general(path: Any) -> _ObjectFacts:
    """The facts of an object the native reader leaves alone, through pyelftools."""
    return _ObjectFacts(
        _with_elf(path, _elf_kind, None),
        _with_elf(path, lambda elf: elf.elfclass == 32, False),
        _with_elf(path, _undefined_symbols, ImportedSymbols()),
        tuple(_with_elf(path, _needed, [])),
        _with_elf(path, _soname, ""),
        _with_elf(path, _dependency_facts, None),
    )


# --------------------------------------------------------------------------
# Package ownership


PACKAGE_DATABASES = ("auto", "rpm", "dpkg", "none")
DPKG_INFO_DIR = "/var/lib/dpkg/info"


class _OwnershipIndex:
    """Maps absolute file paths to the name of the package that installed them."""

    def __init__(self, owners: dict[str, str], source: str, root: str = "") -> None:
        self.owners = owners
        self.source = source  # "rpm", "dpkg" or "" (no package database)
        # Installation root of the database's packages ("" for /).
        self.root = root
        # The configuration the index was built for; None for one made by hand.
        self.key: tuple[str, ...] | None = None

    def __bool__(self) -> bool:
        return bool(self.owners)

    @classmethod
    def from_rpm(cls, rpm: str, dbpath: str = "", root: str = "") -> "_OwnershipIndex":
        owners: dict[str, str] = {}
        command = [rpm]
        if root:
            command += ["--root", root]
        if dbpath:
            command += ["--dbpath", dbpath]
        # %{=NAME} repeats the one name beside each file; a bare %{NAME} in
        # the array iterator is an error for any package of more than one file.
        command += ["-qa", "--qf", "[%{=NAME}\t%{FILENAMES}\n]"]
        try:
            run = subprocess.run(
                command,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                check=False,
                timeout=300,
            )
            out = run.stdout.decode("utf-8", "surrogateescape")
            if run.returncode != 0:
                # A broken or unreadable database lists nothing: say why.
                message = run.stderr.decode("utf-8", "replace").strip().splitlines()
                ABI_LOG(1, f"rpm database query failed ({run.returncode}): {message[0] if message else ''}")
        except (OSError, subprocess.SubprocessError) as exc:
            ABI_LOG(1, f"cannot query the rpm database: {exc}")
            out = ""
        for line in out.splitlines():
            name, sep, filename = line.partition("\t")
            if sep and filename.startswith("/"):
                owners.setdefault(filename, name)
        return cls(owners, "rpm", _normal_root(root))

    @classmethod
    def from_dpkg(cls, info_dir: str = DPKG_INFO_DIR) -> "_OwnershipIndex":
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
        for candidate in _path_variants(path, self.root):
            name = self.owners.get(candidate)
            if name:
                return name
        return ""


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
        return path[len(root):]
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
        # In auto mode an empty rpm database (rpm installed as a tool on a
        # dpkg system) gives way to dpkg.
        if index or choice == "rpm":
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
        if not index:
            index = _OwnershipIndex({}, "")
        index.key = key
        where = ""
        if index.source == "rpm":
            where = f" (dbpath {dbpath or 'default'}, root {root or '/'})"
        ABI_LOG(2, f"package database ({choice}): {index.source or 'none'}{where}, "
                   f"{len(index.owners)} files")
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


def _dependency_facts(elf: ELFFile) -> _LinkFacts:
    needed: list[str] = []
    rpath: list[str] = []
    runpath: list[str] = []
    for tag in _dynamic_tags(elf):
        d_tag = tag.entry.d_tag
        if d_tag == "DT_NEEDED" and tag.needed not in needed:
            needed.append(tag.needed)
        elif d_tag == "DT_RPATH":
            rpath.extend(tag.rpath.split(":"))
        elif d_tag == "DT_RUNPATH":
            runpath.extend(tag.runpath.split(":"))
    return elf.elfclass, elf.header["e_machine"], needed, rpath, runpath


def _dependency_facts_of(path: Any) -> _LinkFacts | None:
    """(ELF class, machine, DT_NEEDED, DT_RPATH, DT_RUNPATH) of ``path``, or None."""
    link = _facts(path).link
    if link is None:
        return None
    return link[0], link[1], list(link[2]), list(link[3]), list(link[4])


def _same_abi(path: str, elfclass: int, machine: str) -> bool:
    link = _facts(path).link
    return link is not None and (link[0], link[1]) == (elfclass, machine)


def _library_candidates(name: str, facts: _LinkFacts | None, requester: Any) -> Iterator[str]:
    """Installed objects the loader could take for ``name``, in its search order.

    With the link facts of an ELF ``requester``, its RPATH/RUNPATH come first
    and only objects of its own class and machine count; otherwise any
    regular file does.
    """
    if not isinstance(name, str) or not name or "/" in name or name in (".", ".."):
        return
    if facts is None:
        directories: Iterable[str] = libpath.loader_dirs()
    else:
        origin = os.path.dirname(os.path.realpath(requester))
        directories = libpath.search_dirs(facts[3], facts[4], origin)
    for directory in directories:
        candidate = os.path.join(directory, name)
        if _is_regular_file(candidate) and (facts is None or _same_abi(candidate, facts[0], facts[1])):
            yield candidate


def locate_library(name: str, requester: Any = None) -> str:
    """Path of the library ``name`` as the loader would find it for ``requester``, or ""."""
    facts = _dependency_facts_of(requester) if isinstance(requester, str) and requester else None
    return next(_library_candidates(name, facts, requester), "")


def find_reqed_rpms(path: str) -> list[str] | None:
    """Packages owning the libraries ``path`` needs, or None when unknown.

    None when the file is not a readable ELF object or there is no package
    database.  Libraries are looked up as the dynamic loader would (see
    varkit.libpath), keeping only objects of the file's own class and machine.
    """
    facts = _dependency_facts_of(path)
    if facts is None:
        return None
    index = _get_ownership_index()
    if not index:
        return None
    packages: list[str] = []
    for lib in facts[2]:
        owners = map(index.owner, _library_candidates(lib, facts, path))
        found = next((owner for owner in owners if owner), "")
        if not found:
            ABI_LOG(3, f"{path}: no package found for {lib}")
        elif found not in packages:
            packages.append(found)
    return packages


# --------------------------------------------------------------------------
# Output


@contextlib.contextmanager
def suppress_stdout(path: str = os.devnull) -> Iterator[IO[str]]:
    """Send standard output (sys.stdout and file descriptor 1) to ``path``.

    Descriptor 1 is redirected only when sys.stdout is backed by a real
    descriptor; under in-memory capture only sys.stdout is replaced.
    Exceptions raised inside the block propagate after restoring.
    """
    original = sys.stdout
    target = open(path, "w", encoding="utf-8", errors="backslashreplace", buffering=1)
    saved_fd = -1
    try:
        if original is not None:
            original.flush()
            try:
                original.fileno()
                saved_fd = os.dup(1)
            except (AttributeError, OSError, ValueError):
                saved_fd = -1
        if saved_fd >= 0:
            os.dup2(target.fileno(), 1)
        sys.stdout = target
        try:
            yield target
        finally:
            try:
                if sys.stdout is not None:
                    sys.stdout.flush()
            except (OSError, ValueError):
                pass
            target.flush()
            if saved_fd >= 0:
                os.dup2(saved_fd, 1)
            sys.stdout = original
    finally:
        if saved_fd >= 0:
            os.close(saved_fd)
        target.close()


# --------------------------------------------------------------------------
# Symbol identity
#
# A report and a program may spell one symbol differently: "name@@VER" (the
# default version a library defines), "name@VER" (the version a program is
# bound to) or the bare name; and, in C++, one constructor or destructor has
# several entry points (complete, base, deleting object: C1/C2/C3, D0/D1/D2)
# of which a report lists one and a program imports another.


def split_version(name: str) -> tuple[str, str | None]:
    """("name", "VER") for "name@VER" or "name@@VER"; ("name", None) for a bare name."""
    base, at, version = name.partition("@")
    if not at:
        return name, None
    return base, version.lstrip("@") or None


# Two-letter standard substitutions: St (std::), Sa, Sb, Ss, Si, So, Sd.
_STD_SUBSTITUTIONS = frozenset("tabsiod")


def _skip_source_name(name: str, i: int) -> int:
    """Index past "<length><identifier>" starting at ``i``, or -1."""
    j = i
    while j < len(name) and name[j].isdigit():
        j += 1
    if j == i:
        return -1
    end = j + int(name[i:j])
    return end if end <= len(name) else -1


def _skip_to_underscore(name: str, i: int) -> int:
    j = name.find("_", i)
    return -1 if j < 0 else j + 1


def _skip_template_args(name: str, i: int) -> int:
    """Index past the "I ... E" template argument list starting at ``i``, or -1.

    A nesting count is enough here: the position found is only trusted when a
    constructor or destructor code follows it in the right shape.
    """
    depth = 0
    n = len(name)
    while i < n:
        c = name[i]
        if c.isdigit():
            i = _skip_source_name(name, i)
            if i < 0:
                return -1
            continue
        if c in "INXFJ":
            depth += 1
        elif c == "E":
            depth -= 1
            if depth == 0:
                return i + 1
        elif c == "L":
            if name.startswith("_Z", i + 1):  # an external name as argument
                depth += 1
                i += 3
                continue
            i = name.find("E", i)  # a literal: type, value, E
            if i < 0:
                return -1
        elif c == "S":
            i = i + 2 if name[i + 1:i + 2] in _STD_SUBSTITUTIONS else _skip_to_underscore(name, i)
            if i < 0:
                return -1
            continue
        elif c in "TA":  # template parameter T<n>_, array A<n>_
            i = _skip_to_underscore(name, i)
            if i < 0:
                return -1
            continue
        elif c == "D":
            kind = name[i + 1:i + 2]
            if kind in ("t", "T"):  # decltype(...) E
                depth += 1
            elif kind in ("v", "F"):  # vector Dv<n>_, DF<n>_
                i = _skip_to_underscore(name, i)
                if i < 0:
                    return -1
                continue
            i += 2
            continue
        i += 1
    return -1


def structor_family(name: str) -> str | None:
    """The mangled name of a C++ constructor or destructor with its variant
    code replaced by a marker, so that all variants of it compare equal;
    None for any other symbol (or one this reader cannot follow)."""
    if not name.startswith("_ZN"):
        return None
    n = len(name)
    i = 3
    while i < n and name[i] in "rVK":
        i += 1
    if i < n and name[i] in "RO":
        i += 1
    while i < n:
        c = name[i]
        if c.isdigit():
            i = _skip_source_name(name, i)
        elif c == "S":
            i = i + 2 if name[i + 1:i + 2] in _STD_SUBSTITUTIONS else _skip_to_underscore(name, i)
        elif c == "I":
            i = _skip_template_args(name, i)
        elif c == "T":
            i = _skip_to_underscore(name, i)
        elif c == "B":  # ABI tag of the component before
            i = _skip_source_name(name, i + 1)
        elif c == "L":  # internal-linkage name
            i += 1
        elif c == "C" or c == "D":
            code = name[i:i + 3] if name.startswith(("CI1", "CI2"), i) else name[i:i + 2]
            if code not in ("C1", "C2", "C3", "CI1", "CI2", "D0", "D1", "D2"):
                return None
            end = i + len(code)
            # Complete object, base object and allocating/deleting variants
            # are one family; an inheriting constructor names its base next.
            if code.startswith("CI") or name[end:end + 1] in ("E", "I", "B"):
                return name[:i] + code[:-1] + "*" + name[end:]
            return None
        else:  # end of the nested name, operator, unnamed type...
            return None
        if i < 0:
            return None
    return None


_HOW_RANK = {"exact": 0, "version": 1, "ctor-dtor-variant": 2}


@functools.lru_cache(maxsize=1 << 16)
def _identity(name: str) -> tuple[str, str, str | None]:
    """(identity key, name without version, version) of a spelled symbol.

    Cached: the same names come back with every file and report of a tree.
    """
    base, version = split_version(name)
    return structor_family(base) or base, base, version


# The variant digits each constructor/destructor code takes, by the letter
# before the marker: "C*" (C1-C3), "D*" (D0-D2), "CI*" (CI1, CI2).
_FAMILY_DIGITS = {"C": "123", "D": "012", "I": "12"}


def _family_members(key: str) -> list[str] | None:
    """Every name whose structor family is ``key``, or None when a "*" of the
    mangled name's own leaves that unclear."""
    if key.count("*") != 1:
        return None
    marker = key.index("*")
    digits = _FAMILY_DIGITS.get(key[marker - 1:marker], "")  # else no family: a plain name
    return [key[:marker] + digit + key[marker + 1:] for digit in digits]


class _ChangedIndex:
    """The changed symbols of one report by identity, built once per run.

    ``names`` holds every plain name a file may import to meet one of them
    (names, and all variants of a constructor or destructor), so that a
    file's candidates are one set intersection; ``exhaustive`` is False when
    some name escapes that set and every import must be looked up.
    """

    __slots__ = ("by_identity", "names", "exhaustive", "size")

    def __init__(self, changed: Iterable[Any]) -> None:
        by_identity: dict[str, list[tuple[str, str, str | None]]] = {}
        for report_name in {s for s in changed if isinstance(s, str) and s}:
            key, base, version = _identity(report_name)
            by_identity.setdefault(key, []).append((report_name, base, version))
        names = set(by_identity)
        exhaustive = True
        for key in by_identity:
            if "*" not in key:
                continue  # no family of constructors or destructors: the key is the name
            members = _family_members(key)
            if members is None:
                exhaustive = False
            else:
                names.update(members)
        self.by_identity = {key: tuple(entries) for key, entries in by_identity.items()}
        self.names = frozenset(names)
        self.exhaustive = exhaustive
        self.size = len(names) + sum(len(entries) for entries in by_identity.values())


class _IndexMemo:
    """Indexes of changed-symbol collections by their contents; the least
    recently used go first past ``max_entries`` or ``max_names`` names."""

    def __init__(self, max_entries: int = 512, max_names: int = 1 << 19) -> None:
        self.max_entries = max_entries
        self.max_names = max_names
        self._entries: dict[frozenset[Any], _ChangedIndex] = {}
        self._names = 0

    def get(self, changed: Iterable[Any]) -> _ChangedIndex:
        if not isinstance(changed, (set, frozenset, list, tuple)):
            changed = list(changed)  # read once, whatever it is
        try:
            contents = frozenset(changed)
        except TypeError:  # something unhashable among them: only names count
            contents = frozenset(s for s in changed if isinstance(s, str))
        index = self._entries.pop(contents, None)
        if index is None:
            index = _ChangedIndex(contents)
            if index.size > self.max_names:
                return index
            self._names += index.size
            while self._entries and (len(self._entries) >= self.max_entries or self._names > self.max_names):
                self._names -= self._entries.pop(next(iter(self._entries))).size
        self._entries[contents] = index  # dicts keep order: the newest last
        return index


_changed_indexes = _IndexMemo()


def _file_spellings(symbol_list: Iterable[Any] | None, index: _ChangedIndex) -> set[str]:
    """The file's spellings whose name may meet one of the index's symbols."""
    if symbol_list is None:
        return set()
    spell = symbol_list.spellings if isinstance(symbol_list, ImportedSymbols) else None
    wanted = index.names
    candidates: Iterable[Any]
    if not index.exhaustive:
        candidates = symbol_list
    elif isinstance(symbol_list, (set, frozenset)):
        # A spelling's name is the import up to its first "@".
        candidates = itertools.chain(
            symbol_list & wanted,
            (s for s in symbol_list if isinstance(s, str) and "@" in s and s.partition("@")[0] in wanted))
    else:
        candidates = (s for s in symbol_list if isinstance(s, str) and s.partition("@")[0] in wanted)
    names: set[str] = set()
    for symbol in candidates:
        if isinstance(symbol, str) and symbol:
            names.update(spell(symbol) if spell else (symbol,))
    return names


def match_symbols(changed: Iterable[Any], symbol_list: Iterable[Any] | None) -> list[tuple[str, str, str]]:
    """(report symbol, file symbol, how) for every changed symbol the file uses.

    Each file symbol is paired with the report symbols closest to it: the
    same spelling, else the same name whose versions agree (a side without
    a version agrees with any), else another variant of the same C++
    constructor or destructor whose versions agree.
    """
    index = _changed_indexes.get(changed)
    by_identity = index.by_identity
    matches: list[tuple[str, str, str]] = []
    for file_name in _file_spellings(symbol_list, index):
        key, base, version = _identity(file_name)
        best: list[tuple[str, str, str]] = []
        for report_name, report_base, report_version in by_identity.get(key, ()):
            if version is not None and report_version is not None and version != report_version:
                continue  # bound to another version of the name
            if report_name == file_name:
                how = "exact"
            elif report_base == base:
                how = "version"
            else:
                how = "ctor-dtor-variant"
            if best and _HOW_RANK[how] > _HOW_RANK[best[0][2]]:
                continue
            if best and _HOW_RANK[how] < _HOW_RANK[best[0][2]]:
                best = []
            best.append((report_name, file_name, how))
        matches.extend(best)
    matches.sort()
    return matches


def find_symbols_in_file(
    total_symbols: Iterable[Any],
    library_dict: dict[str, Any],
    pkg_name: str,
    lib: str,
    table: Any,
    symbol_list: Iterable[Any] | None = None,
) -> bool:
    """Report the changed symbols of ``lib`` that the file imports.

    Symbols are matched by identity (see ``match_symbols``).  Adds one row
    [pkg_name, lib, symbol] per used changed symbol, sorted, to ``table``:
    the symbol as the report spells it, followed by the file's spellings
    where they differ; prints the table when a row was added.  Appends
    {"library", "package", "symbol"} records (report spelling) to
    library_dict["affected_symbols"] and {"library", "report_symbol",
    "file_symbol", "how"} records to library_dict["symbol_matches"].
    Without ``symbol_list`` nothing is known to be used.  True when at least
    one changed symbol is used.
    """
    matches = match_symbols(total_symbols if total_symbols is not None else (), symbol_list)
    if not matches:
        return False
    spelled_otherwise: dict[str, list[str]] = {}
    for report_name, file_name, _ in matches:
        others = spelled_otherwise.setdefault(report_name, [])
        if file_name != report_name:
            others.append(file_name)
    records = library_dict.setdefault("affected_symbols", [])
    for report_name, others in spelled_otherwise.items():
        shown = f"{report_name} (file: {', '.join(others)})" if others else report_name
        table.add_row([pkg_name, lib, shown])
        records.append({"library": lib, "package": pkg_name, "symbol": report_name})
    library_dict.setdefault("symbol_matches", []).extend(
        {"library": lib, "report_symbol": report_name, "file_symbol": file_name, "how": how}
        for report_name, file_name, how in matches)
    print(table)
    return True

"""ELF facts of installed files, and where the loader finds a required library.

File type, word size, imported symbols, required libraries, shared-object
name and search paths are read once per file state by the native reader
(varkit._elf), through pyelftools for the odd objects it leaves alone.
Anything that is not a readable ELF object simply gives the empty answer.
"""

from __future__ import annotations

import enum
import os
import re
import stat
import sys
from typing import Any, Callable, Iterable, Iterator, TypeVar

from elftools.common.exceptions import ELFError
from elftools.construct.core import ConstructError
from elftools.elf.dynamic import DynamicSection, DynamicSegment
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection
from elftools.elf.relocation import RelocationSection
from elftools.elf.sections import SymbolTableSection

from varkit import libpath
from varkit.logger import ABI_LOG

try:
    from varkit import _elf
except ImportError:  # extension not built: pyelftools reads every object
    _elf = None  # type: ignore[assignment]

__all__ = [
    "ElfUnreadable",
    "FileType",
    "ImportedSymbols",
    "find_req_libs",
    "get_file_type",
    "get_soname_from_lib",
    "get_undefined_symbols_from_file",
    "is_32bit_file",
    "locate_library",
    "unloadable_copies",
]

T = TypeVar("T")


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

    def __init__(
        self, names: Iterable[str] = (), versions: dict[str, frozenset[str]] | None = None
    ) -> None:
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
    "EM_X86_64": 5,
    "EM_386": 5,
    "EM_AARCH64": 1024,
    "EM_ARM": 20,
    "EM_PPC": 19,
    "EM_PPC64": 19,
    "EM_S390": 9,
    "EM_RISCV": 4,
    "EM_LOONGARCH": 4,
    "EM_MIPS": 126,
    "EM_SPARC": 19,
    "EM_SPARCV9": 19,
}


def _copied_symbols(elf: ELFFile, dynsym_index: int) -> set[int]:
    """Indexes in the dynamic symbol table of the variables copied into the object."""
    copy = _COPY_RELOCATION.get(elf.header["e_machine"])
    indexes: set[int] = set()
    if copy is None:
        return indexes
    for section in elf.iter_sections():
        if isinstance(section, RelocationSection) and section["sh_link"] == dynsym_index:
            indexes.update(
                r["r_info_sym"] for r in section.iter_relocations() if r["r_info_type"] == copy
            )
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
    __slots__ = ("imported", "is32", "kind", "link", "needed", "soname")

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


def _remembered(
    cache: dict[str, tuple[tuple[int, ...], Any]], path: Any, compute: Callable[[Any], T]
) -> T:
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
    known = _remembered(_facts_cache, path, _facts_or_failure)
    if isinstance(known, ElfUnreadable):
        raise known  # remembered too: the time is spent once per file state
    return known


def _facts_or_failure(path: Any) -> _ObjectFacts | ElfUnreadable:
    try:
        return _read_facts(path)
    except ElfUnreadable as error:
        return error


_MACHINE_NAMES: dict[int, str] = {}


def _machine_name(number: int) -> Any:
    if not _MACHINE_NAMES:
        from elftools.elf.enums import ENUM_E_MACHINE

        _MACHINE_NAMES.update(
            {v: k for k, v in ENUM_E_MACHINE.items() if isinstance(v, int) and k != "_default_"}
        )
    return _MACHINE_NAMES.get(number, number)


def _split_paths(entries: list[str]) -> list[str]:
    return [part for entry in entries for part in entry.split(":")]


def _read_facts(path: Any) -> _ObjectFacts:
    raw: Any = None
    if _elf is not None and isinstance(path, str):
        try:
            # As bytes: a name that is not UTF-8 reaches the reader unchanged.
            raw = _elf.read(os.fsencode(path))
        except (OSError, ValueError, UnicodeError):
            raw = None
    if raw is False:
        return _NOT_ELF
    if raw is None:
        return _read_facts_bounded(path)
    (
        elfclass,
        machine,
        e_type,
        interp,
        pie_flag,
        has_soname,
        soname,
        needed,
        rpath,
        runpath,
        undefined,
        _,
    ) = raw
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
    link = (
        elfclass,
        _machine_name(machine),
        list(needed),
        _split_paths(rpath),
        _split_paths(runpath),
    )
    return _ObjectFacts(kind, elfclass == 32, imported, tuple(needed), soname, link)


# The general-purpose reader sees only objects the native one found malformed;
# some of those send it round a loop for ever. It gets this long.
GENERAL_READER_SECONDS = 10.0


class ElfUnreadable(OSError):
    """An ELF object that could not be read within the time it is given."""


def _read_facts_bounded(path: Any) -> _ObjectFacts:
    """pyelftools' reading, stopped after GENERAL_READER_SECONDS."""
    from varkit.time_limit import TimeLimitExceeded, time_limit

    try:
        with time_limit(GENERAL_READER_SECONDS) as bound:
            return _read_facts_general(path)
    except TimeLimitExceeded as exceeded:
        if exceeded is not bound:
            raise  # the time of a bound around this one is up
        raise ElfUnreadable(
            f"{path}: a malformed ELF object that could not be read within "
            f"{GENERAL_READER_SECONDS:g} s"
        ) from None


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


def dependency_facts_of(path: Any) -> _LinkFacts | None:
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
    yield from _candidates_in(name, facts, _search_directories(facts, requester))


def _candidates_in(
    name: str, facts: _LinkFacts | None, directories: Iterable[str]
) -> Iterator[str]:
    for directory in directories:
        candidate = os.path.join(directory, name)
        if _is_regular_file(candidate) and (
            facts is None or _same_abi(candidate, facts[0], facts[1])
        ):
            yield candidate


def _search_directories(facts: _LinkFacts | None, requester: Any) -> list[str]:
    if facts is None:
        return list(libpath.loader_dirs())
    origin = os.path.dirname(os.path.realpath(requester))
    return list(libpath.search_dirs(facts[3], facts[4], origin, facts[0], facts[1]))


def run_memo(name: str) -> dict[object, object] | None:
    """The current run's memo ``name`` (varkit.fetch), when a run is open."""
    fetch = sys.modules.get("varkit.fetch")
    return fetch.run_memo(name) if fetch is not None else None


def locate_library(name: str, requester: Any = None) -> str:
    """Path of the library ``name`` as the loader would find it for ``requester``, or ""."""
    facts = dependency_facts_of(requester) if isinstance(requester, str) and requester else None
    memo = run_memo("located libraries")
    if memo is None or not isinstance(name, str) or not name or "/" in name or name in (".", ".."):
        return next(_library_candidates(name, facts, requester), "")
    # Within a run the answer depends only on where the loader looks and for what.
    directories = tuple(_search_directories(facts, requester))
    key = (name, directories, facts and facts[:2])
    found = memo.get(key)
    if found is None:
        found = memo[key] = next(_candidates_in(name, facts, directories), "")
    return str(found)


def unloadable_copies(name: str, requester: str) -> list[str]:
    """Copies of ``name`` where the loader looks for it for the ELF file
    ``requester`` that it passes over: of another ELF class or machine."""
    facts = dependency_facts_of(requester)
    if facts is None or not isinstance(name, str) or not name or "/" in name:
        return []
    copies: list[str] = []
    for directory in _search_directories(facts, requester):
        candidate = os.path.join(directory, name)
        real = os.path.realpath(candidate)
        if (
            _is_regular_file(candidate)
            and _facts(candidate).link is not None
            and not _same_abi(candidate, facts[0], facts[1])
            and real not in (os.path.realpath(c) for c in copies)
        ):
            copies.append(candidate)
    return copies

"""Which changed symbols of a report a file imports: C++ symbol identity and matching.

A report and a program may spell one symbol differently: "name@@VER" (the
default version a library defines), "name@VER" (the version a program is
bound to) or the bare name; and, in C++, one constructor or destructor has
several entry points (complete, base, deleting object: C1/C2/C3, D0/D1/D2)
of which a report lists one and a program imports another.
"""

from __future__ import annotations

import functools
import itertools
from typing import Any, Iterable

from varkit.elf import ImportedSymbols
from varkit.record import FileRecord

__all__ = [
    "find_symbols_in_file",
    "match_symbols",
    "split_version",
    "structor_family",
]


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
            i = i + 2 if name[i + 1 : i + 2] in _STD_SUBSTITUTIONS else _skip_to_underscore(name, i)
            if i < 0:
                return -1
            continue
        elif c in "TA":  # template parameter T<n>_, array A<n>_
            i = _skip_to_underscore(name, i)
            if i < 0:
                return -1
            continue
        elif c == "D":
            kind = name[i + 1 : i + 2]
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
            i = i + 2 if name[i + 1 : i + 2] in _STD_SUBSTITUTIONS else _skip_to_underscore(name, i)
        elif c == "I":
            i = _skip_template_args(name, i)
        elif c == "T":
            i = _skip_to_underscore(name, i)
        elif c == "B":  # ABI tag of the component before
            i = _skip_source_name(name, i + 1)
        elif c == "L":  # internal-linkage name
            i += 1
        elif c == "C" or c == "D":
            code = name[i : i + 3] if name.startswith(("CI1", "CI2"), i) else name[i : i + 2]
            if code not in ("C1", "C2", "C3", "CI1", "CI2", "D0", "D1", "D2"):
                return None
            end = i + len(code)
            # Complete object, base object and allocating/deleting variants
            # are one family; an inheriting constructor names its base next.
            if code.startswith("CI") or name[end : end + 1] in ("E", "I", "B"):
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
    digits = _FAMILY_DIGITS.get(key[marker - 1 : marker], "")  # else no family: a plain name
    return [key[:marker] + digit + key[marker + 1 :] for digit in digits]


class _ChangedIndex:
    """The changed symbols of one report by identity, built once per run.

    ``names`` holds every plain name a file may import to meet one of them
    (names, and all variants of a constructor or destructor), so that a
    file's candidates are one set intersection; ``exhaustive`` is False when
    some name escapes that set and every import must be looked up.
    """

    __slots__ = ("by_identity", "exhaustive", "names", "size")

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
            while self._entries and (
                len(self._entries) >= self.max_entries or self._names > self.max_names
            ):
                self._names -= self._entries.pop(next(iter(self._entries))).size
        self._entries[contents] = index  # dicts keep order: the newest last
        return index


_changed_indexes = _IndexMemo()


class _ReadingSymbols:
    """The changed symbols of a report reading (the union of its records'
    ``affected_symbols``), worked out once per reading: a kept reading comes back
    from the quiet reader as the same object, held here so its identity stays its
    own. The least recently used go first past ``max_entries`` or ``max_names``."""

    def __init__(self, max_entries: int = 512, max_names: int = 1 << 20) -> None:
        self.max_entries = max_entries
        self.max_names = max_names
        self._entries: dict[int, tuple[Any, frozenset[Any]]] = {}
        self._names = 0

    def get(self, sections: Any) -> frozenset[Any]:
        entry = self._entries.pop(id(sections), None)
        if entry is not None and entry[0] is not sections:
            self._names -= len(entry[1])
            entry = None
        if entry is None:
            symbols = frozenset(
                itertools.chain.from_iterable(
                    record["affected_symbols"] for section in sections for record in section
                )
            )
            if len(symbols) > self.max_names:
                return symbols
            entry = (sections, symbols)
            self._names += len(symbols)
            while self._entries and (
                len(self._entries) >= self.max_entries or self._names > self.max_names
            ):
                self._names -= len(self._entries.pop(next(iter(self._entries)))[1])
        self._entries[id(sections)] = entry
        return entry[1]


_reading_symbols = _ReadingSymbols()


def report_symbols(sections: Any) -> frozenset[Any]:
    """Every changed symbol a report reading lists (see ``_ReadingSymbols``)."""
    return _reading_symbols.get(sections)


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
            (
                s
                for s in symbol_list
                if isinstance(s, str) and "@" in s and s.partition("@")[0] in wanted
            ),
        )
    else:
        candidates = (
            s for s in symbol_list if isinstance(s, str) and s.partition("@")[0] in wanted
        )
    names: set[str] = set()
    for symbol in candidates:
        if isinstance(symbol, str) and symbol:
            names.update(spell(symbol) if spell else (symbol,))
    return names


def match_symbols(
    changed: Iterable[Any], symbol_list: Iterable[Any] | None
) -> list[tuple[str, str, str]]:
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
    library_dict: FileRecord,
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
        for report_name, file_name, how in matches
    )
    print(table)
    return True

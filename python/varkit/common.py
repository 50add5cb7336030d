"""Host utilities used by the checker's modules, under the one name they are bound from.

The utilities live in modules by concern, and this module re-exports every
name of theirs that callers have used through ``varkit.common``:

* varkit.urls: URL checks, JSON documents and directory listings;
* varkit.elf: ELF facts of files and where the loader finds a library;
* varkit.packages: package ownership of installed files;
* varkit.quiet: ``suppress_stdout``;
* varkit.symbols: C++ symbol identity and the changed symbols a file uses.

``varkit.common.X is varkit.<module>.X``.  A name set here (a test's
``monkeypatch.setattr(common, "get_belonged_rpm", fake)``, or
``common.subprocess = ...``) is set in each of those modules that shares it
with this one as well, so the functions that use it see it as they did when
all of this was one module.  Deleting a name here only hides it from
importers.
"""

# Every name imported below is re-exported.
# ruff: noqa: F401

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
import types
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
from varkit import packages as _packages
from varkit.elf import (
    _CACHE_SIZE,
    _COPY_RELOCATION,
    _DF_1_PIE,
    _ELF_ERRORS,
    _MACHINE_NAMES,
    _NOT_ELF,
    _PHP_INTERP,
    _PYTHON_INTERP,
    _SUFFIX_TYPES,
    FileType,
    ImportedSymbols,
    T,
    _classify,
    _copied_symbols,
    _dependency_facts,
    _dependency_facts_of,
    _dynamic_tags,
    _elf_kind,
    _facts,
    _facts_cache,
    _file_signature,
    _has_interpreter,
    _is_regular_file,
    _library_candidates,
    _LinkFacts,
    _machine_name,
    _needed,
    _needed_versions,
    _ObjectFacts,
    _read_facts,
    _read_facts_general,
    _remembered,
    _same_abi,
    _shebang_type,
    _soname,
    _split_paths,
    _type_cache,
    _undefined_symbols,
    _with_elf,
    find_req_libs,
    get_file_type,
    get_soname_from_lib,
    get_undefined_symbols_from_file,
    is_32bit_file,
    locate_library,
)
from varkit.logger import ABI_LOG
from varkit.packages import (
    _USR_MERGED,
    DPKG_INFO_DIR,
    PACKAGE_DATABASES,
    _build_ownership_index,
    _get_ownership_index,
    _inside_root,
    _normal_root,
    _OwnershipIndex,
    _package_db_settings,
    _path_variants,
    _usr_merge_twin,
    find_reqed_rpms,
    get_belonged_rpm,
    get_pkgname_by_libname,
)
from varkit.quiet import suppress_stdout
from varkit.symbols import (
    _FAMILY_DIGITS,
    _HOW_RANK,
    _STD_SUBSTITUTIONS,
    _changed_indexes,
    _ChangedIndex,
    _family_members,
    _file_spellings,
    _identity,
    _IndexMemo,
    _skip_source_name,
    _skip_template_args,
    _skip_to_underscore,
    find_symbols_in_file,
    match_symbols,
    split_version,
    structor_family,
)
from varkit.urls import (
    FETCH_TIMEOUT,
    PROBE_TIMEOUT,
    _fetch,
    _json_body,
    _LinkCollector,
    _listing_subdirs,
    _probe,
    get_directory_list,
    get_json_content_from_url,
    get_remote_json,
    is_url_reachable,
    is_valid_url,
)

# In the order the names were first exported.
__all__ = [  # noqa: RUF022
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

# The native ELF reader, or None where it is not built.
_elf = sys.modules["varkit.elf"]._elf

_PARTS = tuple(
    sys.modules["varkit." + name] for name in ("urls", "elf", "packages", "quiet", "symbols")
)
_UNSET = object()


class _Facade(types.ModuleType):
    """The type of this module: names set on it reach the modules that share them."""

    def __setattr__(self, name: str, value: Any) -> None:
        current = self.__dict__.get(name, _UNSET)
        if current is not _UNSET and not name.startswith("__"):
            for part in _PARTS:
                if part.__dict__.get(name, _UNSET) is current:
                    setattr(part, name, value)
        super().__setattr__(name, value)

    # The index is replaced in varkit.packages whenever the settings change:
    # read and set it there, never a copy of it.
    @property
    def _ownership_index(self) -> _OwnershipIndex | None:
        return _packages._ownership_index

    @_ownership_index.setter
    def _ownership_index(self, index: _OwnershipIndex | None) -> None:
        _packages._ownership_index = index


sys.modules[__name__].__class__ = _Facade

"""varkit.common re-exports the host utilities of its modules, and a name set on
it reaches the functions that use it, as when it was one module."""

import glob
import os
import shutil
import subprocess
import sys
import types

import pytest
import requests

import varkit
from varkit import common, elf, fetch, libpath, packages, quiet, symbols, urls
from varkit.logger import ABI_LOG

# Every name callers bind or use from varkit.common, by the module it lives in now.
MOVED = {
    urls: [
        "is_valid_url",
        "is_url_reachable",
        "get_remote_json",
        "get_json_content_from_url",
        "get_directory_list",
        "PROBE_TIMEOUT",
        "FETCH_TIMEOUT",
    ],
    elf: [
        "FileType",
        "get_file_type",
        "is_32bit_file",
        "get_undefined_symbols_from_file",
        "find_req_libs",
        "get_soname_from_lib",
        "ImportedSymbols",
        "locate_library",
        "_elf",
        "_read_facts",
        "_read_facts_general",
        "_ObjectFacts",
        "_facts_cache",
        "_type_cache",
    ],
    packages: [
        "get_belonged_rpm",
        "get_pkgname_by_libname",
        "find_reqed_rpms",
        "PACKAGE_DATABASES",
        "DPKG_INFO_DIR",
        "_OwnershipIndex",
        "_get_ownership_index",
        "_ownership_index",
    ],
    quiet: ["suppress_stdout"],
    symbols: [
        "split_version",
        "structor_family",
        "match_symbols",
        "find_symbols_in_file",
        "_IndexMemo",
        "_changed_indexes",
    ],
}
# Modules and helpers callers substitute on varkit.common.
SHARED = {
    "os": os,
    "subprocess": subprocess,
    "shutil": shutil,
    "glob": glob,
    "sys": sys,
    "requests": requests,
    "fetch": fetch,
    "libpath": libpath,
    "ABI_LOG": ABI_LOG,
}


@pytest.mark.parametrize(
    "module, name",
    [(m, n) for m, names in MOVED.items() for n in names],
    ids=lambda v: v.__name__ if isinstance(v, types.ModuleType) else v,
)
def test_moved_name_is_the_same_object(module, name):
    assert getattr(common, name) is getattr(module, name)


@pytest.mark.parametrize("name", sorted(SHARED))
def test_shared_module_names_are_still_bound(name):
    assert getattr(common, name) is SHARED[name]


def test_star_export_unchanged():
    assert common.__all__ == [
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


def test_patched_helper_reaches_its_callers(monkeypatch):
    monkeypatch.setattr(common, "get_belonged_rpm", lambda path: "owner-of-" + path)
    assert common.get_pkgname_by_libname("/opt/lib/libx.so.1") == "owner-of-/opt/lib/libx.so.1"
    monkeypatch.undo()
    assert packages.get_belonged_rpm is common.get_belonged_rpm
    assert common.get_pkgname_by_libname("/nonexistent/libx.so.1") == ""


def test_patched_module_reaches_its_users(monkeypatch):
    def run(command, **kwargs):
        calls.append(command)
        return subprocess.CompletedProcess(command, 0, b"demo\t/usr/lib64/libdemo.so.1\n", b"")

    calls: list = []
    monkeypatch.setattr(
        common,
        "subprocess",
        types.SimpleNamespace(
            run=run, PIPE=subprocess.PIPE, SubprocessError=subprocess.SubprocessError
        ),
    )
    index = common._OwnershipIndex.from_rpm("/usr/bin/rpm")
    assert (calls[0][0], index.owners) == ("/usr/bin/rpm", {"/usr/lib64/libdemo.so.1": "demo"})


@pytest.mark.parametrize(
    "use, expected",
    [
        ("package database", (2, "package database (none): none, 0 files")),
        ("junk object", (3, "unreadable ELF object")),
    ],
)
def test_patched_logger_reaches_every_module(monkeypatch, tmp_path, use, expected):
    logged: list = []
    monkeypatch.setattr(common, "ABI_LOG", lambda level, message: logged.append((level, message)))
    if use == "package database":
        monkeypatch.setattr(varkit.conf, "package_db", "none")
        monkeypatch.setattr(common, "_ownership_index", None)
        assert common.get_belonged_rpm("/usr/bin/env") == ""
    else:
        junk = tmp_path / "junk.so"
        junk.write_bytes(b"\x7fELF" + b"\xff" * 12)
        assert common._read_facts_general(str(junk)).kind is None
    assert any(level == expected[0] and expected[1] in message for level, message in logged), logged


def test_reader_and_state_set_through_common(monkeypatch, tmp_path):
    general = packages_index = object()
    monkeypatch.setattr(common, "_elf", None)  # as where the native reader is not built
    monkeypatch.setattr(common, "_read_facts_general", lambda path: general)
    assert common._read_facts(str(tmp_path)) is general
    monkeypatch.setattr(common, "_ownership_index", packages_index)
    assert packages._ownership_index is packages_index
    monkeypatch.undo()
    # The index the package module builds is the one read through common.
    common._get_ownership_index()
    assert common._ownership_index is packages._ownership_index is not None

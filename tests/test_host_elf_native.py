"""The native ELF reader against the pyelftools reading it replaces."""

from __future__ import annotations

import glob
import os
import random
import shutil
from pathlib import Path

import pytest

from varkit import common

pytestmark = pytest.mark.skipif(common._elf is None, reason="native ELF reader not built")

_SAMPLES = sorted(
    p
    for p in glob.glob("/usr/bin/*")[:60] + glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")[:60]
    if os.path.isfile(p) and not os.path.islink(p)
)


def _general(path: str) -> tuple[object, ...]:
    facts = common._read_facts_general(path)
    return _rendering(facts)


def _rendering(facts: common._ObjectFacts) -> tuple[object, ...]:
    return (facts.kind, facts.is32, sorted(facts.imported), facts.imported.versions, facts.needed, facts.soname, facts.link)


def _native(path: str) -> tuple[object, ...]:
    return _rendering(common._read_facts(path))


@pytest.mark.parametrize("path", _SAMPLES)
def test_native_reading_equals_pyelftools_on_installed_objects(path: str) -> None:
    assert _native(path) == _general(path)


def _damaged_copies(tmp_path: Path, source: str, count: int) -> list[str]:
    data = Path(source).read_bytes()
    rng = random.Random(source)
    copies = []
    for n in range(count):
        if n % 2:
            damaged = data[: rng.randrange(0, len(data))]
        else:
            buffer = bytearray(data)
            for _ in range(rng.randrange(1, 16)):
                at = rng.randrange(0, min(len(buffer), 8192) if n % 4 else len(buffer))
                buffer[at] = rng.randrange(256)
            damaged = bytes(buffer)
        copy = tmp_path / f"{os.path.basename(source)}.{n}"
        copy.write_bytes(damaged)
        copies.append(str(copy))
    return copies


@pytest.mark.parametrize("source", ["/usr/bin/bash", shutil.which("ls") or "/bin/ls", "/lib/x86_64-linux-gnu/libc.so.6"])
def test_damaged_objects_read_as_pyelftools_reads_them(tmp_path: Path, source: str) -> None:
    if not os.path.isfile(source):
        pytest.skip(f"{source} missing")
    for copy in _damaged_copies(tmp_path, source, 40):
        assert _native(copy) == _general(copy), copy


def test_results_follow_the_file_state(tmp_path: Path) -> None:
    target = tmp_path / "obj"
    shutil.copy("/usr/bin/bash" if os.path.isfile("/usr/bin/bash") else "/bin/sh", target)
    before = common.find_req_libs(str(target))
    assert before and common.get_file_type(str(target)) is common.FileType.BINARY_EXECUTABLE
    target.write_bytes(b"#!/usr/bin/python3\n")
    assert common.find_req_libs(str(target)) == []
    assert common.get_file_type(str(target)) is common.FileType.PYTHON_FILE

"""The native ELF reader against the pyelftools reading it replaces."""

from __future__ import annotations

import glob
import os
import random
import shutil
from pathlib import Path

import pytest

from varkit import _elf, common

# The reader is part of every build: one that fails to build fails here rather than skipping.
assert common._elf is _elf

_SAMPLES = sorted(
    p
    for p in glob.glob("/usr/bin/*")[:60] + glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")[:60]
    if os.path.isfile(p) and not os.path.islink(p)
)


def _general(path: str) -> tuple[object, ...]:
    facts = common._read_facts_general(path)
    return _rendering(facts)


def _rendering(facts: common._ObjectFacts) -> tuple[object, ...]:
    return (
        facts.kind,
        facts.is32,
        sorted(facts.imported),
        facts.imported.versions,
        facts.needed,
        facts.soname,
        facts.link,
    )


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


@pytest.mark.parametrize(
    "source", ["/usr/bin/bash", shutil.which("ls") or "/bin/ls", "/lib/x86_64-linux-gnu/libc.so.6"]
)
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


def _version_chains_that_never_end(source: str, target: Path) -> None:
    """A copy of `source` whose needed-version records all link to themselves and
    claim the most entries and versions their fields hold."""
    from elftools.elf.elffile import ELFFile

    data = bytearray(Path(source).read_bytes())
    with open(source, "rb") as stream:
        elf = ELFFile(stream)
        section = elf.get_section_by_name(".gnu.version_r")
        index = next(i for i, s in enumerate(elf.iter_sections()) if s.name == ".gnu.version_r")
        header = elf["e_shoff"] + index * elf["e_shentsize"]
        offset, size = section["sh_offset"], section["sh_size"]
    data[header + 44 : header + 48] = (0xFFFFFFFF).to_bytes(4, "little")  # sh_info: entries
    for record in range(offset, offset + size - 15, 16):
        data[record + 12 : record + 16] = bytes(4)  # vn_next / vna_next: 0, back to itself
    data[offset + 2 : offset + 4] = (0xFFFF).to_bytes(2, "little")  # vn_cnt of the first entry
    target.write_bytes(bytes(data))


def test_looping_version_records_end(tmp_path: Path) -> None:
    import subprocess
    import sys

    source = shutil.which("true") or "/bin/true"
    looping = tmp_path / "looping"
    _version_chains_that_never_end(source, looping)
    # In a child process, so that a reader that loops fails the test instead of hanging it.
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            (
                "import sys; from varkit import common; "
                "print(sorted(common._read_facts(sys.argv[1]).imported))"
            ),
            str(looping),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(sorted(common._read_facts(source).imported))

"""The native ELF reader against the pyelftools reading it replaces."""

from __future__ import annotations

import glob
import os
import random
import shutil
from pathlib import Path

import pytest

from conftest import section_headers_damaged
from varkit import _elf, elf

# The reader is part of every build: one that fails to build fails here rather than skipping.
assert elf._elf is _elf

_SAMPLES = sorted(
    p
    for p in glob.glob("/usr/bin/*")[:60] + glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")[:60]
    if os.path.isfile(p) and not os.path.islink(p)
)


def _general(path: str) -> tuple[object, ...]:
    facts = elf._read_facts_general(path)
    return _rendering(facts)


def _rendering(facts: elf._ObjectFacts) -> tuple[object, ...]:
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
    return _rendering(elf._read_facts(path))


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
    before = elf.find_req_libs(str(target))
    assert before and elf.get_file_type(str(target)) is elf.FileType.BINARY_EXECUTABLE
    target.write_bytes(b"#!/usr/bin/python3\n")
    assert elf.find_req_libs(str(target)) == []
    assert elf.get_file_type(str(target)) is elf.FileType.PYTHON_FILE


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
                "import sys; from varkit import elf; "
                "print(sorted(elf._read_facts(sys.argv[1]).imported))"
            ),
            str(looping),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(sorted(elf._read_facts(source).imported))


_FOREIGN_TARGETS = [
    "powerpc64-linux-gnu",
    "mips64-linux-gnuabi64",
    "mips-linux-gnu",
    "aarch64-linux-gnu",
]


@pytest.mark.skipif(
    shutil.which("clang") is None or shutil.which("ld.lld") is None, reason="needs clang and lld"
)
@pytest.mark.parametrize("target", _FOREIGN_TARGETS)
def test_objects_of_other_machines_and_byte_orders_are_read_natively(
    tmp_path: Path, target: str
) -> None:
    import subprocess

    def build(name: str, source: str, *extra: str) -> Path:
        (tmp_path / f"{name}.c").write_text(source)
        out = tmp_path / f"lib{name}.so.1"
        subprocess.run(
            [
                "clang",
                f"--target={target}",
                "-fPIC",
                "-shared",
                "-nostdlib",
                "-fuse-ld=lld",
                f"-Wl,-soname,lib{name}.so.1",
                "-o",
                str(out),
                str(tmp_path / f"{name}.c"),
                *extra,
            ],
            check=True,
            capture_output=True,
        )
        return out

    dep = build("dep", "int dep_value;\nint dep(void) { return 2; }\n")
    user = build(
        "use",
        "extern int dep_value;\nint dep(void);\nint use(void) { return dep() + dep_value; }\n",
        str(dep),
        "-Wl,--enable-new-dtags,-rpath,$ORIGIN",
    )
    assert _elf.read(os.fsencode(user))  # facts, not "leave it to pyelftools"
    assert _native(str(user)) == _general(str(user))
    assert elf._read_facts(str(user)).needed == ("libdep.so.1",)


_HEADER_DAMAGE = [
    ".dynamic",
    ".dynsym",
    ".gnu.version_r+.gnu.version",
    ".rela.dyn",
    "no section headers",
]


def _bindings(program: Path) -> set[tuple[str, str]]:
    """(symbol, version) of every binding the loader makes for the program's
    own references, all at start (LD_BIND_NOW)."""
    import re
    import subprocess

    run = subprocess.run(
        [str(program), "--version"],
        capture_output=True,
        text=True,
        env={**os.environ, "LD_BIND_NOW": "1", "LD_DEBUG": "bindings"},
    )
    pattern = re.compile(
        rf"binding file {re.escape(str(program))} \[0\] to .*: normal symbol `([^']+)' \[([^]]+)\]"
    )
    return set(pattern.findall(run.stderr))


@pytest.mark.parametrize("damage", _HEADER_DAMAGE)
def test_what_the_loader_binds_is_read_whatever_the_section_headers_say(
    tmp_path: Path, damage: str
) -> None:
    import subprocess

    source = shutil.which("true") or "/bin/true"
    damaged = tmp_path / "true"
    damaged.write_bytes(section_headers_damaged(source, damage))
    damaged.chmod(0o755)
    assert _elf.read(os.fsencode(damaged))  # read natively, no fallback

    listed = subprocess.run(
        ["/lib64/ld-linux-x86-64.so.2", "--list", str(damaged)], capture_output=True, text=True
    ).stdout
    loaded = [line.split("=>")[0].strip() for line in listed.splitlines() if "=>" in line]
    assert loaded and elf.find_req_libs(str(damaged)) == loaded

    imported = elf._read_facts(str(damaged)).imported
    bound = _bindings(damaged)
    assert bound and all(
        name in imported and version in imported.versions.get(name, ()) for name, version in bound
    )
    assert _native(str(damaged)) == _native(source)


def test_a_general_reader_that_loops_is_stopped(tmp_path: Path, monkeypatch) -> None:
    """An object the native reader declines and pyelftools loops on: the file
    is not checked, in bounded time, and the run goes on."""
    import subprocess
    import sys

    from conftest import EXAMPLES

    looping = tmp_path / "bin" / "looper"
    looping.parent.mkdir()
    shutil.copy(shutil.which("true") or "/bin/true", looping)
    # As if pyelftools looped on this very file: a reader that never returns.
    code = (
        "import sys, itertools, runpy\n"
        "from varkit import elf\n"
        "elf.GENERAL_READER_SECONDS = 2\n"
        "real = elf._read_facts_general\n"
        "def general(path):\n"
        "    if path.endswith('looper'):\n"
        "        for _ in itertools.count(): pass\n"
        "    return real(path)\n"
        "elf._read_facts_general = general\n"
        "elf._elf = None\n"  # the native reader declines everything
        "sys.argv = ['varkit'] + sys.argv[1:]\n"
        "runpy.run_module('varkit', run_name='__main__')\n"
    )
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            code,
            "--checkabi",
            "--with-symbol",
            "--search-local",
            str(EXAMPLES / "results"),
            "--check-local",
            str(looping.parent),
            "/bin/true",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    import json

    result = json.loads(done.stdout)
    verdicts = {os.path.basename(e["dest_file"]): e for e in result["library"]}
    assert verdicts["looper"]["verdict"] == "not checked"
    assert any("could not be read within 2 s" in r for r in verdicts["looper"]["reasons"])
    assert verdicts["true"]["verdict"] == "not affected"
    assert done.returncode == 1 and "Traceback" not in done.stderr

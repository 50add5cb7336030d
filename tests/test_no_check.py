"""Files that no requested check covers: their own verdict, a reason that says
what the file is (as file(1) says it), and no exit bit."""

import shutil
import subprocess

import pytest

from conftest import EXAMPLES, check_abi
from varkit import file_kinds


def _archive(path):
    member = path.parent / "member.o"
    subprocess.run(["gcc", "-c", "-x", "c", "-", "-o", str(member)], input=b"int f;", check=True)
    subprocess.run(["ar", "rcs", str(path), str(member)], check=True)
    member.unlink()


def _object(path):
    subprocess.run(["gcc", "-c", "-x", "c", "-", "-o", str(path)], input=b"int g;", check=True)


KINDS = [
    # (name, how to make it, what varkit says, what file(1) says of it)
    ("run.sh", "#!/bin/sh\necho hi\n", "shell script", "shell script"),
    ("tool", "#!/usr/bin/env bash\necho hi\n", "shell script", "shell script"),
    ("report", "#!/usr/bin/perl -w\nprint 1;\n", "Perl script", "Perl script"),
    ("gui", "#!/usr/bin/env tclsh\nputs hi\n", "Tcl script", "Tcl script"),
    ("Util.pm", "package Util;\n1;\n", "Perl module", "Perl5 module"),
    ("libc.so", "/* GNU ld script */\nGROUP ( /lib/libc.so.6 )\n", "linker script", "text"),
    ("libx.a", _archive, "static archive", "ar archive"),
    ("x.o", _object, "ELF relocatable object", "relocatable"),
    ("notes", "plain words\n", "text file", "text"),
    ("blob", b"\x00\x01\x02binary", "data file", "data"),
]


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("kinds")
    for name, make, _, _ in KINDS:
        path = root / name
        if callable(make):
            make(path)
        elif isinstance(make, bytes):
            path.write_bytes(make)
        else:
            path.write_text(make)
    return root


@pytest.mark.parametrize("name, _make, said, file_says", KINDS, ids=[k[0] for k in KINDS])
def test_the_kind_is_named_as_file_names_it(tree, name, _make, said, file_says):
    assert file_kinds.describe(str(tree / name)) == said
    if shutil.which("file"):
        real = subprocess.run(["file", "-b", str(tree / name)], capture_output=True, text=True)
        assert file_says.lower() in real.stdout.lower(), real.stdout


def test_a_tree_of_such_files_is_no_check_and_sets_no_exit_bit(tree):
    status, result, err = check_abi(
        "--search-local", EXAMPLES / "results", "--check-local", tree, "/bin/true"
    )
    by_name = {e["dest_file"].rsplit("/", 1)[-1]: e for e in result["library"]}
    for name, _, said, _ in KINDS:
        entry = by_name[name]
        assert entry["verdict"] == "no check", entry
        assert entry["reasons"] == [
            f"{said}: the ABI check covers programs, shared libraries, Python and PHP files"
        ]
    assert by_name["true"]["verdict"] == "not affected"
    assert result["files"]["no check"] == len(KINDS) and result["verdict"] == "not affected"
    assert status == 0, err

"""The library a check reads a report for is the one the dynamic loader loads:
found through the program's RUNPATH, of the program's own ELF class, and owned
by the package that really ships it (real rpm packages in a private root,
real objects, the real loader's answer beside varkit's)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from _rpm_support import add_system_libraries
from conftest import EXAMPLES, check_abi, needs_private_mounts

HEADER = "int bfoo_open(int n);\nint bfoo_legacy(void);\n"
SOURCES = {
    "1.0": '#include "bfoo.h"\nint bfoo_open(int n) { return n; }\nint bfoo_legacy(void) { return 0; }\n',
    "2.0": "int bfoo_open(int n);\nint bfoo_open(int n) { return n + 1; }\n",
}
PROGRAM = '#include "bfoo.h"\nint main(void) { return bfoo_open(0) + bfoo_legacy(); }\n'
RECIPE = """%global debug_package %{nil}
%global __os_install_post %{nil}
%global _build_id_links none
Name: bundler
Version: 1.0
Release: 1
Summary: An application that ships its own library
License: MIT
AutoReqProv: no
%description
bapp finds libbfoo.so.1 through its RUNPATH $ORIGIN/../lib.
%install
mkdir -p %{buildroot}/opt/bundler/bin %{buildroot}/opt/bundler/lib
install -m 0755 %{bundle_files}/bapp %{buildroot}/opt/bundler/bin/
install -m 0755 %{bundle_files}/libbfoo.so.1 %{buildroot}/opt/bundler/lib/
%files
/opt/bundler/bin/bapp
/opt/bundler/lib/libbfoo.so.1
"""

pytestmark = pytest.mark.skipif(
    not all(shutil.which(t) for t in ("gcc", "rpm", "rpmbuild", "abi-compliance-checker")),
    reason="needs gcc, rpm, rpmbuild and abi-compliance-checker",
)


def _sh(*args, cwd=None):
    return subprocess.run([str(a) for a in args], cwd=cwd, check=True, capture_output=True)


def _library(out: Path, version: str, bits: int = 64) -> Path:
    out.mkdir(parents=True, exist_ok=True)
    (out / "bfoo.h").write_text(HEADER)
    (out / "bfoo.c").write_text(SOURCES[version])
    _sh(
        "gcc",
        f"-m{bits}",
        "-g",
        "-Og",
        "-shared",
        "-fPIC",
        "-Wl,-soname,libbfoo.so.1",
        "-o",
        out / "libbfoo.so.1",
        out / "bfoo.c",
    )
    return out / "libbfoo.so.1"


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    """The package installed under a private root, and the result tree of its
    upgrade: bfoo_legacy removed."""
    work = tmp_path_factory.mktemp("bundle")
    old = _library(work / "1.0", "1.0")
    new = _library(work / "2.0", "2.0")
    (work / "bapp.c").write_text(PROGRAM)
    _sh(
        "gcc",
        "-o",
        work / "1.0" / "bapp",
        work / "bapp.c",
        f"-I{work / '1.0'}",
        work / "1.0" / "libbfoo.so.1",
        "-Wl,--enable-new-dtags,-rpath,$ORIGIN/../lib",
    )
    (work / "bundler.rpmbuild").write_text(RECIPE)
    _sh(
        "rpmbuild",
        "-bb",
        "--quiet",
        "--define",
        f"_topdir {work / 'rpm'}",
        "--define",
        f"bundle_files {work / '1.0'}",
        work / "bundler.rpmbuild",
    )
    (package,) = (work / "rpm" / "RPMS").rglob("bundler-*.rpm")
    root = work / "root"
    _sh("rpm", "--root", root, "--initdb")
    _sh("rpm", "--root", root, "-i", "--nodeps", package)
    add_system_libraries("x86_64", root)  # the image's own C library
    report = work / "results/compat_reports/bundler/libbfoo.so.1/1.0_to_2.0/compat_report.xml"
    descriptors = []
    for version, library in (("1.0", old), ("2.0", new)):
        descriptor = work / f"{version}.xml"
        descriptor.write_text(
            f"<version>{version}</version>\n<headers>{library.parent / 'bfoo.h'}</headers>\n"
            f"<libs>{library}</libs>\n"
        )
        descriptors.append(descriptor)
    subprocess.run(
        [
            "abi-compliance-checker",
            "-l",
            "libbfoo",
            "-old",
            descriptors[0],
            "-new",
            descriptors[1],
            "-xml",
            "-report-path",
            report,
        ],
        cwd=work,
        capture_output=True,
    )
    assert report.is_file()
    conf = work / "varkit.conf"
    conf.write_text(f"[varkit]\nrpm_root = {root}\npackage_db = rpm\n")
    return {"root": root, "results": work / "results", "conf": conf, "new": new}


def _varkit(bundle, *targets, prefix=()):
    return check_abi(
        "--search-local",
        bundle["results"],
        "--check-local",
        *targets,
        prefix=prefix,
        env={"VARKIT_CONF": str(bundle["conf"])},
    )


def _loader_resolves(program: Path, name: str) -> str:
    """Where the real dynamic loader finds ``name`` for ``program`` (ld.so --list)."""
    listed = subprocess.run(
        ["/lib64/ld-linux-x86-64.so.2", "--list", str(program)], capture_output=True, text=True
    ).stdout
    for line in listed.splitlines():
        left, arrow, right = line.strip().partition(" => ")
        path = (right if arrow else left).split(" (", 1)[0].strip()
        if (left if arrow else os.path.basename(path)) == name:
            return "" if path.startswith("not found") else path
    return ""


def test_a_library_found_through_runpath_is_checked_as_its_package(bundle):
    program = bundle["root"] / "opt/bundler/bin/bapp"
    status, result, err = _varkit(bundle, program)
    (entry,) = result["library"]
    found = entry["library_found_at"]["libbfoo.so.1"]
    assert os.path.realpath(found) == os.path.realpath(_loader_resolves(program, "libbfoo.so.1"))
    assert entry["verdict"] == "affected", entry["reasons"]
    assert entry["reasons"][0].startswith("uses bfoo_legacy of libbfoo.so.1: removed")
    # The image is the whole system: its libc is the one found, inside the root.
    assert "req_libs_not_found" not in entry
    assert entry["library_found_at"]["libc.so.6"] == str(bundle["root"] / "usr/lib64/libc.so.6")
    assert status == 8, err


@needs_private_mounts
def test_the_copy_the_loader_loads_is_the_one_checked(bundle, tmp_path):
    # The system has the new version as well (in /lib64): RUNPATH comes first.
    libdir = tmp_path / "lib64"
    libdir.mkdir()
    shutil.copy(bundle["new"], libdir / "libbfoo.so.1")
    program = bundle["root"] / "opt/bundler/bin/bapp"
    status, result, err = _varkit(
        bundle, program, prefix=(str(EXAMPLES / "with_libraries.sh"), str(libdir))
    )
    (entry,) = result["library"]
    found = entry["library_found_at"]["libbfoo.so.1"]
    assert os.path.realpath(found) == os.path.realpath(
        bundle["root"] / "opt/bundler/lib/libbfoo.so.1"
    )
    assert entry["verdict"] == "affected" and status == 8, err


def test_only_a_copy_of_the_wrong_class_cannot_load(bundle, tmp_path):
    if subprocess.run(
        ["gcc", "-m32", "-x", "c", "-", "-o", os.devnull, "-shared"],
        input=b"int x;",
        capture_output=True,
    ).returncode:
        pytest.skip("no 32-bit gcc")
    app = tmp_path / "app"
    _library(app / "lib", "1.0", bits=32)
    build = tmp_path / "build"
    _library(build, "1.0")
    (tmp_path / "bapp.c").write_text(PROGRAM)
    _sh(
        "gcc",
        "-o",
        app / "bapp",
        tmp_path / "bapp.c",
        f"-I{build}",
        build / "libbfoo.so.1",
        "-Wl,--enable-new-dtags,-rpath,$ORIGIN/lib",
    )
    ran = subprocess.run([app / "bapp"], capture_output=True, text=True)
    assert ran.returncode == 127 and "wrong ELF class" in ran.stderr  # the loader's own answer
    status, result, err = _varkit(bundle, app / "bapp")
    (entry,) = result["library"]
    assert entry["verdict"] == "not checked"
    assert any(
        "libbfoo.so.1 cannot be loaded" in reason and "another ELF class" in reason
        for reason in entry["reasons"]
    ), entry["reasons"]
    assert status == 1, err


def test_this_machines_programs_resolve_as_the_loader_resolves_them():
    from varkit import elf

    programs = sorted(
        p
        for p in (os.path.join("/usr/bin", n) for n in os.listdir("/usr/bin"))
        if not os.path.islink(p) and os.path.isfile(p) and elf.find_req_libs(p)
    )[:60]
    assert len(programs) >= 20
    compared = 0
    for program in programs:
        for name in elf.find_req_libs(program):
            theirs = _loader_resolves(Path(program), name)
            mine = elf.locate_library(name, program)
            assert os.path.realpath(mine) == os.path.realpath(theirs), (program, name)
            compared += 1
    assert compared >= len(programs)


SYSROOT = Path("/usr/aarch64-linux-gnu")


@pytest.mark.skipif(
    shutil.which("qemu-aarch64") is None or not (SYSROOT / "lib/ld-linux-aarch64.so.1").exists(),
    reason="needs qemu-aarch64 and Debian's AArch64 sysroot",
)
def test_an_aarch64_sysroot_resolves_as_its_own_loader_resolves_it(monkeypatch):
    import varkit
    from varkit import elf

    monkeypatch.setattr(varkit.conf, "rpm_root", str(SYSROOT))
    libraries = [p for p in sorted((SYSROOT / "lib").glob("lib*.so.*")) if not p.is_symlink()]
    compared = 0
    for library in libraries[:20]:
        listed = subprocess.run(
            [
                "qemu-aarch64",
                "-L",
                str(SYSROOT),
                str(SYSROOT / "lib/ld-linux-aarch64.so.1"),
                "--list",
                str(library),
            ],
            capture_output=True,
            text=True,
        ).stdout
        for line in listed.splitlines():
            name, arrow, right = line.strip().partition(" => ")
            if not arrow or right.startswith("not found") or "/" in name:
                continue  # a needed path (the loader itself) is not looked up
            theirs = right.split(" (", 1)[0]
            if not theirs.startswith(f"{SYSROOT}/"):
                theirs = f"{SYSROOT}{theirs}"  # the image's path, on this machine's disk
            assert os.path.realpath(elf.locate_library(name, str(library))) == os.path.realpath(
                theirs
            ), (library, name)
            compared += 1
    assert compared >= 10

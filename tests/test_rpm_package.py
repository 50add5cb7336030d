"""varkit's own RPM: `make rpm` builds it, and installed into a private root it
puts every file where the target distribution keeps it and runs from there."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from varkit import __version__, docs

ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    shutil.which("rpmbuild") is None or Path(sys.prefix) != ROOT / ".venv",
    reason="needs rpmbuild and the Makefile's own venv",
)


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    top = tmp_path_factory.mktemp("rpmbuild")
    subprocess.run(
        ["make", "-s", "-C", str(ROOT), "rpm", f"RPM_TOPDIR={top}"],
        check=True,
        capture_output=True,
    )
    (built,) = (top / "RPMS").glob(f"*/varkit-{__version__}-1.*.rpm")
    return built


def _rpm(*args):
    return subprocess.run(["rpm", *args], capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def image(package, tmp_path_factory):
    root = tmp_path_factory.mktemp("image")
    _rpm("--root", str(root), "--initdb")
    _rpm("--root", str(root), "-i", "--nodeps", str(package))
    return root


def test_files_land_in_the_standard_places(package):
    listed = set(_rpm("-qlp", str(package)).split())
    site = f"/usr/lib64/python{sys.version_info[0]}.{sys.version_info[1]}/site-packages"
    expected = {
        "/usr/bin/varkit",
        "/usr/bin/varkit-reportscan",
        "/etc/varkit.conf",
        f"/usr/share/{docs.BASH_COMPLETION}",
        f"/usr/share/{docs.ZSH_COMPLETION}",
        f"{site}/varkit/__init__.py",
    } | {f"/usr/share/{docs.MAN_DIR}/{name}.1" for name, _ in docs.parsers()}
    assert expected <= listed, expected - listed
    assert any(p.startswith(f"{site}/varkit/impactor.") and p.endswith(".so") for p in listed)
    assert _rpm("-qcp", str(package)).split() == ["/etc/varkit.conf"]
    requires = _rpm("-qpR", str(package))
    assert "python(abi) =" in requires and "libxml2.so.2()(64bit)" in requires


@pytest.mark.parametrize("argument", ["--version", "--help"])
def test_the_installed_command_runs_from_the_root(image, argument):
    site = next(image.glob("usr/lib64/python*/site-packages"))
    script = image / "usr" / "bin" / "varkit"
    assert script.read_text().startswith("#!/usr/bin/python3\n")
    # The system's Python where it is there; the test's own otherwise (its
    # site-packages come after the root's, so the root's varkit is the one run).
    python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
    done = subprocess.run(
        [python, str(script), argument],
        capture_output=True,
        text=True,
        env={"PATH": "/usr/bin:/bin", "PYTHONPATH": str(site)},
    )
    assert done.returncode == 0, done.stderr
    assert (f"varkit {__version__}" if argument == "--version" else "--check-local") in done.stdout


def test_man_finds_the_installed_page(image):
    found = subprocess.run(
        ["man", "-w", "varkit"],
        capture_output=True,
        text=True,
        env={"PATH": "/usr/bin:/bin", "MANPATH": str(image / "usr" / "share" / "man")},
    )
    assert found.stdout.strip() == str(image / "usr/share/man/man1/varkit.1")

"""A verdict's reasons from a real abi-compliance-checker report: the worst
change first, and a change to the source alone (a renamed parameter) is no
reason to call a program affected."""

import shutil
import subprocess

import pytest

from varkit import verdict
from varkit.elf import FileType

V1 = """int foo_open(int count);
int foo_close(int fd);
int foo_legacy_init(void);
"""
V2 = """int foo_open(int n);
int foo_close(int fd, int flags);
"""
BODIES = {
    "1.0": "int foo_open(int count) { return count; }\n"
    "int foo_close(int fd) { return fd; }\n"
    "int foo_legacy_init(void) { return 0; }\n",
    "2.0": "int foo_open(int n) { return n; }\nint foo_close(int fd, int flags) { return fd + flags; }\n",
}


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    if shutil.which("abi-compliance-checker") is None:
        pytest.skip("no abi-compliance-checker here")
    work = tmp_path_factory.mktemp("acc")
    for version, header in (("1.0", V1), ("2.0", V2)):
        out = work / version
        out.mkdir()
        (out / "foo.h").write_text(header)
        (out / "foo.c").write_text('#include "foo.h"\n' + BODIES[version])
        subprocess.run(
            [
                "gcc",
                "-shared",
                "-fPIC",
                "-g",
                "-Og",
                "-o",
                "libfoo.so.1",
                "-Wl,-soname,libfoo.so.1",
                "foo.c",
            ],
            cwd=out,
            check=True,
        )
        (out / "descriptor.xml").write_text(
            f"<version>{version}</version>\n<headers>{out / 'foo.h'}</headers>\n"
            f"<libs>{out / 'libfoo.so.1'}</libs>\n"
        )
    path = work / "compat_report.xml"
    subprocess.run(
        [
            "abi-compliance-checker",
            "-l",
            "libfoo",
            "-old",
            str(work / "1.0" / "descriptor.xml"),
            "-new",
            str(work / "2.0" / "descriptor.xml"),
            "-xml",
            "-report-path",
            str(path),
        ],
        cwd=work,
        capture_output=True,
    )
    assert "Renamed_Parameter" in path.read_text()
    return str(path)


def _judge(report, *symbols):
    entry = {
        "dest_file": "/usr/bin/app",
        "affected_symbols": [{"symbol": s, "library": "libfoo.so.1"} for s in symbols],
        "changed_symbols_from": [
            {"library": "libfoo.so.1", "document": "report", "location": report}
        ],
    }
    return verdict.judge(entry, "ABI", False, FileType.BINARY_EXECUTABLE)


def test_a_renamed_parameter_alone_is_maybe_affected(report):
    judged = _judge(report, "foo_open")
    assert judged.verdict == verdict.MAYBE_AFFECTED
    (reason,) = judged.reasons
    assert "parameter renamed" in reason and "source only" in reason


@pytest.mark.parametrize(
    "symbols", [("foo_open", "foo_close", "foo_legacy_init"), ("foo_legacy_init", "foo_close")]
)
def test_the_worst_change_comes_first(report, symbols):
    judged = _judge(report, *symbols)
    assert judged.verdict == verdict.AFFECTED
    assert judged.reasons[0].startswith("uses foo_legacy_init of libfoo.so.1: removed")
    assert judged.reasons[1].startswith("uses foo_close of libfoo.so.1: parameter added")
    if "foo_open" in symbols:
        assert "source only" in judged.reasons[2] and judged.maybe == judged.reasons[2:]

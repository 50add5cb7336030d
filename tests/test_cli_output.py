"""`-o` on every kind of path a user may name, compared with what the shell's
own `>` does to the same kind."""

import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import threading

import pytest

from conftest import EXAMPLES

ABI = ("--checkabi", "--with-symbol", "--search-local", str(EXAMPLES / "results"))


def varkit(*args, user=None):
    prefix = []
    if user is not None:
        prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
    done = subprocess.run(
        [*prefix, sys.executable, "-m", "varkit", *ABI, "--check-local", "/bin/true", *args],
        capture_output=True,
        timeout=300,
    )
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


def shell_redirect(target):
    """What `echo x > target` does to the path: the kind left there."""
    subprocess.run(["sh", "-c", 'echo x > "$1"', "sh", str(target)], capture_output=True)
    return stat.S_IFMT(os.lstat(target).st_mode)


@pytest.mark.parametrize("existing", [None, 0o640, 0o600])
def test_a_regular_file_is_replaced_whole_keeping_its_mode(tmp_path, existing):
    target = tmp_path / "out.json"
    if existing is not None:
        target.write_text("old")
        target.chmod(existing)
    status, out, err = varkit("-o", str(target))
    assert (status, out) == (0, b""), err
    assert json.loads(target.read_text())["verdict"] == "not affected"
    if existing is not None:
        assert stat.S_IMODE(target.stat().st_mode) == existing
    assert os.listdir(tmp_path) == ["out.json"]  # no temporary file left


@pytest.mark.parametrize("dangling", [False, True])
def test_a_symbolic_link_is_written_through(tmp_path, dangling):
    real = tmp_path / "real.json"
    if not dangling:
        real.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(real)
    status, _, err = varkit("-o", str(link))
    assert status == 0, err
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert json.loads(real.read_text())["verdict"] == "not affected"
    # The shell's redirection through the same kind of link leaves the link too.
    other = tmp_path / "shell-link"
    other.symlink_to(tmp_path / "shell-real")
    assert shell_redirect(other) == stat.S_IFLNK


def test_a_character_device_is_written_to_not_replaced(tmp_path):
    null = tmp_path / "null"
    os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    status, out, err = varkit("-o", str(null))
    assert (status, out) == (0, b""), err
    assert stat.S_ISCHR(os.lstat(null).st_mode) and os.lstat(null).st_rdev == os.makedev(1, 3)
    assert os.listdir(tmp_path) == ["null"]
    assert shell_redirect(null) == stat.S_IFCHR


def test_a_fifo_gets_the_result(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    status, _, err = varkit("-o", str(fifo))
    reader.join(timeout=60)
    assert status == 0, err
    assert json.loads(received[0])["verdict"] == "not affected"
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_dev_stdout_is_standard_output():
    status, out, err = varkit("-o", "/dev/stdout")
    assert status == 0, err
    assert json.loads(out)["verdict"] == "not affected"


def _block_device(path):
    os.mknod(path, 0o600 | stat.S_IFBLK, os.makedev(7, 0))


def _socket(path):
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(path))
    return server


@pytest.mark.parametrize(
    "make, said",
    [
        (os.mkdir, "is a directory"),
        (_block_device, "is a block device"),
        (_socket, "is a socket"),
    ],
    ids=["directory", "block-device", "socket"],
)
def test_other_kinds_are_refused_before_the_run(tmp_path, make, said):
    target = tmp_path / "thing"
    kept = make(target)
    before = os.lstat(target)
    status, out, err = varkit("-o", str(target))
    assert (status, out) == (2, b"") and said in err and len(err.splitlines()) == 1, err
    after = os.lstat(target)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    if kept is not None:
        kept.close()


@pytest.fixture
def shared_dir():
    # A directory another user can reach (pytest's tmp_path is private to root).
    import tempfile

    path = tempfile.mkdtemp(prefix="varkit-o-")
    os.chmod(path, 0o777)
    yield path
    shutil.rmtree(path)


needs_root = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None, reason="needs root and setpriv"
)


@needs_root
@pytest.mark.parametrize("where", ["read-only file", "read-only directory"])
def test_a_user_who_cannot_write_is_told_before_the_run(shared_dir, where):
    nobody = 65534
    target = os.path.join(shared_dir, "out.json")
    if where == "read-only file":
        with open(target, "w") as handle:
            handle.write("old")
        os.chown(target, nobody, nobody)
        os.chmod(target, 0o444)
    else:
        os.chmod(shared_dir, 0o755)
    status, out, err = varkit("-o", target, user=nobody)
    assert (status, out) == (2, b""), err
    assert "cannot write the result" in err and "Traceback" not in err
    if where == "read-only file":
        with open(target) as handle:
            assert handle.read() == "old"


@pytest.mark.skipif(shutil.which("c++filt") is None, reason="no c++filt")
def test_tables_show_cxx_names_as_cxxfilt_demangles_them():
    from varkit import report_output

    names = ["_ZN3geo5Shape4areaEv", "_ZNK3geo6Circle6radiusEv", "plain_c_name"]
    expected = subprocess.run(
        ["c++filt", *names], capture_output=True, text=True, check=True
    ).stdout.split("\n")[:3]
    result = {
        "library": [
            {
                "dest_file": "/usr/bin/app",
                "check_type": "ABI",
                "verdict": "affected",
                "reasons": [f"uses {name} of libgeo.so.1: removed" for name in names],
                "notes": [],
            }
        ],
        "verdict": "affected",
        "files": {"affected": 1},
    }
    compact = report_output.render_compact(result)
    assert f"uses {expected[0]} of libgeo.so.1" in compact
    full = report_output.render_table(result)
    for shown in expected:
        assert f"uses {shown} of libgeo.so.1" in full
    assert "_ZN3geo" in report_output.render_json(result)  # JSON keeps the symbol's own name
    result["library"][0]["affected_symbols"] = [
        {"library": "libgeo.so.1", "package": "libgeo", "symbol": names[0]},
        {"library": "libgeo.so.1", "package": "libgeo", "symbol": names[1] + "@@GEO_1"},
        {"library": "libgeo.so.1", "package": "libgeo", "symbol": names[2]},
    ]
    report_output.add_demangled(result)
    records = json.loads(report_output.render_json(result))["library"][0]["affected_symbols"]
    assert [r["symbol"] for r in records] == [names[0], names[1] + "@@GEO_1", names[2]]
    assert [r.get("demangled") for r in records] == [expected[0], expected[1], None]

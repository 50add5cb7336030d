"""Fixtures shared by the tests. The end-to-end tests of the `varkit` command: the
example built against version 1.0 of its libraries, the example result tree served
over HTTP on 127.0.0.1, and a runner of the command. The impactor tests: the module,
a recorder of its log and a fresh result tree served over HTTP per test."""

import http.server
import json
import os
import shutil
import subprocess
import sys
import threading
from functools import partial
from pathlib import Path

import pytest

from _impactor_support import Tree, load_impactor, tree_numbers

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

needs_private_mounts = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("gcc") is None,
    reason="needs root, unshare and gcc: the libraries are installed in a private mount namespace",
)


def section_headers_damaged(source: str, damage: str) -> bytes:
    """A copy of a 64-bit object with section headers that no longer describe
    what its segments hold; the loader does not read them."""
    from elftools.elf.elffile import ELFFile

    data = bytearray(Path(source).read_bytes())
    if damage == "no section headers":
        data[0x28:0x30] = bytes(8)  # e_shoff
        data[0x3C:0x40] = bytes(4)  # e_shnum, e_shstrndx
        return bytes(data)
    with open(source, "rb") as stream:
        elf = ELFFile(stream)
        headers = {
            s.name: elf["e_shoff"] + i * elf["e_shentsize"]
            for i, s in enumerate(elf.iter_sections())
        }
    for name in damage.split("+"):
        header = headers[name]
        data[header + 32 : header + 40] = bytes(8)  # sh_size: 0
        data[header + 44 : header + 48] = bytes(4)  # sh_info: 0 (entries of .gnu.version_r)
    return bytes(data)


@pytest.fixture(autouse=True)
def _own_document_cache(tmp_path_factory, monkeypatch):
    """Documents fetched in a test are kept in a cache of its own."""
    import varkit

    directory = tmp_path_factory.mktemp("document-cache")
    directory.chmod(0o700)
    monkeypatch.setattr(varkit.conf, "cache_dir", str(directory), raising=False)
    return directory


@pytest.fixture(scope="session")
def example(tmp_path_factory):
    build = tmp_path_factory.mktemp("example")
    subprocess.run(
        [str(EXAMPLES / "build_example.sh"), str(build)], check=True, stdout=subprocess.DEVNULL
    )
    return build


@pytest.fixture(scope="session")
def served_results():
    handler = partial(http.server.SimpleHTTPRequestHandler, directory=str(EXAMPLES / "results"))
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


def check_abi(*args, prefix=(), env=None):
    """`varkit --checkabi --with-symbol ARGS...` as a user runs it; (status, result, stderr)."""
    run = subprocess.run(
        [*prefix, sys.executable, "-m", "varkit", "--checkabi", "--with-symbol", *map(str, args)],
        capture_output=True,
        timeout=300,
        env={**os.environ, **(env or {})},
    )
    return run.returncode, json.loads(run.stdout), run.stderr.decode("utf-8", "replace")


def varkit(example, *args, libdir=None, env=None):
    """Runs the command with the example libraries installed; (status, result, stderr).

    Standard output must be the JSON result alone, or empty."""
    run = subprocess.run(
        [
            str(EXAMPLES / "with_libraries.sh"),
            str(libdir or example / "installed"),
            sys.executable,
            "-m",
            "varkit",
            *args,
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, **(env or {})},
    )
    result = json.loads(run.stdout) if run.stdout else None
    return run.returncode, result, run.stderr


@pytest.fixture
def impactor():
    return load_impactor()


@pytest.fixture
def log(impactor, monkeypatch):
    """Every ABI_LOG call as (level, message)."""
    lines = []
    monkeypatch.setattr(impactor, "ABI_LOG", lambda level, message: lines.append((level, message)))
    return lines


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="session")
def http_server(tmp_path_factory):
    """A folder served over HTTP on 127.0.0.1: (folder, base URL)."""
    root = tmp_path_factory.mktemp("served")
    handler = partial(_QuietHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield root, "http://127.0.0.1:%d/" % server.server_address[1]
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.fixture
def remote(http_server, monkeypatch):
    """A fresh served tree per test: reachability answers are cached per URL
    for the life of the process, so no two tests share a URL."""
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    root, base = http_server
    name = "tree%d" % next(tree_numbers)
    (root / name).mkdir()
    return Tree(root / name, base + name + "/")

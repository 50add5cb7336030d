"""Fixtures shared by the impactor tests: the module, a log recorder and a
real HTTP server on 127.0.0.1 serving result trees from a temporary folder."""
import functools
import http.server
import importlib
import itertools
import sys
import threading
import types

import pytest

_tree_numbers = itertools.count()


def load_impactor(monkeypatch):
    try:
        importlib.import_module("varkit.reportscan")
    except ImportError:
        # The report reader is not built in this tree yet; the checks tested
        # here never call it.
        monkeypatch.setitem(sys.modules, "varkit.reportscan", types.ModuleType("varkit.reportscan"))
    return importlib.import_module("varkit.impactor")


@pytest.fixture
def impactor(monkeypatch):
    return load_impactor(monkeypatch)


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
    root = tmp_path_factory.mktemp("served")
    handler = functools.partial(_QuietHandler, directory=str(root))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield root, "http://127.0.0.1:%d/" % server.server_address[1]
    server.shutdown()
    server.server_close()
    thread.join()


class Tree:
    """A folder served over HTTP: `dir` on disk, `url` (ending in "/") remotely."""

    def __init__(self, directory, url):
        self.dir = directory
        self.url = url

    def write(self, relative, text=""):
        path = self.dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
        return path

    def mkdir(self, relative):
        (self.dir / relative).mkdir(parents=True, exist_ok=True)


@pytest.fixture
def remote(http_server, monkeypatch):
    """A fresh served tree per test: reachability answers are cached per URL
    for the life of the process, so no two tests share a URL."""
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    root, base = http_server
    name = "tree%d" % next(_tree_numbers)
    (root / name).mkdir()
    return Tree(root / name, base + name + "/")

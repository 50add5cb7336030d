"""Documents kept across runs: revalidated against a real server on 127.0.0.1,
and every fault of the cache costing speed only."""

from __future__ import annotations

import email.utils
import http.server
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator

import pytest

from _local_server import LocalServer, served_tree
from varkit import conf, doc_cache, fetch

BODY = b'[{"changed": ["x"]}]' * 500
OLD = email.utils.formatdate(time.time() - 3600, usegmt=True)


class _Server(LocalServer):
    """Serves one document, honouring If-None-Match and If-Modified-Since the
    way a static web server does; counts requests and body bytes sent."""

    def __init__(self, headers: dict[str, str]) -> None:
        self.body = BODY
        self.headers = headers
        self.requests: list[dict[str, str]] = []
        self.bytes_sent = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:
                server.requests.append(dict(self.headers))
                etag = server.headers.get("ETag")
                modified = server.headers.get("Last-Modified")
                unchanged = (etag is not None and self.headers.get("If-None-Match") == etag) or (
                    etag is None
                    and modified is not None
                    and self.headers.get("If-Modified-Since") == modified
                )
                self.send_response(304 if unchanged else 200)
                for name, value in server.headers.items():
                    self.send_header(name, value)
                if unchanged:
                    self.end_headers()
                    return
                self.send_header("Content-Length", str(len(server.body)))
                self.end_headers()
                server.bytes_sent += len(server.body)  # counted before the client has it
                self.wfile.write(server.body)

            def log_message(self, *args: object) -> None:
                pass

        super().__init__(Handler, "/doc.json")


@pytest.fixture
def serve() -> Iterator:
    servers: list[_Server] = []

    def start(**headers: str) -> _Server:
        servers.append(_Server({k.replace("_", "-"): v for k, v in headers.items()}))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


def _fetch(url: str) -> bytes:
    with fetch.fetch_run():
        return fetch.get_bytes(url, "json")


@pytest.mark.parametrize(
    "headers, asked",
    [
        ({"ETag": '"v1"'}, "If-None-Match"),
        ({"ETag": 'W/"v1"'}, "If-None-Match"),
        ({"Last-Modified": OLD}, "If-Modified-Since"),
    ],
    ids=["etag", "weak-etag", "last-modified"],
)
def test_a_second_run_revalidates_and_takes_the_kept_body(serve, headers, asked) -> None:
    server = serve(**headers)
    assert _fetch(server.url) == BODY
    first = server.bytes_sent
    assert _fetch(server.url) == BODY
    assert len(server.requests) == 2 and asked in server.requests[1]
    assert server.bytes_sent == first  # answered 304: no body the second time

    server.body = BODY.replace(b"x", b"y")  # the document changes: a new validator
    server.headers = {k: (v.replace("v1", "v2") if k == "ETag" else v) for k, v in headers.items()}
    if "Last-Modified" in headers:
        server.headers["Last-Modified"] = email.utils.formatdate(time.time() - 600, usegmt=True)
    assert _fetch(server.url) == server.body


@pytest.mark.parametrize(
    "headers, requests_made, conditional",
    [
        ({"Cache-Control": "max-age=600", "ETag": '"v1"'}, 1, 0),  # fresh: nothing asked
        ({"Cache-Control": "no-cache, max-age=600", "ETag": '"v1"'}, 2, 1),  # revalidated
        ({"Cache-Control": "no-store", "ETag": '"v1"'}, 2, 0),  # never kept
        ({}, 2, 0),  # no validator: nothing to revalidate with
        ({"Last-Modified": "now"}, 2, 0),  # modified just now: may change within its second
    ],
    ids=["max-age", "no-cache", "no-store", "no-validator", "last-modified-now"],
)
def test_what_the_server_allows_is_what_is_kept(serve, headers, requests_made, conditional) -> None:
    if headers.get("Last-Modified") == "now":
        headers = {"Last-Modified": email.utils.formatdate(usegmt=True)}
    server = serve(**headers)
    assert _fetch(server.url) == BODY
    assert _fetch(server.url) == BODY
    assert len(server.requests) == requests_made
    asked = [r for r in server.requests if "If-None-Match" in r or "If-Modified-Since" in r]
    assert len(asked) == conditional


def _entry(directory: Path) -> Path:
    (entry,) = [p for p in directory.iterdir() if not p.name.startswith(".")]
    return entry


@pytest.mark.parametrize(
    "damage",
    [
        lambda p: p.write_bytes(p.read_bytes()[:-7]),  # truncated
        lambda p: p.write_bytes(p.read_bytes()[:-1] + b"!"),  # a flipped byte
        lambda p: p.write_bytes(b"junk"),
        lambda p: p.write_bytes(b""),
        lambda p: p.unlink(),
        lambda p: (p.unlink(), p.mkdir()),  # an entry that is a directory
        lambda p: (p.unlink(), p.symlink_to("/etc/passwd")),
    ],
    ids=["truncated", "flipped", "junk", "empty", "deleted", "directory", "symlink"],
)
def test_a_damaged_entry_is_fetched_again(serve, _own_document_cache, damage) -> None:
    server = serve(ETag='"v1"')
    _fetch(server.url)
    damage(_entry(_own_document_cache))
    assert _fetch(server.url) == BODY
    assert "If-None-Match" not in server.requests[1]  # nothing usable was kept
    assert _fetch(server.url) == BODY  # kept again, and revalidated
    assert "If-None-Match" in server.requests[2]


@pytest.mark.parametrize("fault", ["open-to-others", "a-file", "under-a-file", "off"])
def test_an_unusable_cache_directory_costs_only_speed(serve, tmp_path, monkeypatch, fault) -> None:
    directory = tmp_path / "cache"
    if fault == "open-to-others":
        directory.mkdir(mode=0o777)
        directory.chmod(0o777)
    elif fault == "a-file":
        directory.write_text("not a directory")
    elif fault == "under-a-file":
        (tmp_path / "file").write_text("")
        directory = tmp_path / "file" / "cache"
    monkeypatch.setattr(conf, "cache_dir", "none" if fault == "off" else str(directory))
    server = serve(ETag='"v1"')
    assert _fetch(server.url) == BODY
    assert _fetch(server.url) == BODY
    assert [("If-None-Match" in r) for r in server.requests] == [False, False]
    if fault == "open-to-others":
        assert list(directory.iterdir()) == []


def test_a_body_cut_off_is_never_kept(serve, _own_document_cache) -> None:
    server = serve(ETag='"v1"')
    whole = server.body

    class CutOff(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self) -> None:
            server.requests.append(dict(self.headers))
            self.send_response(200)
            self.send_header("ETag", '"v1"')
            self.send_header("Content-Length", str(len(whole)))  # more than is sent
            self.end_headers()
            self.wfile.write(whole[:100])
            self.close_connection = True

        def log_message(self, *args: object) -> None:
            pass

    handler = server.httpd.RequestHandlerClass
    server.httpd.RequestHandlerClass = CutOff
    with pytest.raises(fetch.FetchError):
        _fetch(server.url)
    assert list(_own_document_cache.iterdir()) == []
    server.httpd.RequestHandlerClass = handler
    assert _fetch(server.url) == whole
    assert "If-None-Match" not in server.requests[-1]


def test_a_full_disk_keeps_nothing_and_fetches(serve, _own_document_cache) -> None:
    """Writes past RLIMIT_FSIZE fail as on a full disk (EFBIG)."""
    server = serve(ETag='"v1"')
    code = (
        "import resource, signal, sys\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))\n"
        "import varkit\n"
        "from varkit import fetch\n"
        f"varkit.conf.cache_dir = {str(_own_document_cache)!r}\n"
        "with fetch.fetch_run():\n"
        f"    sys.stdout.write(str(len(fetch.get_bytes({server.url!r}, 'json'))))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == str(len(BODY))
    assert list(_own_document_cache.iterdir()) == []  # no entry, no temporary left


def test_the_cache_stays_within_its_bound(serve, monkeypatch, _own_document_cache) -> None:
    monkeypatch.setattr(conf, "cache_max_bytes", str(int(len(BODY) * 2.5)))
    servers = [serve(ETag=f'"v{i}"') for i in range(4)]
    for server in servers:
        _fetch(server.url)
        time.sleep(0.01)  # distinct use times
    held = sum(p.stat().st_size for p in _own_document_cache.iterdir())
    assert held <= len(BODY) * 2.5
    for server in reversed(servers):
        _fetch(server.url)
        time.sleep(0.01)
    # the two newest were kept (revalidated), the oldest fetched whole again
    asked = ["If-None-Match" in server.requests[1] for server in servers]
    assert asked == [False, False, True, True]


def test_a_304_to_a_plain_request_is_no_document(serve) -> None:
    server = serve()

    class Always304(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self) -> None:
            self.send_response(304)
            self.end_headers()

        def log_message(self, *args: object) -> None:
            pass

    server.httpd.RequestHandlerClass = Always304
    with pytest.raises(fetch.FetchError, match="304"):
        _fetch(server.url)


def test_the_default_directory_is_the_users_own(monkeypatch, tmp_path) -> None:
    monkeypatch.setattr(conf, "cache_dir", "")
    monkeypatch.setattr(os, "geteuid", lambda: 0)
    assert doc_cache.configured_directory() == "/var/cache/varkit"
    monkeypatch.setattr(os, "geteuid", lambda: 1000)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert doc_cache.configured_directory() == str(tmp_path / "varkit")
    monkeypatch.delenv("XDG_CACHE_HOME")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert doc_cache.configured_directory() == str(tmp_path / ".cache" / "varkit")


def test_a_second_check_of_a_served_tree_moves_listings_only(example, tmp_path) -> None:
    """The command against a published tree, twice: the same verdicts, and the
    second run's reports and documents all answered 304; --no-cache, or a cache
    that cannot be used, fetches anew with the same verdicts."""
    from conftest import EXAMPLES, varkit

    tree = tmp_path / "results"
    shutil.copytree(EXAMPLES / "results", tree)
    an_hour_ago = time.time() - 3600
    for path in tree.rglob("*"):
        os.utime(path, (an_hour_ago, an_hour_ago))
    settings = tmp_path / "varkit.conf"
    settings.write_text(f"[varkit]\ncache_dir = {tmp_path / 'cache'}\n")
    broken = tmp_path / "broken.conf"
    broken.write_text(f"[varkit]\ncache_dir = {settings}\n")  # a file, not a directory
    runs = []
    with served_tree(tree) as (url, sent):
        args = ["--checkabi", "--with-symbol", "--search-remote", url, "--check-local"]
        for extra, conf_file in (
            ([], settings),
            ([], settings),
            (["--no-cache"], settings),
            ([], broken),
        ):
            sent.clear()
            status, result, _ = varkit(
                example, *extra, *args, str(example / "apps"), env={"VARKIT_CONF": str(conf_file)}
            )
            verdicts = {e["dest_file"]: e["verdict"] for e in result["library"]}
            documents = sum(size for path, size in sent if not path.endswith("/"))
            runs.append((status, verdicts, documents))
    (first, second, uncached, unusable) = runs
    assert first[0] == 8 and first[:2] == second[:2] == uncached[:2] == unusable[:2]
    assert first[2] > 0 and second[2] == 0 and uncached[2] == unusable[2] == first[2]

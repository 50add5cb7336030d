"""The fetch layer against a real server on 127.0.0.1 that misbehaves."""

from __future__ import annotations

import gzip
import http.server
import resource
import threading
import time
from typing import Callable, Iterator

import pytest
import requests

import varkit
from _local_server import LocalServer
from varkit import conf, fetch, urls

BODY = b'[{"changed": ["x"]}]'
# 10 MiB of zeros compresses to about 10 KiB; sent 100 times it inflates to 1 GiB.
_BOMB_PART = gzip.compress(b"\0" * (10 << 20))


def _ok(handler: http.server.BaseHTTPRequestHandler, body: bytes = BODY) -> None:
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


def _status(code: int) -> Callable[[http.server.BaseHTTPRequestHandler, int], None]:
    def answer(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
        handler.send_error(code)

    return answer


def _flaky(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    if count < 2:
        handler.send_error(503)
    else:
        _ok(handler)


def _reset_then_ok(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    if count < 1:
        handler.close_connection = True
        handler.connection.shutdown(2)
    else:
        _ok(handler)


def _truncated(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(BODY) * 4))
    handler.end_headers()
    handler.wfile.write(BODY[:5])
    handler.close_connection = True


def _junk(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    _ok(handler, b"<html>not json")


def _drip(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    handler.send_response(200)
    handler.send_header("Content-Length", "1000")
    handler.end_headers()
    for _ in range(1000):
        handler.wfile.write(b" ")
        handler.wfile.flush()
        time.sleep(0.2)


def _endless(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    handler.send_response(200)
    handler.end_headers()
    block = b"[" * 65536
    for _ in range(1 << 16):
        handler.wfile.write(block)


def _bomb(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    handler.send_response(200)
    handler.send_header("Content-Encoding", "gzip")
    handler.end_headers()
    for _ in range(100):
        handler.wfile.write(_BOMB_PART)


class _Server(LocalServer):
    def __init__(
        self, behaviour: Callable[[http.server.BaseHTTPRequestHandler, int], None]
    ) -> None:
        self.count = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:
                index = server.count
                server.count += 1
                try:
                    behaviour(self, index)
                except (BrokenPipeError, ConnectionResetError, OSError):
                    self.close_connection = True

            do_HEAD = do_GET

            def log_message(self, *args: object) -> None:
                pass

        super().__init__(Handler, "/doc.json")


@pytest.fixture
def serve() -> Iterator[Callable[..., _Server]]:
    servers: list[_Server] = []

    def start(behaviour: Callable[[http.server.BaseHTTPRequestHandler, int], None]) -> _Server:
        servers.append(_Server(behaviour))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


@pytest.fixture
def short_deadline(monkeypatch: pytest.MonkeyPatch) -> float:
    monkeypatch.setattr(conf, "fetch_deadline", "3", raising=False)
    monkeypatch.setattr(conf, "max_json_bytes", str(64 << 20), raising=False)
    return 3.0


@pytest.mark.parametrize(
    "behaviour",
    [_status(500), _status(403), _truncated, _junk, _drip, _endless, _bomb],
    ids=["500", "403", "truncated", "junk", "drip", "endless", "gzip-bomb"],
)
def test_a_document_that_cannot_be_had_raises_naming_its_url(
    serve, short_deadline, behaviour
) -> None:
    server = serve(behaviour)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.monotonic()
    with pytest.raises(fetch.FetchError) as caught:
        urls.get_remote_json(server.url)
    assert time.monotonic() - started < short_deadline + 2
    assert caught.value.url == server.url and str(caught.value)
    # The cap is 64 MiB: the peak grows by no more than a few times that.
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
    assert grown_kib < 4 * 64 * 1024


@pytest.mark.parametrize("behaviour", [_flaky, _reset_then_ok], ids=["503-twice", "reset-once"])
def test_transient_failures_are_retried(serve, behaviour) -> None:
    server = serve(behaviour)
    assert urls.get_remote_json(server.url) == [{"changed": ["x"]}]


@pytest.mark.parametrize("status", [404, 410])
def test_a_missing_document_is_not_a_fetch_failure(serve, status) -> None:
    server = serve(_status(status))
    with pytest.raises(requests.HTTPError) as caught:
        urls.get_remote_json(server.url)
    assert not isinstance(caught.value, fetch.FetchError)
    assert urls.get_directory_list(server.url.rsplit("/", 1)[0] + "/") == []
    assert urls.is_url_reachable(server.url) is False


@pytest.mark.parametrize("status", [500, 503])
def test_a_failed_listing_or_probe_is_never_no_report(serve, status) -> None:
    server = serve(_status(status))
    listing = server.url.rsplit("/", 1)[0] + "/"
    with fetch.fetch_run(), pytest.raises(fetch.FetchError):
        urls.get_directory_list(listing)
    with fetch.fetch_run(), pytest.raises(fetch.FetchError):
        urls.is_url_reachable(server.url)
    # A caller outside a run keeps the plain answers.
    assert urls.get_directory_list(listing) == []
    assert urls.is_url_reachable(server.url) is False


def test_requests_name_varkit_and_take_gzip(serve) -> None:
    seen: list[tuple[str, str]] = []

    def gzipped(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
        seen.append((handler.headers["User-Agent"], handler.headers["Accept-Encoding"]))
        body = gzip.compress(BODY)
        handler.send_response(200)
        handler.send_header("Content-Encoding", "gzip")
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)

    server = serve(gzipped)
    assert urls.get_remote_json(server.url) == [{"changed": ["x"]}]
    agent, encodings = seen[0]
    assert agent == f"varkit/{varkit.__version__}"
    assert "gzip" in [part.strip() for part in encodings.split(",")]


def test_one_get_per_document_per_run_and_none_kept_after(serve) -> None:
    server = serve(lambda handler, count: _ok(handler))
    with fetch.fetch_run() as run:
        for _ in range(5):
            assert urls.get_remote_json(server.url) == [{"changed": ["x"]}]
            urls.get_json_content_from_url(server.url)
        assert run.gets[server.url] == 1
    urls.get_remote_json(server.url)
    assert server.count == 2


@pytest.mark.parametrize("driver", ["use_remote_result_check_local", "search_source_for_dest_dir"])
def test_one_call_of_a_driver_fetches_each_document_once(tmp_path, driver) -> None:
    import collections
    import shutil
    from functools import partial
    from pathlib import Path

    from varkit import impactor

    tree = Path(__file__).resolve().parents[1] / "examples" / "results"
    gets: collections.Counter[str] = collections.Counter()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def do_GET(self) -> None:
            gets[self.path] += 1
            super().do_GET()

        def log_message(self, *args: object) -> None:
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), partial(Handler, directory=str(tree))
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    for name in ("a", "b", "c"):
        shutil.copy("/bin/true", tmp_path / name)
    result: dict = {"library": []}
    try:
        getattr(impactor, driver)(
            f"http://127.0.0.1:{server.server_address[1]}/", str(tmp_path), result, "ABI"
        )
    finally:
        server.shutdown()
        server.server_close()
    assert len(result["library"]) == 3 and gets and max(gets.values()) == 1


def _redirect_with_a_huge_body(sent: list[int]) -> Callable[..., None]:
    def answer(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
        if handler.path != "/doc.json":
            _ok(handler)
            return
        handler.send_response(302)
        handler.send_header("Location", "/moved.json")
        handler.send_header("Content-Length", str(1 << 30))
        handler.end_headers()
        block = b"x" * 65536
        for _ in range(1 << 14):  # 1 GiB, unless the reader hangs up
            handler.wfile.write(block)
            sent[0] += len(block)

    return answer


def test_a_redirect_body_is_never_read(serve, short_deadline) -> None:
    sent = [0]
    server = serve(_redirect_with_a_huge_body(sent))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.monotonic()
    with fetch.fetch_run():
        assert fetch.get_document(server.url).content == BODY
    assert time.monotonic() - started < short_deadline
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 << 10  # KiB
    assert sent[0] < 256 << 20  # the server was hung up on long before the end


def _close_framed_drip(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    # No length, the connection's end is the body's end: no keep-alive for a timer to find.
    handler.protocol_version = "HTTP/1.0"
    handler.send_response(200)
    handler.send_header("Connection", "close")
    handler.end_headers()
    handler.close_connection = True
    for _ in range(1000):
        handler.wfile.write(b" ")
        handler.wfile.flush()
        time.sleep(0.2)


def _slow_headers(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    handler.close_connection = True
    for byte in b"HTTP/1.1 200 OK\r\nX-Slow: " + b"y" * 1000:
        handler.wfile.write(bytes([byte]))
        handler.wfile.flush()
        time.sleep(0.2)


def _slow_redirects(handler: http.server.BaseHTTPRequestHandler, count: int) -> None:
    time.sleep(1.0)
    handler.send_response(302)
    handler.send_header("Location", f"/hop{count}.json")
    handler.send_header("Content-Length", "0")
    handler.end_headers()


@pytest.mark.parametrize(
    "behaviour, what",
    [
        (_close_framed_drip, "get"),
        (_slow_headers, "get"),
        (_slow_headers, "probe"),
        (_slow_redirects, "get"),
        (_slow_redirects, "probe"),
    ],
    ids=["drip-close-get", "slow-headers-get", "slow-headers-probe", "hops-get", "hops-probe"],
)
def test_the_deadline_holds_whatever_the_framing(serve, short_deadline, behaviour, what) -> None:
    server = serve(behaviour)
    started = time.monotonic()
    with fetch.fetch_run(), pytest.raises(fetch.FetchError):
        if what == "get":
            fetch.get_document(server.url)
        else:
            fetch.probe(server.url, timeout=60)
    assert time.monotonic() - started < short_deadline + 3


def test_redirects_stay_on_the_result_location(serve) -> None:
    other = serve(lambda handler, count: _ok(handler))
    server = serve(
        lambda handler, count: (
            handler.send_response(302),
            handler.send_header("Location", other.url),
            handler.send_header("Content-Length", "0"),
            handler.end_headers(),
        )
    )
    with fetch.fetch_run(), pytest.raises(fetch.FetchError, match="outside the result location"):
        fetch.get_document(server.url)
    assert other.count == 0

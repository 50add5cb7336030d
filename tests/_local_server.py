"""HTTP servers on 127.0.0.1 for the tests, each serving from a thread of its own."""

from __future__ import annotations

import contextlib
import functools
import http.server
import threading
from pathlib import Path
from typing import Any, Iterator


class LocalServer:
    """Serves with ``handler`` (a request-handler class or factory) until close();
    ``url`` names ``path`` on it."""

    def __init__(self, handler: Any, path: str = "/") -> None:
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}{path}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


@contextlib.contextmanager
def served_tree(directory: Path) -> Iterator[tuple[str, list[tuple[str, int]]]]:
    """``directory`` served as a static web server serves it: (its URL, and the
    request path and size of every body sent, as they are sent)."""
    sent: list[tuple[str, int]] = []

    class Counting(http.server.SimpleHTTPRequestHandler):
        bodies = sent

        def copyfile(self, source, outputfile) -> None:  # type: ignore[no-untyped-def]
            data = source.read()
            self.bodies.append((self.path, len(data)))
            outputfile.write(data)

        def log_message(self, *args: object) -> None:
            pass

    server = LocalServer(functools.partial(Counting, directory=str(directory)))
    try:
        yield server.url, sent
    finally:
        server.close()

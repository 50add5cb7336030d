"""The remote check through the `varkit` command while the result server fails."""
import http.server
import json
import subprocess
import sys
import threading
from functools import partial

import pytest
from conftest import EXAMPLES

RESULTS = str(EXAMPLES / "results")


class _FaultyHandler(http.server.SimpleHTTPRequestHandler):
    fault = ("none", "")
    served = 0

    def log_message(self, *args):
        pass

    def _faulted(self):
        kind, where = self.fault
        type(self).served += 1
        if kind == "close-after" and type(self).served > int(where):
            self.close_connection = True
            self.connection.shutdown(2)
            return True
        if where and where not in self.path:
            return False
        if kind == "500":
            self.send_error(500)
            return True
        if kind in ("truncated", "junk", "empty"):
            body = {"truncated": b'{"a": [', "junk": b"<html>", "empty": b""}[kind]
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return True
        return False

    def do_GET(self):
        if not self._faulted():
            super().do_GET()

    def do_HEAD(self):
        if not self._faulted():
            super().do_HEAD()


def _check(fault, script):
    handler_class = type("Handler", (_FaultyHandler,), {"fault": fault, "served": 0})
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), partial(handler_class, directory=RESULTS))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        done = subprocess.run(
            [sys.executable, "-m", "varkit", "--checkabi", "--with-symbol", "--search-remote", url,
             "--check-local", "/bin/true", str(script)],
            capture_output=True, timeout=120)
    finally:
        server.shutdown()
        server.server_close()
    if not done.stdout and done.returncode == 2:  # the tree was unreachable from the start
        assert b"not reachable" in done.stderr and b"Traceback" not in done.stderr
        return done.returncode, None
    result = json.loads(done.stdout.decode("utf-8"))
    return done.returncode, {entry["dest_file"]: entry["verdict"] for entry in result["library"]}


FAULTS = [("500", "/compat_reports/"), ("500", "summary.log"), ("500", "conf_diff.json"),
          ("truncated", "summary.log"), ("junk", "summary.log"), ("empty", "conf_diff.json"),
          ("truncated", "/compat_reports/")] + [("close-after", str(k)) for k in (0, 1, 3, 6)]


@pytest.fixture(scope="module")
def script(tmp_path_factory):
    path = tmp_path_factory.mktemp("scripts") / "tool.sh"
    path.write_text("#!/bin/sh\n")
    return path


@pytest.fixture(scope="module")
def undisturbed(script):
    return _check(("none", ""), script)[1]


@pytest.mark.parametrize("fault", FAULTS, ids=["-".join(f) for f in FAULTS])
def test_a_fault_only_ever_turns_a_verdict_into_not_checked(fault, script, undisturbed):
    status, verdicts = _check(fault, script)
    if verdicts is None:
        return
    assert set(verdicts) == set(undisturbed)
    for name, verdict in verdicts.items():
        assert verdict in (undisturbed[name], "not checked"), (name, verdict)
    if any(v == "not checked" for v in verdicts.values()):
        assert status & 1

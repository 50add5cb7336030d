"""Fixtures shared by the end-to-end tests of the `varkit` command: the
example built against version 1.0 of its libraries, the example result tree
served over HTTP on 127.0.0.1, and a runner of the command."""
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

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

needs_private_mounts = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("unshare") is None or shutil.which("gcc") is None,
    reason="needs root, unshare and gcc: the libraries are installed in a private mount namespace")


@pytest.fixture(scope="session")
def example(tmp_path_factory):
    build = tmp_path_factory.mktemp("example")
    subprocess.run([str(EXAMPLES / "build_example.sh"), str(build)], check=True,
                   stdout=subprocess.DEVNULL)
    return build


@pytest.fixture(scope="session")
def served_results():
    handler = partial(http.server.SimpleHTTPRequestHandler, directory=str(EXAMPLES / "results"))
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()


def varkit(example, *args, libdir=None, env=None):
    """Runs the command with the example libraries installed; (status, result, stderr).

    Standard output must be the JSON result alone, or empty."""
    run = subprocess.run(
        [str(EXAMPLES / "with_libraries.sh"), str(libdir or example / "installed"),
         sys.executable, "-m", "varkit", *args],
        capture_output=True, text=True, timeout=300, env={**os.environ, **(env or {})})
    result = json.loads(run.stdout) if run.stdout else None
    return run.returncode, result, run.stderr

#!/usr/bin/env python3
"""The remote check against the local check on the same result tree.

    bench/bench_remote.py [--files N]        (root: needs a private mount namespace)

Lays out N (default 250) ELF files of this machine and a result tree with a real ABI
report for every library they require (as bench/bench_impactor.py does), serves the tree
on 127.0.0.1 and runs `varkit --checkabi --with-symbol` over the files twice: against
the local tree and against the served one. Prints the GETs per distinct URL (one fetch
per document is 1.0), the bytes the server sent against the tree's size, the wall time
of each run and their ratio. The verdicts of both runs must be identical.
"""

from __future__ import annotations

import argparse
import collections
import http.server
import json
import subprocess
import sys
import threading
import time
from functools import partial
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_impactor import OUT as IMPACTOR_OUT
from bench_impactor import REPORT, collect_elf, lay_out, result_tree, run_inside

OUT = IMPACTOR_OUT.parent / "remote"


class _CountingWriter:
    def __init__(self, raw: Any, counter: _Counter) -> None:
        self._raw = raw
        self._counter = counter

    def write(self, data: bytes) -> int:
        self._counter.add_bytes(len(data))
        return self._raw.write(data)

    def flush(self) -> None:
        self._raw.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._raw, name)


class _Counter:
    def __init__(self) -> None:
        self.gets: collections.Counter[str] = collections.Counter()
        self.heads = 0
        self.sent = 0
        self._lock = threading.Lock()

    def add_bytes(self, size: int) -> None:
        with self._lock:
            self.sent += size


def _handler(counter: _Counter) -> type:
    class Handler(http.server.SimpleHTTPRequestHandler):
        def setup(self) -> None:
            super().setup()
            self.wfile = _CountingWriter(self.wfile, counter)  # type: ignore[assignment]

        def do_GET(self) -> None:
            counter.gets[self.path] += 1
            super().do_GET()

        def do_HEAD(self) -> None:
            counter.heads += 1
            super().do_HEAD()

        def log_message(self, *args: Any) -> None:
            pass

    return Handler


def _varkit(*location: str, files: Path) -> tuple[float, dict]:
    start = time.perf_counter()
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "varkit",
            "--checkabi",
            "--with-symbol",
            *location,
            "--check-local",
            str(files),
        ],
        capture_output=True,
        text=True,
        timeout=3600,
    )
    elapsed = time.perf_counter() - start
    if not done.stdout:
        raise SystemExit(f"varkit gave no result (exit {done.returncode}): {done.stderr[-2000:]}")
    result = json.loads(done.stdout)
    return elapsed, {Path(e["dest_file"]).name: e["verdict"] for e in result["library"]}


def _tree_bytes(tree: Path) -> int:
    return sum(p.stat().st_size for p in tree.rglob("*") if p.is_file())


def inside(count: int) -> None:
    files = collect_elf(count, 4 << 20)
    directory = OUT / "files"
    lay_out(files, directory)
    tree = OUT / "results"
    reports = result_tree(files, tree)
    print(
        f"{len(files)} ELF files, {reports} required libraries with a report "
        f"({REPORT.stat().st_size / 1e6:.1f} MB each, tree {_tree_bytes(tree) / 1e6:.1f} MB)"
    )

    local_seconds, local = _varkit("--search-local", str(tree), files=directory)

    counter = _Counter()
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), partial(_handler(counter), directory=str(tree))
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        remote_seconds, remote = _varkit(
            "--search-remote", f"http://127.0.0.1:{server.server_address[1]}/", files=directory
        )
    finally:
        server.shutdown()
        server.server_close()
    if remote != local:
        differ = sorted(name for name in local if remote.get(name) != local[name])
        raise SystemExit(f"verdicts differ between the local and the remote run: {differ[:10]}")

    gets = sum(counter.gets.values())
    distinct = len(counter.gets)
    print(f"verdicts identical for {len(local)} files: {dict(collections.Counter(local.values()))}")
    print(
        f"GETs: {gets} of {distinct} distinct URLs ({gets / distinct:.2f} per URL, "
        f"most for one URL: {max(counter.gets.values())}); HEADs: {counter.heads}"
    )
    print(
        f"bytes sent: {counter.sent / 1e6:.1f} MB for a tree of {_tree_bytes(tree) / 1e6:.1f} MB "
        f"({counter.sent / _tree_bytes(tree):.2f}x)"
    )
    print(
        f"wall: local {local_seconds:.2f} s, remote {remote_seconds:.2f} s "
        f"(remote / local: {remote_seconds / local_seconds:.2f}x)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=250)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        inside(options.files)
        return
    run_inside(__file__, ["--files", str(options.files)])


if __name__ == "__main__":
    main()

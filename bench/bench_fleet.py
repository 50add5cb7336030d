#!/usr/bin/env python3
"""A fleet of hosts checking themselves against one published result tree.

    bench/bench_fleet.py [--files N] [--hosts H] [--wave W]   (root: a private mount namespace)

Lays out N (default 250) ELF files of this machine and a result tree with a real ABI
report for every library they require (as bench/bench_remote.py does), serves the tree on
127.0.0.1 and runs H simulated hosts (default 8; separate `varkit` processes, each with a
cache directory of its own, W at a time, default 1, so that each has the machine
to itself as the local check had): every host checks the same files
twice, first without the tree's compact index and then with it (varkit-index). Prints, per
host and run, the requests it made, how many were answered 304 and the bytes it received;
the server's total; and the wall time of a remote run against the local check. Every
run's per-file records must equal the local check's (the location written alike).
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from functools import partial
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_impactor import collect_elf, lay_out, result_tree, run_inside
from bench_remote import OUT

HOST_PREFIX = "/host-"


class _Tally:
    """Requests, 304s and bytes sent, per host (the first path segment names it)."""

    def __init__(self) -> None:
        self.requests: collections.Counter[str] = collections.Counter()
        self.not_modified: collections.Counter[str] = collections.Counter()
        self.sent: collections.Counter[str] = collections.Counter()
        self.lock = threading.Lock()


def _handler(tally: _Tally) -> type:
    class Handler(http.server.SimpleHTTPRequestHandler):
        # Keep-alive without Nagle's delay, as static web servers answer.
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True
        host = ""

        def _strip_host(self) -> None:
            head, _, rest = self.path[len(HOST_PREFIX) :].partition("/")
            self.host = head
            self.path = "/" + rest

        def do_GET(self) -> None:
            self._strip_host()
            with tally.lock:
                tally.requests[self.host] += 1
            super().do_GET()

        def do_HEAD(self) -> None:
            self._strip_host()
            with tally.lock:
                tally.requests[self.host] += 1
            super().do_HEAD()

        def send_response(self, code: int, message: str | None = None) -> None:
            if code == 304:
                with tally.lock:
                    tally.not_modified[self.host] += 1
            super().send_response(code, message)

        def copyfile(self, source: Any, outputfile: Any) -> None:
            data = source.read()
            with tally.lock:
                tally.sent[self.host] += len(data)
            outputfile.write(data)

        def log_message(self, *args: Any) -> None:
            pass

    return Handler


def _check(location: list[str], files: Path, cache: Path | None) -> tuple[float, str]:
    """(wall seconds, the per-file records with the result location written TREE)."""
    settings = None
    if cache is not None:  # the host's configuration, beside its cache
        settings = cache.with_suffix(".conf")
        settings.write_text(f"[varkit]\ncache_dir = {cache}\n")
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "varkit", "--checkabi", "--with-symbol", *location]
        + ["--check-local", str(files)],
        capture_output=True,
        text=True,
        timeout=3600,
        env={**os.environ, **({"VARKIT_CONF": str(settings)} if settings else {})},
    )
    elapsed = time.perf_counter() - start
    if not done.stdout:
        raise SystemExit(f"varkit gave no result (exit {done.returncode}): {done.stderr[-2000:]}")
    result = json.loads(done.stdout)
    records = json.dumps(result["library"], sort_keys=True)
    return elapsed, records.replace(location[-1].rstrip("/"), "TREE").replace("TREE//", "TREE/")


def _fleet(
    tree: Path, files: Path, local: str, hosts: int, wave: int
) -> dict[tuple[int, int], tuple[float, int, int, int]]:
    """(host, run) -> (wall seconds, requests, 304s, bytes received), two runs per host."""
    tally = _Tally()
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), partial(_handler(tally), directory=str(tree))
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}{HOST_PREFIX}"
    caches = tempfile.TemporaryDirectory(prefix="varkit-fleet-")
    rows: dict[tuple[int, int], tuple[float, int, int, int]] = {}
    try:
        for run in (1, 2):
            before = (dict(tally.requests), dict(tally.not_modified), dict(tally.sent))

            def one(host: int, run: int = run) -> tuple[int, float]:
                cache = Path(caches.name) / str(host)
                cache.mkdir(mode=0o700, exist_ok=True)
                seconds, records = _check(["--search-remote", f"{base}{host}/"], files, cache)
                if records != local:
                    raise SystemExit(f"host {host}, run {run}: records differ from the local run's")
                return host, seconds

            with concurrent.futures.ThreadPoolExecutor(wave) as pool:
                for host, seconds in pool.map(one, range(hosts)):
                    key = str(host)
                    rows[host, run] = (
                        seconds,
                        tally.requests[key] - before[0].get(key, 0),
                        tally.not_modified[key] - before[1].get(key, 0),
                        tally.sent[key] - before[2].get(key, 0),
                    )
    finally:
        server.shutdown()
        server.server_close()
        caches.cleanup()
    return rows


def _print(label: str, rows: dict, hosts: int, local_seconds: float, report_bytes: int) -> None:
    print(f"\n== {label}")
    print(f"{'host':>4} {'run':>3} {'requests':>9} {'304':>6} {'bytes':>14} {'wall':>8}")
    for (host, run), (seconds, requests, not_modified, sent) in sorted(rows.items()):
        print(f"{host:4} {run:3} {requests:9} {not_modified:6} {sent:14,} {seconds:7.2f}s")
    first = sum(v[3] for (h, r), v in rows.items() if r == 1)
    second = sum(v[3] for (h, r), v in rows.items() if r == 2)
    print(
        f"server sent {first + second:,} bytes: first runs {first:,} "
        f"({first / hosts / report_bytes:.2%} of the reports per host), second runs "
        f"{second:,} ({second / first:.2%} of the first)"
    )
    remote_first = sum(v[0] for (h, r), v in rows.items() if r == 1) / hosts
    remote_second = sum(v[0] for (h, r), v in rows.items() if r == 2) / hosts
    print(
        f"wall: local {local_seconds:.2f} s; remote first {remote_first:.2f} s "
        f"({remote_first / local_seconds:.2f}x), second {remote_second:.2f} s "
        f"({remote_second / local_seconds:.2f}x)"
    )


def inside(count: int, hosts: int, wave: int) -> None:
    from varkit import tree_index

    files = collect_elf(count, 4 << 20)
    directory = OUT / "files"
    lay_out(files, directory)
    tree = OUT / "results"
    reports = result_tree(files, tree)
    index = tree / tree_index.INDEX_NAME
    if index.exists():
        index.unlink()
    an_hour_ago = time.time() - 3600  # published a while ago: Last-Modified validates
    for path in tree.rglob("*"):
        os.utime(path, (an_hour_ago, an_hour_ago))
    report_bytes = sum(p.stat().st_size for p in tree.rglob("compat_report.xml"))
    print(
        f"{len(files)} ELF files, {reports} reports ({report_bytes / 1e6:.1f} MB); "
        f"{hosts} hosts, {wave} at a time"
    )
    local_seconds, local = _check(["--search-local", str(tree)], directory, None)
    rows = _fleet(tree, directory, local, hosts, wave)
    _print("without the index", rows, hosts, local_seconds, report_bytes)

    tree_index.write(str(tree))
    os.utime(index, (an_hour_ago, an_hour_ago))
    print(f"\nvarkit-index: {index.stat().st_size:,} bytes")
    rows = _fleet(tree, directory, local, hosts, wave)
    _print("with the index", rows, hosts, local_seconds, report_bytes)
    index.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=250)
    parser.add_argument("--hosts", type=int, default=8)
    parser.add_argument("--wave", type=int, default=1)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        inside(options.files, options.hosts, options.wave)
        return
    run_inside(
        __file__,
        ["--files", str(options.files), "--hosts", str(options.hosts), "--wave", str(options.wave)],
    )


if __name__ == "__main__":
    main()

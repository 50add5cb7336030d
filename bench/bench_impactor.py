#!/usr/bin/env python3
"""The impact check over a directory of real ELF files.

    bench/bench_impactor.py [--files N]        (root: needs a private mount namespace)

Copies N (default 1200) ELF files of this machine (/usr/bin, /usr/sbin, /usr/lib/<multiarch>)
into a directory, lays out a local result tree with a real ABI report for every library
they require, and checks the directory with varkit.impactor and with the plain-Python
rendering in bench/baseline/impactor_baseline.py (same host helpers, the Python report
reader). The result maps of both must be identical. Prints files per second, the ratio,
where the time goes (report reading, host helpers, the module itself), and what reading
each report for every file that needs it costs against reading it once.

The machine's libraries are made visible under /lib64, where the check looks for them,
by examples/with_libraries.sh; nothing outside its private mount namespace changes.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import importlib
import os
import shutil
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any, Iterator

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out" / "impactor"
REPORT = ROOT / "bench" / "out" / "large" / "report.xml"
HOST_NAMES = ("get_file_type", "get_belonged_rpm", "is_32bit_file", "get_undefined_symbols_from_file",
              "find_req_libs", "get_pkgname_by_libname", "get_soname_from_lib", "is_url_reachable",
              "find_symbols_in_file", "suppress_stdout", "ABI_LOG", "get_directory_list")


def collect_elf(limit: int, max_bytes: int) -> list[str]:
    directories = ["/usr/bin", "/usr/sbin"] + sorted(glob.glob("/usr/lib/*-linux-gnu"))
    found: list[str] = []
    for directory in directories:
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            try:
                if not os.path.isfile(path) or os.path.islink(path) or os.path.getsize(path) > max_bytes:
                    continue
                with open(path, "rb") as handle:
                    if handle.read(4) != b"\x7fELF":
                        continue
            except OSError:
                continue
            found.append(path)
            if len(found) == limit:
                return found
    return found


def lay_out(files: list[str], target: Path) -> None:
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    for index, path in enumerate(files):
        copy = target / f"{index:05d}_{os.path.basename(path)}"
        try:
            os.link(path, copy)
        except OSError:
            shutil.copy2(path, copy)


def result_tree(files: list[str], tree: Path) -> int:
    """A report for every required library found under /lib64; returns how many."""
    from varkit import common

    shutil.rmtree(tree, ignore_errors=True)
    (tree / "compat_reports").mkdir(parents=True)
    (tree / "summary.log").write_text("[]")
    libraries = {lib for path in files for lib in common.find_req_libs(path)}
    count = 0
    for lib in sorted(libraries):
        installed = "/lib64/" + lib
        if not os.path.exists(installed):
            continue
        soname = common.get_soname_from_lib(installed) or lib
        directory = tree / "compat_reports" / common.get_pkgname_by_libname(lib) / soname / "1_to_2"
        directory.mkdir(parents=True, exist_ok=True)
        shutil.copy(REPORT, directory / "compat_report.xml")  # a copy each: no shared file
        count += 1
    return count


class Timer:
    def __init__(self) -> None:
        self.seconds: dict[str, float] = defaultdict(float)
        self.calls: dict[str, int] = defaultdict(int)
        self.reports: dict[str, int] = defaultdict(int)

    def wrap(self, label: str, function: Any) -> Any:
        def timed(*args: Any, **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.seconds[label] += time.perf_counter() - start
                self.calls[label] += 1
        return timed


class _TimedReader:
    """A report-reader module whose reportscan() is timed; everything else passes through."""

    def __init__(self, module: Any, reportscan: Any) -> None:
        self._module = module
        self.reportscan = reportscan

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)


@contextlib.contextmanager
def instrumented(module: Any, reader_attr: str, timer: Timer) -> Iterator[None]:
    """Times the host helpers and the report reader as `module` sees them at call time."""
    saved = {name: getattr(module, name) for name in HOST_NAMES if hasattr(module, name)}
    for name, function in saved.items():
        setattr(module, name, timer.wrap(name, function))
    reader_module = getattr(module, reader_attr)
    read = timer.wrap("report reading", reader_module.reportscan)

    def reading(path: Any) -> Any:
        timer.reports[path] += 1
        return read(path)
    # The module as the check sees it: the reader timed, its failure record passed on.
    setattr(module, reader_attr, _TimedReader(reader_module, reading))
    try:
        yield
    finally:
        for name, function in saved.items():
            setattr(module, name, function)
        setattr(module, reader_attr, reader_module)


def run(check: Any, module: Any, reader_attr: str, tree: Path, files: Path) -> tuple[float, Timer, dict]:
    timer = Timer()
    result: dict = {"library": []}
    with instrumented(module, reader_attr, timer), open(os.devnull, "w") as null, \
            contextlib.redirect_stdout(null):
        start = time.perf_counter()
        check(str(tree), str(files), result, "ABI")
        elapsed = time.perf_counter() - start
    return elapsed, timer, result


def describe(label: str, elapsed: float, timer: Timer, count: int) -> None:
    host = sum(s for name, s in timer.seconds.items() if name != "report reading")
    reading = timer.seconds["report reading"]
    own = elapsed - host - reading
    print(f"{label}: {elapsed:.2f} s, {count / elapsed:.0f} files/s")
    print(f"  report reading {reading:.2f} s ({100 * reading / elapsed:.0f}%) in "
          f"{timer.calls['report reading']} calls of {len(timer.reports)} reports")
    print(f"  host helpers   {host:.2f} s ({100 * host / elapsed:.0f}%)")
    print(f"  the check      {own:.2f} s ({100 * own / elapsed:.0f}%)")
    for name, seconds in sorted(timer.seconds.items(), key=lambda item: -item[1])[:6]:
        print(f"      {name:34} {seconds:7.2f} s {timer.calls[name]:7} calls")


def inside(count: int) -> None:
    sys.path.insert(0, str(ROOT / "bench" / "baseline"))
    import impactor_baseline
    from varkit import impactor, reportscan

    files = collect_elf(count, 4 << 20)
    directory = OUT / "files"
    lay_out(files, directory)
    tree = OUT / "results"
    reports = result_tree(files, tree)
    print(f"{len(files)} ELF files, {reports} required libraries with a report "
          f"({REPORT.stat().st_size / 1e6:.1f} MB each)")

    native = run(impactor.search_source_for_dest_dir, impactor, "reportscan", tree, directory)
    baseline = run(impactor_baseline.search_source_for_dest_dir, impactor_baseline,
                   "reportscan_baseline", tree, directory)
    if native[2] != baseline[2]:
        raise SystemExit("result maps differ between varkit.impactor and the baseline")
    describe("varkit.impactor", native[0], native[1], len(files))
    describe("plain Python", baseline[0], baseline[1], len(files))
    print(f"ratio (plain Python / varkit): {baseline[0] / native[0]:.1f}x")

    # Each report read once by a fresh module (nothing read before), the least reading can cost.
    del sys.modules["varkit.reportscan"]
    fresh = importlib.import_module("varkit.reportscan")
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        start = time.perf_counter()
        for path in native[1].reports:
            fresh.reportscan(path)
        once = time.perf_counter() - start
    reading = native[1].seconds["report reading"]
    calls = native[1].calls["report reading"]
    print(f"reports: {calls} readings of {len(native[1].reports)} reports took {reading:.2f} s; "
          f"reading each once takes {once:.2f} s ({reading / once:.2f}x)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=1200)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        inside(options.files)
        return
    if not REPORT.exists():
        subprocess.run([str(ROOT / "bench" / "make_large_report.sh")], check=True)
    no_libraries = OUT / "no-libraries"
    no_libraries.mkdir(parents=True, exist_ok=True)
    subprocess.run([str(ROOT / "examples" / "with_libraries.sh"), str(no_libraries), sys.executable,
                    __file__, "--inside", "--files", str(options.files)], check=True)


if __name__ == "__main__":
    main()

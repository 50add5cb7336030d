#!/usr/bin/env python3
"""The impact check over a directory of real ELF files.

    bench/bench_impactor.py [--files N] [--plain]     (root: needs a private mount namespace)

Copies N (default 1200) ELF files of this machine (/usr/bin, /usr/sbin, /usr/lib/<multiarch>)
into a directory, lays out a local result tree with a report for every library they
require, and checks the directory three ways in one run. Each report is the library's
own (bench/_bench_reports.py): a sample of its exported symbols removed or changed in
every section and severity, so that the files really match; one library gets the 52 MB
scaled real report instead, which stresses reading. The checks:

* varkit: varkit.impactor as it is;
* previous: varkit.impactor with the symbol matching it had before the changed-symbol
  index (tests/oracles/symbol_match_baseline.py: every call indexes the report afresh);
* plain Python (--plain, minutes): tests/oracles/impactor_baseline.py with that matching,
  the Python report reader and the pyelftools ELF reading.

The result maps must be identical. Prints files per second, where the time goes (ELF facts,
matching, report reading, the check itself), the ratios, and the floor for the ELF facts:
`readelf --dyn-syms --dynamic -W -V` over the same files, timed in the same run.

The machine's libraries are made visible under /lib64, where the check looks for them,
by examples/with_libraries.sh; nothing outside its private mount namespace changes.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import importlib
import os
import resource
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
LARGE_REPORT = ROOT / "bench" / "out" / "large" / "scaled.xml"
# The part of each library's exports its report lists as removed or changed.
CHANGED_SHARE = 0.015
ELF_FACTS = (
    "get_file_type",
    "is_32bit_file",
    "get_undefined_symbols_from_file",
    "find_req_libs",
    "get_soname_from_lib",
    "locate_library",
)
HOST_NAMES = ELF_FACTS + (
    "get_belonged_rpm",
    "get_pkgname_by_libname",
    "is_url_reachable",
    "find_symbols_in_file",
    "suppress_stdout",
    "ABI_LOG",
    "get_directory_list",
)


def collect_elf(limit: int, max_bytes: int) -> list[str]:
    directories = ["/usr/bin", "/usr/sbin"] + sorted(glob.glob("/usr/lib/*-linux-gnu"))
    found: list[str] = []
    for directory in directories:
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            try:
                if (
                    not os.path.isfile(path)
                    or os.path.islink(path)
                    or os.path.getsize(path) > max_bytes
                ):
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
    from _bench_reports import report_xml
    from varkit import elf, packages

    shutil.rmtree(tree, ignore_errors=True)
    (tree / "compat_reports").mkdir(parents=True)
    (tree / "summary.log").write_text("[]")
    libraries = {lib for path in files for lib in elf.find_req_libs(path)}
    count = 0
    for lib in sorted(libraries):
        installed = "/lib64/" + lib
        if not os.path.exists(installed):
            continue
        soname = elf.get_soname_from_lib(installed) or lib
        package = packages.get_pkgname_by_libname(lib)
        directory = tree / "compat_reports" / package / soname / "1_to_2"
        directory.mkdir(parents=True, exist_ok=True)
        facts = elf._elf.read(os.fsencode(installed))
        if count == 0 or not facts:
            shutil.copy(LARGE_REPORT if count == 0 else REPORT, directory / "compat_report.xml")
        else:
            exported = list(facts[11])
            (directory / "compat_report.xml").write_text(
                report_xml(package or lib, soname, exported, CHANGED_SHARE),
                encoding="utf-8",
                errors="surrogateescape",
            )
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


@contextlib.contextmanager
def instrumented(module: Any, reader_attr: str, timer: Timer) -> Iterator[None]:
    """Times the host helpers and the report reader as `module` sees them at call time."""
    saved = {name: getattr(module, name) for name in HOST_NAMES if hasattr(module, name)}
    for name, function in saved.items():
        setattr(module, name, timer.wrap(name, function))
    # The reader as the check calls it: varkit's through scan_report (its own
    # reportscan untouched, so that the check still knows it for the native one).
    reader = getattr(module, reader_attr)
    entry_point = "scan_report" if hasattr(reader, "scan_report") else "reportscan"
    original = getattr(reader, entry_point)
    read = timer.wrap("report reading", original)

    def reading(path: Any, *args: Any, **kwargs: Any) -> Any:
        timer.reports[path] += 1
        return read(path, *args, **kwargs)

    setattr(reader, entry_point, reading)
    try:
        yield
    finally:
        for name, function in saved.items():
            setattr(module, name, function)
        setattr(reader, entry_point, original)


def fresh_state() -> None:
    """Nothing known from an earlier run: ELF facts, report readings, symbol indexes."""
    from varkit import elf, symbols

    elf._facts_cache.clear()
    elf._type_cache.clear()
    symbols._changed_indexes = symbols._IndexMemo()
    sys.modules.pop("varkit.reportscan", None)


def run(
    check: Any, module: Any, reader_attr: str, tree: Path, files: Path
) -> tuple[float, Timer, dict]:
    timer = Timer()
    result: dict = {"library": []}
    with (
        instrumented(module, reader_attr, timer),
        open(os.devnull, "w") as null,
        contextlib.redirect_stdout(null),
    ):
        start = time.perf_counter()
        check(str(tree), str(files), result, "ABI")
        elapsed = time.perf_counter() - start
    return elapsed, timer, result


def describe(label: str, elapsed: float, timer: Timer, count: int) -> None:
    elf = sum(timer.seconds[name] for name in ELF_FACTS)
    matching = timer.seconds["find_symbols_in_file"]
    reading = timer.seconds["report reading"]
    other = sum(timer.seconds.values()) - elf - matching - reading
    own = elapsed - elf - matching - reading - other
    print(f"{label}: {elapsed:.2f} s, {count / elapsed:.1f} files/s")
    for phase, seconds, detail in (
        ("ELF facts", elf, f"{sum(timer.calls[name] for name in ELF_FACTS)} calls"),
        ("matching", matching, f"{timer.calls['find_symbols_in_file']} calls"),
        (
            "report reading",
            reading,
            f"{timer.calls['report reading']} calls of {len(timer.reports)} reports",
        ),
        ("other helpers", other, "package ownership, logging, stdout"),
        ("the check", own, "the check's own work"),
    ):
        print(f"  {phase:15} {seconds:7.2f} s {100 * seconds / elapsed:4.0f}%   {detail}")


def readelf_floor(files: list[str]) -> tuple[float, float]:
    """(wall, CPU seconds) of readelf reading the same facts from every file."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    for chunk in range(0, len(files), 200):
        subprocess.run(
            ["readelf", "--dyn-syms", "--dynamic", "-W", "-V", *files[chunk : chunk + 200]],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            check=False,
        )
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def first_difference(left: dict, right: dict) -> str:
    for a, b in zip(left["library"], right["library"]):
        if a != b:
            keys = sorted(k for k in set(a) | set(b) if a.get(k) != b.get(k))
            return f"{a.get('dest_file')}: {', '.join(f'{k} {a.get(k)!r} against {b.get(k)!r}' for k in keys)}"
    return f"{len(left['library'])} against {len(right['library'])} files"


def inside(count: int, plain: bool) -> None:
    sys.path.insert(0, str(ROOT / "tests"))
    sys.path.insert(0, str(ROOT / "bench"))
    from _sax_floor import sax_floor_cpu
    from oracles import impactor_baseline, symbol_match_baseline
    from varkit import elf, impactor

    files = collect_elf(count, 4 << 20)
    directory = OUT / "files"
    lay_out(files, directory)
    tree = OUT / "results"
    reports = result_tree(files, tree)
    checked = sorted(str(path) for path in directory.iterdir())
    sizes = [p.stat().st_size for p in tree.glob("compat_reports/*/*/*/compat_report.xml")]
    print(
        f"{len(files)} ELF files, {reports} required libraries with a report of their own "
        f"({sum(sizes) / 1e6:.1f} MB in all, the largest {max(sizes) / 1e6:.1f} MB); "
        f"varkit from {Path(elf.__file__).parent}"
    )

    floor_wall, floor_cpu = readelf_floor(checked)
    runs: dict[str, tuple[float, Timer, dict]] = {}

    fresh_state()
    impactor.reportscan = importlib.import_module("varkit.reportscan")
    runs["varkit"] = run(
        impactor.search_source_for_dest_dir, impactor, "reportscan", tree, directory
    )

    fresh_state()
    impactor.reportscan = importlib.import_module("varkit.reportscan")
    matching = impactor.find_symbols_in_file
    impactor.find_symbols_in_file = symbol_match_baseline.find_symbols_in_file
    try:
        runs["previous"] = run(
            impactor.search_source_for_dest_dir, impactor, "reportscan", tree, directory
        )
    finally:
        impactor.find_symbols_in_file = matching

    if plain:
        fresh_state()
        native_reader, elf._elf = elf._elf, None  # pyelftools reads every object
        impactor_baseline.find_symbols_in_file = symbol_match_baseline.find_symbols_in_file
        try:
            runs["plain Python"] = run(
                impactor_baseline.search_source_for_dest_dir,
                impactor_baseline,
                "reportscan_baseline",
                tree,
                directory,
            )
        finally:
            elf._elf = native_reader

    for label, (elapsed, timer, _) in runs.items():
        describe(label, elapsed, timer, len(files))
    reference = runs["varkit"][2]
    for label, (_, _, result) in runs.items():
        if result != reference:
            raise SystemExit(
                f"result maps differ between varkit and {label}: {first_difference(reference, result)}"
            )
    matches = sum(len(entry.get("symbol_matches", [])) for entry in reference["library"])
    matched_files = sum(1 for entry in reference["library"] if entry.get("symbol_matches"))
    print(
        f"result maps identical ({' = '.join(runs)}): {len(reference['library'])} files, "
        f"{matches} symbol matches in {matched_files} files "
        f"({100 * matched_files / max(len(reference['library']), 1):.0f}%)"
    )
    if not matches:
        raise SystemExit("no symbol matched: the bench measures no matching")
    own = runs["varkit"][0]
    for label, (elapsed, _, _) in runs.items():
        if label != "varkit":
            print(f"ratio ({label} / varkit): {elapsed / own:.2f}x")
    elf = sum(runs["varkit"][1].seconds[name] for name in ELF_FACTS)
    print(
        f"floor: readelf --dyn-syms --dynamic -W -V over the {len(checked)} files: {floor_wall:.2f} s "
        f"({floor_cpu:.2f} s CPU); varkit's ELF facts {elf:.2f} s ({elf / floor_cpu:.2f}x readelf's CPU)"
    )

    # The floor of reading: libxml2's bare parse of each distinct report once.
    reports_read = sorted(runs["varkit"][1].reports)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    for chunk in range(0, len(reports_read), 100):
        subprocess.run(
            ["xmllint", "--noout", "--stream", *reports_read[chunk : chunk + 100]], check=False
        )
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    stream = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    sax = sax_floor_cpu(reports_read)
    reading = runs["varkit"][1].seconds["report reading"]
    calls = runs["varkit"][1].calls["report reading"]
    print(
        f"reports: {calls} readings of {len(reports_read)} reports took {reading:.2f} s; "
        f"parsing each once: xmllint --stream {stream:.2f} s CPU ({reading / stream:.2f}x)"
        + (f", bare SAX2 {sax:.2f} s CPU ({reading / sax:.2f}x)" if sax else "")
    )
    print(f"peak RSS: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=1200)
    parser.add_argument(
        "--plain", action="store_true", help="also run the plain-Python baseline (minutes)"
    )
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        inside(options.files, options.plain)
        return
    run_inside(__file__, ["--files", str(options.files)] + (["--plain"] if options.plain else []))


def run_inside(script: str, arguments: list[str]) -> None:
    """Runs `script --inside ARGUMENTS` with this machine's libraries under /lib64."""
    if not (REPORT.exists() and LARGE_REPORT.exists()):
        subprocess.run([str(ROOT / "bench" / "make_large_report.sh")], check=True)
    no_libraries = OUT / "no-libraries"
    no_libraries.mkdir(parents=True, exist_ok=True)
    subprocess.run(
        [
            str(ROOT / "examples" / "with_libraries.sh"),
            str(no_libraries),
            sys.executable,
            script,
            "--inside",
            *arguments,
        ],
        check=True,
    )


if __name__ == "__main__":
    main()

"""process() of varkit.package_mapping.orv.provenance against the plain-Python baseline.

Builds the two input tables under bench/out/provenance/ from this machine's real
package file lists (dpkg's /var/lib/dpkg/info/*.list and each package's source
package, or the contents of the package files in apt's cache when those lists
are missing), copied under distinct names (--scale times) to pass a million paths, and
keeps them for later runs (--regenerate rebuilds them). Runs both sides there,
checks the results are identical and prints the times, the ratio and MB/s of input.

    PYTHONPATH=python .venv/bin/python bench/bench_provenance.py [--scale N] [--repeat N] [--regenerate]
"""

import argparse
import glob
import json
import math
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)

from _mapping_run import best_time, peak_rss  # noqa: E402
from oracles import provenance_table  # noqa: E402
from varkit.package_mapping.orv import provenance  # noqa: E402

OUT = os.path.join(HERE, "out", "provenance")


def installed_packages():
    """{package: (source, [paths])} from dpkg's database."""
    listing = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package}\t${source:Package}\n"], capture_output=True, text=True
    ).stdout
    sources = dict(line.split("\t") for line in listing.splitlines() if "\t" in line)
    packages = {}
    for path in glob.glob("/var/lib/dpkg/info/*.list"):
        name = os.path.basename(path)[: -len(".list")].split(":")[0]
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            files = [line.rstrip("\n") for line in f if line.strip()]
        packages[name] = (sources.get(name, name), files)
    return packages


def archived_packages():
    """The same from the package files in apt's cache, when dpkg's lists are not there."""
    packages = {}
    for deb in sorted(glob.glob("/var/cache/apt/archives/*.deb")):
        fields = subprocess.run(
            ["dpkg-deb", "-f", deb, "Package", "Source"], capture_output=True, text=True
        ).stdout
        values = dict(line.split(": ", 1) for line in fields.splitlines() if ": " in line)
        if "Package" not in values:
            continue
        listing = subprocess.run(
            ["dpkg-deb", "-c", deb], capture_output=True, encoding="utf-8", errors="surrogateescape"
        ).stdout
        files = []
        for line in listing.splitlines():
            parts = line.split(None, 5)
            if len(parts) == 6:
                files.append(
                    parts[5].split(" -> ")[0].split(" link to ")[0][1:].rstrip("/") or "/."
                )
        source = values.get("Source", values["Package"]).split(" ")[0]
        packages[values["Package"]] = (source, files)
    return packages


def write_tables(scale):
    packages = installed_packages()
    if len(packages) < 100:
        packages = archived_packages()
    if len(packages) < 100:
        sys.exit("too few package file lists under /var/lib/dpkg/info to build the tables")
    if scale is None:
        scale = max(1, math.ceil(1.1e6 / sum(len(files) for _, files in packages.values())))
    source_rows = []
    package_files = {}
    for copy in range(scale):
        suffix = "" if copy == 0 else "-c%d" % copy
        prefix = "" if copy == 0 else "/opt/c%d" % copy
        by_source = {}
        for index, (name, (source, files)) in enumerate(sorted(packages.items())):
            by_source.setdefault(source + suffix, []).append(name + suffix)
            if index % 50 != 7:  # some listed packages have no file list
                package_files[name + suffix] = [prefix + path for path in files]
        for position, (source, names) in enumerate(by_source.items()):
            if position % 10 == 3 and len(names) > 1:  # a source listed in two entries
                half = len(names) // 2
                source_rows.append({"srcname": source, "packages": names[:half], "version": "1"})
                source_rows.append({"srcname": source, "packages": names[half:], "version": "1"})
            else:
                source_rows.append({"srcname": source, "packages": names, "version": "1"})
    directory = os.path.join(OUT, "orv", "rpm_res")
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(OUT, provenance_table.SOURCES), "w") as f:
        json.dump(source_rows, f, indent=4)
    with open(os.path.join(OUT, provenance_table.PACKAGE_FILES), "w") as f:
        json.dump(package_files, f)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument(
        "--scale",
        type=int,
        default=None,
        help="copies of the lists (default: enough for 1.1M paths)",
    )
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--regenerate", action="store_true", help="rebuild the tables even if present"
    )
    args = parser.parse_args()
    tables = [
        os.path.join(OUT, p) for p in (provenance_table.SOURCES, provenance_table.PACKAGE_FILES)
    ]
    if args.regenerate or not all(os.path.exists(p) for p in tables):
        write_tables(args.scale)
    with open(tables[1]) as f:
        paths = sum(len(files) for files in json.load(f).values())
    os.chdir(OUT)

    baseline = best_time(provenance_table.process, OUT, args.repeat)
    with open(provenance_table.RESULT, "rb") as f:
        expected = f.read()
    os.remove(provenance_table.RESULT)
    native = best_time(provenance.process, OUT, args.repeat)
    with open(provenance_table.RESULT, "rb") as f:
        result = f.read()
    if result != expected:
        sys.exit("FAIL: the results differ")

    inputs = sum(
        os.path.getsize(p) for p in (provenance_table.SOURCES, provenance_table.PACKAGE_FILES)
    )
    mb = inputs / 1e6
    print(f"input: {paths} paths, {mb:.1f} MB of tables; result {len(result) / 1e6:.1f} MB")
    print(f"baseline (Python): {baseline * 1000:8.1f} ms  {mb / baseline:8.1f} MB/s of input")
    print(f"provenance (C++):  {native * 1000:8.1f} ms  {mb / native:8.1f} MB/s of input")
    print(f"ratio: {baseline / native:.1f}x  (results identical)")
    # Peak memory of each side alone, in a fresh interpreter.
    native_rss = peak_rss(
        "from varkit.package_mapping.orv import provenance\nprovenance.process()", OUT
    )
    baseline_rss = peak_rss("from oracles import provenance_table\nprovenance_table.process()", OUT)
    print(
        f"peak RSS: provenance {native_rss / 2**20:.0f} MiB, baseline {baseline_rss / 2**20:.0f} MiB"
        f" ({native_rss / baseline_rss:.2f}x)"
    )


if __name__ == "__main__":
    main()

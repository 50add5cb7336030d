"""Table step of varkit.package_mapping.deb.lineage against the plain-Python baseline.

Splits a real Debian "Packages" index (apt's lists on this machine) into the four
component indexes under bench/out/lineage/, runs both sides there (the download
step replaced by a no-op: no network), checks the tables are identical and
prints the times, the ratio and MB/s.

    PYTHONPATH=python .venv/bin/python bench/bench_lineage.py [--repeat N]
"""

import argparse
import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)

from _mapping_run import best_time  # noqa: E402
from oracles import lineage_table  # noqa: E402
from varkit.package_mapping.deb import lineage  # noqa: E402

OUT = os.path.join(HERE, "out", "lineage")
COMPONENTS = ("main", "multiverse", "restricted", "universe")
# Share of the paragraphs each component gets, roughly as in the real archive.
SHARES = (0.35, 0.05, 0.05, 0.55)


def find_index():
    lists = sorted(glob.glob("/var/lib/apt/lists/*_binary-*_Packages*"), key=os.path.getsize)
    if not lists:
        sys.exit("no Packages index under /var/lib/apt/lists (run apt-get update)")
    return lists[-1]


def read_index(path):
    if path.endswith(".lz4"):
        return subprocess.run(["lz4", "-dc", path], check=True, capture_output=True).stdout
    if path.endswith(".gz"):
        return subprocess.run(["gzip", "-dc", path], check=True, capture_output=True).stdout
    if path.endswith(".xz"):
        return subprocess.run(["xz", "-dc", path], check=True, capture_output=True).stdout
    with open(path, "rb") as f:
        return f.read()


def prepare():
    source = find_index()
    paragraphs = read_index(source).strip().split(b"\n\n")
    start = 0
    for component, share in zip(COMPONENTS, SHARES):
        count = (
            int(len(paragraphs) * share) if component != COMPONENTS[-1] else len(paragraphs) - start
        )
        directory = os.path.join(OUT, "deb", "noble", component)
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, "Packages_" + component), "wb") as f:
            f.write(b"\n\n".join(paragraphs[start : start + count]) + b"\n")
        start += count
    size = sum(os.path.getsize(os.path.join(OUT, p)) for p in lineage_table.INDEXES)
    return source, len(paragraphs), size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    source, paragraphs, size = prepare()
    os.chdir(OUT)
    lineage.get_data = lambda: None

    baseline = best_time(lineage_table.table_step, OUT, args.repeat)
    with open(lineage_table.TABLE, "rb") as f:
        expected = f.read()
    native = best_time(lineage.process, OUT, args.repeat)
    with open(lineage_table.TABLE, "rb") as f:
        if f.read() != expected:
            sys.exit("FAIL: the tables differ")

    mb = size / 1e6
    print(f"index: {source} ({paragraphs} paragraphs, {mb:.1f} MB in four components)")
    print(f"baseline (Python): {baseline * 1000:8.1f} ms  {mb / baseline:8.1f} MB/s")
    print(f"lineage (C++):     {native * 1000:8.1f} ms  {mb / native:8.1f} MB/s")
    print(f"ratio: {baseline / native:.1f}x  (tables identical)")


if __name__ == "__main__":
    main()

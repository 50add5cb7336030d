"""process() of varkit.package_mapping.calculate_simility.likeness against the
plain-Python all-pairs loops (tests/oracles/likeness_baseline.py), at three sizes.

"same_name.json" pairs the packages of this machine's file lists with their
distribution-side layout (bench/mapping_tables.py): every 16th package, every 4th,
all of them. Both sides run on the same table under bench/out/likeness/<size>/;
where the baseline finishes, its printed lines and three reports must be
byte-identical to the module's. The baseline is stopped after --timeout seconds at
the largest size (it runs to the end at the others).

    PYTHONPATH=python .venv/bin/python bench/bench_likeness.py [--repeat N] [--timeout S] [--lists FILE]
"""

import argparse
import contextlib
import json
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import mapping_tables  # noqa: E402
from _mapping_run import best_time, peak_rss, report, run_baseline, same_files  # noqa: E402
from varkit.package_mapping.calculate_simility import likeness  # noqa: E402

OUT = os.path.join(HERE, "out", "likeness")
OUTPUTS = ("stdout.txt", "output.json", "output_sort.json", "filtered.json")


def run_native():
    likeness.total_common = likeness.total_count = 0  # each run as in a fresh process
    with open("stdout.txt", "w") as printed, contextlib.redirect_stdout(printed):
        likeness.process()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--timeout", type=float, default=120.0, help="baseline limit at the largest size"
    )
    parser.add_argument(
        "--lists", help="a saved {package: [paths]} JSON file instead of dpkg's lists"
    )
    args = parser.parse_args()
    rows = []
    for size, stride in (("small", 16), ("medium", 4), ("large", 1)):
        directory = os.path.join(OUT, size)
        table = mapping_tables.same_name_table(stride, args.lists)
        for side in ("native", "baseline"):
            os.makedirs(os.path.join(directory, side), exist_ok=True)
        with open(os.path.join(directory, "native", "same_name.json"), "w") as f:
            json.dump(table, f)
        shutil.copy(
            os.path.join(directory, "native", "same_name.json"), os.path.join(directory, "baseline")
        )
        native_dir = os.path.join(directory, "native")
        baseline_dir = os.path.join(directory, "baseline")
        native = best_time(run_native, native_dir, args.repeat)
        timeout = args.timeout if stride == 1 else None
        baseline = run_baseline("likeness_baseline", "process()", baseline_dir, timeout)
        count = sum(len(entry["orv"]) + len(entry["ubuntu"]) for entry in table.values())
        rows.append(
            {
                "size": size,
                "packages": len(table),
                "count": count,
                "native": native,
                "baseline": baseline,
                "timeout": args.timeout,
                "identical": baseline is not None and same_files(OUTPUTS, native_dir, baseline_dir),
            }
        )
    report(rows, "paths")
    # Peak memory of the module alone, each size in a fresh interpreter.
    for row in rows:
        rss = peak_rss(
            "from varkit.package_mapping.calculate_simility import likeness\nlikeness.process()",
            os.path.join(OUT, row["size"], "native"),
        )
        print(f"{row['size']:8} native peak RSS {rss / 2**20:7.0f} MiB")


if __name__ == "__main__":
    main()

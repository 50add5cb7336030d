"""main() of varkit.package_mapping.include.twinmatch against the plain-Python
all-pairs loops (tests/oracles/twinmatch_baseline.py), at three sizes.

The two tables come from this machine's package file lists (bench/mapping_tables.py):
every 16th package, every 4th, all of them. Both sides run on the same files under
bench/out/twinmatch/<size>/; where the baseline finishes, its three outputs must be
byte-identical to the module's. The baseline is stopped after --timeout seconds at
the largest size (it runs to the end at the others).

    PYTHONPATH=python .venv/bin/python bench/bench_twinmatch.py [--repeat N] [--timeout S] [--lists FILE]
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import mapping_tables  # noqa: E402
from _mapping_run import best_time, report, run_baseline, same_files  # noqa: E402
from varkit.package_mapping.include import twinmatch  # noqa: E402

OUT = os.path.join(HERE, "out", "twinmatch")
INPUTS = ("include_provenance.json", "include_source_files_mapping.json")
OUTPUTS = (
    "include_same_name.json",
    "leftinclude_provenance.json",
    "leftinclude_source_files_mapping.json",
)
CALL = f"main('../{INPUTS[0]}', '../{INPUTS[1]}', '{OUTPUTS[0]}')"


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
        for side in ("native", "baseline"):
            os.makedirs(os.path.join(directory, side), exist_ok=True)
        orv, ubuntu = mapping_tables.tables(stride, args.lists)
        for name, table in zip(INPUTS, (orv, ubuntu)):
            with open(os.path.join(directory, name), "w") as f:
                json.dump(table, f)
        native_dir = os.path.join(directory, "native")
        baseline_dir = os.path.join(directory, "baseline")
        native = best_time(
            lambda: twinmatch.main(f"../{INPUTS[0]}", f"../{INPUTS[1]}", OUTPUTS[0]),
            native_dir,
            args.repeat,
        )
        timeout = args.timeout if stride == 1 else None
        baseline = run_baseline("twinmatch_baseline", CALL, baseline_dir, timeout)
        rows.append(
            {
                "size": size,
                "packages": len(orv) + len(ubuntu),
                "count": sum(map(len, orv.values())) + sum(map(len, ubuntu.values())),
                "native": native,
                "baseline": baseline,
                "timeout": args.timeout,
                "identical": baseline is not None and same_files(OUTPUTS, native_dir, baseline_dir),
            }
        )
    report(rows, "paths")


if __name__ == "__main__":
    main()

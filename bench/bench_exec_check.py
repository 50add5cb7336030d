"""The executable check against a distribution-sized executable-diff report.

A report of 100,000 changed executables is served on 127.0.0.1; a 600 KB
script naming some of them is checked by varkit.impactor.check_exec_affected
and by the regular-expression rendering the check used before (one
alternation of every name, longest first). Both must find the same names.

    PYTHONPATH=python .venv/bin/python bench/bench_exec_check.py [--entries N]
"""

import argparse
import functools
import http.server
import json
import os
import random
import re
import sys
import tempfile
import threading
import time

from varkit import impactor


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def regex_names(names, text):
    pattern = re.compile(
        r"\b(" + "|".join(map(re.escape, sorted(set(names), key=len, reverse=True))) + r")\b"
    )
    found = []
    for name in pattern.findall(text):
        if name not in found:
            found.append(name)
    return found


def make_inputs(directory, entries, rng):
    names = [f"tool-{rng.randrange(16**8):08x}{'-x' * (i % 3)}" for i in range(entries)]
    report = {f"/usr/bin/{name}": {"output": {"change_type": "MODIFIED"}} for name in names}
    with open(os.path.join(directory, "exec_diff_report.json"), "w") as handle:
        json.dump(report, handle)
    words = ["echo", "grep", "-v", "|", "$HOME", "done", "tool", "tool-x"]
    lines = []
    size = 0
    while size < 600_000:
        picked = [rng.choice(words) for _ in range(8)]
        if rng.random() < 0.01:
            picked.append(rng.choice(names))
        line = " ".join(picked)
        lines.append(line)
        size += len(line) + 1
    script = os.path.join(directory, "script.sh")
    with open(script, "w") as handle:
        handle.write("\n".join(lines) + "\n")
    return names, script


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--entries", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        names, script = make_inputs(directory, args.entries, random.Random(7))
        handler = functools.partial(QuietHandler, directory=directory)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = f"http://127.0.0.1:{server.server_address[1]}/exec_diff_report.json"
        os.environ["NO_PROXY"] = "127.0.0.1"

        started = time.perf_counter()
        found = impactor.check_exec_affected(script, url)
        ours = time.perf_counter() - started

        with open(script, encoding="utf-8") as handle:
            text = handle.read()
        started = time.perf_counter()
        expected = regex_names(names, text)
        baseline = time.perf_counter() - started
        server.shutdown()

    got = [name for name, _ in found]
    if got != expected:
        sys.exit(f"results differ: {len(got)} against {len(expected)} names")
    print(f"{args.entries} names, 600 KB script, {len(got)} names found by both")
    print(f"varkit (fetch + parse + scan): {ours:.3f} s")
    print(f"regex rendering (scan only):   {baseline:.3f} s")
    print(f"ratio: {baseline / ours:.1f}x")


if __name__ == "__main__":
    main()

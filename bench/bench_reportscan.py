#!/usr/bin/env python3
"""Benchmark of varkit.reportscan (not a test).

In one run, on the same file: the C++ module's reportscan, its quiet reading (what the
impact check calls: scan_report(path, quiet=True), the result without printed text),
the plain-Python + lxml rendering (tests/oracles/reportscan_baseline.py), lxml's bare
parse, libxml2's bare parse (xmllint --noout, with and without --stream) and a bare
SAX2 parse with empty callbacks (bench/_sax_floor.py). Each side runs in its own
subprocess so its peak memory (ru_maxrss) is its own. Checks that both renderings
print the same text and return the same result; prints MB/s and the ratios.

Usage: bench/bench_reportscan.py [XML ...]
       (default: bench/out/large/scaled.xml and report.xml; make them with
        bench/make_large_report.sh)
"""

import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
OUT = HERE / "out"
sys.path.insert(0, str(HERE))

from _sax_floor import sax_floor_cpu  # noqa: E402

CHILD = r"""
import hashlib, json, resource, sys, time
mode, path, out_path = sys.argv[1:4]
sys.path.insert(0, {oracles!r})
def rss():  # VmHWM: ru_maxrss would carry the parent's peak over fork and exec
    peak = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
    return int(peak.split()[1]) * 1024
if mode == "lxml-parse":
    from lxml import etree
    before = rss(); start = time.perf_counter(); cpu = time.process_time()
    etree.parse(path)
    elapsed = time.perf_counter() - start
    print(json.dumps({{"time": elapsed, "cpu": time.process_time() - cpu, "rss": rss(),
                      "rss_before": before}}))
    sys.exit(0)
if mode in ("native", "quiet"):
    from varkit import reportscan as module
else:
    from oracles import reportscan_baseline as module
logs = []
module.ABI_LOG = lambda level, message: logs.append(message)
sink = open(out_path, "w", encoding="utf-8", errors="surrogateescape")
saved = sys.stdout
before = rss()
sys.stdout = sink
start = time.perf_counter(); cpu = time.process_time()
if mode == "quiet":
    result = module.scan_report(path, quiet=True)[0]
else:
    result = module.reportscan(path)
elapsed = time.perf_counter() - start; cpu = time.process_time() - cpu
sys.stdout = saved
sink.close()
canonical = json.dumps([[{{"header_name": r["header_name"], "affected_symbols": sorted(
    r["affected_symbols"], key=lambda s: (s is None, s or ""))}} for r in section] for section in result])
print(json.dumps({{"time": elapsed, "cpu": cpu, "rss": rss(), "rss_before": before, "logs": logs,
                  "result_sha": hashlib.sha256(canonical.encode()).hexdigest(),
                  "sections": len(result)}}))
"""


def child(mode, path, out_path, env):
    code = CHILD.format(oracles=str(HERE.parent / "tests"))
    done = subprocess.run(
        [sys.executable, "-c", code, mode, str(path), str(out_path)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def xmllint(path, *options):
    """(wall time, CPU time) of libxml2's bare parse, or None."""
    if shutil.which("xmllint") is None:
        return None
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    done = subprocess.run(["xmllint", "--noout", *options, str(path)], capture_output=True)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        return None
    return {
        "time": elapsed,
        "cpu": (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime),
    }


def sha(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def bench(path, env, repeat):
    size = path.stat().st_size
    mb = size / 1e6
    print(f"\n== {path} ({mb:.1f} MB)")
    native = min(
        (child("native", path, OUT / "bench_native.txt", env) for _ in range(repeat)),
        key=lambda r: r["cpu"],
    )
    quiet = min(
        (child("quiet", path, OUT / "bench_quiet.txt", env) for _ in range(repeat)),
        key=lambda r: r["cpu"],
    )
    base = child("baseline", path, OUT / "bench_baseline.txt", env)
    lxml_parse = min(
        (child("lxml-parse", path, "-", env) for _ in range(repeat)), key=lambda r: r["cpu"]
    )
    tree = min((xmllint(path) for _ in range(repeat)), key=lambda r: r["cpu"] if r else 1e9)
    stream = min(
        (xmllint(path, "--stream") for _ in range(repeat)), key=lambda r: r["cpu"] if r else 1e9
    )
    floors = [sax_floor_cpu([str(path)]) for _ in range(repeat)]
    sax = {"time": min(floors), "cpu": min(floors)} if None not in floors else None

    same_text = sha(OUT / "bench_native.txt") == sha(OUT / "bench_baseline.txt")
    same_result = native["result_sha"] == base["result_sha"] and native["logs"] == base["logs"]
    same_quiet = quiet["result_sha"] == native["result_sha"] and quiet["logs"] == native["logs"]
    printed = (OUT / "bench_native.txt").stat().st_size / 1e6

    print(f"  {'':34s} {'wall':>8s}   {'CPU':>8s} {'MB/s (CPU)':>11s}  peak RSS")

    def row(name, run, rss=None):
        rss_text = f"{rss / 1e6:8.0f} MB ({rss / size:4.1f}x file)" if rss else ""
        print(
            f"  {name:34s} {run['time']:8.3f} s {run['cpu']:8.3f} s {mb / run['cpu']:9.1f}  {rss_text}"
        )

    row("varkit.reportscan (C++)", native, native["rss"])
    row("  quiet reading (scan_report)", quiet, quiet["rss"])
    row("baseline (Python + lxml)", base, base["rss"])
    row("lxml etree.parse", lxml_parse, lxml_parse["rss"])
    bare = [("lxml parse", lxml_parse)]
    if tree:
        row("xmllint --noout (tree)", tree)
        bare.append(("xmllint --noout", tree))
    if stream:
        row("xmllint --noout --stream", stream)
        bare.append(("xmllint --stream", stream))
    if sax:
        row("bare SAX2, empty callbacks", sax)
        bare.append(("bare SAX2", sax))
    print(
        f"  printed text {printed:.1f} MB, {native['sections']} section results; "
        f"identical text: {same_text}, identical result and log: {same_result}, "
        f"quiet result and log identical: {same_quiet}"
    )
    print(
        f"  speed-up over the baseline:  CPU {base['cpu'] / native['cpu']:6.1f}x, "
        f"wall {base['time'] / native['time']:6.1f}x  (target >= 15x); "
        f"quiet: CPU {base['cpu'] / quiet['cpu']:6.1f}x"
    )
    for name, run in bare:
        print(
            f"  time / bare parse ({name:16s}): CPU {native['cpu'] / run['cpu']:5.2f}x, "
            f"wall {native['time'] / run['time']:5.2f}x; quiet: CPU "
            f"{quiet['cpu'] / run['cpu']:5.2f}x" + ("  (target <= 1.5x)" if run is sax else "")
        )
    peak = native["rss"]
    print(
        f"  peak memory / file size:     {peak / size:6.2f}x  (target <= 5x; "
        f"{(peak - native['rss_before']) / size:.2f}x above the interpreter's own); "
        f"quiet: {quiet['rss'] / size:.2f}x"
    )
    return same_text and same_result and same_quiet


def main(argv):
    OUT.mkdir(exist_ok=True)
    paths = [Path(p) for p in argv] or [OUT / "large" / "scaled.xml", OUT / "large" / "report.xml"]
    env = dict(os.environ)
    env["PYTHONPATH"] = (
        os.pathsep.join(p for p in [str(HERE.parent / "python"), env.get("PYTHONPATH", "")] if p)
        if os.environ.get("VARKIT_BENCH_INPLACE")
        else env.get("PYTHONPATH", "")
    )
    ok = True
    for path in paths:
        if not path.exists():
            print(f"{path}: missing; run bench/make_large_report.sh first", file=sys.stderr)
            return 2
        ok &= bench(path, env, repeat=3)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

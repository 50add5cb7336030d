"""Running one side of a package-mapping benchmark: the baseline in a child process
with a time limit, the native module in this one."""

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The plain-Python renderings are the tests' oracles: tests/oracles.
TESTS_DIR = os.path.join(os.path.dirname(HERE), "tests")


def _child(code, directory, stdout, timeout):
    """The last line `code` wrote to stderr, run by a fresh interpreter in
    `directory`; None when it ran past `timeout` seconds and was stopped."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", f"import sys\nsys.path.insert(0, {TESTS_DIR!r})\n" + code],
            cwd=directory,
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            timeout=timeout,
            check=True,
        )
    except subprocess.TimeoutExpired:
        return None
    return done.stderr.strip().splitlines()[-1]


def run_baseline(module, call, directory, timeout):
    """Seconds the baseline's `call` took in `directory` (its stdout in stdout.txt),
    or None when it ran past `timeout` seconds and was stopped."""
    code = (
        "import time\n"
        f"from oracles import {module} as baseline\n"
        "started = time.perf_counter()\n"
        f"baseline.{call}\n"
        "print(time.perf_counter() - started, file=sys.stderr)\n"
    )
    with open(os.path.join(directory, "stdout.txt"), "w") as stdout:
        seconds = _child(code, directory, stdout, timeout)
    return None if seconds is None else float(seconds)


def peak_rss(statement, directory, timeout=None):
    """Peak resident memory (bytes) of a fresh interpreter running `statement` in
    `directory` (its stdout discarded), or None when it ran past `timeout` seconds."""
    # VmHWM, not ru_maxrss: the latter carries the parent's peak over fork and exec.
    code = (
        f"{statement}\n"
        "peak = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0]\n"
        "print(int(peak.split()[1]) * 1024, file=sys.stderr)\n"
    )
    peak = _child(code, directory, subprocess.DEVNULL, timeout)
    return None if peak is None else int(peak)


def best_time(run, directory, repeat):
    previous = os.getcwd()
    os.chdir(directory)
    try:
        best = float("inf")
        for _ in range(repeat):
            started = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - started)
        return best
    finally:
        os.chdir(previous)


def same_files(names, first, second):
    for name in names:
        with (
            open(os.path.join(first, name), "rb") as a,
            open(os.path.join(second, name), "rb") as b,
        ):
            if a.read() != b.read():
                return False
    return True


def report(rows, unit):
    """Prints one line per size and the scaling from the smallest to the largest."""
    print(
        f"{'size':8} {'packages':>8} {unit:>9} {'native':>10} {'baseline':>12} {'ratio':>9}  outputs"
    )
    for row in rows:
        if row["baseline"] is None:
            baseline = f"> {row['timeout']:.0f} s"
            ratio = f"> {row['timeout'] / row['native']:.0f}x"
            check = "baseline stopped at the time limit"
        else:
            baseline = f"{row['baseline']:9.2f} s"
            ratio = f"{row['baseline'] / row['native']:.0f}x"
            check = "identical" if row["identical"] else "DIFFER"
        print(
            f"{row['size']:8} {row['packages']:8} {row['count']:9} {row['native'] * 1000:7.1f} ms "
            f"{baseline:>12} {ratio:>9}  {check}"
        )
    first, last = rows[0], rows[-1]
    print(
        f"scaling {first['size']} -> {last['size']}: {last['count'] / first['count']:.1f}x the {unit}, "
        f"native {last['native'] / first['native']:.1f}x the time"
    )
    if any(row["baseline"] is not None and not row["identical"] for row in rows):
        sys.exit("FAIL: outputs differ")

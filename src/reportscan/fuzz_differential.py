"""Differential fuzzing of varkit.reportscan through its Python entry point.

Each input is read as a report file and as an HTTP body (through a stand-in for
requests.get), by the module and by the plain-Python + lxml rendering in
tests/oracles/reportscan_baseline.py; what they print, return and log must be
identical. Needs atheris (not a dependency of the package):

    python -m venv /tmp/fz && /tmp/fz/bin/pip install atheris lxml requests prettytable pyelftools
    PYTHONPATH=python /tmp/fz/bin/python src/reportscan/fuzz_differential.py \\
        -max_total_time=1200 -dict=src/reportscan/fuzz_reportscan.dict CORPUS tests/data/reportscan/reports
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

import atheris

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

with atheris.instrument_imports():
    import requests

    from oracles import reportscan_baseline as baseline
    from varkit import reportscan as native

URL = "http://fuzz.invalid/compat_report.xml"


class _Answer:
    def __init__(self, content: bytes) -> None:
        self.content = content

    def raise_for_status(self) -> None:
        pass


def _run(module: Any, argument: str) -> tuple[str, Any, list]:
    logs: list = []
    saved = module.ABI_LOG
    module.ABI_LOG = lambda level, message: logs.append((level, message))
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            try:
                result: Any = module.reportscan(argument)
            except Exception as error:  # compared by type and text
                result = (type(error).__name__, str(error))
    finally:
        module.ABI_LOG = saved
    return out.getvalue(), result, logs


def _compare(argument: str, data: bytes) -> None:
    got, expected = _run(native, argument), _run(baseline, argument)
    if got != expected:
        for what, a, b in zip(("printed", "result", "log"), got, expected):
            if a != b:
                print(f"{what} differs for {argument}:\n native:   {a!r:.2000}\n baseline: {b!r:.2000}",
                      file=sys.stderr)
        raise AssertionError(f"the module and the baseline differ on a {len(data)}-byte input")


def test_one_input(data: bytes) -> None:
    handle, path = tempfile.mkstemp(suffix=".xml")
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        _compare(path, data)
    finally:
        os.unlink(path)
    original = requests.get
    requests.get = lambda url, **kwargs: _Answer(data)  # type: ignore[assignment]
    try:
        _compare(URL, data)
    finally:
        requests.get = original  # type: ignore[assignment]


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

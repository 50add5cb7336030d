"""Helpers shared by the tests of varkit.reportscan (not a test module).

The oracle is the plain-Python + lxml rendering in tests/oracles/reportscan_baseline.py;
each comparison runs both on the same input and compares what they print, what they
return and what they log.
"""

from __future__ import annotations

import contextlib
import io
from pathlib import Path

import lxml.etree

from oracles import reportscan_baseline as baseline
from varkit import reportscan as native

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data" / "reportscan"
REPORTS = DATA / "reports"


def run(module, function, *args, **kwargs):
    """Calls module.function(*args) with stdout captured and ABI_LOG recorded.

    Returns (printed text, result or raised exception, log entries)."""
    logs = []
    saved = module.ABI_LOG
    module.ABI_LOG = lambda level, message: logs.append((level, message))
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            try:
                result = getattr(module, function)(*args, **kwargs)
            except Exception as error:  # compared by type and text
                result = (type(error).__name__, str(error))
    finally:
        module.ABI_LOG = saved
    return out.getvalue(), result, logs


def both(function, *args):
    """Runs the native module and the baseline; asserts identical behaviour."""
    got = run(native, function, *args)
    expected = run(baseline, function, *args)
    assert got[0] == expected[0], "printed text differs"
    assert got[1] == expected[1], "result differs"
    assert got[2] == expected[2], "log differs"
    return got


def write(tmp_path, text, name="report.xml"):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


@contextlib.contextmanager
def forbid_lxml_parse():
    """Inside: any lxml parse of a document marks `used` (the fast path needs none)."""
    state = {"used": False}
    saved = (lxml.etree.parse, lxml.etree.fromstring)

    def parse(*args, **kwargs):
        state["used"] = True
        return saved[0](*args, **kwargs)

    def fromstring(*args, **kwargs):
        state["used"] = True
        return saved[1](*args, **kwargs)

    lxml.etree.parse, lxml.etree.fromstring = parse, fromstring
    try:
        yield state
    finally:
        lxml.etree.parse, lxml.etree.fromstring = saved


def minimal_report(body="", kind="binary", extra_attrs=""):
    """A report with test_info, the two mandatory sections and `body` inside."""
    kind_attr = "" if kind is None else f' kind="{kind}"'
    return (
        f"<report{kind_attr}{extra_attrs}>"
        "<test_info><library>libx</library>"
        "<version1><number>1</number></version1><version2><number>2</number></version2>"
        "</test_info>"
        "<added_symbols/><removed_symbols/>"
        f"{body}</report>"
    )

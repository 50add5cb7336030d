"""varkit.reportscan behaves like the Python module it replaces: names bound at import,
late binding of every sibling, keyword parameters, the main program."""

import importlib
import sys

import lxml.etree
import pytest
import requests

import varkit.logger
from _reportscan_support import REPORTS, baseline, both, native, run

FUNCTIONS = {
    "reportscan": ["xml_path_or_url"],
    "parse_report": ["report"],
    "parse_added_symbols": ["added_symbols_node"],
    "parse_removed_symbols": ["removed_symbols_node"],
    "parse_problems_with_symbols": ["problem_node", "severity"],
    "parse_problems_with_constants": ["problem_node", "severity"],
    "parse_problems_with_types": ["problem_node", "severity"],
}
GEOM = str(REPORTS / "libgeom-binary.xml")


def test_module_namespace():
    assert native.sys is sys and native.requests is requests and native.etree is lxml.etree
    assert native.ABI_LOG is varkit.logger.ABI_LOG
    assert native.__file__.endswith(".so")
    for name in FUNCTIONS:
        assert callable(getattr(native, name))
    assert not hasattr(native, "xml_path")


def test_keywords_and_wrong_calls():
    report = lxml.etree.parse(GEOM).getroot()
    assert run(native, "reportscan", xml_path_or_url=GEOM)[1] == run(native, "reportscan", GEOM)[1]
    assert run(native, "parse_report", report=report)[1] == run(baseline, "parse_report", report)[1]
    node = report.find(".//problems_with_symbols[@severity='Medium']")
    assert (
        run(native, "parse_problems_with_symbols", problem_node=node, severity="Medium")[1]
        == run(baseline, "parse_problems_with_symbols", node, "Medium")[1]
    )
    assert run(
        native, "parse_removed_symbols", removed_symbols_node=report.find("removed_symbols")
    )[1]
    with pytest.raises(TypeError):
        native.reportscan()
    with pytest.raises(TypeError):
        native.reportscan(GEOM, GEOM)
    with pytest.raises(TypeError):
        native.parse_problems_with_types(node)
    with pytest.raises(TypeError):
        native.parse_report(rep=report)


def test_readers_fail_on_none_like_python():
    for name, params in FUNCTIONS.items():
        if name == "reportscan":
            continue
        args = [None] + ["High"] * (len(params) - 1)
        got = run(native, name, *args)
        assert got == run(baseline, name, *args)
        assert got[1][0] == "AttributeError"


def test_replaced_reader_is_called_with_lxml_elements(monkeypatch):
    calls = []

    def fake(removed_symbols_node):
        calls.append(removed_symbols_node)
        return baseline.parse_removed_symbols(removed_symbols_node)

    monkeypatch.setattr(native, "parse_removed_symbols", fake)
    got = run(native, "reportscan", GEOM)
    monkeypatch.undo()
    assert len(calls) == 1 and isinstance(calls[0], lxml.etree._Element)
    assert calls[0].tag == "removed_symbols"
    assert got == run(baseline, "reportscan", GEOM)


def test_replaced_parse_report(monkeypatch):
    seen = []

    def fake(report):
        seen.append(report.get("kind"))
        print("fake")
        return [["x"]]

    monkeypatch.setattr(native, "parse_report", fake)
    printed, result, logs = run(native, "reportscan", str(REPORTS / "libgeom.xml"))
    assert seen == ["binary", "source"]
    assert printed == ("=" * 80 + "\nfake\n") * 2 and result == [["x"], ["x"]]


def test_replaced_reader_error_reaches_the_guard(monkeypatch):
    def boom(problem_node, severity):
        raise ValueError("boom " + severity)

    monkeypatch.setattr(native, "parse_problems_with_symbols", boom)
    printed, result, logs = run(native, "reportscan", GEOM)
    # the (empty) High section of symbol problems exists, so it is the first call
    assert result == [] and logs == [(0, "An unexpected error occurred: boom High")]
    assert printed.endswith(
        "Affected Symbol: geom_box_grow, Comment: 2nd parameter by is of type geom_coord.\n"
    )


def test_parse_report_calls_bound_readers(monkeypatch):
    report = lxml.etree.parse(GEOM).getroot()
    monkeypatch.setattr(native, "parse_added_symbols", lambda node: print("ADDED", node.tag))
    printed, result, logs = run(native, "parse_report", report)
    assert "ADDED added_symbols\n" in printed and "Added Symbols" not in printed
    # output order kept across the C++/Python boundary
    assert printed.index("Test Version") < printed.index("ADDED") < printed.index("Removed Symbols")


def test_replaced_etree_is_used(monkeypatch):
    class FakeEtree:
        XMLSyntaxError = lxml.etree.XMLSyntaxError

        @staticmethod
        def parse(path):
            raise lxml.etree.XMLSyntaxError("fake", None, 1, 1)

    monkeypatch.setattr(native, "etree", FakeEtree)
    logs = run(native, "reportscan", GEOM)[2]
    assert logs and logs[0][1].startswith("Failed to parse XML from ")


def test_reimport_rebinds(monkeypatch):
    import varkit

    sentinel = object()
    saved = sys.modules["varkit.reportscan"]
    try:
        del sys.modules["varkit.reportscan"]
        monkeypatch.setattr(varkit.logger, "ABI_LOG", sentinel)
        fresh = importlib.import_module("varkit.reportscan")
        assert fresh is not saved and fresh.ABI_LOG is sentinel
    finally:
        sys.modules["varkit.reportscan"] = saved
        varkit.reportscan = saved


def test_output_goes_to_current_sys_stdout(capsys):
    native.reportscan(GEOM)
    assert "Processing binary report..." in capsys.readouterr().out


def test_main_program(monkeypatch, capsys):
    for argv in (["varkit-reportscan"], ["varkit-reportscan", "a", "b"]):
        monkeypatch.setattr(sys, "argv", argv)
        with pytest.raises(SystemExit) as exit_info:
            native._main()
        assert exit_info.value.code == 1
        assert capsys.readouterr().out == "Error: Please provide the path to an XML file.\n"
    monkeypatch.setattr(sys, "argv", ["varkit-reportscan", GEOM])
    calls = []
    monkeypatch.setattr(native, "reportscan", lambda path: calls.append(path) or [1])
    assert native._main() is None
    assert calls == [GEOM] and native.xml_path == GEOM
    monkeypatch.delattr(native, "xml_path")


def test_main_program_as_a_process(tmp_path):
    import subprocess

    code = "import sys; from varkit.reportscan import _main; sys.exit(_main())"
    done = subprocess.run(
        [sys.executable, "-c", code, GEOM],
        capture_output=True,
        text=True,
        env={**__import__("os").environ, "PYTHONPATH": ":".join(sys.path)},
    )
    assert done.returncode == 0 and done.stdout.startswith("=" * 80 + "\nProcessing binary")
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={**__import__("os").environ, "PYTHONPATH": ":".join(sys.path)},
    )
    assert (
        done.returncode == 1 and done.stdout == "Error: Please provide the path to an XML file.\n"
    )


def test_same_for_string_document_via_http_content(monkeypatch):
    class Response:
        content = (REPORTS / "libgeom.xml").read_text()  # str, not bytes: lxml's fromstring

        def raise_for_status(self):
            pass

    monkeypatch.setattr(native.requests, "get", lambda url, timeout: Response())
    monkeypatch.setattr(baseline.requests, "get", lambda url, timeout: Response())
    both("reportscan", "https://h/r.xml")


def test_last_failure_is_recorded_for_the_impact_check(tmp_path):
    """varkit.impactor reads reportscan.last_failure (None after a call that did not fail)."""
    missing = str(tmp_path / "missing.xml")
    logs = run(native, "reportscan", missing)[2]
    assert native.last_failure["xml_path_or_url"] == missing
    assert native.last_failure["message"] == logs[0][1]
    assert logs[0][1] == "An unexpected error occurred: " + native.last_failure["error"]
    run(native, "reportscan", GEOM)
    assert native.last_failure is None

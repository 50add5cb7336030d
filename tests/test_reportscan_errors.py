"""The three handlers of reportscan and bad input: every failure ends in one of them,
never in a hang, a crash, unbounded memory or a network access."""

import http.server
import os
import threading
import time

import pytest

from _reportscan_support import REPORTS, baseline, both, minimal_report, native, run, write

PARSE = "Failed to parse XML from "
UNEXPECTED = "An unexpected error occurred: "


class _Handler(http.server.BaseHTTPRequestHandler):
    routes = {}
    requests_seen = []

    def do_GET(self):
        self.requests_seen.append(self.path)
        body = self.routes.get(self.path)
        if body is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    _Handler.routes = {
        "/good.xml": (REPORTS / "libgeom-binary.xml").read_bytes(),
        "/broken.xml": b"<report><library>",
        "/x.dtd": b"<!ENTITY e 'from the network'>",
    }
    _Handler.requests_seen = []
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()


def test_http_report(server):
    printed, result, logs = both("reportscan", server + "/good.xml")
    local = run(native, "reportscan", str(REPORTS / "libgeom-binary.xml"))
    assert (printed, result) == local[:2] and logs == []


def test_http_404(server):
    url = server + "/missing.xml"
    printed, result, logs = both("reportscan", url)
    assert result == [] and printed == ""
    assert logs[0][0] == 0 and logs[0][1].startswith(f"Failed to fetch XML from {url}: 404 ")


def test_http_broken_body(server):
    url = server + "/broken.xml"
    printed, result, logs = both("reportscan", url)
    assert result == [] and printed == "" and logs[0][1].startswith(f"{PARSE}{url}: ")


def test_connection_refused():
    import socket

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    url = f"https://127.0.0.1:{port}/r.xml"
    printed, result, logs = run(native, "reportscan", url)
    expected = run(baseline, "reportscan", url)
    assert (printed, result) == expected[:2]
    # The same failure, tried again before it is given up (the fetch policy).
    assert logs == [(0, expected[2][0][1] + " (after 3 tries)")]


def test_requests_looked_up_at_call_time(monkeypatch):
    calls = []

    class Response:
        content = (REPORTS / "libqueue-binary.xml").read_bytes()

        def raise_for_status(self):
            calls.append("raise_for_status")

    def get(url, **kwargs):
        calls.append((url, kwargs))
        return Response()

    monkeypatch.setattr(native.requests, "get", get)
    printed, result, logs = run(native, "reportscan", "http://example.invalid/r.xml")
    assert calls == [("http://example.invalid/r.xml", {"timeout": 5}), "raise_for_status"]
    assert result and logs == []


def test_uppercase_scheme_is_a_path():
    printed, result, logs = both("reportscan", "HTTP://127.0.0.1/x.xml")
    assert logs[0][1].startswith(UNEXPECTED)


@pytest.mark.parametrize("name", ["missing.xml", "."])
def test_unreadable_paths(tmp_path, name):
    path = str(tmp_path / name)
    printed, result, logs = both("reportscan", path)
    assert result == [] and printed == ""
    assert logs[0][1].startswith(UNEXPECTED) and path in logs[0][1]


def test_not_a_string():
    for value in (None, 42):
        printed, result, logs = both("reportscan", value)
        assert logs[0][1].startswith(UNEXPECTED + f"'{type(value).__name__}' object")


@pytest.mark.parametrize(
    "content",
    [
        b"",
        b"\x00\x01\x02\xff" * 64,
        b"<report><library>\xc3\x28</library></report>",
        b"<report>",
        b"<a></b>",
        b"<x:report/>",
        "<report kind='é'/>".encode("latin-1"),
        b"<?xml version='1.0' encoding='nope'?><report/>",
    ],
    ids=[
        "empty",
        "binary",
        "bad-utf8",
        "unclosed",
        "mismatch",
        "prefix",
        "latin1-undeclared",
        "bad-encoding",
    ],
)
def test_malformed(tmp_path, content):
    path = write(tmp_path, content)
    printed, result, logs = both("reportscan", path)
    assert printed == "" and result == []
    # lxml's verdict: XMLSyntaxError, or OSError for bytes its file reader rejects
    assert logs[0][1].startswith((PARSE + path + ": ", UNEXPECTED + "Error reading file"))


def test_syntax_error_after_good_reports_prints_nothing(tmp_path):
    good = (REPORTS / "libgeom-binary.xml").read_text().split("?>", 1)[1]
    path = write(tmp_path, "<reports>" + good + "<oops></reports>")
    printed, result, logs = both("reportscan", path)
    assert printed == "" and logs[0][1].startswith(PARSE)


def test_deep_nesting(tmp_path):
    depth = 10_000
    path = write(tmp_path, minimal_report(body="<a>" * depth + "</a>" * depth))
    start = time.monotonic()
    printed, result, logs = both("reportscan", path)
    assert time.monotonic() - start < 10
    assert printed == "" and logs[0][1].startswith(PARSE) and "depth" in logs[0][1]


def test_nesting_at_the_limit(tmp_path):
    # lxml (libxml2 2.14) takes 256 levels and refuses 257; so does the reader.
    for depth, ok in ((256, True), (257, False)):
        path = write(
            tmp_path, "<report>" + "<a>" * (depth - 1) + "</a>" * (depth - 1) + "</report>"
        )
        logs = both("reportscan", path)[2]
        assert bool(logs and logs[0][1].startswith(PARSE)) != ok


def test_entity_bomb(tmp_path):
    levels = "".join(f'<!ENTITY e{i} "{("&e%d;" % (i - 1)) * 10}">' for i in range(1, 10))
    xml = (
        f'<?xml version="1.0"?><!DOCTYPE report [<!ENTITY e0 "boom">{levels}]>'
        + minimal_report().replace("libx", "&e9;")
    )
    path = write(tmp_path, xml)
    start = time.monotonic()
    printed, result, logs = both("reportscan", path)
    assert time.monotonic() - start < 5
    assert printed == "" and logs[0][1].startswith(PARSE)


def test_internal_entity_is_expanded_like_lxml(tmp_path):
    xml = '<!DOCTYPE report [<!ENTITY e "lib-from-entity">]>' + minimal_report().replace(
        "libx", "&e;"
    )
    printed = both("reportscan", write(tmp_path, xml))[0]
    assert "Test library: lib-from-entity\n" in printed


def test_external_entities_and_dtd_are_not_loaded(tmp_path, server):
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET")
    xml = (
        f'<!DOCTYPE report SYSTEM "{server}/x.dtd" [<!ENTITY f SYSTEM "file://{secret}">'
        f'<!ENTITY n SYSTEM "{server}/x.dtd">]>'
        + minimal_report().replace("libx", "&f;&n;").replace("<number>1", "<number>&n;1")
    )
    printed, result, logs = both("reportscan", write(tmp_path, xml))
    assert "TOP-SECRET" not in printed and "from the network" not in printed
    assert _Handler.requests_seen == []


def test_at_signs_in_attribute_values(tmp_path):
    body = (
        "<problems_with_symbols severity='High'><header name='@h'><library name='@param'>"
        "<symbol name='@s'><problem id='@id'><change a='@a' b='@a@b' c='x'>@a|@b|@c|@@</change>"
        "</problem></symbol></library></header></problems_with_symbols>"
    )
    printed, result, logs = both("reportscan", write(tmp_path, minimal_report(body=body)))
    assert "      Symbol: @s, Problem: @id, Change: @a|@a@b|x|@@\n" in printed
    assert result == [[], [{"header_name": "@h", "affected_symbols": {"@s"}}]][1:]


def test_handlers_log_through_abi_log_at_call_time(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(native, "ABI_LOG", lambda level, message: seen.append((level, message)))
    assert native.reportscan(str(tmp_path / "nope.xml")) == []
    assert seen and seen[0][0] == 0


def test_keyboard_interrupt_is_not_swallowed(monkeypatch):
    def get(url, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(native.requests, "get", get)
    with pytest.raises(KeyboardInterrupt):
        native.reportscan("http://x/")


class _CountingSink:
    def __init__(self):
        self.size = 0
        self.tail = ""

    def write(self, text):
        self.size += len(text)
        self.tail = (self.tail + text)[-200:]
        return len(text)

    def flush(self):
        pass


def test_200_mb_file(tmp_path, monkeypatch):
    """A 200 MB report, streamed in bounded time (kind "source": printed, no result)."""
    header = (
        "<header name='h{0}.h'><library name='libbig.so.1'>"
        + "".join(f"<name>sym_{{0}}_{j}_{'x' * 40}</name>" for j in range(40))
        + "</library></header>\n"
    )
    count = 200 * 1024 * 1024 // len(header.format(0))
    path = tmp_path / "big.xml"
    with open(path, "w") as out:
        out.write(
            "<report kind='source'><library>big</library><version1><number>1</number>"
            "</version1><version2><number>2</number></version2><added_symbols/><removed_symbols>"
        )
        for i in range(count):
            out.write(header.format(i))
        out.write("</removed_symbols></report>")
    assert os.path.getsize(path) > 200 * 1024 * 1024
    sink = _CountingSink()
    monkeypatch.setattr("sys.stdout", sink)
    logs = []
    monkeypatch.setattr(native, "ABI_LOG", lambda level, message: logs.append(message))
    start = time.monotonic()
    result = native.reportscan(str(path))
    elapsed = time.monotonic() - start
    monkeypatch.undo()
    assert logs == [] and result == []
    assert sink.tail.endswith(f"      Symbol: sym_{count - 1}_39_{'x' * 40}\n")
    assert sink.size > 200 * 1024 * 1024
    assert elapsed < 20, elapsed


def test_fuzz_finding_encoder_error_in_input_layer(tmp_path, capfd):
    """libFuzzer finding (utf-7 declaration, bytes the converter rejects): libxml2 reports
    it from inside its input layer; the reader must not stop the parser there (it did,
    and crashed), must not print libxml2's message on stderr, and gives lxml's verdict."""
    from _reportscan_support import DATA

    path = str(DATA / "edge" / "fuzz-utf7-encoder-error.xml")
    printed, result, logs = both("reportscan", path)
    assert result == [] and len(logs) == 1
    assert "encoder error" not in capfd.readouterr().err


def test_fuzz_finding_doctype_after_an_error():
    """libFuzzer finding (a DOCTYPE with entities after a broken PI): libxml2 built its
    SAX-compatibility document for the entity, which was leaked; same verdict as lxml."""
    from _reportscan_support import DATA

    printed, result, logs = both("reportscan", str(DATA / "edge" / "fuzz-doctype-after-error.xml"))
    assert result == [] and len(logs) == 1


@pytest.mark.parametrize(
    "document, failed",
    [
        ("<html><body>Bad gateway</body></html>", True),  # well-formed, but an error page
        ("<reports/>", True),
        (None, False),  # a real report
    ],
)
def test_a_document_without_a_report_is_recorded_not_logged(tmp_path, document, failed):
    path = str(REPORTS / "libgeom-binary.xml") if document is None else write(tmp_path, document)
    printed, result, logs = both("reportscan", path)
    assert logs == [] and (native.last_failure is not None) == failed
    if failed:
        assert result == [] and native.last_failure["xml_path_or_url"] == path


@pytest.mark.parametrize(
    "case",
    [
        "good",
        "missing",
        "no_report",
        "broken",
        "no_removed",
        "http_good",
        "http_404",
        "http_broken",
    ],
)
def test_scan_report_returns_what_reportscan_leaves_in_last_failure(tmp_path, server, case):
    argument = {
        "good": str(REPORTS / "libgeom-binary.xml"),
        "missing": str(tmp_path / "missing.xml"),
        "no_report": write(tmp_path, "<html><body>503</body></html>", "page.xml"),
        "broken": write(tmp_path, "<report kind='binary'><library>", "broken.xml"),
        "no_removed": write(tmp_path, minimal_report().replace("<removed_symbols/>", ""), "r.xml"),
        "http_good": server + "/good.xml",
        "http_404": server + "/missing.xml",
        "http_broken": server + "/broken.xml",
    }[case]
    printed, result, logs = run(native, "reportscan", argument)
    failure = native.last_failure
    native.last_failure = "untouched"
    try:
        assert run(native, "scan_report", argument) == (printed, (result, failure), logs)
        assert native.last_failure == "untouched"
    finally:
        native.last_failure = None
    assert (failure is None) == (case in ("good", "http_good"))
    assert [message for _, message in logs] == ([failure["message"]] if logs else [])
    if case == "no_report":
        assert logs == [] and failure["error"] == "the document holds no report element"

"""A report read again gives what the first reading gave, and a changed file is read anew."""

import os
import shutil

from _reportscan_support import REPORTS, baseline, native, run
from varkit.symbols import report_symbols


def test_reading_again_repeats_output_and_gives_fresh_results(tmp_path):
    report = tmp_path / "compat_report.xml"
    shutil.copy(REPORTS / "libgeom.xml", report)
    first = run(native, "reportscan", str(report))
    second = run(native, "reportscan", str(report))
    assert first == second == run(baseline, "reportscan", str(report))
    assert first[1], "the binary report has changed symbols"

    # the caller owns what it got: changing it leaves the next reading alone
    first_result = native.reportscan(str(report))
    first_result[0][0]["affected_symbols"].add("injected")
    first_result.append("junk")
    assert run(native, "reportscan", str(report)) == second


def test_changed_file_is_read_anew(tmp_path):
    report = tmp_path / "compat_report.xml"
    shutil.copy(REPORTS / "libgeom.xml", report)
    before = run(native, "reportscan", str(report))
    stamp = os.stat(report).st_mtime_ns
    shutil.copy(REPORTS / "libqueue.xml", report)
    after = run(native, "reportscan", str(report))
    assert after == run(baseline, "reportscan", str(report)) and after != before

    report.write_text("<reports><report kind='binary'>")  # now unreadable
    broken = run(native, "reportscan", str(report))
    assert broken[1] == [] and broken[2][0][1].startswith("Failed to parse XML from")
    os.utime(report, ns=(stamp, stamp))  # old times, new content: still read anew
    assert run(native, "reportscan", str(report)) == broken


def test_a_url_is_read_once_per_run(tmp_path):
    import http.server
    import threading
    from functools import partial

    from varkit import fetch

    shutil.copy(REPORTS / "libgeom.xml", tmp_path / "r.xml")
    gets = []

    class Handler(http.server.SimpleHTTPRequestHandler):
        def do_GET(self):
            gets.append(self.path)
            super().do_GET()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), partial(Handler, directory=str(tmp_path))
    )
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/r.xml"
    try:
        with fetch.fetch_run():
            first, second = run(native, "reportscan", url), run(native, "reportscan", url)
        assert len(gets) == 1
        # The server's document changes: the next run reads it anew.
        shutil.copy(REPORTS / "libqueue.xml", tmp_path / "r.xml")
        with fetch.fetch_run():
            changed = run(native, "reportscan", url)
    finally:
        server.shutdown()
        server.server_close()
    assert first == second == run(baseline, "reportscan", str(REPORTS / "libgeom.xml"))
    assert len(gets) == 2 and changed == run(baseline, "reportscan", str(REPORTS / "libqueue.xml"))


def test_a_quiet_reading_keeps_the_result_only_and_printing_reads_again(tmp_path):
    """The check reads quietly: it prints nothing, a second reading is answered
    from the memo without the text, and a caller that prints gets the full text."""
    report = tmp_path / "compat_report.xml"
    shutil.copy(REPORTS / "libgeom.xml", report)
    expected = run(baseline, "reportscan", str(report))

    before = native._memo_stats()
    quiet = [run(native, "scan_report", str(report), quiet=True) for _ in range(3)]
    after = native._memo_stats()
    assert all(printed == "" for printed, _, _ in quiet)
    assert all(result == (expected[1], None) for _, result, _ in quiet)
    assert after["hits"] - before["hits"] == 2  # read once, answered twice
    assert after["text_bytes"] == before["text_bytes"]  # no text kept for nobody
    # the kept result itself each time, so the check works its symbols out once
    sections = [result[0] for _, result, _ in quiet]
    assert sections[0] is sections[1] is sections[2]
    changed = report_symbols(sections[0])
    assert changed is report_symbols(sections[2])
    assert changed == {s for section in expected[1] for r in section for s in r["affected_symbols"]}

    printing = native._memo_stats()
    assert run(native, "reportscan", str(report)) == expected
    assert native._memo_stats()["hits"] == printing["hits"]  # read again, for its text
    assert run(native, "reportscan", str(report)) == expected
    assert native._memo_stats()["hits"] == printing["hits"] + 1

"""Hostile inputs of the impact check: whole-word matching against the
regular-expression rendering, report paths that are FIFOs or lead out of the
result tree, a symbolic link planted where the PHP report file goes."""

import json
import os
import re
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


def regex_rendering(names, text):
    """The names found as the pattern \\b(longest|...|shortest)\\b finds them."""
    usable = sorted({n for n in names if n and "\n" not in n})
    usable.sort(key=len, reverse=True)
    if not usable:
        return []
    pattern = re.compile(r"\b(" + "|".join(map(re.escape, usable)) + r")\b")
    found = []
    for name in pattern.findall(text):
        if name not in found:
            found.append(name)
    return found


ALPHABET = st.sampled_from(list("ab_-+. é1\n工"))
NAMES = st.lists(st.text(ALPHABET, min_size=1, max_size=4), min_size=1, max_size=8)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(names=NAMES, text=st.text(ALPHABET, max_size=40))
def test_whole_word_matches_equal_the_pattern(impactor, remote, tmp_path, names, text):
    report = {
        f"/usr/bin/{name}": {"output": {"change_type": "MODIFIED"}}
        for name in names
        if "/" not in name
    }
    remote.write("r/exec_diff_report.json", json.dumps(report))
    script = tmp_path / "script.sh"
    script.write_text(text, encoding="utf-8", newline="")
    found = impactor.check_exec_affected(str(script), remote.url + "r/exec_diff_report.json")
    # universal newlines: the file is read as text mode reads it
    expected = regex_rendering(names, text.replace("\r\n", "\n").replace("\r", "\n"))
    assert [name for name, _ in found] == expected


@pytest.mark.parametrize("libname", ["../../../../tmp/x/libx.so.1", "sub/libx.so.1", "..", "."])
def test_library_names_never_leave_the_result_tree(impactor, log, tmp_path, libname):
    d = {}
    assert impactor.get_xml_report_path(libname, str(tmp_path), d) is None
    assert d == {"libname_refused": [libname]}
    assert log and log[0][0] == 1 and "not a plain file name" in log[0][1]


def test_a_fifo_is_no_report(tmp_path):
    from varkit import reportscan

    fifo = tmp_path / "compat_report.xml"
    os.mkfifo(fifo)
    outcome = {}
    worker = threading.Thread(
        target=lambda: outcome.update(result=reportscan.reportscan(str(fifo))), daemon=True
    )
    worker.start()
    worker.join(10)
    if worker.is_alive():  # free the reader before failing
        with open(fifo, "w"):
            pass
        pytest.fail("the reader blocked on a FIFO")
    assert outcome["result"] == []
    assert "is not a regular file" in reportscan.last_failure["error"]


def test_the_php_report_file_is_never_written_through_a_link(impactor, tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    php = bin_dir / "php"
    php.write_text("#!/bin/sh\necho scanned\n")
    php.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    planted = tmp_path / "report.log"
    planted.symlink_to(victim)
    monkeypatch.setattr(impactor.conf, "php_api_diff", str(planted))
    page = tmp_path / "index.php"
    page.write_text("<?php ?>\n")
    with pytest.raises(OSError):
        impactor.check_php_file_compat(str(page), {})
    assert victim.read_text() == "precious\n"

    fresh = tmp_path / "fresh.log"
    monkeypatch.setattr(impactor.conf, "php_api_diff", str(fresh))
    assert impactor.check_php_file_compat(str(page), {}) is True
    assert fresh.read_text() == "scanned\n" and fresh.stat().st_mode & 0o777 == 0o600

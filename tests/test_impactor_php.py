"""PHP compatibility scan with a stand-in `php` on PATH."""

import os

import pytest

SCANNER = "/usr/libexec/varkit/PHP_CodeSniffer-2.9.2/scripts/phpcs"
RULES = "/usr/libexec/varkit/PHPCompatibility-9.3.5/"

# Records each invocation's arguments (one per line, then "--"); the scan
# writes one line to each output stream. Exit statuses come from the environment.
FAKE_PHP = """#!/bin/sh
for arg in "$@"; do printf '%s\\n' "$arg" >> "$PHP_CALLS"; done
echo -- >> "$PHP_CALLS"
if [ "$2" = "--config-set" ]; then exit "${PHP_REGISTER_STATUS:-0}"; fi
echo "report on $2"
echo "warnings on $2" >&2
exit "${PHP_SCAN_STATUS:-0}"
"""


@pytest.fixture
def php(impactor, tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "php").write_text(FAKE_PHP)
    (bin_dir / "php").chmod(0o755)
    calls = tmp_path / "calls.txt"
    monkeypatch.setenv("PATH", "%s:%s" % (bin_dir, os.environ["PATH"]))
    monkeypatch.setenv("PHP_CALLS", str(calls))
    monkeypatch.setattr(impactor.conf, "php_api_diff", str(tmp_path / "php_report.txt"))
    monkeypatch.setattr(impactor.conf, "dest_php_version", "8.2")
    monkeypatch.chdir(tmp_path)

    def invocations():
        text = calls.read_text() if calls.exists() else ""
        return [chunk.split("\n")[:-1] for chunk in (text.split("--\n")[:-1])]

    return invocations


def register_call():
    return [SCANNER, "--config-set", "installed_paths", RULES]


def scan_call(name, version="8.2"):
    return [SCANNER, name, "--standard=PHPCompatibility", "--runtime-set", "testVersion", version]


@pytest.mark.parametrize(
    "status, earlier, expected",
    [
        ("0", None, True),
        ("3", None, False),
        ("3", True, True),
        ("0", False, False),
    ],
)
def test_scan_verdict_is_kept_once(
    impactor, php, log, tmp_path, monkeypatch, status, earlier, expected
):
    monkeypatch.setenv("PHP_SCAN_STATUS", status)
    d = {} if earlier is None else {"pass_compat_check": earlier}
    assert impactor.check_php_file_compat("index.php", d) is (status == "0")
    assert d == {"pass_compat_check": expected} and log == []
    assert php() == [register_call(), scan_call("index.php")]
    assert (
        tmp_path / "php_report.txt"
    ).read_text() == "report on index.php\nwarnings on index.php\n"


def test_reports_are_appended_in_order(impactor, php, tmp_path):
    (tmp_path / "php_report.txt").write_text("earlier\n")
    for name in ("a.php", "b.php"):
        assert impactor.check_php_file_compat(name, {}) is True
    assert (tmp_path / "php_report.txt").read_text() == (
        "earlier\nreport on a.php\nwarnings on a.php\nreport on b.php\nwarnings on b.php\n"
    )
    assert php() == [register_call(), scan_call("a.php"), register_call(), scan_call("b.php")]


@pytest.mark.parametrize(
    "name, version",
    [
        ("my file; touch injected.php", "8.2"),
        ("$(touch injected.php) 'q\" `x`.php", "7.4 && touch injected.php"),
    ],
)
def test_names_reach_the_scanner_as_single_arguments(
    impactor, php, tmp_path, monkeypatch, name, version
):
    monkeypatch.setattr(impactor.conf, "dest_php_version", version)
    assert impactor.check_php_file_compat(name, {}) is True
    assert php() == [register_call(), scan_call(name, version)]
    assert not (tmp_path / "injected.php").exists()


@pytest.mark.parametrize("setup", ["registration fails", "no php"])
def test_registration_failure(impactor, php, log, tmp_path, monkeypatch, setup):
    if setup == "no php":
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    else:
        monkeypatch.setenv("PHP_REGISTER_STATUS", "1")
    d = {}
    assert impactor.check_php_file_compat("index.php", d) is False
    assert d == {} and log == [(1, "load PHPCompatibility failed")]
    assert not (tmp_path / "php_report.txt").exists()
    assert php() == ([] if setup == "no php" else [register_call()])


def test_unopenable_report_file_propagates(impactor, php, tmp_path, monkeypatch):
    monkeypatch.setattr(impactor.conf, "php_api_diff", str(tmp_path / "missing" / "report.txt"))
    d = {}
    with pytest.raises(FileNotFoundError):
        impactor.check_php_file_compat("index.php", d)
    assert d == {} and php() == [register_call()]

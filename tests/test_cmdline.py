"""The checker's command line: options, defaults and the cross-option rules."""

import re

import pytest

import varkit
from varkit import cmdline

GROUP_RULE = (
    "--check-local, --search-local, --multi-packages, --search-remote and --local "
    "can only be used with --checkabi/--checkconf/--checkexec"
)
WITH_SYMBOL = "--with-symbol can only be used with --checkabi"
NOT_A_DIR = "search-local must be a directory"
LOCAL_NEEDS_SYMBOL = "--search-local can only be used with --with-symbol"
BOTH_SEARCHES = "--search-local and --search-remote can not be used at the same time"
REMOTE_NEEDS_SYMBOL = "--search-remote with --checkabi can only be used with --with-symbol"
ONE_OF = (
    "One of --checkabi, --checkability, --checkexec, --checkfile, --scan-dep or "
    "--checkconf must be specified"
)


@pytest.fixture(autouse=True)
def configured(monkeypatch):
    monkeypatch.setattr(varkit.conf, "remote_url", "http://results.example/abi/")
    monkeypatch.setattr(varkit.conf, "varkit_ver", "7.3.1")


def refused(capsys, args):
    with pytest.raises(SystemExit) as stop:
        cmdline.get_options(args)
    err = capsys.readouterr().err
    assert stop.value.code == 2
    assert err.startswith("usage: ")
    return err.rstrip("\n").splitlines()[-1]


@pytest.mark.parametrize(
    "args, message",
    [
        ([], ONE_OF),
        (["a.rpm", "b.rpm"], ONE_OF),
        (["--scan-dep", ""], ONE_OF),
        (["--multi-packages", "--checkfile"], GROUP_RULE),
        (["--check-local", "f"], GROUP_RULE),
        (["-l", "--checkability"], GROUP_RULE),
        (["--search-remote", "http://h/", "--checkfile"], GROUP_RULE),
        (["--with-symbol", "--checkconf"], WITH_SYMBOL),
        # the group rule comes first
        (["--with-symbol", "--local"], GROUP_RULE),
        (["--checkabi", "--with-symbol", "--search-local", "/no/such/dir"], NOT_A_DIR),
        (["--checkabi", "--search-local", "/no/such/dir"], NOT_A_DIR),
        (["--checkabi", "--search-local", "{tmp}"], LOCAL_NEEDS_SYMBOL),
        (
            [
                "--checkabi",
                "--with-symbol",
                "--search-local",
                "{tmp}",
                "--search-remote",
                "http://h/",
            ],
            BOTH_SEARCHES,
        ),
        (["--checkabi", "--search-remote", "http://h/"], REMOTE_NEEDS_SYMBOL),
        (["--checkabi", "--search-remote"], REMOTE_NEEDS_SYMBOL),
        (
            ["--checkconf", "--search-remote", "not a url"],
            "remote-url: not a url must be a valid url",
        ),
        (
            ["--checkconf", "--search-remote", " http://h/ "],
            "remote-url:  http://h/  must be a valid url",
        ),
    ],
)
def test_rules_report_the_first_failing_rule(capsys, tmp_path, args, message):
    args = [a.replace("{tmp}", str(tmp_path)) for a in args]
    assert refused(capsys, args).endswith(": error: " + message)


@pytest.mark.parametrize(
    "args, expected",
    [
        (["--scan-dep", "x"], {"scan_dep": "x", "format": "json", "rpm_files": []}),
        (["--check-local", "f", "--checkconf"], {"check_local": "f", "checkconf": True}),
        (["--multi-packages", "--checkexec"], {"multi_packages": True}),
        (["--checkconf", "--search-remote", "http://h/x"], {"search_remote": "http://h/x"}),
        (
            ["--checkabi", "--with-symbol", "--search-remote"],
            {"search_remote": "http://results.example/abi/"},
        ),
        (
            ["--checkexec", "--image-url", "u", "-f", "table", "-o", "out.json", "a.rpm"],
            {"image_url": "u", "format": "table", "output_log": "out.json", "rpm_files": ["a.rpm"]},
        ),
        (
            ["--checkabi", "--d1", "x", "--d2", "y", "--dir1", "p", "--dir2", "q", "--verbose"],
            {
                "debug_pkg_a": "x",
                "debug_pkg_b": "y",
                "pkg_dir_a": "p",
                "pkg_dir_b": "q",
                "verbose": True,
            },
        ),
        (["--checkabi", "--check-l", "f"], {"check_local": "f"}),  # unambiguous prefix
    ],
)
def test_valid_command_lines(args, expected):
    options = cmdline.get_options(args)
    for dest, value in expected.items():
        assert getattr(options, dest) == value
    assert options.search_local is None or "search_local" in expected


def test_bare_search_remote_with_empty_configured_url_counts_as_not_given(monkeypatch, capsys):
    monkeypatch.setattr(varkit.conf, "remote_url", "")
    # not given: the --with-symbol requirement of a remote search does not apply
    assert cmdline.get_options(["--checkabi", "--search-remote"]).search_remote == ""
    assert refused(capsys, ["--search-remote"]).endswith(ONE_OF)


def test_configuration_is_read_at_each_call(monkeypatch, capsys):
    monkeypatch.setattr(varkit.conf, "remote_url", "http://second.example/")
    assert (
        cmdline.get_options(["--checkconf", "--search-remote"]).search_remote
        == "http://second.example/"
    )
    monkeypatch.setattr(varkit.conf, "varkit_ver", "8.0")
    with pytest.raises(SystemExit) as stop:
        cmdline.get_options(["-v"])
    assert (stop.value.code, capsys.readouterr().out) in {(0, "8.0\n"), (None, "8.0\n")}


@pytest.mark.parametrize("args", [["-v"], ["--version", "--with-symbol"], ["--checkabi", "-v"]])
def test_version_wins_over_every_rule(capsys, args):
    with pytest.raises(SystemExit) as stop:
        cmdline.get_options(args)
    out = capsys.readouterr().out
    assert stop.value.code in (0, None) and out == "7.3.1\n"


@pytest.mark.parametrize("args", [["--format", "xml", "--checkabi"], ["--nope"], ["--d1"], ["-V"]])
def test_syntax_errors_come_from_the_parser(capsys, args):
    assert ": error: " in refused(capsys, args)


def test_help_lists_groups_and_options_in_order(capsys):
    with pytest.raises(SystemExit) as stop:
        cmdline.get_options(["--help"])
    out = capsys.readouterr().out
    assert stop.value.code in (0, None)
    assert "Check the compatibility of libs and rpms" in out
    sections = [
        out.index(title)
        for title in ("General options:", "--checkabi Operations:", "--checkexec options:")
    ]
    assert sections == sorted(sections)
    assert "Options for ABI check operations" in out
    entries = [
        "--d1 DEBUG_PKG_A",
        "--d2 DEBUG_PKG_B",
        "--verbose",
        "--dir1 PKG_DIR_A",
        "--dir2 PKG_DIR_B",
        "RPMA",
        "--checkability",
        "--checkconf",
        "--checkfile",
        "-v, --version",
        "--checkabi",
        "-s [DIR or FILE], --scan-dep [DIR or FILE]",
        "-o OUTPUT_LOG, --output OUTPUT_LOG",
        "--ai-interpret",
        "--strict",
        "--checkexec",
        "--with-symbol",
        "--check-local [DIR or FILE]",
        "--search-local DIR",
        "--search-remote [URL]",
        "-l, --local",
        "--multi-packages",
        "-f {json,table}, --format {json,table}",
        "--image-url URL",
    ]
    position = sections[0]
    for entry in entries:  # each found after the one before it
        position = out.index("\n  " + entry, position) + 1
    assert re.search(
        r"--checkability\s+Check the ability diff \(requires/provides/conlicts/\.\.\)", out
    )


def test_args_none_reads_the_process_arguments(monkeypatch):
    monkeypatch.setattr("sys.argv", ["varkit", "--checkfile", "x.rpm"])
    options = cmdline.get_options(None)
    assert options.checkfile and options.rpm_files == ["x.rpm"]


def test_get_options_is_called_like_a_python_function():
    assert cmdline.get_options(args=["--checkfile"]).checkfile
    with pytest.raises(TypeError):
        cmdline.get_options()
    with pytest.raises(TypeError):
        cmdline.get_options(["--checkfile"], "extra")

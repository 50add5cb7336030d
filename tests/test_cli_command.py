"""The `varkit` command on this machine as it is: its own options, libraries
found where the system keeps them, files it cannot check, interruption, and
output that always parses."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import EXAMPLES
from varkit import command_line

RESULTS = str(EXAMPLES / "results")
ABI = ("--checkabi", "--with-symbol", "--search-local", RESULTS)


def run(*args, env=None, prefix=()):
    """(status, stdout bytes, stderr text) of the command run plainly."""
    done = subprocess.run(
        [*prefix, sys.executable, "-m", "varkit", *args],
        capture_output=True,
        timeout=600,
        env={**os.environ, **(env or {})},
    )
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


def parsed(stdout):
    return json.loads(stdout.decode("utf-8"))  # strict UTF-8: no raw bytes of file names


def dynamic_programs(count):
    """Dynamically linked programs of this machine's /usr/bin."""
    found = []
    for name in sorted(os.listdir("/usr/bin")):
        path = os.path.join("/usr/bin", name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        with open(path, "rb") as handle:
            head = handle.read(4096)
        if head.startswith(b"\x7fELF") and b"ld-linux" in head:
            found.append(path)
        if len(found) == count:
            break
    return found


def test_programs_of_this_machine_are_really_checked():
    programs = dynamic_programs(12)
    assert len(programs) == 12
    status, out, err = run(*ABI, "--check-local", *programs)
    result = parsed(out)
    assert [entry["dest_file"] for entry in result["library"]] == programs
    for entry in result["library"]:
        assert "req_libs_not_found" not in entry, entry["dest_file"]
        assert entry["verdict"] == "not affected", (entry["dest_file"], entry["reasons"])
        assert any(lib.startswith("libc.so") for lib in entry["library_found_at"])
    assert status == 0 and "Traceback" not in err


@pytest.mark.parametrize("layout", ["repeated", "after", "comma"])
def test_every_target_is_checked(tmp_path, layout):
    names = ["a.sh", "b.sh", "c.sh"]
    for name in names:
        (tmp_path / name).write_text("#!/bin/sh\ntrue\n")
    paths = [str(tmp_path / name) for name in names]
    args = {
        "repeated": [arg for path in paths for arg in ("--check-local", path)],
        "after": ["--check-local", *paths],
        "comma": ["--check-local", ",".join(paths)],
    }[layout]
    status, out, _ = run(
        "--checkconf", "--search-local", RESULTS, "--checkabi", "--with-symbol", *args
    )
    checked = [(entry["dest_file"], entry["check_type"]) for entry in parsed(out)["library"]]
    assert checked == [(p, kind) for p in paths for kind in ("ABI", "CONF")]


def test_a_comma_in_a_real_file_name_is_kept(tmp_path):
    script = tmp_path / "odd,name.sh"
    script.write_text("#!/bin/sh\n")
    _, out, _ = run(*ABI, "--check-local", str(script))
    assert [entry["dest_file"] for entry in parsed(out)["library"]] == [str(script)]


@pytest.mark.parametrize(
    "args",
    [
        list(strings[:1]) + (["x"] if value else [])
        for strings, value in command_line.NOT_IMPLEMENTED
    ],
)
def test_options_the_command_does_not_implement_are_refused(args):
    status, out, err = run(*ABI, "--check-local", "/bin/true", *args)
    assert (status, out) == (2, b"")
    assert err.count("\n") == 1 and "not implemented" in err and args[0] in err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--checkabi", "--with-symbol", "x.rpm"], "follow --check-local"),
        (["--checkconf", "--search-remote", "--check-local", "/bin/true"], "remote_url"),
        (["--checkconf", "--check-local", "/nonexistent/x"], "/nonexistent/x: no such file"),
        (
            [
                "--checkconf",
                "--search-remote",
                "http://127.0.0.1:9/",
                "--check-local",
                "/nonexistent/x",
            ],
            "/nonexistent/x: no such file",
        ),
        (["--checkabi", "--check-local", "/bin/true"], "needs --with-symbol"),
        (["--checkconf", "--check-local", "a,,b"], "empty path"),
        (["--check-local", "/bin/true"], "one of --checkabi"),
    ],
)
def test_usage_errors_are_one_line(args, message, tmp_path):
    conf = tmp_path / "varkit.conf"
    conf.write_text("[varkit]\nremote_url =\n")
    status, out, err = run(*args, env={"VARKIT_CONF": str(conf)})
    assert (status, out) == (2, b"") and message in err and err.count("\n") == 1


def test_help_shows_the_command_only():
    status, out, _ = run("--help")
    text = out.decode()
    assert status == 0 and "exit status" in text and "--check-local" in text
    assert "--ai-interpret" not in text and "--d1" not in text
    assert text.count("varkit --check") >= 3


@pytest.mark.parametrize("where", ["missing-dir/out.json", ".", "/proc/varkit-out.json"])
def test_unwritable_output_is_refused_before_the_run(tmp_path, where):
    target = where if where.startswith("/") else str(tmp_path / where.rstrip("."))
    status, out, err = run(*ABI, "--check-local", "/bin/true", "-o", target)
    assert (status, out) == (2, b"") and "cannot write the result" in err
    assert "Traceback" not in err


def test_output_file_is_replaced_whole_and_what_killed_runs_left_is_cleared(tmp_path):
    import fcntl

    target = tmp_path / "out.json"
    target.write_text("old")
    # Temporary files of earlier runs: killed long ago, killed a moment ago,
    # still being written by a live run (it holds the lock), another file's.
    left = {name: tmp_path / name for name in (".out.json.k1ll3d_0.tmp", ".out.json.fresh_01.tmp")}
    left["live"] = tmp_path / ".out.json.l1ve_run.tmp"
    left["other"] = tmp_path / ".other.json.k1ll3d_0.tmp"
    for path in left.values():
        path.write_text("{")
    an_hour_ago = time.time() - 3600
    for name in (".out.json.k1ll3d_0.tmp", "live", "other"):
        os.utime(left[name], (an_hour_ago, an_hour_ago))
    with open(left["live"]) as live:
        fcntl.flock(live, fcntl.LOCK_EX)
        status, out, _ = run(*ABI, "--check-local", "/bin/true", "-o", str(target))
    assert status == 0 and out == b""
    assert json.loads(target.read_text())["verdict"] == "not affected"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["out.json", ".out.json.fresh_01.tmp", left["live"].name, left["other"].name]
    )


def test_undecodable_file_names_round_trip(tmp_path):
    tree = tmp_path / "tree"
    tree.mkdir()
    raw = os.fsencode(str(tree)) + b"/bad\xffname.sh"
    with open(raw, "w") as handle:
        handle.write("#!/bin/sh\n")
    status, out, err = run(*ABI, "--check-local", str(tree))
    entry = parsed(out)["library"][0]
    assert os.fsencode(entry["dest_file"]) == raw and "Traceback" not in err
    target = tmp_path / "out.json"
    run(*ABI, "--check-local", str(tree), "-o", str(target))
    assert (
        os.fsencode(json.loads(target.read_bytes().decode("utf-8"))["library"][0]["dest_file"])
        == raw
    )


def test_a_program_whose_name_is_not_utf8_is_really_checked(tmp_path):
    program = os.fsencode(str(tmp_path)) + b"/tr\xffue"
    shutil.copy("/bin/true", program)
    status, out, err = run(*ABI, "--check-local", str(tmp_path))
    (entry,) = parsed(out)["library"]
    assert os.fsencode(entry["dest_file"]) == program
    assert entry["verdict"] == "not affected", entry["reasons"]
    assert any(lib.startswith("libc.so") for lib in entry["library_found_at"])
    assert status == 0 and "Traceback" not in err


def _drop_capabilities():
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to run without the right to read every file")
    return ("setpriv", "--bounding-set=-all", "--inh-caps=-all")


def test_files_that_cannot_be_read_are_not_checked(tmp_path):
    prefix = _drop_capabilities()
    tree = tmp_path / "tree"
    (tree / "closed").mkdir(parents=True)
    shutil.copy("/bin/true", tree / "closed" / "hidden")
    (tree / "closed").chmod(0)
    shutil.copy("/bin/true", tree / "secret")
    (tree / "secret").chmod(0)
    (tree / "dangling").symlink_to(tree / "nowhere")
    (tree / "loop").symlink_to(tree / "loop")
    os.mkfifo(tree / "pipe")
    shutil.copy("/bin/true", tree / "fine")
    try:
        status, out, err = run(*ABI, "--check-local", str(tree), prefix=prefix)
    finally:
        (tree / "closed").chmod(0o755)
    entries = {Path(e["dest_file"]).name: e for e in parsed(out)["library"]}
    expected = {
        "closed": "Permission denied",
        "secret": "Permission denied",
        "dangling": "broken symbolic link",
        "loop": "loop of symbolic links",
        "pipe": "FIFO",
    }
    for name, reason in expected.items():
        assert entries[name]["verdict"] == "not checked"
        assert any(reason in text for text in entries[name]["reasons"]), entries[name]["reasons"]
    assert entries["fine"]["verdict"] == "not affected"
    assert status == 1 and "Traceback" not in err


def test_a_report_written_as_html_is_not_a_pass(tmp_path):
    results = tmp_path / "results"
    shutil.copytree(RESULTS, results)
    libc = next(p for p in dynamic_programs(1))
    # a library directory for libc whose report was written without -xml
    from varkit.packages import get_pkgname_by_libname

    package = get_pkgname_by_libname("libc.so.6")
    report_dir = results / "compat_reports" / package / "libc.so.6" / "1_to_2"
    report_dir.mkdir(parents=True)
    (report_dir / "compat_report.html").write_text("<html></html>")
    status, out, _ = run(
        "--checkabi", "--with-symbol", "--search-local", str(results), "--check-local", libc
    )
    entry = parsed(out)["library"][0]
    assert entry["verdict"] == "not checked" and status == 1
    assert any("-xml" in reason for reason in entry["reasons"])


def test_a_broken_summary_costs_only_the_files_that_need_it(tmp_path):
    results = tmp_path / "results"
    shutil.copytree(RESULTS, results)
    (results / "summary.log").write_text('{"truncated": [')
    script = tmp_path / "tool.sh"
    script.write_text("#!/bin/sh\n")
    status, out, err = run(
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(results),
        "--check-local",
        "/bin/true",
        str(script),
    )
    program, other = parsed(out)["library"]
    assert program["verdict"] == "not checked"
    assert any("could not be completed" in reason for reason in program["reasons"])
    assert other["verdict"] == "no check" and "check_failed" not in other
    assert status == 1 and "Traceback" not in err


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupted_run_reports_what_it_checked(signal_number):
    process = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "varkit",
            "--verbose",
            *ABI,
            "--check-local",
            "/usr/bin",
            "/usr/sbin",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    deadline = time.monotonic() + 120
    seen = b""
    while seen.count(b" type is ") < 5 and time.monotonic() < deadline:
        seen += process.stderr.readline()
    process.send_signal(signal_number)
    out, err = process.communicate(timeout=120)
    result = json.loads(out.decode("utf-8"))
    assert result["interrupted"] == signal.Signals(signal_number).name
    verdicts = [entry["verdict"] for entry in result["library"]]
    assert verdicts[-1] == "not checked" and result["library"][-1]["dest_file"] == "/usr/sbin"
    assert "not affected" in verdicts and process.returncode & 1
    assert b"Traceback" not in seen + err
    listed = [(entry["dest_file"], entry["check_type"]) for entry in result["library"]]
    assert len(listed) == len(set(listed))  # the file under check once, not twice
    reached = sum(1 for entry in result["library"] if "interrupted" not in entry)
    name = signal.Signals(signal_number).name
    assert f"interrupted by {name} after {reached} checked files".encode() in err


@pytest.mark.parametrize("format", ["json", "table"])
def test_a_reader_that_goes_away_ends_the_run_quietly(format):
    process = subprocess.Popen(
        [sys.executable, "-m", "varkit", *ABI, "--check-local", "/bin/true", "-f", format],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    process.stdout.close()  # as `| head` does once it has what it wants
    with process.stderr:
        err = process.stderr.read().decode()
    assert process.wait(timeout=300) == -signal.SIGPIPE
    assert err == ""


def test_files_come_out_in_path_order_once_each(tmp_path):
    for name in ("b.sh", "a.sh", "c.sh"):
        (tmp_path / name).write_text("#!/bin/sh\n")
    b, a, c = (str(tmp_path / name) for name in ("b.sh", "a.sh", "c.sh"))
    status, out, _ = run(*ABI, "--check-local", b, a, str(tmp_path), a, c)
    result = parsed(out)
    assert [entry["dest_file"] for entry in result["library"]] == [a, b, c]
    assert sum(result["files"].values()) == 3


def test_an_internal_error_still_answers(monkeypatch, capsys):
    from varkit import cli, verdict

    def broken(*args):
        raise RuntimeError("verdict logic broke")

    monkeypatch.setattr(verdict, "judge", broken)
    status = cli.main([*ABI, "--check-local", "/bin/true"])
    captured = capsys.readouterr()
    result = json.loads(captured.out)
    assert status & 1 and "verdict logic broke" in result["error"]
    assert captured.err.count("internal error") == 1


def test_table_off_a_terminal_is_one_whole_line_per_file(tmp_path):
    script = tmp_path / ("a-script-with-a-rather-long-name-" * 3 + ".sh")
    script.write_text("#!/bin/sh\n")
    status, out, _ = run(*ABI, "--check-local", "/bin/true", str(script), "-f", "table")
    lines = out.decode().splitlines()
    assert len(lines) == 3
    assert lines[0].startswith("not affected") and lines[1].startswith("no check")
    assert str(script) in lines[1] and lines[1].endswith("Python and PHP files")  # not cut
    assert lines[2].startswith("verdict: not affected")


@pytest.mark.parametrize("verbose", [False, True])
def test_a_file_name_cannot_forge_a_row(tmp_path, verbose):
    forged = tmp_path / "evil\naffected       ABI  fake-sudo: uses everything\x1b[2J"
    forged.write_text("#!/bin/sh\n")
    args = ["--verbose"] if verbose else []
    status, out, _ = run(*ABI, "--check-local", str(tmp_path), "-f", "table", *args)
    text = out.decode()
    assert "\x1b" not in text and not any(line.startswith("affected") for line in text.splitlines())
    assert "evil\\x0aaffected" in text and "\\x1b[2J" in text
    assert status == 0


@pytest.mark.parametrize(
    "only, listed",
    [("no-check", 1), ("affected", 0), ("not-affected,no-check", 2), ("not-checked", 0)],
)
def test_only_lists_the_chosen_verdicts(tmp_path, only, listed):
    script = tmp_path / "a.sh"
    script.write_text("#!/bin/sh\n")
    status, out, _ = run(*ABI, "--check-local", "/bin/true", str(script), "--only", only)
    result = parsed(out)
    assert len(result["library"]) == listed and sum(result["files"].values()) == 2
    assert result["meta"]["checks"] == ["ABI"] and result["meta"]["location"] == RESULTS


@pytest.fixture
def terminal():
    from _shell_session import PROMPT, ShellSession

    if shutil.which("tmux") is None:
        pytest.skip("no tmux here")
    session = ShellSession(["bash", "--norc", "--noprofile"], [])
    yield session, PROMPT
    session.close()


def _on_terminal(out, *args):
    quoted = " ".join(f"'{arg}'" for arg in args)
    return f"{sys.executable} -m varkit {quoted} > {out}; echo status=$?"


def test_the_progress_line_never_shares_a_line_on_a_terminal(terminal, tmp_path):
    session, prompt = terminal
    programs = dynamic_programs(6)
    out = tmp_path / "out.json"
    session.run(_on_terminal(out, "--verbose", *ABI, "--check-local", *programs))
    screen = session.screen_when(lambda text: re.search(r"status=\d", text) is not None)
    lines = [line for line in screen.splitlines() if line.strip()]
    assert any("type is" in line for line in lines)  # the log reached the terminal
    for line in lines:
        # A progress line is cleared first: what follows starts its own line.
        assert not re.search(r"\[\d+/\d+, \d+/s.*\S.*(---|type is|INFO|DEBUG)", line), line
    assert "status=0" in screen and json.loads(out.read_text())["verdict"] == "not affected"


def test_ctrl_c_on_a_terminal_says_how_far_the_run_got(terminal, tmp_path):
    session, prompt = terminal
    out = tmp_path / "out.json"
    session.run(_on_terminal(out, "--verbose", *ABI, "--check-local", "/usr/bin", "/usr/sbin"))
    session.screen_when(lambda text: text.count("type is") >= 5)
    session.key("C-c")
    screen = session.screen_when(lambda text: re.search(r"status=\d", text) is not None)
    result = json.loads(out.read_text())
    reached = sum(1 for entry in result["library"] if "interrupted" not in entry)
    assert f"varkit: interrupted by SIGINT after {reached} checked files" in screen
    assert "status=" in screen and "Traceback" not in screen


def test_links_to_directories_are_followed_once_each(tmp_path):
    app = tmp_path / "app"
    (app / "releases" / "v3").mkdir(parents=True)
    (app / "releases" / "v3" / "run.sh").write_text("#!/bin/sh\n")
    (app / "current").symlink_to("releases/v3")  # inside the target: checked once, as itself
    outside = tmp_path / "shared-tools"
    outside.mkdir()
    (outside / "tool.sh").write_text("#!/bin/sh\n")
    (app / "tools").symlink_to(outside)  # outside: walked through the link
    (outside / "back").symlink_to(app)  # a loop back into the target
    (outside / "self").symlink_to(".")  # a loop onto itself
    status, out, err = run(*ABI, "--check-local", str(app))
    listed = [entry["dest_file"] for entry in parsed(out)["library"]]
    assert listed == [str(app / "releases" / "v3" / "run.sh"), str(app / "tools" / "tool.sh")]
    assert status == 0 and "Traceback" not in err


@pytest.mark.parametrize("document", ["summary.log", "conf_diff.json"])
def test_a_result_document_that_is_a_fifo_is_not_waited_for(tmp_path, document):
    tree = tmp_path / "results"
    shutil.copytree(RESULTS, tree)
    (tree / document).unlink()
    os.mkfifo(tree / document)
    # The configuration check reads the configured tree; the ABI check is pointed at it.
    kinds = (
        ("--checkabi", "--with-symbol", "--search-local", str(tree))
        if document == "summary.log"
        else ("--checkconf",)
    )
    started = time.monotonic()
    status, out, err = run(
        *kinds,
        "--check-local",
        "/bin/true",
        env={"VARKIT_CONF": str(_conf(tmp_path, tree))},
    )
    assert time.monotonic() - started < 60
    (entry,) = parsed(out)["library"]
    assert entry["verdict"] == "not checked", entry["reasons"]
    assert any("not a regular file" in reason for reason in entry["reasons"])
    assert status & 1 and "Traceback" not in err


def test_a_file_whose_check_outlasts_its_time_is_not_checked_and_the_run_goes_on(tmp_path):
    """The report a program needs arrives a byte at a time, within the fetch's
    own deadline: the file's time runs out first, and the next file is checked."""
    import http.server
    import threading
    from functools import partial

    from varkit.packages import get_pkgname_by_libname

    tree = tmp_path / "results"
    shutil.copytree(RESULTS, tree)
    report = tree / "compat_reports" / get_pkgname_by_libname("libc.so.6") / "libc.so.6"
    shutil.copytree(tree / "compat_reports" / "libgreet" / "libgreet.so.1", report)

    class Drip(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if not self.path.endswith("compat_report.xml"):
                return super().do_GET()
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            try:
                for _ in range(100000):
                    self.wfile.write(b"<")
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:  # the client gave up
                self.close_connection = True

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), partial(Drip, directory=str(tree)))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    script = tmp_path / "run.sh"
    script.write_text("#!/bin/sh\ntrue\n")
    conf = tmp_path / "varkit.conf"
    conf.write_text("[varkit]\nfetch_deadline = 600\nfile_check_seconds = 3\n")
    started = time.monotonic()
    try:
        status, out, err = run(
            "--checkabi",
            "--with-symbol",
            "--search-remote",
            f"http://127.0.0.1:{server.server_address[1]}/",
            "--check-local",
            "/bin/true",
            str(script),
            env={"VARKIT_CONF": str(conf), "NO_PROXY": "127.0.0.1"},
        )
    finally:
        server.shutdown()
        server.server_close()
    assert time.monotonic() - started < 60
    entries = {Path(e["dest_file"]).name: e for e in parsed(out)["library"]}
    assert entries["true"]["verdict"] == "not checked"
    assert any("ran past 3 s" in reason for reason in entries["true"]["reasons"])
    assert entries["run.sh"]["verdict"] == "no check"
    assert status & 1 and "Traceback" not in err


def _conf(tmp_path, tree):
    conf = tmp_path / "varkit.conf"
    conf.write_text(f"[varkit]\ndefault_compat_search_dir = {tree}\n")
    return conf


@pytest.mark.parametrize("link", ["loop", "broken"])
def test_a_report_directory_that_is_a_bad_link_is_not_checked(tmp_path, link):
    tree = tmp_path / "results"
    shutil.copytree(RESULTS, tree)
    from varkit.packages import get_pkgname_by_libname

    package = get_pkgname_by_libname("libc.so.6")
    directory = tree / "compat_reports" / package / "libc.so.6"
    directory.parent.mkdir(parents=True)
    directory.symlink_to(directory if link == "loop" else tmp_path / "gone")
    status, out, err = run(*ABI[:2], "--search-local", str(tree), "--check-local", "/bin/true")
    (entry,) = parsed(out)["library"]
    assert entry["verdict"] == "not checked", entry["reasons"]
    assert any("broken symbolic link or a loop" in reason for reason in entry["reasons"])
    assert status & 1

"""The data-tool commands behave like commands: --help and --version touch
nothing, a missing input is one line naming what produces it."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from varkit import tools

REPORT = Path(__file__).parent / "data" / "reportscan" / "reports" / "libqueue.xml"
EXAMPLES = Path(__file__).parents[1] / "examples"
COMMANDS = sorted(tools.TOOLS) + ["varkit-reportscan", "varkit-index"]


def command(name, *args, cwd, env=None):
    code = f"from varkit.tools import _console; _console({name!r})"
    done = subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=60,
        env=env,
    )
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("name", COMMANDS)
@pytest.mark.parametrize("flag", ["--help", "--version"])
def test_help_and_version_have_no_side_effects(tmp_path, name, flag):
    status, out, err = command(name, flag, cwd=tmp_path)
    assert status == 0 and out.strip() and err == ""
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", [n for n in sorted(tools.TOOLS) if tools.TOOLS[n].inputs])
def test_a_missing_input_is_one_line(tmp_path, name):
    status, out, err = command(name, cwd=tmp_path)
    first_input = tools.TOOLS[name].inputs[0][0]
    assert status == 1 and err.count("\n") == 1 and first_input in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "target, status", [(str(REPORT), 0), ("/etc/passwd", 1), ("/nonexistent/report.xml", 1)]
)
def test_reportscan_exit_status_says_whether_it_read_the_report(tmp_path, target, status):
    code, out, err = command("varkit-reportscan", target, cwd=tmp_path)
    assert code == status and (err == "") == (status == 0)
    assert bool(out) == (status == 0)


@pytest.mark.parametrize("name", sorted(tools.TOOLS))
def test_readme_lists_the_files_each_tool_reads_and_writes(name):
    readme = (Path(__file__).parents[1] / "README.md").read_text(encoding="utf-8")
    row = next((line for line in readme.splitlines() if line.startswith(f"| `{name}` ")), None)
    assert row is not None, f"README has no row for {name}"
    tool = tools.TOOLS[name]
    for path in [p for p, _ in tool.inputs] + list(tool.outputs):
        assert f"`{path}`" in row


def test_index_says_what_it_wrote_or_why_not(tmp_path):
    shutil.copytree(EXAMPLES / "results", tmp_path / "tree")
    code, out, err = command("varkit-index", str(tmp_path / "tree"), cwd=tmp_path)
    assert (code, err) == (0, "") and "3 reports indexed" in out
    assert (tmp_path / "tree" / "varkit-index.json.gz").is_file()
    code, out, err = command("varkit-index", str(tmp_path), cwd=tmp_path)
    assert (code, out) == (1, "") and err.count("\n") == 1 and "compat_reports" in err


def test_failed_downloads_end_in_one_line_not_a_traceback(tmp_path):
    import os

    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "curl").write_text("#!/bin/sh\nexit 6\n")  # no network: every download fails
    (fake / "curl").chmod(0o755)
    work = tmp_path / "work"
    work.mkdir()
    env = {**os.environ, "PATH": f"{fake}{os.pathsep}{os.environ['PATH']}"}
    status, out, err = command("varkit-lineage", cwd=work, env=env)
    assert status == 1 and "Traceback" not in err
    assert "curl failed" in err  # each failed step said so as it happened
    assert err.splitlines()[-1].startswith("varkit-lineage: ./deb/noble/main/Packages_main: ")

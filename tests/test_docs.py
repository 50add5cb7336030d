"""Manual pages and shell completion, made from the parsers, tried the way a
user meets them: `man` after an install, Tab in a real bash and zsh."""

import os
import re
import shutil
import subprocess
import sys

import pytest

from _shell_session import ShellSession
from varkit import command_line, docs


@pytest.fixture(scope="module")
def share(tmp_path_factory):
    root = tmp_path_factory.mktemp("prefix")
    subprocess.run([sys.executable, "-m", "varkit.docs", str(root / "share")], check=True)
    return root / "share"


def _man(*args, manpath=None):
    env = {"MANWIDTH": "80", "PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}
    if manpath:
        env["MANPATH"] = str(manpath)
    return subprocess.run(["man", *args], capture_output=True, text=True, env=env)


needs_man = pytest.mark.skipif(shutil.which("man") is None, reason="no man here")


@needs_man
@pytest.mark.parametrize("name", [name for name, _ in docs.parsers()])
def test_man_finds_every_page_where_it_was_installed(share, name):
    found = _man("-w", name, manpath=share / "man")
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == str(share / "man" / "man1" / f"{name}.1")
    page = _man(name, manpath=share / "man")
    assert page.returncode == 0 and "warning" not in page.stderr, page.stderr
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS"):
        assert re.search(rf"^{section}$", page.stdout, re.M), section
    assert "COMMENTS" not in page.stdout
    assert max(map(len, page.stdout.splitlines())) <= 80 or name == "varkit"


@needs_man
def test_the_verdict_and_exit_tables_render_as_tables(share):
    page = _man("-l", str(share / "man" / "man1" / "varkit.1")).stdout
    for verdict, when in command_line.VERDICT_HELP:
        # The verdict and the start of its text share one row.
        first_words = r"\s+".join(when.split()[:3])
        assert re.search(rf"^\s+{verdict}\s{{2,}}{first_words}", page, re.M), verdict
    for status, meaning in command_line.EXIT_HELP:
        assert re.search(rf"^\s+{status}\s{{2,}}{re.escape(meaning)}$", page, re.M), status
    for section in ("VERDICTS", "EXIT STATUS", "EXAMPLES", "RESULT TREE", "FILES"):
        assert re.search(rf"^{section}$", page, re.M), section


def test_version_is_the_package_version_whatever_the_configuration_says(tmp_path):
    conf = tmp_path / "varkit.conf"
    conf.write_text("[varkit]\nvarkit_ver = 9.9-local\n")
    done = subprocess.run(
        [sys.executable, "-m", "varkit", "--version"],
        capture_output=True,
        text=True,
        env={**os.environ, "VARKIT_CONF": str(conf)},
    )
    from varkit import __version__

    assert done.returncode == 0 and done.stdout.strip() == f"varkit {__version__}"


SHELLS = {
    "bash": (
        ["bash", "--norc", "--noprofile"],
        "source {share}/bash-completion/completions/varkit",
    ),
    "zsh": (
        ["zsh", "-f"],
        "fpath=({share}/zsh/site-functions $fpath); autoload -Uz compinit; compinit -u -D",
    ),
}


@pytest.fixture(scope="module", params=sorted(SHELLS))
def shell(request, share):
    argv, setup = SHELLS[request.param]
    if shutil.which(argv[0]) is None or shutil.which("tmux") is None:
        pytest.skip(f"no {argv[0]} or tmux here")
    session = ShellSession(argv, [setup.format(share=share)])
    yield session
    session.close()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("typed")
    (root / "bin").mkdir()
    (root / "bin" / "falsy_tool").write_text("")
    (root / "tree").mkdir()
    (root / "treefile").write_text("")
    (root / "out").mkdir()
    (root / "out" / "result.json").write_text("")
    return root


@pytest.mark.parametrize(
    "typed, completed",
    [
        ("varkit --check-l", "varkit --check-local "),
        ("varkit --check-local {d}/bin/fals", "varkit --check-local {d}/bin/falsy_tool"),
        (
            "varkit --check-local {d}/bin/falsy_tool {d}/out/res",
            "varkit --check-local {d}/bin/falsy_tool {d}/out/result.json",
        ),
        ("varkit --checkabi {d}/bin/f", "varkit --checkabi {d}/bin/falsy_tool"),
        ("varkit -o {d}/out/r", "varkit -o {d}/out/result.json"),
        ("varkit --output {d}/out/r", "varkit --output {d}/out/result.json"),
        # Directories only: the file beside the directory is not offered.
        ("varkit --search-local {d}/tre", "varkit --search-local {d}/tree/"),
        ("varkit --format t", "varkit --format table"),
        ("varkit --only affected,not-c", "varkit --only affected,not-checked"),
    ],
)
def test_tab_completes_options_files_and_values(shell, files, typed, completed):
    # zsh ends a completed list item with its separator, as it does for its own lists.
    assert shell.complete(typed.format(d=files)).rstrip(" ,") == completed.format(d=files).rstrip()


def test_a_url_is_left_as_typed(shell, files):
    # A path that exists is not offered where a URL goes.
    typed = f"varkit --search-remote {files}/tre"
    assert shell.complete(typed).rstrip() == typed


def test_the_default_configuration_file_is_the_defaults(tmp_path):
    from varkit import DEFAULTS, load_conf

    path = tmp_path / "varkit.conf"
    path.write_text(re.sub(r"^# (\w+ = )", r"\1", docs.conf_file(), flags=re.M))
    uncommented = load_conf(str(path))
    assert {k: getattr(uncommented, k) for k in DEFAULTS} == DEFAULTS

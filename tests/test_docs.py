"""Manual pages render and the completion completes, both made from the parsers."""

import shutil
import subprocess

import pytest

from varkit import docs


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    return docs.write_all(str(tmp_path_factory.mktemp("share")))


def test_every_command_has_a_page_that_renders(written):
    pages = [p for p in written if p.endswith(".1")]
    assert len(pages) == len(list(docs.parsers()))
    if shutil.which("man") is None:
        pytest.skip("no man here")
    for page in pages:
        text = subprocess.run(
            ["man", "-l", page],
            capture_output=True,
            text=True,
            env={"MANWIDTH": "100", "PATH": "/usr/bin:/bin"},
            check=True,
        ).stdout
        assert "NAME" in text and "DESCRIPTION" in text
    varkit_page = subprocess.run(
        ["man", "-l", pages[0]],
        capture_output=True,
        text=True,
        env={"MANWIDTH": "100", "PATH": "/usr/bin:/bin"},
    ).stdout
    assert "RESULT TREE" in varkit_page and "exit status" in varkit_page


def test_bash_completion_completes_an_option(written):
    script = next(p for p in written if p.endswith("completions/varkit"))
    if shutil.which("bash") is None:
        pytest.skip("no bash")
    probe = (
        f"source {script}; COMP_WORDS=(varkit --check-l); COMP_CWORD=1; "
        "COMP_LINE='varkit --check-l'; COMP_POINT=${#COMP_LINE}; "
        "_shtab_varkit 2>/dev/null || $(complete -p varkit | sed 's/.*-F \\([^ ]*\\).*/\\1/'); "
        "printf '%s\\n' \"${COMPREPLY[@]}\""
    )
    done = subprocess.run(["bash", "-c", probe], capture_output=True, text=True)
    assert "--check-local" in done.stdout.split()

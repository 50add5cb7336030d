"""A Python script whose imports cannot be resolved on this machine: a gap the
verdict names, never a silent "not affected"."""

import json
import os
import shutil

import pytest

from conftest import EXAMPLES, check_abi

DIFF = [{"funcs_need_check": ["barkit.open", "barkit.close"]}]


def _tree(root):
    shutil.copytree(EXAMPLES / "results", root, dirs_exist_ok=True)
    (root / "python3-barkit_py_api_diff.json").write_text(json.dumps(DIFF))
    return root


@pytest.fixture
def scripts(tmp_path):
    folder = tmp_path / "scripts"
    folder.mkdir()
    (folder / "helpers.py").write_text("def helper():\n    pass\n")
    (folder / "uses_barkit.py").write_text("import os\nimport barkit\nbarkit.open('x')\n")
    (folder / "uses_other.py").write_text("import helpers\nimport zz_varkit_not_here\n")
    (folder / "plain.py").write_text("import os, json\nfrom helpers import helper\n")
    return folder


def _check(location, folder):
    status, result, _ = check_abi(*location, "--check-local", folder, env={"NO_PROXY": "127.0.0.1"})
    return status, {os.path.basename(e["dest_file"]): e for e in result["library"]}


@pytest.mark.parametrize("where", ["local", "remote"])
def test_unresolved_imports_are_named(tmp_path, scripts, remote, where):
    if where == "local":
        tree = _tree(tmp_path / "results")
        location = ["--search-local", str(tree)]
        document = str(tree / "python3-barkit_py_api_diff.json")
    else:
        _tree(remote.dir)
        location = ["--search-remote", remote.url]
        document = remote.url + "python3-barkit_py_api_diff.json"
    status, files = _check(location, scripts)
    barkit = files["uses_barkit.py"]
    assert barkit["verdict"] == "not checked"
    assert barkit["py_imports_unresolved"] == [["barkit", document]]
    assert any("imports barkit, which is not installed here" in r for r in barkit["reasons"])
    other = files["uses_other.py"]
    assert other["verdict"] == "not affected"
    assert other["py_imports_unresolved"] == [["zz_varkit_not_here", None]]
    assert any("zz_varkit_not_here" in note for note in other["notes"])
    assert "py_imports_unresolved" not in files["plain.py"]  # its own sibling and stdlib resolve
    assert status & 1

"""Module finder and Python-dependence checker on real scripts."""

import importlib.metadata

import pytest

from varkit import modtrace, packages, surfacediff

SCRIPT = """\
from __future__ import annotations
import os, xml.dom.minidom as md
from requests.adapters import HTTPAdapter
from . import sibling
import numpy as np
from json import loads as parse

def f():
    import json
    import os.path
    np.dot(1, 2)
    parse("1")
    os.path.join("a", "b")
    make().method()
    print(md)
"""


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "app.py"
    path.write_text(SCRIPT)
    return str(path)


def test_modules_in_order_of_first_import(script):
    assert modtrace.get_modules_used_by(script) == ["os", "xml", "requests", "numpy", "json"]


@pytest.mark.parametrize("content", [b"def broken(:\n", b"\x00\x01\x02", None])
def test_unusable_scripts_use_no_modules(tmp_path, content):
    path = tmp_path / "bad.py"
    if content is not None:
        path.write_bytes(content)
    assert modtrace.get_modules_used_by(str(path)) == []
    assert surfacediff.check_dependence_affected(["os.path.join"], "p", str(path), {}) is True


def test_packages_of_modules():
    assert modtrace.get_pkgs_by_module_name([]) == {}
    found = modtrace.get_pkgs_by_module_name(["elftools", "no_such_module_xyz", "elftools"])
    assert list(found.values()) == [["elftools"]]
    (owner,) = found
    import elftools

    providers = importlib.metadata.packages_distributions().get("elftools", [])
    assert owner in providers or owner == packages.get_belonged_rpm(elftools.__file__)


@pytest.mark.parametrize(
    "changed, affected",
    [
        (["numpy.dot"], True),  # called through an alias
        (["json.loads"], True),  # imported under another name
        (["os.path.join"], True),  # exact dotted call
        (["requests.api.method"], True),  # same last component
        (["numpy.linalg.inv", None], False),
    ],
)
def test_changed_functions_in_calls(script, changed, affected):
    result = {"py_affected_functions": ["kept"]}
    assert surfacediff.check_dependence_affected(changed, "pkg", script, result) is (not affected)
    recorded = result["py_affected_functions"][1:]
    assert recorded == ([{"package": "pkg", "function": changed[0]}] if affected else [])
    assert result["py_affected_functions"][0] == "kept"


def test_distributions_are_listed_once_per_state_of_the_search_path(monkeypatch, tmp_path):
    calls = []

    def listing():
        calls.append(1)
        return {"fakemod": ["fake-dist"]}

    monkeypatch.setattr(importlib.metadata, "packages_distributions", listing)
    monkeypatch.setattr(packages, "get_belonged_rpm", lambda path: None)
    for _ in range(3):
        assert modtrace.get_pkgs_by_module_name(["fakemod"]) == {"fake-dist": ["fakemod"]}
    assert len(calls) == 1
    monkeypatch.syspath_prepend(str(tmp_path))  # a new place to find distributions
    modtrace.get_pkgs_by_module_name(["fakemod"])
    assert len(calls) == 2

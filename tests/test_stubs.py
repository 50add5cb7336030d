"""The extension modules as introspection sees them: module docstrings,
signatures, and stubs that mypy's stubtest finds true to the modules."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
MODULES = [
    "varkit.cmdline",
    "varkit.reportscan",
    "varkit.impactor",
    "varkit._elf",
    "varkit.package_mapping.deb.lineage",
    "varkit.package_mapping.orv.provenance",
    "varkit.package_mapping.include.twinmatch",
    "varkit.package_mapping.calculate_simility.likeness",
]


def _functions(module):
    return {
        name: value
        for name, value in vars(module).items()
        if inspect.isbuiltin(value) and value.__module__ == module.__name__
    }


@pytest.mark.parametrize("name", MODULES)
def test_module_documented_and_every_function_has_a_signature(name):
    module = importlib.import_module(name)
    assert module.__doc__ and len(module.__doc__.split()) >= 8, name
    functions = _functions(module)
    assert functions, name
    for function_name, function in functions.items():
        signature = inspect.signature(function)  # raises ValueError without one
        # Every parameter can be passed by its name, as with a Python function.
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values()), (
            function_name,
            signature,
        )
        assert function.__doc__ is None or not function.__doc__.startswith(function_name + "(")


def test_signature_names_are_the_names_calls_accept():
    from varkit.package_mapping.include import twinmatch

    (parameter,) = inspect.signature(twinmatch.count_so_combinations).parameters
    assert twinmatch.count_so_combinations(**{parameter: "libz.so.1.2.13"}) == 3
    with pytest.raises(TypeError):
        twinmatch.count_so_combinations(name="libz.so.1")


# Only what stubtest needs: the project's mypy settings would name python/varkit as the files.
MYPY_CONFIG = """[mypy]
[mypy-lxml.*,requests.*]
ignore_missing_imports = True
"""


def _stubtest(package_parent, workdir, *extra):
    """stubtest on the varkit under `package_parent`, from a folder outside the tree.

    An installed package (site-packages) is found as installed, through its py.typed;
    putting site-packages on the search path would make mypy take every module there,
    typing_extensions included, for the project's own."""
    config = workdir / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    if package_parent.name != "site-packages":
        env["PYTHONPATH"] = str(package_parent)
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--mypy-config-file",
            str(config),
            *extra,
            *MODULES,
        ],
        env=env,
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_stubs_match_the_modules(tmp_path):
    import varkit

    package_parent = Path(varkit.__file__).resolve().parent.parent
    run = _stubtest(
        package_parent, tmp_path, "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt")
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_stubtest_catches_a_stub_that_lies(tmp_path):
    """A stub with a wrong parameter name and a name the module lacks fails the check."""
    import varkit

    copy = tmp_path / "varkit"
    shutil.copytree(
        Path(varkit.__file__).resolve().parent, copy, ignore=shutil.ignore_patterns("__pycache__")
    )
    stub = copy / "package_mapping" / "include" / "twinmatch.pyi"
    text = stub.read_text()
    stub.write_text(
        text.replace(
            "def count_so_combinations(lib_name: str)", "def count_so_combinations(name: str)"
        )
        + "\ndef not_defined_anywhere() -> None: ...\n"
    )
    work = tmp_path / "work"
    work.mkdir()
    run = _stubtest(tmp_path, work, "--allowlist", str(ROOT / "tests" / "stubtest_allowlist.txt"))
    assert run.returncode != 0
    assert "twinmatch.count_so_combinations" in run.stdout
    assert "twinmatch.not_defined_anywhere is not present at runtime" in run.stdout

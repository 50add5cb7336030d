"""The configuration object and the logger."""

import json
import os
import subprocess
import sys

import pytest

import varkit
from varkit import logger

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(varkit.__file__)))


def _import_varkit(conf_path, code="import json, varkit; print(json.dumps(vars(varkit.conf)))"):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    env.pop("VARKIT_CONF", None)
    if conf_path is not None:
        env["VARKIT_CONF"] = str(conf_path)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    return run


def _defaults():
    return dict(varkit.DEFAULTS, source=None)


@pytest.mark.parametrize(
    "content",
    [
        None,
        "remote_url = http://nowhere/\n",
        "[varkit]\nremote_url\n",
        "[varkit]\n[varkit]\n",
        "[other]\nremote_url = http://x/\n",
        b"[varkit]\nremote_url = \xff\n",
    ],
    ids=[
        "missing",
        "no-section-header",
        "no-value",
        "duplicate-section",
        "wrong-section",
        "not-utf8",
    ],
)
def test_bad_file_gives_defaults_and_one_warning(tmp_path, content):
    path = tmp_path / "varkit.conf"
    if isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        path.write_bytes(content)
    run = _import_varkit(path)
    assert json.loads(run.stdout) == _defaults()
    lines = run.stderr.splitlines()
    assert len(lines) == 1 and "warning" in lines[0] and str(path) in lines[0]


def test_values_are_read(tmp_path):
    path = tmp_path / "varkit.conf"
    path.write_text(
        "[varkit]\nremote_url = http://results.test/a%20b/\nsummary_log=s.json\nunknown = 1\n"
    )
    run = _import_varkit(path)
    assert run.stderr == ""
    expected = dict(
        _defaults(), remote_url="http://results.test/a%20b/", summary_log="s.json", source=str(path)
    )
    assert json.loads(run.stdout) == expected


def test_default_file_absence_is_silent_and_import_is_light():
    if os.path.exists(varkit.DEFAULT_CONF_PATH):
        pytest.skip(f"{varkit.DEFAULT_CONF_PATH} exists on this machine")
    code = "import sys, varkit; print(varkit.conf.varkit_ver, 'requests' in sys.modules, 'varkit.common' in sys.modules)"
    run = _import_varkit(None, code)
    assert (run.stdout.split(), run.stderr) == ([varkit.__version__, "False", "False"], "")


@pytest.fixture
def quiet_logger():
    yield
    logger.set_verbose(False)


def test_log_levels(capsys, quiet_logger):
    logger.ABI_LOG(3, "debug text")
    logger.ABI_LOG(2, "info text")
    logger.ABI_LOG(1, ["warn", 1])
    logger.ABI_LOG(0, "error text")
    out, err = capsys.readouterr()
    assert out == ""
    assert "debug text" not in err and "info text" not in err
    assert "['warn', 1]" in err and "error text" in err
    logger.set_verbose(True)
    logger.ABI_LOG(3, {"k": None})
    assert "{'k': None}" in capsys.readouterr().err

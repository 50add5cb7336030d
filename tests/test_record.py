"""The per-file record: its one declaration (varkit.record), the C++ spellings of
its keys, and what real checks write into it."""

import json
import re
import shutil
import typing
from pathlib import Path
from typing import Any

import pytest

from conftest import EXAMPLES, needs_private_mounts, varkit
from varkit import record

SRC = Path(__file__).resolve().parent.parent / "src" / "impactor"
HEADER = SRC / "record_keys.hpp"
CONSTANT = re.compile(r'inline constexpr char (\w+)\[\] = "([^"]*)";')


def header_sections() -> dict[str, dict[str, str]]:
    """{namespace: {constant: value}} of the key header."""
    sections: dict[str, dict[str, str]] = {}
    namespace = ""
    for line in HEADER.read_text().splitlines():
        opened = re.match(r"namespace ([\w:]+) \{", line)
        if opened:
            namespace = opened.group(1)
        constant = CONSTANT.match(line)
        if constant:
            sections.setdefault(namespace, {})[constant.group(1)] = constant.group(2)
    return sections


@pytest.mark.parametrize(
    "namespace, declared",
    [
        ("varkit::impactor::key", record.WRITTEN_BY_THE_CHECK),
        ("varkit::impactor::key::changes_source", set(record.ChangesSource.__annotations__)),
        ("varkit::impactor::key::soname_change", set(record.SonameChange.__annotations__)),
    ],
)
def test_the_native_spellings_are_the_declared_keys(namespace, declared):
    assert set(header_sections()[namespace].values()) == set(declared)


def test_the_native_text_values_are_the_declared_ones():
    values = header_sections()["varkit::impactor"]
    assert values == {
        "kTextTrue": record.TEXT_TRUE,
        "kTextFalse": record.TEXT_FALSE,
        "kExecReportMarker": record.EXEC_REPORT_MARKER,
    }


def test_the_native_writers_spell_no_key_of_their_own():
    # the record goes by these names in the checks (conf_diff.cpp's `diffs` is a document)
    record_map = r"(library_dict|exec_dict|php_dict)"
    writer = re.compile(
        rf'(append_under|set_if_absent|list_under|has_key)\({record_map}, "|'
        rf'{record_map}\[py::str\("|{record_map}\.attr\("setdefault"\)\(py::str\("'
    )
    found = [
        f"{path.name}:{number}"
        for path in sorted(SRC.glob("*.cpp"))
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if writer.search(line)
    ]
    assert found == []


def conforms(value: Any, declared: Any) -> bool:
    """Whether a JSON value has the declared type (lists and maps element by element)."""
    origin = typing.get_origin(declared)
    if declared is Any:
        return True
    if origin in (list, typing.List):
        (item,) = typing.get_args(declared)
        return isinstance(value, list) and all(conforms(v, item) for v in value)
    if origin in (dict, typing.Dict):
        key, item = typing.get_args(declared)
        return isinstance(value, dict) and all(
            conforms(k, key) and conforms(v, item) for k, v in value.items()
        )
    if typing.is_typeddict(declared):
        fields = typing.get_type_hints(declared)
        return (
            isinstance(value, dict)
            and set(value) <= set(fields)
            and all(conforms(v, fields[k]) for k, v in value.items())
        )
    return isinstance(value, declared)


@needs_private_mounts
@pytest.mark.parametrize("location", ["local", "remote"])
def test_real_checks_write_declared_keys_of_declared_types(
    example, served_results, tmp_path, location
):
    apps = tmp_path / "apps"
    shutil.copytree(example / "apps", apps)
    (apps / "fetch.py").write_text("import requests\nrequests.get('http://example.invalid/')\n")
    results = tmp_path / "results"
    shutil.copytree(EXAMPLES / "results", results)
    (results / "requests_py_api_diff.json").write_text(
        json.dumps([{"funcs_need_check": ["requests.get", "other.call"]}])
    )
    source = (
        ["--search-local", str(results)]
        if location == "local"
        else ["--search-remote", served_results]
    )
    _, result, _ = varkit(
        example,
        "--checkabi",
        "--checkconf",
        "--checkexec",
        "--with-symbol",
        *source,
        "--check-local",
        str(apps),
    )
    fields = typing.get_type_hints(record.FileRecord)
    written = [(key, value) for entry in result["library"] for key, value in entry.items()]
    assert {key for key, _ in written} - set(fields) == set()
    assert [(key, value) for key, value in written if not conforms(value, fields[key])] == []
    # the run reached the kinds of entry the record declares for programs
    assert {
        "required_libs",
        "affected_symbols",
        "symbol_matches",
        "changed_symbols_from",
        "lib_soname_ver_change",
        "required_rpms",
        "verdict",
    } <= {key for key, _ in written}

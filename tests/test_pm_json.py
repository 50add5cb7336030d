"""The package-mapping JSON layer, seen through provenance: read_json against
json.load, and the writer (_dumps, the text process() writes) against
json.dumps(value, indent=4)."""

import json
import math
import os
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varkit.package_mapping.orv import provenance

# Characters that break naive writers: controls, quotes, backslash, DEL, line
# separators, non-ASCII of the basic plane, astral characters, lone surrogates
# (file names decoded with surrogateescape carry them).
AWKWARD = st.sampled_from(
    [
        "\x00",
        "\x08",
        "\t",
        "\n",
        "\x0c",
        "\r",
        "\x1f",
        '"',
        "\\",
        "/",
        "\x7f",
        "\x80",
        "\u00e9",
        "\u2028",
        "\u2029",
        "\ufeff",
        "\uffff",
        "\U0001f600",
        "\U0010ffff",
        "\udc80",
        "\udcff",
        "\ud800",
    ]
)
TEXT = st.text(st.one_of(st.characters(), AWKWARD), max_size=12)
FLOATS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(
        [1e16, 1e15, 9999999999999998.0, 0.0001, 0.00001, 1e-05, -0.0, 0.1, 1e22, 5e-324, 75.0]
    ),
)
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-(2**70), 2**70), FLOATS, TEXT
)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(st.lists(inner, max_size=5), st.dictionaries(TEXT, inner, max_size=5)),
    max_leaves=30,
)


@settings(max_examples=400, deadline=None)
@given(VALUES)
def test_writer_matches_json_dumps(value):
    assert provenance._dumps(value) == json.dumps(value, indent=4)


@pytest.mark.parametrize(
    "value",
    [
        {1: "int", 2.5: "float", None: "null", "s": "str"},
        {True: "true", False: "false", 2: "int"},
        {float("nan"): 1, float("inf"): 2, -0.0: 3, 10**30: 4},
        ("a", ("b",), []),
        {"nested": {"": [{}, [], [[]], {"k": {}}]}},
        [math.pi, 1e100, -1e-100, 123456789012345.6, 2.0**53],
    ],
)
def test_writer_turns_keys_and_tuples_into_json_as_json_does(value):
    assert provenance._dumps(value) == json.dumps(value, indent=4)


def circular():
    value = []
    value.append(value)
    return value


@pytest.mark.parametrize("value", [{(1, 2): 1}, {"a": object()}, {1, 2}, b"bytes", circular()])
def test_writer_refuses_what_json_refuses(value):
    with pytest.raises((TypeError, ValueError)) as expected:
        json.dumps(value, indent=4)
    with pytest.raises(type(expected.value), match=str(expected.value)):
        provenance._dumps(value)


def read_both(path):
    """read_json's outcome beside json.load's: a value or an exception (type, message)."""
    outcomes = []
    for read in (provenance.read_json, lambda p: json.loads(pathlib.Path(p).read_text())):
        try:
            outcomes.append(("value", repr(read(path))))
        except Exception as error:  # the comparison is the point
            outcomes.append((type(error), str(error)))
    return outcomes


@settings(
    max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(VALUES, st.sampled_from([None, 4]))
def test_read_json_returns_what_json_load_returns(tmp_path, value, indent):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(value, indent=indent), encoding="utf-8")
    native, python = read_both(path)
    assert native == python


DOCUMENTS = {
    "repeated names keep the first place, last value": b'{"a": 1, "b": 2, "a": 3}',
    "repeated names in a big object": b"{"
    + b", ".join(b'"k%d": %d' % (i % 20, i) for i in range(60))
    + b"}",
    "integers beyond 64 bits": b"[18446744073709551615, 18446744073709551616, -9223372036854775809]",
    "lone surrogate escapes": b'["\\ud800", "\\udc80x", "\\ud83d\\ude00"]',
    "constants json accepts": b"[NaN, Infinity, -Infinity, 1e400, -0, -0.0]",
    "windows line ends": b'{\r\n  "a": [1,\r\n 2]\r\n}\r\n',
    "non-ASCII text": '{"\u00e9": "\U0001f600\u2028"}'.encode("utf-8"),
    "a scalar document": b' "just text" ',
    "byte-order mark": b'\xef\xbb\xbf{"a": 1}',
    "truncated": b'{"a": [1, 2',
    "trailing comma": b"[1, 2,]",
    "extra data": b"[1] [2]",
    "empty file": b"",
    "control character in a string": b'["a\x01b"]',
    "raw carriage return in a string": b'["a\rb"]',
    "single quotes": b"{'a': 1}",
    "invalid UTF-8": b'["\xff"]',
}


@pytest.mark.parametrize("document", DOCUMENTS.values(), ids=DOCUMENTS.keys())
def test_read_json_on_edge_documents(tmp_path, document):
    path = tmp_path / "doc.json"
    path.write_bytes(document)
    native, python = read_both(path)
    assert native == python


def test_read_json_failures_are_json_errors(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text('{"a": }')
    with pytest.raises(json.JSONDecodeError) as caught:
        provenance.read_json(file_path=str(path))
    assert (caught.value.pos, caught.value.lineno, caught.value.colno) == (6, 1, 7)


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda base: base / "missing.json", FileNotFoundError),
        (lambda base: base, IsADirectoryError),
    ],
)
def test_read_json_open_errors_name_the_file(tmp_path, make, error):
    path = make(tmp_path)
    with pytest.raises(error) as caught:
        provenance.read_json(path)
    assert caught.value.filename == path


def _fifo(base):
    os.mkfifo(base / "pipe.json")
    return base / "pipe.json"


@pytest.mark.parametrize(
    "make", [_fifo, lambda base: pathlib.Path("/dev/zero")], ids=["fifo", "device"]
)
def test_read_json_refuses_what_never_ends_at_once(tmp_path, make):
    # A FIFO with no writer would block the open; a device would never end.
    path = make(tmp_path)
    with pytest.raises(OSError, match="not a regular file") as caught:
        provenance.read_json(path)
    assert caught.value.filename == path


def test_read_json_takes_str_bytes_and_path(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text('{"a": [1.5, null, true]}')
    for name in (str(path), bytes(path), pathlib.Path(path)):
        assert provenance.read_json(name) == {"a": [1.5, None, True]}


def test_read_json_takes_an_array_longer_than_the_parsers_saturated_count(tmp_path):
    # The parser's array size stops counting at 0xFFFFFF; the list must still hold every element.
    zeros = 0xFFFFFF
    path = tmp_path / "long.json"
    path.write_bytes(b'{"long": [' + b"0," * zeros + b'1, 2, 3], "after": ["x"]}')
    value = provenance.read_json(path)
    path.unlink()
    long = value["long"]
    assert len(long) == zeros + 3
    assert long[-3:] == [1, 2, 3] and long.count(0) == zeros
    assert value["after"] == ["x"]


def test_a_failed_write_leaves_the_previous_output_whole(tmp_path):
    from varkit.package_mapping.include import twinmatch

    output = tmp_path / "out.json"
    twinmatch.save_results_to_json({"kept": [1, 2]}, str(output))
    output.chmod(0o640)
    link = tmp_path / "link.json"
    link.symlink_to(output)
    with pytest.raises(TypeError):
        twinmatch.save_results_to_json({"broken": object()}, str(link))  # not JSON: fails midway
    assert json.loads(output.read_text()) == {"kept": [1, 2]}
    twinmatch.save_results_to_json({"new": True}, str(link))
    assert link.is_symlink() and json.loads(output.read_text()) == {"new": True}
    assert os.stat(output).st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.json", "out.json"]
    with pytest.raises(FileNotFoundError) as caught:
        twinmatch.save_results_to_json({}, str(tmp_path / "missing" / "out.json"))
    assert caught.value.filename == str(tmp_path / "missing" / "out.json")

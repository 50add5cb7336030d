"""varkit.package_mapping.orv.provenance: the source-to-files table."""

import json
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from varkit.package_mapping.orv import provenance

SOURCES = Path("orv/rpm_res/rpm_source_packages_mapping.json")
FILES = Path("orv/rpm_res/rpm_package_files_mapping.json")
RESULT = Path("orv/rpm_res/provenance.json")


@pytest.fixture
def tables(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    RESULT.parent.mkdir(parents=True)

    def write(sources, files):
        for path, table in ((SOURCES, sources), (FILES, files)):
            path.write_text(
                table if isinstance(table, str) else json.dumps(table), encoding="utf-8"
            )

    return write


def result_text():
    return RESULT.read_text(encoding="ascii")


CASES = {
    "missing packages contribute nothing": (
        [
            {"srcname": "zlib", "packages": ["zlib", "zlib-devel"]},
            {"srcname": "gone", "packages": ["nope"]},
        ],
        {"zlib": ["/usr/lib64/libz.so.1", "/usr/lib64/libz.so.1.2.13"], "other": ["/x"]},
        {"zlib": ["/usr/lib64/libz.so.1", "/usr/lib64/libz.so.1.2.13"]},
    ),
    "an empty file list still lists the source": (
        [{"srcname": "empty", "packages": ["e"]}],
        {"e": []},
        {"empty": []},
    ),
    "entries of one source merge; shared files once": (
        [
            {"srcname": "s", "packages": ["a"]},
            {"srcname": "t", "packages": ["c"]},
            {"srcname": "s", "packages": ["b", "a"], "version": "ignored"},
        ],
        {"a": ["/usr/share/s/x", "/etc/s.conf"], "b": ["/etc/s.conf", "/usr/bin/s"], "c": ["/c"]},
        {"s": ["/etc/s.conf", "/usr/bin/s", "/usr/share/s/x"], "t": ["/c"]},
    ),
    "character-code order": (
        [{"srcname": n, "packages": [n]} for n in ("b", "B", "a", "_", "\u00e9")],
        {
            "b": ["/usr/lib/x", "/usr/bin/x", "/usr/Bin"],
            "B": ["/b"],
            "a": ["/a"],
            "_": ["/u"],
            "\u00e9": ["/\U0001f600", "/\u00e9", "/z"],
        },
        {
            "B": ["/b"],
            "_": ["/u"],
            "a": ["/a"],
            "b": ["/usr/Bin", "/usr/bin/x", "/usr/lib/x"],
            "\u00e9": ["/z", "/\u00e9", "/\U0001f600"],
        },
    ),
    "no source at all": ([{"srcname": "s", "packages": []}], {"p": ["/p"]}, {}),
    "repeated names in the files table: the last wins": (
        '[{"srcname": "s", "packages": ["p"]}]',
        '{"p": ["/old"], "q": [], "p": ["/new"]}',
        {"s": ["/new"]},
    ),
    "lists of other values sort as Python sorts them": (
        [{"srcname": "s", "packages": ["p", "q"]}],
        {"p": [3, 1, 2], "q": [2.5, 1]},
        {"s": [1, 2, 2.5, 3]},
    ),
}


@pytest.mark.parametrize("sources, files, expected", CASES.values(), ids=CASES.keys())
def test_result_table(tables, sources, files, expected):
    tables(sources, files)
    assert provenance.process() is None
    assert result_text() == json.dumps(expected, indent=4)


def test_empty_result_is_two_characters(tables):
    tables([], {})
    provenance.process()
    assert RESULT.read_bytes() == b"{}"


def reference(sources, files):
    grouped = {}
    for item in sources:
        for package in item["packages"]:
            if package in files:
                grouped.setdefault(item["srcname"], []).extend(files[package])
    return json.dumps({name: sorted(set(grouped[name])) for name in sorted(grouped)}, indent=4)


NAMES = st.text(st.sampled_from('aAbB_-./\u00e9\u2028\U0001f600\udc80"\\\x01'), max_size=4)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    st.lists(
        st.fixed_dictionaries({"srcname": NAMES, "packages": st.lists(NAMES, max_size=4)}),
        max_size=6,
    ),
    st.dictionaries(NAMES, st.lists(NAMES, max_size=5), max_size=8),
)
def test_result_matches_the_described_grouping(tables, sources, files):
    tables(sources, files)
    provenance.process()
    assert result_text() == reference(sources, files)


def test_read_json_is_looked_up_at_call_time(tables, monkeypatch):
    calls = []

    def read_json(file_path):
        calls.append(file_path)
        with open(file_path) as f:
            return json.load(f)

    tables([{"srcname": "s", "packages": ["a", "b"]}], {"a": ["/y", "/x"], "b": ["/x"]})
    monkeypatch.setattr(provenance, "read_json", read_json)
    provenance.process()
    assert calls == ["./" + path.as_posix() for path in (SOURCES, FILES, RESULT)]
    assert result_text() == json.dumps({"s": ["/x", "/y"]}, indent=4)


BAD_INPUTS = {
    "missing source table": (None, {}, FileNotFoundError),
    "missing files table": ([], None, FileNotFoundError),
    "malformed source table": ('[{"srcname": "s",', {}, json.JSONDecodeError),
    "malformed files table": ([], "{'p': []}", json.JSONDecodeError),
    "entry without srcname": ([{"packages": ["p"]}], {"p": []}, KeyError),
    "entry without packages": ([{"srcname": "s"}], {"p": []}, KeyError),
    "entry that is no object": (["s"], {"p": []}, TypeError),
    "unhashable source name": ([{"srcname": ["s"], "packages": ["p"]}], {"p": []}, TypeError),
}


@pytest.mark.parametrize("sources, files, error", BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_input_raises_and_leaves_the_result_untouched(tables, sources, files, error):
    tables("[]" if sources is None else sources, "{}" if files is None else files)
    for path, table in ((SOURCES, sources), (FILES, files)):
        if table is None:
            path.unlink()
    RESULT.write_text("earlier result")
    with pytest.raises(error) as caught:
        provenance.process()
    if error is KeyError:
        assert caught.value.args[0] in ("srcname", "packages")
        assert caught.value.args[0] == ("srcname" if "srcname" not in sources[0] else "packages")
    assert RESULT.read_text() == "earlier result"


def test_unwritable_result_is_an_os_error(tables):
    tables([{"srcname": "s", "packages": ["p"]}], {"p": ["/p"]})
    RESULT.mkdir()
    with pytest.raises(IsADirectoryError):
        provenance.process()


def test_main_program_runs_process(tables):
    tables([{"srcname": "s", "packages": ["p"]}], {"p": ["/b", "/a"]})
    provenance._main()
    assert result_text() == json.dumps({"s": ["/a", "/b"]}, indent=4)

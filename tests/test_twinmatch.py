"""twinmatch: name pairing, file matching, the three tables, late binding, and the
indexed matching against the all-pairs loops of tests/oracles."""

import contextlib
import json
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import twinmatch_baseline as baseline
from varkit.package_mapping.include import twinmatch


def write(path, value):
    Path(path).write_text(json.dumps(value))


def run_main(module, directory, data1, data2):
    """main on the two tables in `directory`; the three outputs as text."""
    with contextlib.ExitStack() as stack:
        previous = os.getcwd()
        os.chdir(directory)
        stack.callback(os.chdir, previous)
        write("orv.json", data1)
        write("ubuntu.json", data2)
        module.main("orv.json", "ubuntu.json", "pairs.json")
        return [
            Path(name).read_text() for name in ("pairs.json", "leftorv.json", "leftubuntu.json")
        ]


@pytest.fixture
def tables(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def run(data1, data2):
        pairs, left1, left2 = run_main(twinmatch, tmp_path, data1, data2)
        return json.loads(pairs), json.loads(left1), json.loads(left2)

    return run


@pytest.mark.parametrize(
    "orv, ubuntu, same",
    [
        ("Foo", "foo", True),
        ("foo", "foo", False),  # identical names are common packages, not pairs
        ("libghc-text", "libhaskell-text", True),
        ("GHC-x", "haskell-x", False),  # the replacement is case-sensitive
        ("ghc-X", "HASKELL-x", True),
        ("libhaskell-a", "libghc-a", False),  # only the orv name is rewritten
        ("\u0130x", "i\u0307x", True),  # full Unicode lower-casing: one letter becomes two
        ("\u03a3\u0391\u03a3", "\u03c3\u03b1\u03c2", True),  # final sigma
        ("\u212a", "k", True),  # Kelvin sign lowers to ASCII
        ("a", "b", False),
    ],
)
def test_name_rule(orv, ubuntu, same):
    assert twinmatch.match_same_package(orv, ubuntu) is same


def test_pairs_keys_and_leftovers(tables):
    data1 = {"Foo": ["/a"], "foo": ["/b"], "libghc-x": ["/c"], "solo": ["/z", "/b", "/z"]}
    data2 = {"foo": ["/b"], "FOO": ["/d"], "libHaskell-X": ["/c"], "alone": ["/q"]}
    pairs, left1, left2 = tables(data1, data2)
    # a common name also pairs with a case variant; every pair is its own entry
    assert list(pairs) == ["Foo->FOO", "Foo->foo", "foo", "foo->FOO", "libghc-x->libHaskell-X"]
    assert pairs["Foo->FOO"] == {"orv": ["/a"], "ubuntu": ["/d"], "mapping": []}
    assert pairs["foo"] == {"orv": [], "ubuntu": [], "mapping": ["/b->/b"]}
    assert left1 == {"solo": ["/z", "/b", "/z"]}  # as read: unsorted, duplicates kept
    assert left2 == {"alone": ["/q"]}


def test_file_matching_and_cleanup(tables):
    orv = ["/z", "/b", "/a", "/b", "/only-orv", "/a"]
    ubuntu = ["/a", "/only-ubuntu", "/b", "/b", "/z"]
    pairs, _, _ = tables({"p": orv}, {"p": ubuntu})
    # mapping follows the orv list, each path once; matched paths leave both sides
    assert pairs["p"] == {
        "orv": ["/only-orv"],
        "ubuntu": ["/only-ubuntu"],
        "mapping": ["/z->/z", "/b->/b", "/a->/a"],
    }


def test_arrows_in_names_and_paths(tables):
    # a matched path holding "->" leaves both lists; a name holding "->" keeps its own lists
    pairs, _, _ = tables({"a->b": ["/x->y", "/k"], "a": ["/n"]}, {"a->b": ["/x->y"], "b": ["/m"]})
    assert pairs == {"a->b": {"orv": ["/k"], "ubuntu": [], "mapping": ["/x->y->/x->y"]}}


def test_output_layout_and_leftover_names(tmp_path, monkeypatch):
    (tmp_path / "in").mkdir()
    monkeypatch.chdir(tmp_path)
    write("in/one.json", {"p\u00e9": ["/\u00e9", "/\U0001f600"], "x": []})
    write("in/two.json", {"p\u00e9": ["/\u00e9"], "y": {"kept": "as is"}})
    twinmatch.main("in/one.json", "in/two.json", "out.json")
    text = Path("out.json").read_text()
    assert text == json.dumps(
        json.loads(text), indent=4
    )  # ASCII escapes, 4 spaces, no final newline
    assert "\\ud83d\\ude00" in text
    assert json.loads(Path("leftone.json").read_text()) == {"x": []}
    assert json.loads(Path("lefttwo.json").read_text()) == {"y": {"kept": "as is"}}


@pytest.mark.parametrize(
    "name, truncated, count",
    [
        ("libz.so.1.2.13", "libz.so", 3),
        ("libz.so", "libz.so", 0),
        ("libfoo.so.1a", "libfoo.so.1a", 1),
        ("libfoo.so.6a.2", "libfoo.so.6a.2", 2),
        ("libfoo.so.1.so.2", "libfoo.so.1.so", 1),
        ("libz.so.1\n", "libz.so", 1),  # "$" also matches before a final line break
        ("libz.so.\u0663.\uff11", "libz.so", 2),  # Unicode decimal digits
        ("libz.so.1.", "libz.so.1.", 1),
        ("plain.1b.2", "plain.1b.2", 2),  # no ".so": the whole name is counted
    ],
)
def test_shared_object_versions(name, truncated, count):
    assert twinmatch.truncate_so_version(name) == truncated
    assert twinmatch.count_so_combinations(name) == count


def test_replaced_functions_are_called_in_loop_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write("orv.json", {"ab": ["/X", "/y"], "c": []})
    write("ubuntu.json", {"ax": ["/x"], "d": []})
    calls = []

    def same_initial(orv, ubuntu):
        calls.append((orv, ubuntu))
        return orv != ubuntu and orv[0] == ubuntu[0]

    saved = []
    monkeypatch.setattr(twinmatch, "match_same_package", same_initial)
    monkeypatch.setattr(twinmatch, "match_include", lambda a, b: a.upper() == b.upper())
    monkeypatch.setattr(twinmatch, "read_json", lambda path: json.loads(Path(path).read_text()))
    monkeypatch.setattr(
        twinmatch, "save_results_to_json", lambda value, path: saved.append((path, value))
    )
    twinmatch.main("orv.json", "ubuntu.json", "pairs.json")
    assert calls == [("ab", "ax"), ("ab", "d"), ("c", "ax"), ("c", "d")]
    assert saved == [
        ("pairs.json", {"ab->ax": {"orv": ["/y"], "ubuntu": [], "mapping": ["/X->/x"]}}),
        ("./leftorv.json", {"c": []}),
        ("./leftubuntu.json", {"d": []}),
    ]


@pytest.mark.parametrize(
    "data1, error",
    [
        ("{not json", json.JSONDecodeError),
        ({"p": "not a list"}, TypeError),
        ({"p": ["/a", 3]}, TypeError),
        ([["p", []]], TypeError),
    ],
)
def test_bad_tables_fail_before_writing(tmp_path, monkeypatch, data1, error):
    monkeypatch.chdir(tmp_path)
    Path("orv.json").write_text(data1 if isinstance(data1, str) else json.dumps(data1))
    write("ubuntu.json", {"p": ["/a"]})
    with pytest.raises(error):
        twinmatch.main("orv.json", "ubuntu.json", "pairs.json")
    with pytest.raises(FileNotFoundError):
        twinmatch.main("missing.json", "ubuntu.json", "pairs.json")
    assert sorted(os.listdir()) == ["orv.json", "ubuntu.json"]


def test_program_uses_the_fixed_names(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write("include_provenance.json", {"a": ["/x"]})
    write("include_source_files_mapping.json", {"A": ["/x"]})
    twinmatch._main()
    assert json.loads(Path("include_same_name.json").read_text())["a->A"]["mapping"] == ["/x->/x"]
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith("left")) == [
        "leftinclude_provenance.json",
        "leftinclude_source_files_mapping.json",
    ]


# --- indexed matching against the all-pairs loops ---------------------------------

NAME_PARTS = [
    "ghc",
    "GHC",
    "haskell",
    "Haskell",
    "lib",
    "LIB",
    "-",
    "x",
    "X",
    "\u0130",
    "i\u0307",
    "->",
]
PATH_PARTS = ["/usr", "/lib", "/a", "/A", "->", "\u00e9", "/x"]
names = st.lists(st.sampled_from(NAME_PARTS), min_size=1, max_size=4).map("".join)
paths = st.lists(st.sampled_from(PATH_PARTS), min_size=1, max_size=3).map("".join)
table = st.dictionaries(names, st.lists(paths, max_size=6), max_size=7)


@settings(max_examples=150, deadline=None)
@given(table, table)
def test_indexed_matching_equals_all_pairs_loops(data1, data2):
    with tempfile.TemporaryDirectory() as native_dir, tempfile.TemporaryDirectory() as loop_dir:
        assert run_main(twinmatch, native_dir, data1, data2) == run_main(
            baseline, loop_dir, data1, data2
        )


@settings(max_examples=300, deadline=None)
@given(names, names, st.text(alphabet=".so0123456789a\u0663\n", max_size=12))
def test_functions_equal_their_python_rendering(orv, ubuntu, so_name):
    assert twinmatch.match_same_package(orv, ubuntu) == baseline.match_same_package(orv, ubuntu)
    assert twinmatch.truncate_so_version(so_name) == baseline.truncate_so_version(so_name)
    assert twinmatch.count_so_combinations(so_name) == baseline.count_so_combinations(so_name)

"""likeness: noise filters, the fuzzy rule, scores and the three reports, the running
totals, late binding, and the indexed fuzzy match against the all-pairs loops."""

import contextlib
import io
import json
import os
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from oracles import likeness_baseline as baseline
from varkit.package_mapping.calculate_simility import likeness

BANNER = "=============================="


def run_process(module, directory, table):
    """process() in `directory` on `table`, totals starting at 0: printed text and reports."""
    module.total_common = module.total_count = 0
    previous = os.getcwd()
    os.chdir(directory)
    try:
        Path("same_name.json").write_text(json.dumps(table))
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            module.process()
        return [printed.getvalue()] + [
            Path(name).read_text() for name in ("output.json", "output_sort.json", "filtered.json")
        ]
    finally:
        os.chdir(previous)


@pytest.fixture
def scored(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(likeness, "total_common", 0)
    monkeypatch.setattr(likeness, "total_count", 0)

    def run(table):
        printed, output, ordered, noise = run_process(likeness, tmp_path, table)
        return printed.splitlines(), json.loads(output), json.loads(ordered), json.loads(noise)

    return run


@pytest.mark.parametrize(
    "path, orv_caught, ubuntu_caught",
    [
        ("/usr/share/doc/x/README.md", True, True),  # anywhere in the path
        ("/usr/lib/.build-id/ab/cdef", True, False),
        ("/usr/share/lintian/overrides/x", False, True),
        ("/usr/share/doc/x/NEWS.gz", True, True),
        ("/usr/share/doc/x/NEWS", True, False),
        ("/usr/bin/news", False, False),  # case-sensitive
        ("/usr/lib/python3/dist-packages/x-1.0.dist-info/METADATA", True, True),
        ("/src/.github/workflows/ci.yml", False, True),
    ],
)
def test_filters_match_anywhere(path, orv_caught, ubuntu_caught):
    assert likeness.filter_files([path], likeness.orv_filters) == ([path] if orv_caught else [])
    assert likeness.filter_files([path], likeness.ubuntu_filters) == (
        [path] if ubuntu_caught else []
    )


@pytest.mark.parametrize(
    "orv, ubuntu, same",
    [
        ("/usr/lib/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1", True),  # 1
        ("/usr/lib64/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1", True),  # 2
        ("/usr/libexec/pk/helper", "/usr/lib/pk/helper", True),  # 3
        ("/usr/bin/tetris", "/usr/games/tetris", True),  # 4
        ("/usr/sbin/tool", "/usr/bin/tool", True),  # 5
        ("/usr/bin/sh", "/bin/sh", True),  # 6
        ("/usr/lib/udev/rules", "/lib/udev/rules", True),  # 7
        ("/lib64/ld.so", "/lib/ld.so", True),  # 8
        (
            "/usr/lib/python3.11/site-packages/m.py",
            "/usr/lib/python3/dist-packages/m.py",
            True,
        ),  # 9
        ("/usr/share/x-devel/h", "/usr/share/x-dev/h", True),  # 10
        ("/usr/share/doc/x/a.c", "/usr/share/doc/x/examples/a.c", True),  # 11
        ("/usr/share/x-2.0.1/a", "/usr/share/x-1.9.10/a", True),  # version strip
        ("/a-1.2/b", "/a-1.3/b", False),  # two numbers only
        ("/x-\u0661.\u0662.\u0663/a", "/x/a", True),  # Unicode digits
        ("/usr/lib/libz.so", "/usr/lib64/libz.so", False),  # only Ubuntu side rewritten
        # every rewrite applies, so even equal paths find no rewrite that keeps them
        (
            "/usr/bin/x86_64-linux-gnu/games/python3/dist-packages/dev/examples/lib",
            "/usr/bin/x86_64-linux-gnu/games/python3/dist-packages/dev/examples/lib",
            False,
        ),
    ],
)
def test_fuzzy_rule(orv, ubuntu, same):
    assert likeness.handle_single_file(orv, ubuntu) is same
    assert baseline.handle_single_file(orv, ubuntu) is same


def test_scores_reports_and_order(scored):
    table = {
        "seventy-five": {"orv": ["/a", "/b", "/c", "/o"], "ubuntu": ["/c", "/b", "/a", "/u"]},
        "nothing": {"orv": ["/a"], "ubuntu": ["/b"]},
        "fuzzy": {
            "orv": ["/usr/lib/libz.so.1", "/usr/lib64/libz.so.1", "/x/COPYING", "/x/COPYING"],
            "ubuntu": ["/usr/lib/x86_64-linux-gnu/libz.so.1", "/x/copyright"],
        },
        "empty": {"orv": [], "ubuntu": [], "mapping": []},
        "also-nothing": {"orv": [], "ubuntu": ["/b"]},
    }
    printed, output, ordered, noise = scored(table)
    assert printed == [f"{BANNER} processing package: {key} {BANNER}" for key in table] + [
        "total simility: 54.54545454545454 %"
    ]  # (6 + 0 + 0) / (8 + 2 + 1) * 100
    assert list(output) == list(table)
    assert output["seventy-five"] == {
        "similarity": 75.0,
        "common_files": ["/a", "/b", "/c"],
        "orv_files": ["/o"],
        "ubuntu_files": ["/u"],
    }
    assert output["nothing"]["similarity"] == 0.0 and output["nothing"]["common_files"] == []
    assert output["fuzzy"] == {
        "similarity": 100,
        "common_files": [
            "/usr/lib/libz.so.1  ------>  /usr/lib/x86_64-linux-gnu/libz.so.1",
            "/usr/lib64/libz.so.1  ------>  /usr/lib/x86_64-linux-gnu/libz.so.1",
        ],
    }
    assert output["empty"] == {"similarity": 100, "common_files": []}
    # highest first, ties in input order; 100 is written as an integer
    assert list(ordered) == ["fuzzy", "empty", "seventy-five", "nothing", "also-nothing"]
    assert '"similarity": 100,' in Path("output_sort.json").read_text()
    assert noise["fuzzy"] == {
        "orv_filtered_files": ["/x/COPYING", "/x/COPYING"],
        "ubuntu_filetered_files": ["/x/copyright"],
    }
    assert (likeness.total_common, likeness.total_count) == (6, 11)


def test_totals_run_on_across_calls(scored):
    printed, *_ = scored({"same": {"orv": ["/a"], "ubuntu": ["/a"]}})
    assert printed[-1] == "total simility: n/a"  # nothing scored below 100 yet
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for table in (
            {"p": {"orv": ["/a", "/b"], "ubuntu": ["/a"]}},
            {"q": {"orv": ["/a"], "ubuntu": ["/b"]}},
        ):
            Path("same_name.json").write_text(json.dumps(table))
            likeness.process()
    # 2 / 3, then (2 + 0) / (3 + 2): the second figure counts both runs
    assert out.getvalue().splitlines()[1::2] == [
        "total simility: 66.66666666666666 %",
        "total simility: 40.0 %",
    ]
    assert (likeness.total_common, likeness.total_count) == (2, 5)


def test_replaced_steps_are_called(scored, monkeypatch):
    filter_calls = []

    def drop_b(files, filters):
        filter_calls.append((list(files), filters is likeness.orv_filters))
        return [f for f in files if f.startswith("/b")]

    monkeypatch.setattr(likeness, "filter_files", drop_b)
    monkeypatch.setattr(likeness, "handle_single_file", lambda orv, ubuntu: orv[-1] == ubuntu[-1])
    scores = []

    def score(orv, ubuntu, common):
        scores.append((orv, ubuntu, sorted(common)))
        return 50.0

    monkeypatch.setattr(likeness, "calculate_similarity", score)
    _, output, _, noise = scored(
        {"p": {"orv": ["/b1", "/x1", "/c"], "ubuntu": ["/c", "/y1", "/z"]}}
    )
    assert filter_calls == [(["/b1", "/x1", "/c"], True), (["/c", "/y1", "/z"], False)] * 2
    assert noise["p"] == {"orv_filtered_files": ["/b1"], "ubuntu_filetered_files": []}
    assert scores == [([], ["/z"], ["/c", "/x1  ------>  /y1"])]
    assert output["p"]["similarity"] == 50.0 and likeness.total_count == 0


def test_filter_lists_are_read_for_every_package(scored, monkeypatch):
    monkeypatch.setattr(likeness, "orv_filters", list(likeness.orv_filters))

    def edit_filters(orv, ubuntu):
        likeness.orv_filters[0] = "/o/"  # same length, another marker
        return False

    monkeypatch.setattr(likeness, "handle_single_file", edit_filters)
    _, _, _, noise = scored(
        {"p1": {"orv": ["/a1", "/o/x"], "ubuntu": ["/b1"]}, "p2": {"orv": ["/o/x"], "ubuntu": []}}
    )
    assert noise["p1"]["orv_filtered_files"] == [] and noise["p2"]["orv_filtered_files"] == ["/o/x"]


def test_handling_single_package_updates_the_set_in_place():
    orv_diff, ubuntu_diff = ["/usr/bin/a", "/usr/sbin/a", "/o"], ["/bin/a", "/usr/bin/a", "/u"]
    common = {"/kept"}
    orv, ubuntu, same = likeness.handling_single_package(orv_diff, ubuntu_diff, common)
    assert same is common and orv == ["/o"] and ubuntu == ["/u"]
    # one path may pair with several
    assert common == {
        "/kept",
        "/usr/bin/a  ------>  /bin/a",
        "/usr/bin/a  ------>  /usr/bin/a",
        "/usr/sbin/a  ------>  /usr/bin/a",
    }
    assert baseline.handling_single_package(orv_diff, ubuntu_diff, {"/kept"}) == (
        orv,
        ubuntu,
        common,
    )


@pytest.mark.parametrize(
    "table, error",
    [
        ({"p": {"ubuntu": []}}, KeyError),
        ({"p": {"orv": "/a", "ubuntu": []}}, TypeError),
        ([], TypeError),
    ],
)
def test_bad_tables_fail_before_any_report(tmp_path, monkeypatch, table, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError):
        likeness.process()
    Path("same_name.json").write_text(json.dumps(table))
    with pytest.raises(error):
        likeness.process()
    assert os.listdir() == ["same_name.json"]


# --- indexed fuzzy match against the all-pairs loops --------------------------------

PARTS = [
    "/usr",
    "/lib",
    "lib",
    "/bin",
    "/x86_64-linux-gnu",
    "x86_64-linux-gnu/",
    "64",
    "exec",
    "/s",
    "games",
    "bin",
    "python3/dist-packages",
    "python3.11/site-packages",
    "dev/",
    "devel/",
    "/examples/",
    "/",
    "-1.2.3",
    "-10.0.1",
    "-1.2",
    "a",
    "README",
    "\u0663",
]
paths = st.lists(st.sampled_from(PARTS), min_size=1, max_size=5).map("".join)
entry = st.fixed_dictionaries(
    {"orv": st.lists(paths, max_size=8), "ubuntu": st.lists(paths, max_size=8)}
)
tables = st.dictionaries(st.text(alphabet="pq\u00e9", min_size=1, max_size=3), entry, max_size=4)


@settings(max_examples=150, deadline=None)
@given(tables)
def test_indexed_fuzzy_match_equals_all_pairs_loops(table):
    with tempfile.TemporaryDirectory() as native_dir, tempfile.TemporaryDirectory() as loop_dir:
        assert run_process(likeness, native_dir, table) == run_process(baseline, loop_dir, table)


@settings(max_examples=300, deadline=None)
@given(paths, paths)
def test_fuzzy_rule_equals_its_python_rendering(orv, ubuntu):
    assert likeness.handle_single_file(orv, ubuntu) == baseline.handle_single_file(orv, ubuntu)

"""The compact index of a result tree: the same verdicts with and without it, reports
it holds unchanged never read, and anything doubtful read as without it."""

from __future__ import annotations

import gzip
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from _local_server import served_tree
from conftest import EXAMPLES, varkit

GREET_REPORT = "compat_reports/libgreet/libgreet.so.1/1.0_to_2.0/compat_report.xml"


def _tree(tmp_path: Path, name: str, indexed: bool) -> Path:
    tree = tmp_path / name
    shutil.copytree(EXAMPLES / "results", tree)
    if indexed:
        done = subprocess.run(
            [
                sys.executable,
                "-c",
                "import sys; from varkit import tools; sys.exit(tools.run_index())",
                str(tree),
            ],
            capture_output=True,
            text=True,
        )
        assert done.returncode == 0, done.stderr
        assert "3 reports indexed" in done.stdout
    return tree


def _files(result: dict, tree: str) -> list:
    """The per-file results, with the tree's own location taken out."""
    return json.loads(json.dumps(result["library"]).replace(tree.rstrip("/"), "TREE"))


def _check(example: Path, *location: str) -> tuple[int, dict]:
    status, result, err = varkit(
        example, "--checkabi", "--with-symbol", *location, "--check-local", str(example / "apps")
    )
    assert result is not None, err
    return status, result


def _local(example: Path, tree: Path) -> tuple[int, list]:
    status, result = _check(example, "--search-local", str(tree))
    return status, _files(result, str(tree))


def _same_size_junk(path: Path) -> None:
    """Other bytes under the same size and time: only the index can still answer."""
    info = path.stat()
    path.write_bytes(b"x" * info.st_size)
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


def test_local_verdicts_are_the_same_and_indexed_reports_are_not_read(example, tmp_path) -> None:
    plain = _local(example, _tree(tmp_path, "plain", indexed=False))
    tree = _tree(tmp_path, "indexed", indexed=True)
    assert plain[0] == 8
    assert _local(example, tree) == plain
    for report in tree.glob("compat_reports/*/*/*/compat_report.xml"):
        _same_size_junk(report)
    assert _local(example, tree) == plain


@pytest.mark.parametrize(
    "change",
    [
        lambda tree: (tree / GREET_REPORT).write_text("<reports><report kind='binary'>"),
        lambda tree: shutil.copy(
            tree / "compat_reports/libtally/libtally.so.1/1.0_to_2.0/compat_report.xml",
            tree / GREET_REPORT,
        ),
    ],
    ids=["now-unreadable", "another-report"],
)
def test_a_report_changed_since_the_index_is_read_again(example, tmp_path, change) -> None:
    plain, tree = _tree(tmp_path, "plain", indexed=False), _tree(tmp_path, "indexed", indexed=True)
    for each in (plain, tree):
        change(each)
        os.utime(each / GREET_REPORT, (1, 1))  # a time other than the indexed one
    assert _local(example, tree) == _local(example, plain)


@pytest.mark.parametrize(
    "damage",
    [
        lambda path: path.write_bytes(b"junk"),
        lambda path: path.write_bytes(path.read_bytes()[:-20]),
        lambda path: path.write_bytes(gzip.compress(b'{"format": 99, "reports": {}}')),
        lambda path: path.write_bytes(gzip.compress(b'{"format": 1, "reports": {"a": ["b"]}}')),
        lambda path: path.write_bytes(gzip.compress(b"[1, 2]")),
        lambda path: path.write_bytes(b""),
    ],
    ids=["junk", "truncated", "other-format", "bad-entry", "not-an-object", "empty"],
)
def test_a_damaged_index_reads_the_reports(example, tmp_path, damage) -> None:
    plain = _local(example, _tree(tmp_path, "plain", indexed=False))
    tree = _tree(tmp_path, "indexed", indexed=True)
    damage(tree / "varkit-index.json.gz")
    assert _local(example, tree) == plain


def test_a_served_tree_with_its_index_sends_no_report(example, tmp_path) -> None:
    trees = {False: _tree(tmp_path, "plain", False), True: _tree(tmp_path, "indexed", True)}
    outcomes = {}
    for indexed, tree in trees.items():
        with served_tree(tree) as (url, sent):
            status, result = _check(example, "--search-remote", url)
        reports = [path for path, _ in sent if path.endswith("compat_report.xml")]
        outcomes[indexed] = (status, _files(result, url), reports)
    assert outcomes[True][:2] == outcomes[False][:2]
    assert outcomes[False][2] and outcomes[True][2] == []


@pytest.mark.parametrize(
    "change, kept_used",
    [("none", True), ("republished", False), ("kept-damaged", False), ("kept-foreign", False)],
)
def test_a_remote_reading_is_kept_beside_its_body(
    tmp_path, _own_document_cache, change, kept_used
) -> None:
    """A run answered 304 for a report takes its reading and changes from the cache;
    other bytes served, or what was kept damaged or made of another body, read it anew."""
    import time

    from varkit import fetch, reportscan, symbol_changes, tree_index

    tree = _tree(tmp_path, "plain", False)
    report = tree / GREET_REPORT
    an_hour_ago = time.time() - 3600
    os.utime(report, (an_hour_ago, an_hour_ago))
    with served_tree(tree) as (url, _):
        location = url + GREET_REPORT
        with fetch.fetch_run():
            assert tree_index.indexed_reading(location) is None
            sections, failure = reportscan.scan_report(location, quiet=True)
            assert failure is None and sections
            tree_index.keep_reading(location, sections)
            changes = symbol_changes._parse(fetch.get_bytes(location), False)
            tree_index.keep_changes(location, changes)
        kept = sorted(p for p in _own_document_cache.iterdir() if "." in p.name)
        assert [p.suffix for p in kept] == [".changes", ".sections"]
        if change == "republished":
            report.write_bytes(
                report.read_bytes().replace(b"</report>", b"<!-- again --></report>")
            )
            os.utime(report, (an_hour_ago + 60, an_hour_ago + 60))
        elif change == "kept-damaged":
            for path in kept:
                path.write_bytes(path.read_bytes()[:-3])
        elif change == "kept-foreign":  # another body's, under this URL's name
            for path in kept:
                path.write_bytes(
                    path.read_bytes().replace(b'"body_sha256": "', b'"body_sha256": "0')
                )
        with fetch.fetch_run():
            reading = tree_index.indexed_reading(location)
            recalled = tree_index.indexed_changes(location)
        if kept_used:
            assert reading == sections and recalled == changes
        else:
            assert reading is None and recalled is None

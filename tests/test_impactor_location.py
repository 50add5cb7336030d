"""Locating reports and logs in local and remote result trees."""

import os
import sys
import types

import pytest

from _impactor_support import load_impactor

REPORT = "compat_report.xml"


class Installed:
    """Stand-in for the os module whose /lib64 and /lib hold exactly `files`."""

    def __init__(self, files, listdir=os.listdir):
        self.files = set(files)
        self.listdir = listdir
        self.path = types.SimpleNamespace(
            exists=self._exists, isdir=os.path.isdir, join=os.path.join, lexists=os.path.lexists
        )

    def _exists(self, path):
        if path.startswith(("/lib64/", "/lib/")):
            return path in self.files
        return os.path.exists(path)


@pytest.fixture
def system(impactor, monkeypatch, log):
    """Installs libraries; records the paths whose soname was read."""
    state = types.SimpleNamespace(soname_reads=[], sonames={})

    def install(*files, listdir=os.listdir, **sonames):
        monkeypatch.setattr(impactor, "os", Installed(files, listdir))
        # The loader's search, as far as these tests need it: /lib64, then /lib.
        monkeypatch.setattr(
            impactor,
            "locate_library",
            lambda name, requester=None: next(
                (p for d in ("/lib64/", "/lib/") for p in [d + name] if p in files), ""
            ),
        )
        state.sonames.update(sonames)

    def soname(path):
        state.soname_reads.append(path)
        return state.sonames.get(os.path.basename(path), "")

    monkeypatch.setattr(
        impactor,
        "get_pkgname_by_libname",
        lambda name: "pkg-" + os.path.basename(name).split(".")[0],
    )
    monkeypatch.setattr(impactor, "get_soname_from_lib", soname)
    state.install = install
    return state


@pytest.mark.parametrize(
    "files, sonames, read",
    [
        (["/lib/libz.so.1"], {}, "/lib/libz.so.1"),
        (["/lib64/libz.so.1", "/lib/libz.so.1"], {}, "/lib64/libz.so.1"),
        (["/lib64/libz.so"], {"libz.so": "libz.so.1"}, "/lib64/libz.so"),
    ],
)
def test_installed_library_is_looked_up_under_its_soname(
    impactor, system, tmp_path, log, files, sonames, read
):
    system.install(*files, **sonames)
    report = tmp_path / "compat_reports/pkg-libz/libz.so.1/1_2" / REPORT
    report.parent.mkdir(parents=True)
    report.write_text("<x/>")
    d = {}
    assert impactor.get_xml_report_path(os.path.basename(read), str(tmp_path), d) == str(report)
    assert system.soname_reads == [read] and d == {}
    assert log == [(3, "xml_report_path: " + str(report))]


def test_missing_library_is_recorded_each_time(impactor, system, tmp_path, log):
    system.install()
    d = {"req_libs_not_found": ["earlier"]}
    assert impactor.get_xml_report_path("libq.so", str(tmp_path), d) is None
    assert impactor.get_xml_report_path("libq.so", str(tmp_path), d) is None
    assert d == {"req_libs_not_found": ["earlier", "libq.so", "libq.so"]}
    assert log == [] and system.soname_reads == []


@pytest.mark.parametrize("first_listed", [False, True])
def test_local_tree_uses_first_listed_subdirectory(impactor, system, tmp_path, log, first_listed):
    """Only 2_3 holds a report; a plain file listed first is passed over."""
    order = ["README", "1_2", "2_3"] if first_listed else ["README", "2_3", "1_2"]
    system.install("/lib64/libz.so.1", listdir=lambda path: list(order))
    lib_dir = tmp_path / "compat_reports/pkg-libz/libz.so.1"
    (lib_dir / "1_2").mkdir(parents=True)
    (lib_dir / "2_3").mkdir()
    (lib_dir / "README").write_text("")
    (lib_dir / "2_3" / REPORT).write_text("<x/>")
    d = {}
    found = impactor.get_xml_report_path("libz.so.1", str(tmp_path), d)
    if first_listed:
        missing = str(lib_dir / "1_2" / REPORT)
        assert found is None and d == {"report_not_found": [["pkg-libz", "libz.so.1"]]}
        assert log == [
            (
                3,
                "libz.so.1 report is not found in search source "
                + missing
                + ". The library name may have changed.",
            )
        ]
    else:
        assert found == str(lib_dir / "2_3" / REPORT) and d == {}


@pytest.mark.parametrize("layout", ["no directory", "empty directory", "only files", "a file"])
def test_local_library_without_report_directory(impactor, system, tmp_path, log, layout):
    """The record names the library as requested, not by its soname."""
    lib_dir = tmp_path / "compat_reports/pkg-libz/libz.so.1"
    if layout == "a file":
        lib_dir.parent.mkdir(parents=True)
        lib_dir.write_text("")
    elif layout != "no directory":
        lib_dir.mkdir(parents=True)
        if layout == "only files":
            (lib_dir / REPORT).write_text("<x/>")
    system.install("/lib/libz.so", **{"libz.so": "libz.so.1"})
    d = {"report_not_found": [["p", "l"]]}
    assert impactor.get_xml_report_path("libz.so", str(tmp_path), d) is None
    assert d == {"report_not_found": [["p", "l"], ["pkg-libz", "libz.so"]]}
    assert [level for level, _ in log] == ([] if layout == "no directory" else [3])


def test_remote_tree_uses_first_listed_subdirectory(impactor, system, remote, log):
    """The report's existence is not checked: the first listed wins."""
    system.install("/lib64/libz.so.1")
    remote.mkdir("compat_reports/pkg-libz/libz.so.1/1_2")
    remote.write("compat_reports/pkg-libz/libz.so.1/2_3/" + REPORT, "<x/>")
    remote.write("compat_reports/pkg-libz/libz.so.1/0_notes.txt")
    d = {}
    found = impactor.get_xml_report_path("libz.so.1", remote.url, d)
    assert found == remote.url + "compat_reports/pkg-libz/libz.so.1/1_2/" + REPORT
    assert d == {} and log == [(3, "xml_report_path: " + found)]


@pytest.mark.parametrize("layout", ["missing", "files only", "unreachable"])
def test_remote_tree_without_subdirectory(impactor, system, remote, log, layout):
    """An unreachable URL is taken as a local path, where nothing exists."""
    system.install("/lib64/libz.so.1")
    remote.write("compat_reports/pkg-libz/libz.so.1/" + REPORT, "<x/>")
    if layout == "missing":
        (remote.dir / "compat_reports/pkg-libz/libz.so.1" / REPORT).unlink()
        (remote.dir / "compat_reports/pkg-libz/libz.so.1").rmdir()
    d = {}
    source = "http://127.0.0.1:1/" if layout == "unreachable" else remote.url
    assert impactor.get_xml_report_path("libz.so.1", source, d) is None
    assert d == {"report_not_found": [["pkg-libz", "libz.so.1"]]}


@pytest.mark.parametrize(
    "base, stored, expected",
    [
        ("results/", "results/summary.log", "results/summary.log"),
        ("results", "summary.log", "summary.log"),
    ],
)
def test_remote_log_resolves_against_the_base(impactor, remote, log, base, stored, expected):
    remote.mkdir("results")
    remote.write(stored, "[]")
    d = {}
    found = impactor.get_log_report_path("libz.so.1", remote.url + base, d, "summary.log")
    assert found == remote.url + expected and d == {}
    assert log == [(3, "summary_path: " + found)]


@pytest.mark.parametrize("where", ["remote", "local", "unreachable"])
def test_missing_log_is_recorded_per_library(impactor, remote, log, tmp_path, where):
    source = {"remote": remote.url, "local": str(tmp_path), "unreachable": "http://127.0.0.1:1/"}[
        where
    ]
    d = {}
    for lib in ("liba.so", "libb.so"):
        assert impactor.get_log_report_path(lib, source, d, "summary.log") is None
    assert d == {"log_report_not_found": [["summary.log", "liba.so"], ["summary.log", "libb.so"]]}
    assert log == []


@pytest.mark.parametrize(
    "suffix, name, expected",
    [
        ("", "summary.log", "/summary.log"),
        ("/", "summary.log", "/summary.log"),
        ("/", "ABSOLUTE", "/elsewhere.log"),
    ],
)
def test_local_log_is_joined_by_path_rules(impactor, tmp_path, log, suffix, name, expected):
    (tmp_path / "elsewhere.log").write_text("[]")
    (tmp_path / "summary.log").write_text("[]")
    name = str(tmp_path / "elsewhere.log") if name == "ABSOLUTE" else name
    found = impactor.get_log_report_path("l", str(tmp_path) + suffix, {}, name)
    assert found == str(tmp_path) + expected


def test_exec_report_located_only_remotely(impactor, remote, log, tmp_path):
    remote.write("exec_diff_report.json", "{}")
    d = {"report_not_found": [["p", "l"]]}
    assert impactor.get_exec_report_path(remote.url, d) == remote.url + "exec_diff_report.json"
    assert log == [] and d == {"report_not_found": [["p", "l"]]}
    remote.mkdir("empty")
    assert impactor.get_exec_report_path(remote.url + "empty/", d) is None
    assert d["report_not_found"][-1] == ["EXEC_REPORT", None]
    (tmp_path / "exec_diff_report.json").write_text("{}")
    assert impactor.get_exec_report_path(str(tmp_path), d) is None
    assert (
        log == [(1, "Local file exec report is not supported yet.")]
        and len(d["report_not_found"]) == 2
    )


@pytest.mark.parametrize(
    "name, kwargs, expected",
    [
        (
            "get_xml_report_path",
            dict(libname="libabsent.so.9", search_local_or_url="/nonexistent", library_dict={}),
            None,
        ),
        (
            "get_log_report_path",
            dict(
                libname="l", search_local_or_url="/nonexistent", library_dict={}, log_name="s.log"
            ),
            None,
        ),
        ("get_exec_report_path", dict(search_local_or_url="/nonexistent", exec_dict={}), None),
        (
            "check_exec_affected",
            dict(local_file="/f", exec_report_path="http://127.0.0.1:1/r.json"),
            [],
        ),
        (
            "get_removed_symbols_from_summary",
            dict(summary_path="", library_name="l", library_dict={}),
            ([], False),
        ),
        (
            "get_py_api_diff",
            dict(rpm="p", search_local_or_url="/nonexistent", library_dict={}),
            None,
        ),
        ("get_rpm_conf_diff", dict(url="/nonexistent", rpmname="p", library_dict={}), []),
        ("get_confdiff_list", dict(confdiff_path=None, rpmname="p"), []),
    ],
)
def test_parameters_can_be_named(impactor, log, capsys, name, kwargs, expected):
    assert getattr(impactor, name)(**kwargs) == expected
    with pytest.raises(TypeError):
        getattr(impactor, name)(*list(kwargs.values())[:-1])


def test_import_binds_the_siblings_present_then(impactor, monkeypatch):
    import varkit.common

    def common_with(**names):
        stand_in = types.ModuleType("varkit.common")
        stand_in.__dict__.update(
            {name: getattr(varkit.common, name) for name in varkit.common.__all__}
        )
        stand_in.__dict__.update(names)
        return stand_in

    without = common_with()
    del without.get_directory_list
    monkeypatch.setitem(sys.modules, "varkit.common", without)
    monkeypatch.delitem(sys.modules, "varkit.impactor")
    with pytest.raises(ImportError):
        load_impactor()
    monkeypatch.undo()
    sentinel = lambda url: ["fresh"]  # noqa: E731
    monkeypatch.setitem(sys.modules, "varkit.common", common_with(get_directory_list=sentinel))
    monkeypatch.delitem(sys.modules, "varkit.impactor")
    fresh = load_impactor()
    assert fresh is not impactor and fresh.get_directory_list is sentinel
    assert fresh.urljoin.__module__ == "urllib.parse" and fresh.os is os

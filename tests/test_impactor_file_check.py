"""The per-file check and the drivers, with the siblings substituted."""

import os
import types

import pytest

from varkit import impactor
from varkit.elf import FileType


class Siblings:
    """Stand-ins for the siblings and lookups; records every call."""

    def __init__(
        self,
        monkeypatch,
        file_type=FileType.BINARY_EXECUTABLE,
        owner="pkg",
        used=("used_a", "used_b"),
        libs=("liba.so.1",),
        reports=None,
        summary=None,
    ):
        self.calls = []
        self.logs = []
        reports = reports if reports is not None else {}
        summary = summary if summary is not None else {}
        patch = lambda name, fn: monkeypatch.setattr(impactor, name, fn)  # noqa: E731
        patch("get_file_type", lambda path: file_type)
        patch("get_belonged_rpm", lambda path: owner)
        patch("is_32bit_file", lambda path: False)
        patch("get_undefined_symbols_from_file", lambda path: set(used))
        patch("find_req_libs", lambda path: list(libs))
        patch("get_pkgname_by_libname", lambda lib: "pkg-of-" + lib)
        patch("ABI_LOG", lambda level, message: self.logs.append((level, message)))
        patch("get_xml_report_path", lambda lib, search, d: reports.get(lib, (None,))[0])
        fake_reportscan = types.SimpleNamespace(
            reportscan=lambda path: next(r[1] for r in reports.values() if r[0] == path)
        )
        patch("reportscan", fake_reportscan)
        patch(
            "get_log_report_path",
            lambda lib, search, d, name: "summary" if lib in summary else None,
        )
        patch(
            "get_removed_symbols_from_summary",
            lambda path, lib, d: summary.get(lib, (set(), False)),
        )

        def find_symbols(total, d, pkg, lib, table, symbol_list=None):
            self.calls.append(("find", sorted(total), pkg, lib, table.field_names))
            hits = sorted(set(total) & set(symbol_list))
            for hit in hits:
                table.add_row([pkg, lib, hit])
            return bool(hits)

        patch("find_symbols_in_file", find_symbols)


def check(kind="ABI", d=None, path="/opt/app"):
    d = {} if d is None else d
    return impactor.search_source_for_dest_file("/results", path, d, kind), d


@pytest.mark.parametrize("kind", ["abi", "", "OTHER", None])
def test_unknown_kind_does_only_the_common_steps(monkeypatch, kind):
    Siblings(monkeypatch, owner="")
    ok, d = check(kind)
    assert ok is True and d == {"dest_file": "/opt/app", "belong_to_rpm": "False"}


def test_common_steps_keep_first_owner_and_overwrite_dest_file(monkeypatch):
    Siblings(monkeypatch, libs=())
    d = {"belong_to_rpm": "earlier"}
    monkeypatch.setattr(impactor, "is_32bit_file", lambda path: True)
    ok, d = check(d=d, path="/second")
    assert ok and d["belong_to_rpm"] == "earlier" and d["dest_file"] == "/second"
    assert d["32bit_file"] == "True" and "required_libs" not in d


def test_library_check_reports_every_library(monkeypatch):
    reports = {
        "liba.so.1": ("/r/a.xml", [[{"header_name": "a.h", "affected_symbols": {"used_a", "x"}}]]),
        "libb.so.2": ("/r/b.xml", [[{"header_name": "b.h", "affected_symbols": {"other"}}]]),
    }
    s = Siblings(
        monkeypatch,
        libs=("liba.so.1", "libb.so.2", "libc.so.3"),
        reports=reports,
        summary={"libc.so.3": (set(), True)},
    )
    ok, d = check()
    assert ok is False
    assert d["required_libs"] == ["liba.so.1", "libb.so.2", "libc.so.3"]
    assert d["dest_not_affacted_by"] == ["libb.so.2"]
    assert d["no_symbol_changed_libs"] == ["libc.so.3"]
    assert [c[3] for c in s.calls] == ["liba.so.1", "libb.so.2"]
    assert s.calls[0][4] == ["Package Name", "Related file", "Symbol"]
    assert (3, "following symbols will be checked:") in s.logs


def test_summary_symbols_are_checked_when_there_is_no_report(monkeypatch):
    s = Siblings(monkeypatch, summary={"liba.so.1": ({"used_b"}, True)})
    ok, d = check()
    assert ok is False and s.calls[0][1] == ["used_b"]
    assert "no_symbol_changed_libs" not in d


def test_file_without_imports_lists_every_library(monkeypatch):
    Siblings(
        monkeypatch,
        used=(),
        libs=("l1", "l2"),
        reports={"l1": ("/r/1", [[{"header_name": None, "affected_symbols": {"s"}}]])},
    )
    ok, d = check()
    assert ok is True and d["no_symbol_found_in_dest_file"] == ["l1", "l2"]


def test_report_reader_output_is_silenced(monkeypatch, capfd):
    def noisy(path):
        print("report text")
        os.write(1, b"raw report text\n")
        return []

    Siblings(monkeypatch, reports={"liba.so.1": ("/r/a.xml", [])})
    monkeypatch.setattr(impactor, "reportscan", types.SimpleNamespace(reportscan=noisy))
    check()
    assert "report text" not in capfd.readouterr().out


@pytest.mark.parametrize("reader", ["native", "substituted", "substituted on the module"])
def test_an_unreadable_report_is_recorded_whichever_reader_reads_it(monkeypatch, tmp_path, reader):
    from varkit import reportscan

    junk = tmp_path / "compat_report.xml"
    junk.write_text("<html><body>error</body></html>")
    Siblings(monkeypatch, reports={"liba.so.1": (str(junk), None)})
    failure = {"xml_path_or_url": str(junk), "message": "m", "error": "the reader failed"}
    if reader == "native":
        monkeypatch.setattr(impactor, "reportscan", reportscan)
        monkeypatch.setattr(reportscan, "last_failure", None)
    elif reader == "substituted":
        monkeypatch.setattr(
            impactor,
            "reportscan",
            types.SimpleNamespace(reportscan=lambda path: [], last_failure=failure),
        )
    else:  # the reader's own module, its function replaced: the failure is read off the module
        monkeypatch.setattr(reportscan, "reportscan", lambda path: [])
        monkeypatch.setattr(reportscan, "last_failure", failure)
        monkeypatch.setattr(impactor, "reportscan", reportscan)
    ok, d = check()
    ((library, location, error),) = d["report_unreadable"]
    assert ok is True and (library, location) == ("liba.so.1", str(junk))
    assert error == (
        "the document holds no report element" if reader == "native" else "the reader failed"
    )
    if reader == "native":  # handed back as a value, not left on the module
        assert reportscan.last_failure is None


@pytest.mark.parametrize(
    "rpms, fallback", [(None, ["pkg-of-l1", "pkg-of-l2"]), ([], []), (["p"], ["p"])]
)
def test_configuration_check(monkeypatch, rpms, fallback):
    Siblings(monkeypatch, libs=("l1", "l2"))
    monkeypatch.setattr(impactor, "find_reqed_rpms", lambda path: rpms)
    monkeypatch.setattr(impactor, "get_rpm_conf_diff", lambda url, rpm, d: {"config_diffs": [rpm]})
    ok, d = check("CONF", d={"required_rpms": ["earlier"]})
    assert ok is True and d["required_rpms"] == ["earlier"] + fallback
    assert d.get("rpm_conf_diff", []) == [[p, {"config_diffs": [p]}] for p in fallback]


def test_configuration_check_skips_scripts(monkeypatch):
    Siblings(monkeypatch, file_type=FileType.PYTHON_FILE)
    ok, d = check("CONF")
    assert ok and "required_rpms" not in d


@pytest.mark.parametrize(
    "report, found, passed",
    [
        (None, [], True),
        ("http://r/exec_diff_report.json", [], True),
        ("http://r/exec_diff_report.json", [("ls", "http://r//diff_output/_bin_ls.diff")], False),
    ],
)
def test_executable_check(monkeypatch, report, found, passed):
    Siblings(monkeypatch)
    monkeypatch.setattr(impactor, "get_exec_report_path", lambda search, d: report)
    monkeypatch.setattr(impactor, "check_exec_affected", lambda f, r: list(found))
    ok, d = check("EXEC")
    assert ok is passed
    assert d.get("affected_exec_list") == (None if report is None else found)


@pytest.mark.parametrize("records", [True, False])
def test_a_substituted_executable_check_reports_its_own_failure_only(monkeypatch, records):
    Siblings(monkeypatch)
    report = "http://r/exec_diff_report.json"
    monkeypatch.setattr(impactor, "get_exec_report_path", lambda search, d: report)
    monkeypatch.setattr(impactor, "last_exec_failure", {"error": "an earlier file's"})

    def substitute(local_file, location):
        if records:
            impactor.last_exec_failure = {"location": location, "error": "cut off"}
        return []

    monkeypatch.setattr(impactor, "check_exec_affected", substitute)
    ok, d = check("EXEC")
    assert ok is True
    assert d.get("exec_check_failed") == ([[report, "cut off"]] if records else None)


def test_python_check_collects_changed_functions(monkeypatch):
    Siblings(monkeypatch, file_type=FileType.PYTHON_FILE)
    dependence = []
    monkeypatch.setattr(impactor, "get_modules_used_by", lambda path: ["alpha", "beta"])
    monkeypatch.setattr(
        impactor,
        "get_pkgs_by_module_name",
        lambda names: {"python3-alpha": ["alpha", "al"], "python3-none": ["beta"]},
    )
    monkeypatch.setattr(
        impactor,
        "get_py_api_diff",
        lambda rpm, search, d: (
            {"funcs_need_check": ["alpha.run", "gamma.x"]} if rpm == "python3-alpha" else None
        ),
    )
    monkeypatch.setattr(
        impactor,
        "surfacediff",
        types.SimpleNamespace(
            check_dependence_affected=lambda funcs, rpm, f, d: dependence.append((funcs, rpm))
        ),
    )
    ok, d = check()
    assert ok is True
    assert d["used_modules"] == [{"python3-alpha": ["alpha", "al"], "python3-none": ["beta"]}]
    # "alpha.run" starts with both "alpha" and "al"
    assert d["py_mod_maybe_change"] == ["alpha.run", "alpha.run"]
    assert dependence == [(["alpha.run", "gamma.x"], "python3-alpha")]


def test_php_file_goes_through_the_compatibility_scan(monkeypatch):
    Siblings(monkeypatch, file_type=FileType.PHP_FILE)
    monkeypatch.setattr(
        impactor, "check_php_file_compat", lambda f, d: d.setdefault("pass_compat_check", False)
    )
    ok, d = check()
    assert ok is True and d["pass_compat_check"] is False


def tree(root, *files):
    for name in files:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x")
    return root


@pytest.fixture
def verdicts(monkeypatch):
    """The per-file check replaced: files whose name holds "bad" fail."""
    seen = []

    def fake(search, path, d, kind):
        seen.append(path)
        d["dest_file"] = path
        return "bad" not in os.path.basename(path)

    monkeypatch.setattr(impactor, "search_source_for_dest_file", fake)
    return seen


def test_directory_walk_checks_every_file(tmp_path, verdicts):
    root = tree(tmp_path, "a", "bad", "sub/proc/c")
    result = {"library": []}
    assert impactor.search_source_for_dest_dir("/results", str(root), result, "ABI") is False
    assert sorted(verdicts) == sorted(str(root / p) for p in ("a", "bad", "sub/proc/c"))
    assert [m["dest_file"] for m in result["library"]] == verdicts


def test_empty_directory_passes(tmp_path, verdicts):
    result = {"library": []}
    assert impactor.search_source_for_dest_dir("/r", str(tmp_path), result, "ABI") is True
    assert result["library"] == []


def test_walk_of_root_skips_pseudo_file_systems(monkeypatch, verdicts):
    subdirs = ["proc", "usr", "sys", "dev", "run", "etc"]

    def walk(top):
        yield "/", subdirs, ["vmlinuz"]
        for name in subdirs:
            yield "/" + name, [], ["f"]

    monkeypatch.setattr(impactor, "os", types.SimpleNamespace(walk=walk, path=os.path))
    assert impactor.search_source_for_dest_dir("/r", "/", {"library": []}, "ABI")
    assert verdicts == ["/vmlinuz", "/usr/f", "/etc/f"]


def test_local_driver(tmp_path, monkeypatch, verdicts):
    results = tmp_path / "results"
    results.mkdir()
    logs = []
    monkeypatch.setattr(impactor, "ABI_LOG", lambda level, message: logs.append((level, message)))
    result = {"library": []}
    target = tree(tmp_path, "bad-file") / "bad-file"
    assert impactor.use_local_result_check_local(str(results), str(target), result, "ABI") is False
    assert len(result["library"]) == 1

    missing = str(tmp_path / "missing")
    assert impactor.use_local_result_check_local(str(results), missing, result, "ABI") is False
    assert logs[-1] == (0, f"Search local data for checking {missing} failed. {missing} not exist!")

    monkeypatch.setattr(impactor.conf, "default_compat_search_dir", missing)
    assert impactor.use_local_result_check_local("", str(target), result, "ABI") is False
    assert logs[-1] == (
        0,
        (f"Search local data for checking {target} failed. {missing} is not a valid dir!"),
    )
    # a regular file is no result tree
    assert impactor.use_local_result_check_local(str(target), str(target), result, "ABI") is False
    assert logs[-1][1].endswith(" is not a valid dir!") and len(result["library"]) == 1


def test_remote_driver(tmp_path, monkeypatch, verdicts):
    logs = []
    monkeypatch.setattr(impactor, "ABI_LOG", lambda level, message: logs.append((level, message)))
    monkeypatch.setattr(impactor, "is_valid_url", lambda url: url.startswith("http"))
    monkeypatch.setattr(impactor, "is_url_reachable", lambda url: "down" not in url)
    result = {"library": []}
    assert not impactor.use_remote_result_check_local("ftp://x/", "f", result, "ABI")
    assert logs[-1] == (0, "Search remote data for checking f failed. ftp://x/ is not a valid URL!")
    assert not impactor.use_remote_result_check_local("http://down/", "f", result, "ABI")
    assert logs[-1][1].endswith("http://down/ is not reachable!") and result["library"] == []

    folder = tree(tmp_path / "dir", "one", "two")
    targets = f"a, {folder},bad,"
    assert impactor.use_remote_result_check_local("http://up/", targets, result, "ABI") is False
    assert verdicts[0] == "a" and verdicts[1] == f" {folder}"  # the blank stays: not a directory
    assert verdicts[2:] == ["bad", ""]

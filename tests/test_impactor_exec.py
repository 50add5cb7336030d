"""Whether a user's file names an executable whose output changed."""

import json

import pytest

DOC = [
    "",
    "    检查本地文件是否使用了远程JSON报告中标记为变更的可执行文件",
    "",
    "    参数:",
    "        local_file (str): 本地文件路径",
    "        exec_report_path (str): 远程JSON文件URL",
    "",
    "    返回:",
    "        bool: True表示使用了变更的可执行文件，False表示未使用",
    "    ",
]


def test_documentation(impactor):
    assert impactor.check_exec_affected.__doc__ == "\n".join(DOC)


def changed(*paths, kind="MODIFIED"):
    return {path: {"output": {"change_type": kind}} for path in paths}


@pytest.fixture
def check(impactor, remote, tmp_path):
    """Publishes `report` and scans a local file holding `text`; returns the
    result as a sorted list of (name, path of the diff below the base)."""

    def run(report, text, query=""):
        remote.write(
            "results/exec_diff_report.json",
            report if isinstance(report, str) else json.dumps(report),
        )
        local = tmp_path / "script.sh"
        local.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
        found = impactor.check_exec_affected(
            str(local), remote.url + "results/exec_diff_report.json" + query
        )
        assert isinstance(found, list)
        base = remote.url + "results/"
        assert all(url.startswith(base) for _, url in found)
        return sorted((name, url[len(base) :]) for name, url in found)

    return run


@pytest.mark.parametrize(
    "name, text, hit",
    [
        ("ls", "ls -l\n", True),
        ("ls", "x=$(/bin/ls)\n", True),
        ("ls", "lsof -i\nmy_ls\nls2\n", False),
        ("g.b", "run g.b now", True),
        ("g.b", "run gxb now", False),
        ("c++", "c++\n", False),  # no word boundary after "+"
        ("c++", "c++x", True),
        ("tool", "établir tool\n", True),
        ("tool", "ütool 工具tool tool_x\n", False),
        ("tool", b"\xfftool\n", True),  # undecodable bytes are dropped
    ],
)
def test_names_match_literally_as_whole_words(check, capsys, name, text, hit):
    found = check(changed("/usr/bin/" + name), text)
    assert found == ([(name, "/diff_output/_usr_bin_" + name + ".diff")] if hit else [])
    assert capsys.readouterr().out == ""


def test_every_changed_executable_named_is_reported_once(check):
    report = {
        "/usr/bin/tool": {"a": {"change_type": "MODIFIED"}, "b": {"change_type": "REMOVED"}},
        "/usr/sbin/tool": {"a": {"change_type": "REMOVED"}},
        "/usr/bin/quiet": {"a": {"change_type": "ADDED"}, "b": {}},
        "/usr/bin/gone": {"a": {"change_type": "REMOVED"}},
        "/usr/bin/unused": {"a": {"change_type": "REMOVED"}},
        "/usr/lib/dir/": {"a": {"change_type": "REMOVED"}},  # empty name
        "/usr/bin/gone\ngone": {"a": {"change_type": "REMOVED"}},  # spans lines
    }
    found = check(report, "tool; tool\nquiet gone\r\ngone\n")
    assert found == [
        ("gone", "/diff_output/_usr_bin_gone.diff"),
        ("tool", "/diff_output/_usr_bin_tool.diff"),
        ("tool", "/diff_output/_usr_sbin_tool.diff"),
    ]


def test_longer_name_wins_where_names_overlap(check):
    found = check(changed("/bin/foo", "/bin/foo-bar"), "foo-bar\n")
    assert found == [("foo-bar", "/diff_output/_bin_foo-bar.diff")]


def test_query_and_fragment_are_dropped(check):
    assert check(changed("/usr/bin/tool"), "tool", query="?v=1#top") == [
        ("tool", "/diff_output/_usr_bin_tool.diff")
    ]


def test_unchanged_report_never_opens_the_file(impactor, remote, capsys):
    remote.write("exec_diff_report.json", json.dumps({"/bin/ls": {"a": {"change_type": "ADDED"}}}))
    assert (
        impactor.check_exec_affected("/nonexistent/file", remote.url + "exec_diff_report.json")
        == []
    )
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("case", ["missing file", "directory", "404", "not json", "refused"])
def test_guarded_failures_print_one_line(impactor, remote, tmp_path, capsys, case):
    remote.write(
        "exec_diff_report.json",
        "not json" if case == "not json" else json.dumps(changed("/bin/ls")),
    )
    url = {"404": remote.url + "absent.json", "refused": "http://127.0.0.1:1/r.json"}.get(
        case, remote.url + "exec_diff_report.json"
    )
    local = {"missing file": tmp_path / "absent", "directory": tmp_path}.get(case, tmp_path / "f")
    (tmp_path / "f").write_text("ls\n")
    assert impactor.check_exec_affected(str(local), url) == []
    out = capsys.readouterr().out
    assert out.startswith("处理失败: ") and out.count("\n") == 1 and len(out) > len("处理失败: \n")
    if case in ("missing file", "directory"):
        assert str(local) in out


@pytest.mark.parametrize("case", ["found", "not json", "refused"])
def test_the_failure_comes_back_with_the_answer(
    impactor, remote, tmp_path, capsys, monkeypatch, case
):
    remote.write(
        "exec_diff_report.json",
        "not json" if case == "not json" else json.dumps(changed("/bin/ls")),
    )
    url = "http://127.0.0.1:1/r.json" if case == "refused" else remote.url + "exec_diff_report.json"
    (tmp_path / "f").write_text("ls\n")
    monkeypatch.setattr(impactor, "last_exec_failure", "untouched")
    affected, failure = impactor.check_exec_outcome(str(tmp_path / "f"), url)
    assert impactor.last_exec_failure == "untouched"  # the value is the answer's alone
    assert impactor.check_exec_affected(str(tmp_path / "f"), url) == affected
    assert impactor.last_exec_failure == failure  # the named check records the same
    if case == "found":
        assert [name for name, _ in affected] == ["ls"] and failure is None
    else:
        assert affected == [] and failure["location"] == url
        assert failure["local_file"] == str(tmp_path / "f") and failure["error"]
        assert failure["error"] in capsys.readouterr().out
        # the next call that does not fail clears the record
        remote.write("exec_diff_report.json", json.dumps(changed("/bin/ls")))
        impactor.check_exec_affected(str(tmp_path / "f"), remote.url + "exec_diff_report.json")
        assert impactor.last_exec_failure is None


@pytest.mark.parametrize(
    "document", ['["/bin/ls"]', '{"/bin/ls": ["x"]}', '{"/bin/ls": {"a": "REMOVED"}}']
)
def test_malformed_report_shapes_propagate(impactor, remote, tmp_path, document):
    remote.write("exec_diff_report.json", document)
    with pytest.raises((AttributeError, TypeError)):
        impactor.check_exec_affected(str(tmp_path), remote.url + "exec_diff_report.json")


def test_http_client_is_looked_up_per_call(impactor, monkeypatch, tmp_path, capsys):
    class Response:
        text = json.dumps(changed("/bin/ls"))

        def raise_for_status(self):
            pass

    urls = []
    monkeypatch.setattr(impactor.requests, "get", lambda url: urls.append(url) or Response())
    (tmp_path / "f").write_text("ls\n")
    found = impactor.check_exec_affected(str(tmp_path / "f"), "https://h:8443/exec.json")
    assert urls == ["https://h:8443/exec.json"]
    assert found == [("ls", "https://h:8443///diff_output/_bin_ls.diff")]

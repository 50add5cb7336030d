"""Reading the summary, Python API diff and configuration-diff documents."""

import json

import pytest

SUMMARY = [
    {
        "name": "zlib",
        "library": [
            {"so_name": "libz.so.1", "removed_symbols": ["inflate", "deflate"]},
            {"so_name": "libq.so.2", "lib_soname_ver_change": ["libq.so.2", "libq.so.3"]},
            {"removed_symbols": ["orphan"]},
        ],
    },
    {"name": "no-libraries"},
    {
        "name": "zlib-extra",
        "library": [
            {
                "so_name": "libz.so.1",
                "removed_symbols": ["inflate"],
                "lib_soname_ver_change": ["libz.so.1", "libz.so.2"],
            },
            {"so_name": "libe.so", "removed_symbols": []},
            {"so_name": "LIBZ.SO.1", "removed_symbols": ["upper"]},
        ],
    },
]


@pytest.fixture
def packages(impactor, monkeypatch):
    monkeypatch.setattr(impactor, "get_pkgname_by_libname", lambda name: "pkg-" + name)


@pytest.mark.parametrize(
    "name, symbols, found, changes",
    [
        ("libz.so.1", {"inflate", "deflate"}, True, [("libz.so.1", "libz.so.2")]),
        ("libq.so.2", set(), True, [("libq.so.2", "libq.so.3")]),
        ("libe.so", set(), True, []),
        ("libnone.so", set(), False, []),
        (None, set(), False, []),
    ],
)
def test_summary_lookup(impactor, packages, log, tmp_path, name, symbols, found, changes):
    path = tmp_path / "summary.json"
    path.write_text(json.dumps(SUMMARY))
    d = {"lib_soname_ver_change": [{"earlier": True}]}
    result = impactor.get_removed_symbols_from_summary(str(path), name, d)
    assert result == (symbols, found) and isinstance(result[0], set)
    assert d["lib_soname_ver_change"][1:] == [
        {"pkg_name": "pkg-" + name, "old": old, "new": new} for old, new in changes
    ]
    assert log == [(3, "lib_soname_ver_change: %s" % name)] * len(changes)


@pytest.mark.parametrize(
    "path, line",
    [
        ("", (3, "Summary file  is not found.")),
        (None, (3, "Summary file None is not found.")),
        ("/nonexistent/summary.json", (1, "Summary file /nonexistent/summary.json is lost.")),
    ],
)
def test_summary_missing(impactor, log, path, line):
    d = {}
    assert impactor.get_removed_symbols_from_summary(path, "libz.so.1", d) == ([], False)
    assert log == [line] and d == {}


def test_reachable_summary_is_never_read_locally(impactor, packages, remote, monkeypatch, tmp_path):
    """A local file at the URL's spelling as a relative path is ignored."""
    remote.write("summary.json", json.dumps(SUMMARY))
    url = remote.url + "summary.json"
    decoy = tmp_path / url.replace("//", "/")
    decoy.parent.mkdir(parents=True)
    decoy.write_text(
        json.dumps([{"library": [{"so_name": "libz.so.1", "removed_symbols": ["decoy"]}]}])
    )
    monkeypatch.chdir(tmp_path)
    symbols, found = impactor.get_removed_symbols_from_summary(url, "libz.so.1", {})
    assert symbols == {"inflate", "deflate"} and found


@pytest.mark.parametrize(
    "document, error",
    [
        ("{not json", json.JSONDecodeError),
        ('[{"library": [{"so_name": "l", "lib_soname_ver_change": ["only"]}]}]', IndexError),
    ],
)
def test_summary_failures_propagate(impactor, packages, log, tmp_path, document, error):
    (tmp_path / "s.json").write_text(document)
    with pytest.raises(error):
        impactor.get_removed_symbols_from_summary(str(tmp_path / "s.json"), "l", {})


@pytest.mark.parametrize(
    "configured, document",
    [
        ("py_api_diff.json", "python3-foo_py_api_diff.json"),
        ("diff", "python3-foo_diff.json"),
        ("a.b.c", "python3-foo_a.json"),
    ],
)
def test_python_api_diff_local(impactor, log, tmp_path, monkeypatch, configured, document):
    monkeypatch.setattr(impactor.conf, "py_api_diff", configured)
    (tmp_path / document).write_text(json.dumps([{"funcs_need_check": ["foo.f"]}, {"second": 1}]))
    assert impactor.get_py_api_diff("python3-foo", str(tmp_path), {}) == {
        "funcs_need_check": ["foo.f"]
    }
    assert log == []


def test_python_api_diff_local_problems(impactor, log, tmp_path, monkeypatch):
    monkeypatch.setattr(impactor.conf, "py_api_diff", "d.json")
    assert impactor.get_py_api_diff("p", str(tmp_path) + "/", {}) is None
    assert log == [(3, str(tmp_path) + "/p_d.json is not in local dir: " + str(tmp_path) + "/.")]
    (tmp_path / "p_d.json").write_text("[{")
    assert impactor.get_py_api_diff("p", str(tmp_path), {}) is None
    assert log[1][0] == 0 and log[1][1].startswith("Failed to decode JSON: ")
    (tmp_path / "p_d.json").write_text("[]")
    with pytest.raises(IndexError):
        impactor.get_py_api_diff("p", str(tmp_path), {})


def test_python_api_diff_remote_is_joined_as_a_path(impactor, log, remote, monkeypatch):
    """Unlike URL resolution, a base without "/" gets one added."""
    monkeypatch.setattr(impactor.conf, "py_api_diff", "d.json")
    remote.write("results/p_d.json", json.dumps([{"funcs_need_check": []}]))
    assert impactor.get_py_api_diff("p", remote.url + "results", {}) == {"funcs_need_check": []}
    assert impactor.get_py_api_diff("absent", remote.url + "results/", {}) is None
    assert log == []


@pytest.mark.parametrize("content", [([{"f": 1}, {"g": 2}], 200), [{"f": 1}]])
def test_python_api_diff_remote_gives_the_diff_object(impactor, remote, monkeypatch, content):
    """Whether the fetch gives (document, status) or the document's elements."""
    monkeypatch.setattr(impactor, "get_json_content_from_url", lambda url: content)
    monkeypatch.setattr(impactor, "is_url_reachable", lambda url: url.startswith("http"))
    assert impactor.get_py_api_diff("p", "http://h/r", {}) == {"f": 1}


CONFDIFF = [
    {"bin_name": ["httpd", "httpd-tools"], "configs": [{"file": "/etc/httpd.conf"}, "raw"]},
    {"bin_name": [], "configs": ["never"]},
    {"configs": ["never"]},
    {"bin_name": ["nginx"]},
    {"bin_name": ["httpd"], "configs": [["third"]]},
]


@pytest.mark.parametrize(
    "rpm, expected",
    [
        ("httpd", {"config_diffs": [{"file": "/etc/httpd.conf"}, "raw", ["third"]]}),
        ("nginx", {}),
        ("httpd-tools", {}),
    ],
)
def test_confdiff_list(impactor, log, tmp_path, remote, rpm, expected):
    (tmp_path / "c.json").write_text(json.dumps(CONFDIFF))
    remote.write("c.json", json.dumps(CONFDIFF))
    assert impactor.get_confdiff_list(str(tmp_path / "c.json"), rpm) == expected
    assert impactor.get_confdiff_list(remote.url + "c.json", rpm) == expected
    assert log == []


@pytest.mark.parametrize(
    "path, line",
    [
        (None, (3, "confdiff file None is not found.")),
        ("", (3, "confdiff file  is not found.")),
        ("/nonexistent/c.json", (1, "confdiff file /nonexistent/c.json is lost.")),
    ],
)
def test_confdiff_list_missing(impactor, log, path, line):
    assert impactor.get_confdiff_list(path, "httpd") == [] and log == [line]


def test_rpm_conf_diff_locates_the_configured_document(impactor, log, remote, monkeypatch):
    monkeypatch.setattr(impactor.conf, "conf_diff", "absent.json")
    d = {}
    assert impactor.get_rpm_conf_diff(remote.url, "httpd", d) == []
    assert d == {"log_report_not_found": [["absent.json", "httpd"]]}
    assert log == [(3, "confdiff file None is not found.")]
    remote.write("conf_diff.json", json.dumps(CONFDIFF))
    monkeypatch.setattr(impactor.conf, "conf_diff", "conf_diff.json")
    del log[:]
    assert impactor.get_rpm_conf_diff(remote.url, "nginx", d) == {}
    assert log == [(3, "summary_path: " + remote.url + "conf_diff.json")]
    assert len(d["log_report_not_found"]) == 1


def test_rpm_conf_diff_calls_the_current_functions(impactor, monkeypatch):
    calls = []
    monkeypatch.setattr(impactor, "get_log_report_path", lambda *a: calls.append(a) or "located")
    monkeypatch.setattr(impactor, "get_confdiff_list", lambda path, rpm: {"from": (path, rpm)})
    d = {}
    assert impactor.get_rpm_conf_diff("src", "httpd", d) == {"from": ("located", "httpd")}
    assert calls == [("httpd", "src", d, impactor.conf.conf_diff)]

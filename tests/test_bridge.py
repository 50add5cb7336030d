"""C++ modules behave like the Python modules they stand for: binding at import,
late binding at call time, a fresh import re-binds."""

import importlib
import pathlib
import sys
import types

import pytest

import varkit


def stand_in_common(**names):
    module = types.ModuleType("varkit.common")
    module.__dict__.update(names)
    return module


@pytest.fixture
def reimport(monkeypatch):
    """Import a module afresh with the given sibling modules in sys.modules."""

    def run(dotted, **siblings):
        package, _, leaf = dotted.rpartition(".")
        # restored afterwards, like the sys.modules entries
        monkeypatch.setattr(
            sys.modules[package], leaf, getattr(sys.modules[package], leaf, None), raising=False
        )
        for name, module in siblings.items():
            monkeypatch.setitem(sys.modules, name, module)
        monkeypatch.delitem(sys.modules, dotted, raising=False)
        return importlib.import_module(dotted)

    return run


def test_missing_sibling_name_fails_the_import(reimport):
    with pytest.raises(ImportError, match="is_valid_url"):
        reimport("varkit.cmdline", **{"varkit.common": stand_in_common()})
    assert "varkit.cmdline" not in sys.modules


def test_missing_sibling_module_fails_the_import(reimport, monkeypatch):
    monkeypatch.setitem(sys.modules, "varkit.common", None)  # import of it raises
    with pytest.raises(ImportError):
        reimport("varkit.cmdline")


def test_fresh_import_binds_the_siblings_present_then(reimport):
    calls = []
    first = reimport(
        "varkit.cmdline",
        **{"varkit.common": stand_in_common(is_valid_url=lambda url: calls.append(("a", url)))},
    )
    second = reimport(
        "varkit.cmdline",
        **{
            "varkit.common": stand_in_common(is_valid_url=lambda url: calls.append(("b", url)) or 1)
        },
    )
    assert first is not second
    with pytest.raises(SystemExit):  # the first one's check answers None: not a valid url
        first.get_options(["--checkconf", "--search-remote", "u1"])
    assert second.get_options(["--checkconf", "--search-remote", "u2"]).search_remote == "u2"
    assert calls == [("a", "u1"), ("b", "u2")]


def test_replaced_names_take_effect_on_the_next_call(monkeypatch):
    from varkit import cmdline

    seen = []
    monkeypatch.setattr(cmdline, "is_valid_url", lambda url: seen.append(url) or True)
    assert cmdline.get_options(["--checkconf", "--search-remote", "anything"]).search_remote
    assert seen == ["anything"]

    class OtherConf:
        remote_url = "http://other.example/"
        varkit_ver = "x"

    monkeypatch.setattr(cmdline, "conf", OtherConf)
    assert (
        cmdline.get_options(["--checkconf", "--search-remote"]).search_remote
        == "http://other.example/"
    )

    monkeypatch.delattr(cmdline, "is_valid_url")
    with pytest.raises(NameError, match="is_valid_url"):
        cmdline.get_options(["--checkconf", "--search-remote", "u"])


def test_host_facilities_are_looked_up_per_call(monkeypatch, tmp_path):
    from varkit import cmdline

    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(isdir=lambda p: p == "virtual"))
    monkeypatch.setattr(cmdline, "os", fake_os)
    options = cmdline.get_options(["--checkabi", "--with-symbol", "--search-local", "virtual"])
    assert options.search_local == "virtual"


def test_module_lives_where_its_dotted_name_says():
    from varkit import cmdline

    assert cmdline.__name__ == "varkit.cmdline"
    assert cmdline.conf is varkit.conf
    assert cmdline.__file__.endswith(".so")


class StandInFetch:
    """Stands for varkit.fetch: answers every document from memory, records the asks."""

    def __init__(self, documents):
        self.documents = documents
        self.asked = []

    def get_bytes(self, url, kind):
        self.asked.append((url, kind))
        return self.documents[url]

    def get_document(self, url, kind):
        self.asked.append((url, kind))
        body = self.documents[url]
        return types.SimpleNamespace(raise_for_status=lambda: None, text=body.decode())

    def run_token(self):
        return 0


def test_documents_are_fetched_through_the_fetch_bound_at_call_time(monkeypatch):
    from varkit import fetch, impactor, reportscan

    assert reportscan.fetch is fetch and impactor.fetch is fetch
    report_url, exec_url = "http://stand.in/compat_report.xml", "http://stand.in/exec.json"
    local_report = pathlib.Path(__file__).parent / "data/reportscan/reports/libqueue.xml"
    stand_in = StandInFetch(
        {
            report_url: local_report.read_bytes(),
            exec_url: b'{"/usr/bin/x": {"--help": {"change_type": "UNCHANGED"}}}',
        }
    )
    monkeypatch.setattr(reportscan, "fetch", stand_in)
    monkeypatch.setattr(impactor, "fetch", stand_in)
    assert reportscan.reportscan(report_url) == reportscan.reportscan(str(local_report))
    assert impactor.check_exec_outcome("/bin/true", exec_url) == ([], None)
    assert stand_in.asked == [(report_url, "report"), (exec_url, "json")]


class FailingRunScope:
    def __enter__(self):
        return self

    def __exit__(self, *unwinding):
        raise RuntimeError("the run would not end")


@pytest.mark.parametrize("check_raises", [False, True])
def test_a_run_that_fails_to_end_is_reported_and_keeps_the_call_s_own_outcome(
    monkeypatch, tmp_path, check_raises
):
    from varkit import impactor

    (tmp_path / "file").write_text("x")
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda hook: reported.append(hook))
    monkeypatch.setattr(
        impactor, "fetch", types.SimpleNamespace(fetch_run=lambda faults_surface: FailingRunScope())
    )
    if check_raises:

        def get_file_type(path):
            raise KeyError("the check's own error")

        monkeypatch.setattr(impactor, "get_file_type", get_file_type)
        with pytest.raises(KeyError, match="the check's own error"):
            impactor.use_local_result_check_local(
                str(tmp_path), str(tmp_path), {"library": []}, "ABI"
            )
    else:
        assert impactor.use_local_result_check_local(
            str(tmp_path), str(tmp_path), {"library": []}, "ABI"
        )
    assert reported and all(
        hook.object == "varkit.impactor ending a fetch run"
        and str(hook.exc_value) == "the run would not end"
        for hook in reported
    )

"""The `varkit` command end to end: real programs built against version 1.0 of
the example libraries, the real reports of the example result tree, a local
directory and the same tree over HTTP."""

import http.server
import json
import os
import shutil
import subprocess
import threading
from functools import partial
from pathlib import Path

import pytest

from conftest import EXAMPLES, needs_private_mounts, section_headers_damaged, varkit

pytestmark = needs_private_mounts


def abi_check_local(example, *targets, libdir=None):
    """The ABI check of the targets against the example result tree, read locally."""
    return varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(EXAMPLES / "results"),
        "--check-local",
        *map(str, targets),
        libdir=libdir,
    )


def by_file(result):
    return {Path(entry["dest_file"]).name: entry for entry in result["library"]}


def test_local_and_remote_results_agree(example, served_results):
    status, local, err = abi_check_local(example, example / "apps")
    files = by_file(local)
    assert set(files) == {"greeter", "tallyapp", "hexdump", "greet-report.sh"}
    assert {name: entry["verdict"] for name, entry in files.items()} == {
        "greeter": "affected",
        "hexdump": "affected",
        "tallyapp": "not affected",
        "greet-report.sh": "no check",
    }  # the ABI check does not cover a shell script, and that is no error
    assert files["greet-report.sh"]["reasons"][0].startswith("shell script: the ABI check covers")
    assert status == 8 and local["verdict"] == "affected"

    greeter = files["greeter"]
    used = {record["symbol"] for record in greeter["affected_symbols"]}
    # removed, parameters changed, parameter type's layout changed
    assert used == {"greet_twice", "greet", "greet_count"}
    assert greeter["belong_to_rpm"] == "False"
    assert "| libgreet     | libgreet.so.1 | greet_twice |" in err  # the symbol table
    label = f"--- {example / 'apps' / 'greeter'} [ABI]"
    assert label in err and err.index(label) < err.index("| greet_twice |")  # says whose

    # the soname changed: no report under the old name, the summary knows it
    hexdump = files["hexdump"]
    assert hexdump["report_not_found"][0] == ["libfmtx", "libfmtx.so.1"]
    assert hexdump["lib_soname_ver_change"] == [
        {"pkg_name": "libfmtx", "old": "libfmtx.so.1", "new": "libfmtx.so.2"}
    ]
    assert [r["symbol"] for r in hexdump["affected_symbols"]] == ["fmtx_hex"]

    assert "affected_symbols" not in files["tallyapp"]
    assert files["tallyapp"]["required_libs"][0] == "libtally.so.1"

    status, remote, _ = varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-remote",
        served_results,
        "--check-local",
        str(example / "apps"),
    )
    # the same, but for where the reports were read
    as_local = json.loads(
        json.dumps(remote).replace(served_results, str(EXAMPLES / "results") + "/")
    )
    assert status == 8 and by_file(as_local) == files
    reasons = " ".join(files["greeter"]["reasons"])
    assert "uses greet_twice of libgreet.so.1: removed [report:" in reasons
    assert "uses greet of libgreet.so.1: parameter added (severity Medium)" in reasons
    assert "type struct greeting: field added, layout and size changed (severity Medium)" in reasons
    assert "uses fmtx_hex of libfmtx.so.1: removed [summary log:" in " ".join(
        files["hexdump"]["reasons"]
    )


def test_clean_program_passes(example, served_results):
    status, result, _ = varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-remote",
        served_results,
        "--check-local",
        str(example / "apps" / "tallyapp"),
    )
    assert status == 0 and result["verdict"] == "not affected"


@pytest.mark.parametrize("damage", [".dynamic", ".dynsym", "no section headers"])
def test_section_headers_that_lie_hide_nothing_the_program_binds(example, tmp_path, damage):
    """The loader reads the dynamic segment: a program whose section headers
    were emptied or stripped loads and binds as before, and is judged so."""
    intact = example / "apps" / "greeter"
    damaged = tmp_path / "greeter"
    damaged.write_bytes(section_headers_damaged(str(intact), damage))
    damaged.chmod(0o755)
    verdicts = {}
    for program in (intact, damaged):
        status, result, _ = abi_check_local(example, program)
        entry = result["library"][0]
        symbols = sorted(record["symbol"] for record in entry.get("affected_symbols", []))
        verdicts[program == damaged] = (
            status,
            entry["verdict"],
            symbols,
            entry["required_libs"],
        )
    assert verdicts[True] == verdicts[False]
    assert verdicts[True][:2] == (8, "affected")


def test_library_missing_from_the_result_tree(example, tmp_path):
    libdir = tmp_path / "installed"
    shutil.copytree(example / "installed", libdir)
    source = tmp_path / "extra.c"
    source.write_text("int extra_value(void) { return 4; }\n")
    subprocess.run(
        [
            "gcc",
            "-shared",
            "-fPIC",
            "-Wl,-soname,libextra.so.3",
            "-o",
            str(libdir / "libextra.so.3"),
            str(source),
        ],
        check=True,
    )
    (libdir / "owners").write_text((libdir / "owners").read_text() + "libextra.so.3 libextra\n")
    program = tmp_path / "uses_extra.c"
    program.write_text("int extra_value(void);\nint main(void) { return extra_value(); }\n")
    binary = tmp_path / "uses_extra"
    subprocess.run(
        ["gcc", "-o", str(binary), str(program), str(libdir / "libextra.so.3")], check=True
    )
    status, result, _ = abi_check_local(example, binary, libdir=libdir)
    entry = result["library"][0]
    assert entry["report_not_found"][0] == ["libextra", "libextra.so.3"]
    # the upgrade results do not cover the library: said, but no reason to fail
    assert entry["verdict"] == "not affected" and status == 0
    assert any("libextra.so.3" in note for note in entry["notes"])


def test_scripts_go_through_their_checks(example, served_results, tmp_path):
    script = example / "apps" / "greet-report.sh"
    status, result, _ = varkit(
        example, "--checkexec", "--search-remote", served_results, "--check-local", str(script)
    )
    assert status == 8
    assert result["library"][0]["affected_exec_list"] == [
        ["greet-tool", served_results + "//diff_output/_usr_bin_greet-tool.diff"]
    ]

    # a Python script importing a module whose package's API changed
    results = tmp_path / "results"
    shutil.copytree(EXAMPLES / "results", results)
    (results / "requests_py_api_diff.json").write_text(
        json.dumps([{"funcs_need_check": ["requests.get", "other.call"]}])
    )
    user_script = tmp_path / "fetch.py"
    user_script.write_text("import requests\nrequests.get('http://example.invalid/')\n")
    status, result, _ = varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(results),
        "--check-local",
        str(user_script),
    )
    entry = result["library"][0]
    assert status == 4 and entry["verdict"] == "maybe affected"
    assert entry["py_mod_maybe_change"] == ["requests.get"]
    assert any("requests" in modules for modules in entry["used_modules"][0].values())


def test_configuration_differences_of_the_packages_a_program_needs(example, tmp_path):
    # a local configuration check reads the configured default result directory
    conf = tmp_path / "varkit.conf"
    conf.write_text(f"[varkit]\ndefault_compat_search_dir = {EXAMPLES / 'results'}\n")
    status, result, _ = varkit(
        example,
        "--checkconf",
        "--check-local",
        str(example / "apps" / "greeter"),
        env={"VARKIT_CONF": str(conf)},
    )
    entry = result["library"][0]
    assert status == 4 and "libgreet" in entry["required_rpms"]
    diffs = dict(entry["rpm_conf_diff"])
    assert diffs["libgreet"]["config_diffs"][0]["file"] == "/etc/greet.conf"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--checkfile", "a.rpm"], "--checkfile is not implemented"),
        (["--checkabi", "--check-local", "/bin/true"], "needs --with-symbol"),
    ],
)
def test_operations_outside_the_package_are_refused(example, args, message):
    status, result, err = varkit(example, *args)
    assert status == 2 and result is None and message in err


# Failures the checks swallow must not read as "not affected".


@pytest.fixture
def results_copy(tmp_path):
    copy = tmp_path / "results"
    shutil.copytree(EXAMPLES / "results", copy)
    return copy


def test_unreadable_report_is_not_a_pass(example, results_copy):
    report = next(results_copy.glob("compat_reports/libgreet/*/*/compat_report.xml"))
    report.write_bytes(report.read_bytes()[:2000])  # cut off mid-element
    status, result, _ = varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(results_copy),
        "--check-local",
        str(example / "apps" / "greeter"),
    )
    entry = result["library"][0]
    assert [row[:2] for row in entry["report_unreadable"]] == [["libgreet.so.1", str(report)]]
    assert entry["verdict"] == "not checked" and status == 1


class FailingExecReport(http.server.SimpleHTTPRequestHandler):
    """Serves the tree, but the executable-diff report answers 500 (its HEAD succeeds)."""

    def do_GET(self):
        if self.path.endswith("exec_diff_report.json"):
            self.send_error(500, "report generator crashed")
        else:
            super().do_GET()

    def log_message(self, *args):
        pass


def test_failing_executable_report_is_not_a_pass(example):
    handler = partial(FailingExecReport, directory=str(EXAMPLES / "results"))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        status, result, err = varkit(
            example,
            "--checkexec",
            "--search-remote",
            f"http://127.0.0.1:{server.server_address[1]}/",
            "--check-local",
            str(example / "apps" / "greet-report.sh"),
        )
    finally:
        server.shutdown()
        server.server_close()
    entry = result["library"][0]
    assert status == 1 and entry["verdict"] == "not checked"
    assert "500" in entry["exec_check_failed"][0][1]
    assert "处理失败: " in err  # the check's own line, kept off standard output


@pytest.mark.parametrize(
    "register, scan, verdict, status",
    [
        (0, 1, "affected", 8),  # the scan finds incompatibilities
        (0, 0, "not affected", 0),
        (1, 0, "not checked", 1),  # the rule set cannot be registered
    ],
)
def test_php_files(example, tmp_path, register, scan, verdict, status):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    php = bin_dir / "php"
    php.write_text(
        '#!/bin/sh\necho "php stand-in: $*"\n'
        f'case "$*" in *--config-set*) exit {register};; esac\nexit {scan}\n'
    )
    php.chmod(0o755)
    conf = tmp_path / "varkit.conf"
    conf.write_text(f"[varkit]\nphp_api_diff = {tmp_path / 'php.log'}\n")
    page = tmp_path / "index.php"
    page.write_text("<?php echo ereg('a', 'b'); ?>\n")
    code, result, _ = varkit(
        example,
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(EXAMPLES / "results"),
        "--check-local",
        str(page),
        env={"PATH": f"{bin_dir}:{os.environ['PATH']}", "VARKIT_CONF": str(conf)},
    )
    assert (code, result["library"][0]["verdict"]) == (status, verdict)


def test_regular_file_is_no_result_directory(example, tmp_path):
    conf = tmp_path / "varkit.conf"
    conf.write_text(
        f"[varkit]\ndefault_compat_search_dir = {EXAMPLES / 'results' / 'summary.log'}\n"
    )
    status, result, err = varkit(
        example,
        "--checkconf",
        "--check-local",
        str(example / "apps"),
        env={"VARKIT_CONF": str(conf)},
    )
    assert status == 2 and result is None and "is not a directory" in err

"""The host helpers (varkit.urls, elf, packages, quiet) on real ELF objects, a real HTTP server
and real descriptors."""

import functools
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import threading

import prettytable
import pytest
import requests

from varkit import elf, libpath, packages, quiet, symbols, urls
from varkit.elf import FileType

CC = shutil.which("gcc") or shutil.which("cc")


def _cc(*args):
    subprocess.run([CC, *map(str, args)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A shared library with a soname, a program linked to it, and friends."""
    if not CC:
        pytest.skip("no C compiler")
    d = tmp_path_factory.mktemp("elf")
    (d / "demo.c").write_text("int demo_add(int a, int b) { return a + b; }\n")
    (d / "prog.c").write_text(
        "#include <stdio.h>\nint demo_add(int, int);\n"
        'int main(void) { printf("%d\\n", demo_add(1, 2)); return 0; }\n'
    )
    f = {
        "dir": d,
        "lib": d / "libdemo.so.1.0",
        "prog": d / "prog",
        "pie": d / "pie",
        "nopie": d / "nopie",
        "obj": d / "demo.o",
    }
    _cc("-shared", "-fPIC", "-Wl,-soname,libdemo.so.1", "-o", f["lib"], d / "demo.c")
    os.symlink(f["lib"].name, d / "libdemo.so.1")
    _cc("-o", f["prog"], d / "prog.c", "-Wl,--no-as-needed", f["lib"], "-lm", "-Wl,-rpath,$ORIGIN")
    _cc("-fPIE", "-pie", "-o", f["pie"], d / "prog.c", f["lib"])
    _cc("-fno-PIE", "-no-pie", "-o", f["nopie"], d / "prog.c", f["lib"])
    _cc("-c", "-o", f["obj"], d / "demo.c")
    return f


@pytest.mark.parametrize(
    "name, expected",
    [
        ("lib", FileType.DYNAMIC_LIBRARY),
        ("prog", FileType.BINARY_EXECUTABLE),
        ("pie", FileType.BINARY_EXECUTABLE),
        ("nopie", FileType.BINARY_EXECUTABLE),
        ("obj", FileType.OTHER),
    ],
)
def test_elf_file_types(built, name, expected):
    assert elf.get_file_type(str(built[name])) == expected


def test_runnable_system_library_is_a_library():
    # libc.so.6 names a program interpreter, like a PIE, but is a library.
    libc = [
        p
        for p in (os.path.join(d, "libc.so.6") for d in libpath.loader_dirs())
        if os.path.isfile(p)
    ]
    if not libc:
        pytest.skip("no glibc here")
    assert elf.get_file_type(libc[0]) == FileType.DYNAMIC_LIBRARY


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("tool.py", "print(1)\n", FileType.PYTHON_FILE),
        ("tool", "#!/usr/bin/env -S python3 -u\nprint(1)\n", FileType.PYTHON_FILE),
        ("page.php", "<?php echo 1;\n", FileType.PHP_FILE),
        ("page", "#!/usr/bin/php -q\n<?php\n", FileType.PHP_FILE),
        ("app.jar", "PK", FileType.JAVA_FILE),
        ("run.sh", "#!/bin/sh\necho\n", FileType.OTHER),
        ("notes.txt", "python\n", FileType.OTHER),
    ],
)
def test_script_file_types(tmp_path, name, content, expected):
    path = tmp_path / name
    path.write_text(content)
    assert elf.get_file_type(str(path)) == expected


def test_elf_facts(built):
    prog, lib = str(built["prog"]), str(built["lib"])
    assert elf.find_req_libs(prog)[:3] == ["libdemo.so.1", "libm.so.6", "libc.so.6"]
    assert (elf.get_soname_from_lib(lib), elf.get_soname_from_lib(prog)) == (
        "libdemo.so.1",
        "",
    )
    used = elf.get_undefined_symbols_from_file(prog)
    assert {"demo_add", "printf"} <= used and "main" not in used
    assert "demo_add" not in elf.get_undefined_symbols_from_file(lib)
    assert elf.is_32bit_file(prog) is (sys.maxsize < 2**32)


def test_32bit_object(tmp_path, built):
    try:
        _cc("-m32", "-shared", "-fPIC", "-o", tmp_path / "m32.so", built["dir"] / "demo.c")
    except subprocess.CalledProcessError:
        pytest.skip("gcc -m32 does not work here")
    assert elf.is_32bit_file(str(tmp_path / "m32.so")) is True


@pytest.fixture
def bad_files(tmp_path, built):
    (tmp_path / "text").write_text("not an object\n")
    (tmp_path / "truncated").write_bytes(built["prog"].read_bytes()[:100])
    (tmp_path / "empty").write_bytes(b"")
    os.mkfifo(tmp_path / "fifo")  # opening it would block
    return {k: tmp_path / k for k in ("text", "truncated", "empty", "fifo", "missing")} | {
        "dir": tmp_path
    }


@pytest.mark.parametrize("kind", ["text", "truncated", "empty", "fifo", "dir", "missing"])
def test_non_elf_gives_empty_answers(bad_files, kind):
    path = str(bad_files[kind])
    assert elf.get_file_type(path) == FileType.OTHER
    assert elf.is_32bit_file(path) is False
    assert elf.get_undefined_symbols_from_file(path) == set()
    assert elf.find_req_libs(path) == []
    assert elf.get_soname_from_lib(path) == ""
    assert packages.find_reqed_rpms(path) is None


# --- package ownership ------------------------------------------------------


@pytest.fixture
def fake_dpkg(tmp_path, built, monkeypatch):
    info = tmp_path / "info"
    info.mkdir()
    (info / "libdemo1:amd64.list").write_text(f"/.\n{os.path.realpath(built['lib'])}\n")
    (info / "oldlib.list").write_text("/lib/liboldstyle.so.3\n")
    index = packages._OwnershipIndex.from_dpkg(str(info))
    monkeypatch.setattr(packages, "_ownership_index", index)
    return index


@pytest.mark.parametrize(
    "path, owner",
    [
        ("/lib/liboldstyle.so.3", "oldlib"),
        ("/usr/lib/liboldstyle.so.3", "oldlib"),
        ("/usr/lib/unlisted.so", ""),
    ],
)
def test_ownership_lists_and_usr_merge(fake_dpkg, path, owner):
    assert packages.get_belonged_rpm(path) == owner


def test_required_packages_follow_rpath(fake_dpkg, built):
    assert packages.get_belonged_rpm(str(built["dir"] / "libdemo.so.1")) == "libdemo1"
    # libdemo is found through $ORIGIN; the system libraries are not in this index.
    assert packages.find_reqed_rpms(str(built["prog"])) == ["libdemo1"]
    # Without an rpath the loader would not find libdemo, and neither do we.
    assert packages.find_reqed_rpms(str(built["pie"])) == []


def test_no_package_database_means_unknown(monkeypatch, built):
    monkeypatch.setattr(packages, "_ownership_index", packages._OwnershipIndex({}, ""))
    assert packages.find_reqed_rpms(str(built["prog"])) is None
    assert packages.get_belonged_rpm(str(built["lib"])) == ""


def test_system_package_database():
    manager = "rpm" if packages._get_ownership_index().source == "rpm" else "dpkg"
    tool = shutil.which(manager)
    if not packages._get_ownership_index() or not tool:
        pytest.skip("no package database")
    assert packages.get_belonged_rpm(os.path.realpath(tool)) == manager
    assert packages.get_pkgname_by_libname("libc.so.6") != ""  # the C library is always packaged
    assert packages.get_pkgname_by_libname("libnosuchlib.so.9") == ""


# --- URLs -----------------------------------------------------------------

# Saved index pages of other servers, served as index.html by the test server.
CANNED = {
    "nginx/pkg": """<html><body><h1>Index of /nginx/pkg/</h1><hr><pre><a href="../">../</a>
<a href="1.0-2.0/">1.0-2.0/</a>                 08-Dec-2025 10:00       -
<a href="caf%C3%A9/">caf&#233;/</a>               08-Dec-2025 10:00       -
<a href="1.0-2.0/deeper/">deeper/</a>   <a href="summary.log">summary.log</a>    08-Dec-2025 10:00     120
</pre><hr></body></html>""",
    "apache/pkg": """<html><body><h1>Index of /apache/pkg</h1><table><tr><th><a href="?C=N;O=D">Name</a></th>
<th><a href="?C=M;O=A">Last modified</a></th></tr><tr><td><a href="/apache/">Parent Directory</a></td></tr>
<tr><td><a href="v2/"><img src="/icons/folder.gif" alt="[DIR]"></a></td><td><a href="v2/">v2/</a></td></tr>
<tr><td><a href="/icons/">elsewhere</a></td><td><a href="http://other.example/x/">x/</a></td></tr>
<tr><td><a href="a%20b/">a b/</a></td><td><a href="report.xml">report.xml</a></td></tr></table></body></html>""",
}


class _Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_HEAD(self):
        if self.path.startswith("/nohead/"):
            self.send_error(405)
        else:
            super().do_HEAD()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("www")
    for sub in ("tree/1.0-1.1", "tree/a b", "tree/zeta", "nohead", *CANNED):
        (root / sub).mkdir(parents=True)
    for sub, page in CANNED.items():
        (root / sub / "index.html").write_text(page)
    (root / "tree" / "notes.txt").write_text("x")
    (root / "doc.json").write_text(json.dumps([{"b": 1, "a": [2]}]))
    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(_Handler, directory=str(root))
    )
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()
    httpd.server_close()


def _closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/"


@pytest.mark.parametrize(
    "url, valid",
    [
        ("http://host/", True),
        ("https://host:8443/a/b", True),
        ("http://[::1]/", True),
        ("ftp://host/", False),
        ("http://", False),
        ("http://host:99999/", False),
        (" http://host/", False),
        ("http://ho st/", False),
        ("/srv/results", False),
        ("", False),
        (None, False),
    ],
)
def test_is_valid_url(url, valid):
    assert urls.is_valid_url(url) is valid


def test_reachability(server, tmp_path, monkeypatch):
    assert urls.is_url_reachable(server + "doc.json") is True
    assert urls.is_url_reachable(server + "nohead/") is True  # HEAD refused, GET answers
    for url in (server + "missing.json", _closed_port_url(), str(tmp_path), "http://"):
        assert urls.is_url_reachable(url) is False
    monkeypatch.setattr(urls.requests, "head", None)  # a new probe would fail loudly
    assert urls.is_url_reachable(server + "doc.json") is True


def test_json_documents(server):
    assert urls.get_remote_json(server + "doc.json") == [{"b": 1, "a": [2]}]
    assert urls.get_json_content_from_url(server + "doc.json")[0] == [{"b": 1, "a": [2]}]
    with pytest.raises(requests.HTTPError):
        urls.get_remote_json(server + "missing.json")


@pytest.mark.parametrize(
    "path, names",
    [
        ("tree/", ["1.0-1.1", "a b", "zeta"]),
        ("tree", ["1.0-1.1", "a b", "zeta"]),
        ("tree/zeta/", []),
        ("missing/", []),
        ("nginx/pkg/", ["1.0-2.0", "café"]),
        ("apache/pkg/", ["v2", "a b"]),
        (None, []),
    ],
)
def test_directory_list(server, path, names):
    assert urls.get_directory_list(server + path if path else _closed_port_url()) == names


# --- standard output ----------------------------------------------------------


def test_suppress_stdout_in_process(capsys, tmp_path):
    out = tmp_path / "out.txt"
    print("before")
    with pytest.raises(KeyError), quiet.suppress_stdout(str(out)):
        print("hidden")
        raise KeyError("passes through")
    print("after")
    assert capsys.readouterr().out == "before\nafter\n"
    assert out.read_text() == "hidden\n"


def test_suppress_stdout_descriptor(tmp_path):
    path = str(tmp_path / "out.txt")
    code = textwrap.dedent(f"""
        import os
        from varkit.quiet import suppress_stdout
        print("before")
        with suppress_stdout({path!r}):
            print("py")
            os.write(1, b"fd\\n")
        print("after")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout == "before\nafter\n"
    assert sorted((tmp_path / "out.txt").read_text().split()) == ["fd", "py"]


# --- symbol matching ----------------------------------------------------------


def _table():
    return prettytable.PrettyTable(["Package Name", "Related file", "Symbol"])


def test_find_symbols_records_sorted_matches(capsys):
    table = _table()
    result = {"affected_symbols": ["kept"]}
    used = symbols.find_symbols_in_file(
        {"zeta", "alpha", "gone", None},
        result,
        "libdemo1",
        "libdemo.so.1",
        table,
        symbol_list={"alpha", "zeta", "printf"},
    )
    assert used is True
    assert table.rows == [
        ["libdemo1", "libdemo.so.1", "alpha"],
        ["libdemo1", "libdemo.so.1", "zeta"],
    ]
    assert result["affected_symbols"][0] == "kept"
    assert [r["symbol"] for r in result["affected_symbols"][1:]] == ["alpha", "zeta"]
    assert "alpha" in capsys.readouterr().out


@pytest.mark.parametrize("symbol_list", [{"printf"}, set(), None])
def test_find_symbols_without_matches(capsys, symbol_list):
    table, result = _table(), {}
    assert (
        symbols.find_symbols_in_file(["alpha"], result, "p", "l", table, symbol_list=symbol_list)
        is False
    )
    assert table.rows == [] and result == {} and capsys.readouterr().out == ""


def test_soname_follows_the_file_when_it_is_replaced(tmp_path):
    library = tmp_path / "libswap.so"
    for soname in ("libswap.so.1", "libswap.so.2"):
        source = tmp_path / "swap.c"
        source.write_text("int swap_value(void) { return 1; }\n")
        built = tmp_path / "built.so"
        subprocess.run(
            ["gcc", "-shared", "-fPIC", f"-Wl,-soname,{soname}", "-o", str(built), str(source)],
            check=True,
        )
        os.replace(built, library)  # a new inode, as a package upgrade installs it
        assert elf.get_soname_from_lib(str(library)) == soname

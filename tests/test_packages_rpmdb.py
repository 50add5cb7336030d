"""Package ownership from a real rpm database, and real AArch64 objects.

The packages of tests/data/rpm are built with rpmbuild for x86_64 and for
AArch64 and installed into private rpm databases under private roots; the
host layer is pointed at them through its configuration."""

import json
import logging
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import varkit
from _rpm_support import (
    AARCH64_SYSROOT,
    RpmTree,
    compile_arm32,
    compile_objects,
    have_tools,
    install_tree,
    write_report,
)
from conftest import EXAMPLES, needs_private_mounts
from varkit import elf, packages
from varkit.packages import PackageDatabaseError

ARCHES = [
    pytest.param(
        arch,
        marks=pytest.mark.skipif(not have_tools(arch), reason=f"no rpm tools or {arch} compilers"),
    )
    for arch in ("x86_64", "aarch64")
]


@pytest.fixture(scope="session")
def trees(tmp_path_factory):
    made: dict[str, RpmTree] = {}

    def tree(arch: str) -> RpmTree:
        if arch not in made:
            made[arch] = install_tree(arch, tmp_path_factory.mktemp(f"rpm-{arch}"))
        return made[arch]

    return tree


@pytest.fixture
def use_db(monkeypatch):
    """Points the host layer at a package database for one test."""

    def use(tree: RpmTree | None = None, package_db: str = "auto") -> None:
        monkeypatch.setattr(varkit.conf, "package_db", package_db)
        monkeypatch.setattr(varkit.conf, "rpm_root", str(tree.root) if tree else "")
        monkeypatch.setattr(varkit.conf, "rpm_dbpath", tree.dbpath if tree else "")
        monkeypatch.setattr(packages, "_ownership_index", None)

    return use


def rpm_qf(tree: RpmTree, path: str) -> str:
    answer = tree.rpm("-qf", "--qf", "%{NAME}\n", path)
    return answer.stdout.strip() if answer.returncode == 0 else ""


@pytest.mark.parametrize("arch", ARCHES)
def test_ownership_matches_rpm_for_every_file(trees, use_db, arch):
    tree = trees(arch)
    use_db(tree)
    files = tree.files()
    assert len(files) == 11
    for path in files + ["/usr/bin/unpackaged", "/usr/lib64"]:
        expected = rpm_qf(tree, path)
        # by its path on this machine and by its path inside the root
        assert packages.get_belonged_rpm(str(tree.root) + path) == expected, path
        assert packages.get_belonged_rpm(path) == expected, path
    assert {rpm_qf(tree, path) for path in files} == {
        "libvkalpha",
        "libvkalpha-devel",
        "libvkbeta",
        "vkapp",
    }


@pytest.mark.parametrize(
    "path, owner",
    [
        ("/usr/lib64/libvkbeta.so.2", "libvkbeta"),  # packaged as /lib64/...
        ("/lib64/libvkalpha.so.1", "libvkalpha"),  # packaged as /usr/lib64/...
        ("/lib/../lib64/libvkbeta.so.2", "libvkbeta"),
        (
            "/usr/lib64/libvkalpha.so",
            "libvkalpha-devel",
        ),  # the link's own package, not its target's
        ("/usr/lib64/libvkalpha.so.7", ""),
    ],
)
def test_usr_merge_and_link_names(trees, use_db, path, owner):
    tree = trees("x86_64")
    use_db(tree)
    assert packages.get_belonged_rpm(path) == owner
    assert packages.get_pkgname_by_libname(str(tree.root) + path) == owner


def test_link_outside_the_root_names_its_target(trees, use_db, tmp_path):
    tree = trees("x86_64")
    use_db(tree)
    link = tmp_path / "libvkalpha.so.1"
    link.symlink_to(tree.root / "usr/lib64/libvkalpha.so.1.0.0")
    assert packages.get_belonged_rpm(str(link)) == "libvkalpha"


@pytest.mark.parametrize("arch", ARCHES)
def test_required_packages_from_rpm(trees, use_db, arch):
    tree = trees(arch)
    use_db(tree)
    bin_dir = tree.root / "usr/bin"
    # DT_NEEDED order; the C and C++ runtimes are not in this database
    assert packages.find_reqed_rpms(str(bin_dir / "vkapp")) == ["libvkalpha", "libvkbeta"]
    assert packages.find_reqed_rpms(str(bin_dir / "vkprobe")) == ["libvkalpha"]
    use_db(tree, "none")
    assert packages.find_reqed_rpms(str(bin_dir / "vkapp")) is None
    assert packages.get_belonged_rpm(str(bin_dir / "vkapp")) == ""


@pytest.mark.parametrize(
    "choice, source, owner",
    [
        ("auto", "rpm", "vkapp"),
        ("rpm", "rpm", "vkapp"),
        ("dpkg", "dpkg", ""),
        ("none", "", ""),
        ("Bogus", "rpm", "vkapp"),  # unknown: as auto, with a warning
    ],
)
def test_database_choice_is_logged(trees, use_db, caplog, choice, source, owner):
    tree = trees("x86_64")
    if source == "dpkg" and not os.path.isdir(packages.DPKG_INFO_DIR):
        pytest.skip("no dpkg database here")
    use_db(tree, choice)
    with caplog.at_level(logging.DEBUG, logger="varkit"):
        assert packages.get_belonged_rpm(str(tree.root / "usr/bin/vkapp")) == owner
        packages.get_belonged_rpm("/usr/bin/vkprobe")  # the same index answers again
    chosen = [
        r.getMessage() for r in caplog.records if r.getMessage().startswith("package database")
    ]
    assert len(chosen) == 1 and f": {source or 'none'}" in chosen[0]
    assert (choice == "Bogus") == any(
        "unknown package_db" in r.getMessage() for r in caplog.records
    )
    if source == "dpkg":
        assert packages.get_belonged_rpm(os.path.realpath(shutil.which("dpkg"))) == "dpkg"


def test_empty_or_broken_rpm_database(trees, use_db, tmp_path, caplog):
    tree = trees("x86_64")
    use_db(tree, "rpm")
    (tmp_path / "var/lib/vkrpm").mkdir(parents=True)
    varkit.conf.rpm_root = str(tmp_path)  # a root whose database holds nothing
    assert packages.get_belonged_rpm("/usr/bin/vkapp") == ""
    assert packages.find_reqed_rpms(str(tree.root / "usr/bin/vkapp")) is None
    (tmp_path / "var/lib/vkrpm/rpmdb.sqlite").write_bytes(b"junk" * 100)
    packages._ownership_index = None
    # A database that cannot be read knows no owner: "owned by no package" would be a guess.
    with caplog.at_level(logging.WARNING, logger="varkit"):
        with pytest.raises(PackageDatabaseError, match="the rpm database could not be read"):
            packages.get_belonged_rpm("/usr/bin/vkapp")
        with pytest.raises(PackageDatabaseError):
            packages.find_reqed_rpms(str(tree.root / "usr/bin/vkapp"))
    assert any("could not be read" in r.getMessage() for r in caplog.records)

    conf = tmp_path / "varkit.conf"
    conf.write_text(
        f"[varkit]\npackage_db = rpm\nrpm_root = {tmp_path}\nrpm_dbpath = {tree.dbpath}\n"
    )
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "varkit",
            "--checkabi",
            "--with-symbol",
            "--search-local",
            str(EXAMPLES / "results"),
            "--check-local",
            str(tree.root / "usr/bin/vkapp"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "VARKIT_CONF": str(conf)},
    )
    (entry,) = json.loads(run.stdout)["library"]
    assert entry["verdict"] == "not checked"
    assert any("the rpm database could not be read" in reason for reason in entry["reasons"])
    assert run.returncode & 1 and "Traceback" not in run.stderr


def test_an_rpm_that_does_not_answer_is_given_up_on(use_db, monkeypatch, tmp_path):
    (tmp_path / "rpm").write_text("#!/bin/sh\nexec sleep 60\n")
    (tmp_path / "rpm").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    monkeypatch.setattr(packages, "RPM_QUERY_SECONDS", 1)
    use_db(None, "rpm")
    started = time.monotonic()
    with pytest.raises(PackageDatabaseError, match="no answer within 1 s"):
        packages.get_belonged_rpm("/usr/bin/true")
    assert time.monotonic() - started < 30


# --- AArch64 objects --------------------------------------------------------

AARCH64 = pytest.mark.skipif(
    not (have_tools("aarch64") and have_tools("x86_64")), reason="no AArch64 cross tools"
)


@AARCH64
@pytest.mark.parametrize(
    "name, kind",
    [
        ("usr/bin/vkapp", elf.FileType.BINARY_EXECUTABLE),  # non-PIE, copy relocation
        ("usr/bin/vkprobe", elf.FileType.BINARY_EXECUTABLE),  # PIE, DT_RPATH
        ("usr/lib64/libvkalpha.so.1.0.0", elf.FileType.DYNAMIC_LIBRARY),
        ("lib64/libvkbeta.so.2", elf.FileType.DYNAMIC_LIBRARY),
    ],
)
def test_aarch64_facts_match_the_x86_64_build(trees, use_db, name, kind):
    """The same sources built for both architectures give the same answers."""
    native, target = trees("x86_64"), trees("aarch64")
    facts = []
    for tree in (native, target):
        use_db(tree)
        path = str(tree.root / name)
        imported = elf.get_undefined_symbols_from_file(path)
        ours = sorted(
            s for s in imported if "vk" in s
        )  # the libc and libstdc++ imports differ by target
        facts.append(
            (
                elf.get_file_type(path),
                elf.is_32bit_file(path),
                ours,
                [elf.ImportedSymbols.spellings(imported, s) for s in ours],
                [lib for lib in elf.find_req_libs(path) if "vk" in lib],
                elf.get_soname_from_lib(path),
                packages.find_reqed_rpms(path),
            )
        )
    assert facts[0] == facts[1]
    assert facts[1][0] == kind and facts[1][1] is False
    if name.endswith("vkapp"):
        assert "vk_alpha_count" in facts[1][2]  # copied, still imported
        assert ["vk_alpha_add@VKALPHA_1"] in facts[1][3]
        assert "_ZNK2vk4Beta5twiceEi" in facts[1][2]


@AARCH64
def test_32bit_arm_library(tmp_path):
    library = compile_arm32(tmp_path)
    assert elf.is_32bit_file(str(library)) is True
    assert elf.get_file_type(str(library)) == elf.FileType.DYNAMIC_LIBRARY


# --- the whole command --------------------------------------------------------


@pytest.fixture(scope="session")
def result_trees(tmp_path_factory):
    """A result tree per architecture: the real report of libvkalpha 1.0 -> 2.0,
    a summary and a configuration difference of libvkbeta."""
    made: dict[str, Path] = {}

    def results(arch: str) -> Path:
        if arch not in made:
            work = tmp_path_factory.mktemp(f"results-{arch}")
            tree = work / "results"
            write_report(arch, work, tree)
            # the summary: libvkbeta is in the upgrade, unchanged
            (tree / "summary.log").write_text(
                json.dumps(
                    [
                        {
                            "name": "libvkbeta",
                            "library": [{"so_name": "libvkbeta.so.2", "removed_symbols": []}],
                        }
                    ]
                )
            )
            (tree / "conf_diff.json").write_text(
                json.dumps(
                    [
                        {
                            "bin_name": ["libvkbeta"],
                            "configs": [
                                {
                                    "file": "/etc/vkbeta.conf",
                                    "change_type": "MODIFIED",
                                    "diff": "-scale = 2\n+scale = 3\n",
                                }
                            ],
                        }
                    ]
                )
            )
            made[arch] = tree
        return made[arch]

    return results


def run_in_namespace(
    tree: RpmTree, tmp_path: Path, *args: str, results: Path | None = None
) -> tuple[int, dict | None, str]:
    """`varkit ARGS` with the packages' libraries in /lib64 and the rpm database configured."""
    libdir = tmp_path / "lib64"
    libdir.mkdir(exist_ok=True)
    for name, source in (
        ("libvkalpha.so.1", "usr/lib64/libvkalpha.so.1.0.0"),
        ("libvkbeta.so.2", "lib64/libvkbeta.so.2"),
    ):
        shutil.copy(tree.root / source, libdir / name)
    conf = tmp_path / "varkit.conf"
    conf.write_text(tree.conf_text(default_compat_search_dir=str(results or tmp_path / "none")))
    run = subprocess.run(
        [str(EXAMPLES / "with_libraries.sh"), str(libdir), sys.executable, "-m", "varkit", *args],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "VARKIT_CONF": str(conf)},
    )
    return run.returncode, json.loads(run.stdout) if run.stdout else None, run.stderr


@needs_private_mounts
@pytest.mark.parametrize("arch", ARCHES)
def test_checkabi_with_rpm_package_names(trees, result_trees, tmp_path, arch):
    tree = trees(arch)
    results = result_trees(arch)
    status, result, err = run_in_namespace(
        tree,
        tmp_path,
        "--checkabi",
        "--with-symbol",
        "--search-local",
        str(results),
        "--check-local",
        str(tree.root / "usr/bin"),
    )
    assert result is not None, err
    files = {Path(entry["dest_file"]).name: entry for entry in result["library"]}
    app, probe = files["vkapp"], files["vkprobe"]
    assert app["belong_to_rpm"] == "vkapp" and probe["belong_to_rpm"] == "vkapp"
    # every library resolves inside the image, the C runtime of the program's own arch included
    assert "req_libs_not_found" not in app and "req_libs_not_found" not in probe
    assert all(str(tree.root) in path for path in app["library_found_at"].values())
    # the package directory of the report comes from rpm; libvkbeta has none
    # (the machine's libc and libstdc++ belong to no package of this database)
    assert [e for e in app["report_not_found"] if "vk" in e[1]] == [["libvkbeta", "libvkbeta.so.2"]]
    # vk_alpha_name removed, vk_alpha_add's parameters changed
    assert {r["symbol"].split("@")[0] for r in app["affected_symbols"]} == {
        "vk_alpha_name",
        "vk_alpha_add",
    }
    assert {r["symbol"].split("@")[0] for r in probe["affected_symbols"]} == {"vk_alpha_add"}
    assert app["verdict"] == probe["verdict"] == "affected"
    assert status == 8


@needs_private_mounts
@pytest.mark.parametrize("arch", ARCHES)
def test_checkconf_with_rpm_package_names(trees, result_trees, tmp_path, arch):
    tree = trees(arch)
    status, result, err = run_in_namespace(
        tree,
        tmp_path,
        "--checkconf",
        "--check-local",
        str(tree.root / "usr/bin/vkapp"),
        results=result_trees(arch),
    )
    assert result is not None, err
    entry = result["library"][0]
    assert entry["required_rpms"] == ["libvkalpha", "libvkbeta"]
    diffs = dict(entry["rpm_conf_diff"])
    assert diffs["libvkbeta"]["config_diffs"][0]["file"] == "/etc/vkbeta.conf"
    assert status == 4


@needs_private_mounts
@pytest.mark.skipif(not have_tools("x86_64"), reason="no rpm tools")
def test_soname_lookup_in_lib64(trees, tmp_path):
    """get_pkgname_by_libname by file name and soname, the libraries in /lib64."""
    tree = trees("x86_64")
    libdir = tmp_path / "lib64"
    libdir.mkdir()
    shutil.copy(tree.root / "usr/lib64/libvkalpha.so.1.0.0", libdir / "libvkalpha.so.1")
    shutil.copy(tree.root / "lib64/libvkbeta.so.2", libdir)
    conf = tmp_path / "varkit.conf"
    conf.write_text(tree.conf_text())
    code = (
        "import json; from varkit import packages as c; print(json.dumps("
        "[c.get_pkgname_by_libname(n) for n in ('libvkalpha.so.1', 'libvkbeta.so.2', 'libvkgone.so.1')]))"
    )
    run = subprocess.run(
        [str(EXAMPLES / "with_libraries.sh"), str(libdir), sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "VARKIT_CONF": str(conf)},
    )
    assert json.loads(run.stdout) == ["libvkalpha", "libvkbeta", ""], run.stderr


@AARCH64
@pytest.mark.skipif(shutil.which("qemu-aarch64") is None, reason="no qemu-user")
def test_aarch64_program_runs_as_the_check_says(trees, tmp_path):
    """Under qemu the old vkapp runs with libvkalpha 1.0 and stops at load time
    with 2.0, which lost vk_alpha_name: the affected verdict is real."""
    tree = trees("aarch64")
    new = compile_objects("aarch64", "2.0", tmp_path / "new")

    def run_with(alpha_dir: Path) -> subprocess.CompletedProcess:
        return subprocess.run(
            [
                "qemu-aarch64",
                "-L",
                AARCH64_SYSROOT,
                "-E",
                f"LD_LIBRARY_PATH={alpha_dir}:{tree.root / 'lib64'}",
                str(tree.root / "usr/bin/vkapp"),
            ],
            capture_output=True,
            text=True,
            timeout=60,
        )

    old_run, new_run = run_with(tree.root / "usr/lib64"), run_with(new)
    assert (old_run.returncode, old_run.stdout) == (0, "alpha 5 2 11\n")
    assert new_run.returncode != 0 and "undefined symbol: vk_alpha_name" in new_run.stderr


def test_rpm_chosen_but_not_installed(trees, use_db, monkeypatch, tmp_path, caplog):
    tree = trees("x86_64")
    use_db(tree, "rpm")
    monkeypatch.setenv("PATH", str(tmp_path))  # no rpm on the search path
    with caplog.at_level(logging.DEBUG, logger="varkit"):
        assert packages.get_belonged_rpm(str(tree.root / "usr/bin/vkapp")) == ""
        assert packages.find_reqed_rpms(str(tree.root / "usr/bin/vkapp")) is None
    messages = [r.getMessage() for r in caplog.records]
    assert "package_db is rpm but rpm is not on the search path" in messages
    assert any(m.startswith("package database (rpm): none") for m in messages)

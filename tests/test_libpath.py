"""Libraries found as the dynamic loader finds them: RPATH/RUNPATH with
$ORIGIN, ld.so.conf with its includes, only objects of the program's class."""

import os
import shutil
import subprocess

import pytest

from varkit import elf, libpath

pytestmark = pytest.mark.skipif(shutil.which("gcc") is None, reason="needs gcc")


def build(tmp_path, *, tag, bits=64):
    """A program linked to libdemo.so.1 in $ORIGIN/lib, with the given tag."""
    lib_dir = tmp_path / "bin" / "lib"
    lib_dir.mkdir(parents=True)
    source = tmp_path / "demo.c"
    source.write_text("int demo(void) { return 1; }\n")
    subprocess.run(
        [
            "gcc",
            f"-m{bits}",
            "-shared",
            "-fPIC",
            "-Wl,-soname,libdemo.so.1",
            "-o",
            str(lib_dir / "libdemo.so.1"),
            str(source),
        ],
        check=True,
    )
    main = tmp_path / "main.c"
    main.write_text("int demo(void);\nint main(void) { return demo(); }\n")
    flag = "--enable-new-dtags" if tag == "runpath" else "--disable-new-dtags"
    program = tmp_path / "bin" / "prog"
    subprocess.run(
        [
            "gcc",
            "-o",
            str(program),
            str(main),
            str(lib_dir / "libdemo.so.1"),
            f"-Wl,{flag},-rpath,$ORIGIN/lib",
        ],
        check=True,
    )
    return program, lib_dir / "libdemo.so.1"


@pytest.mark.parametrize("tag", ["rpath", "runpath"])
def test_origin_relative_search_path_is_followed(tmp_path, tag):
    program, library = build(tmp_path, tag=tag)
    assert elf.locate_library("libdemo.so.1", str(program)) == str(library)
    # a missing library, or a name that is a path, is found nowhere
    assert elf.locate_library("libnotthere.so.9", str(program)) == ""
    assert elf.locate_library("../lib/libdemo.so.1", str(program)) == ""


def test_objects_of_another_class_are_skipped(tmp_path):
    try:
        program, library = build(tmp_path, tag="runpath", bits=64)
        wrong = tmp_path / "wrong.c"
        wrong.write_text("int demo(void) { return 2; }\n")
        subprocess.run(
            ["gcc", "-m32", "-shared", "-fPIC", "-o", str(library), str(wrong)],
            check=True,
            stderr=subprocess.DEVNULL,
        )
    except subprocess.CalledProcessError:
        pytest.skip("no 32-bit toolchain")
    # the only libdemo.so.1 in the program's RUNPATH is 32-bit: not the one it loads
    assert elf.locate_library("libdemo.so.1", str(program)) == ""
    assert elf.locate_library("libdemo.so.1") == ""  # no requester: loader dirs only


def test_system_libraries_are_found_outside_lib64(tmp_path):
    found = elf.locate_library("libc.so.6", "/bin/true")
    assert found and elf.get_soname_from_lib(found) == "libc.so.6"
    assert os.path.dirname(found) in libpath.loader_dirs()


def test_ld_so_conf_includes_are_read(tmp_path):
    dirs = [tmp_path / name for name in ("one", "two", "three")]
    for directory in dirs:
        directory.mkdir()
    (tmp_path / "conf.d").mkdir()
    (tmp_path / "conf.d" / "b.conf").write_text(f"{dirs[2]}\n")
    (tmp_path / "conf.d" / "a.conf").write_text(f"# comment\n{dirs[1]}  # trailing\n")
    main = tmp_path / "ld.so.conf"
    main.write_text(f"{dirs[0]}\ninclude conf.d/*.conf\ninclude {main}\n/does/not/exist\n")
    found = libpath._configured_dirs(str(main))
    # includes in name order; the self-include stops at the depth limit
    assert found[:3] == [str(d) for d in dirs]
    assert libpath._unique_dirs(found) == [str(d) for d in dirs]


def _program_with_runpath(out, library, runpath):
    """A program calling demo() of ``library``, with the given DT_RUNPATH."""
    subprocess.run(
        [
            "gcc",
            "-o",
            str(out),
            "-x",
            "c",
            "-",
            "-x",
            "none",
            str(library),
            f"-Wl,--enable-new-dtags,-rpath,{runpath}",
        ],
        input=b"int demo(void);\nint main(void) { return demo(); }\n",
        check=True,
    )


@pytest.mark.parametrize("entry", ["ld.so.conf", "include", "runpath"])
def test_an_image_root_is_searched_inside_itself(tmp_path, monkeypatch, entry):
    import varkit

    root = tmp_path / "image"
    program, library = build(tmp_path / "build", tag="runpath")
    target = root / "opt" / "vendor" / "lib"
    target.mkdir(parents=True)
    shutil.copy(library, target / "libdemo.so.1")
    (root / "etc" / "ld.so.conf.d").mkdir(parents=True)
    if entry == "ld.so.conf":
        (root / "etc" / "ld.so.conf").write_text("/opt/vendor/lib\n")
    elif entry == "include":
        (root / "etc" / "ld.so.conf").write_text("include /etc/ld.so.conf.d/*.conf\n")
        (root / "etc" / "ld.so.conf.d" / "vendor.conf").write_text("/opt/vendor/lib\n")
    (root / "usr" / "bin").mkdir(parents=True)
    placed = root / "usr" / "bin" / "prog"
    if entry == "runpath":
        # An absolute RUNPATH names a directory of the image, not of this machine.
        _program_with_runpath(placed, library, "/opt/vendor/lib")
    else:
        shutil.copy(program, placed)
        os.remove(program.parent / "lib" / "libdemo.so.1")  # not found through $ORIGIN
    monkeypatch.setattr(varkit.conf, "rpm_root", str(root))
    assert elf.locate_library("libdemo.so.1", str(placed)) == str(target / "libdemo.so.1")
    # This machine's own directories are not the image's.
    assert all(d.startswith(str(root)) for d in libpath.loader_dirs())


@pytest.mark.parametrize("token", ["$LIB", "${LIB}", "$PLATFORM"])
def test_lib_and_platform_expand_as_the_loader_expands_them(tmp_path, token):
    program, library = build(tmp_path, tag="runpath")
    loader = "/lib64/ld-linux-x86-64.so.2"
    if not os.path.exists(loader):
        pytest.skip("no x86_64 loader")
    # Where this machine's loader expands the token to, from its own debug output.
    probe = tmp_path / "probe"
    _program_with_runpath(probe, library, f"/probe/{token}/end")
    debug = subprocess.run(
        [loader, "--list", str(probe)], capture_output=True, text=True, env={"LD_DEBUG": "libs"}
    ).stderr
    expanded = debug.split("search path=/probe/", 1)[1].split("/end", 1)[0]
    placed = tmp_path / "app" / "bin"
    (placed / expanded).mkdir(parents=True)
    shutil.copy(library, placed / expanded / "libdemo.so.1")
    _program_with_runpath(placed / "prog", library, f"$ORIGIN/{token}")
    listed = subprocess.run(
        [loader, "--list", str(placed / "prog")], capture_output=True, text=True
    ).stdout
    theirs = next(row for row in listed.splitlines() if "libdemo.so.1 =>" in row).split("=> ")[1]
    theirs = theirs.split(" (")[0]
    mine = elf.locate_library("libdemo.so.1", str(placed / "prog"))
    assert (
        os.path.realpath(mine)
        == os.path.realpath(theirs)
        == str(placed / expanded / "libdemo.so.1")
    )

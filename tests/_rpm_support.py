"""Real RPM packages for the tests: the sources under tests/data/rpm/src are
compiled for one architecture, packaged with rpmbuild from the build recipes of
tests/data/rpm and installed into a private rpm database under a private
root (never the machine's own database)."""

from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data" / "rpm"
RECIPES = ("libvkalpha.rpmbuild", "libvkbeta.rpmbuild", "vkapp.rpmbuild")

# C and C++ compilers per target architecture (rpm's names). Foreign targets
# use clang with Debian's cross libc and binutils: the gcc cross compilers
# cannot be installed beside gcc-multilib.
COMPILERS = {
    "x86_64": (["gcc"], ["g++"]),
    "aarch64": (["clang", "--target=aarch64-linux-gnu"], ["clang++", "--target=aarch64-linux-gnu"]),
}
ARM32_CC = ["clang", "--target=arm-linux-gnueabihf"]
# Where qemu-user finds the AArch64 loader and libc.
AARCH64_SYSROOT = "/usr/aarch64-linux-gnu"


def have_tools(arch: str) -> bool:
    tools = ["rpm", "rpmbuild", COMPILERS[arch][0][0]]
    if arch != "x86_64":
        tools += [f"{arch}-linux-gnu-ld", "abi-dumper"]
    return all(shutil.which(tool) for tool in tools) and (
        arch == "x86_64" or os.path.isdir(f"/usr/{arch}-linux-gnu/lib")
    )


def run(*args: object, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [str(a) for a in args], cwd=cwd, check=True, capture_output=True, text=True
    )


def compile_objects(arch: str, version: str, out: Path) -> Path:
    """The libraries of one version (1.0 or 2.0) built for ``arch`` into ``out``,
    with the programs for 1.0."""
    cc, cxx = COMPILERS[arch]
    src = DATA / "src"
    out.mkdir(parents=True, exist_ok=True)
    # Each version's header says which version it is, so that a reader of the
    # headers alone sees the change.
    prefix = "#define VKALPHA_V2\n" if version == "2.0" else ""
    (out / "vkalpha.h").write_text(prefix + (src / "vkalpha.h").read_text())
    shutil.copy(src / "vkalpha.c", out)
    debug = ["-g", "-Og"]
    run(
        *cc,
        *debug,
        "-shared",
        "-fPIC",
        f"-Wl,--version-script={src / 'vkalpha.map'}",
        "-Wl,-soname,libvkalpha.so.1",
        "-o",
        out / "libvkalpha.so.1.0.0",
        out / "vkalpha.c",
    )
    for link in ("libvkalpha.so.1", "libvkalpha.so"):
        if not (out / link).is_symlink():
            (out / link).symlink_to("libvkalpha.so.1.0.0")
    run(
        *cxx,
        *debug,
        "-shared",
        "-fPIC",
        "-Wl,-soname,libvkbeta.so.2",
        "-o",
        out / "libvkbeta.so.2",
        src / "vkbeta.cpp",
    )
    if version != "1.0":
        return out  # programs are built against the old version only
    # Non-PIE so that reading vk_alpha_count takes a copy relocation.
    run(
        *cxx,
        "-fno-pic",
        "-no-pie",
        f"-I{out}",
        f"-I{src}",
        "-o",
        out / "vkapp",
        src / "vkapp.cpp",
        f"-L{out}",
        "-lvkalpha",
        out / "libvkbeta.so.2",
        "-Wl,--enable-new-dtags,-rpath,$ORIGIN/../lib64:$ORIGIN/../../lib64",
    )
    run(
        *cc,
        f"-I{out}",
        "-o",
        out / "vkprobe",
        src / "vkprobe.c",
        f"-L{out}",
        "-lvkalpha",
        "-Wl,--disable-new-dtags,-rpath,$ORIGIN/../lib64",
    )
    return out


def compile_arm32(out: Path) -> Path:
    library = out / "libvkarm32.so"
    run(*ARM32_CC, "-shared", "-fPIC", "-o", library, DATA / "src" / "vkarm32.c")
    return library


def build_rpms(arch: str, version: str, objects: Path, topdir: Path) -> list[Path]:
    for recipe in RECIPES:
        run(
            "rpmbuild",
            "-bb",
            "--quiet",
            "--define",
            f"_topdir {topdir}",
            "--define",
            f"vk_files {objects}",
            "--define",
            f"vk_version {version}",
            "--target",
            arch,
            DATA / recipe,
        )
    return sorted((topdir / "RPMS").rglob("*.rpm"))


@dataclass
class RpmTree:
    """Packages installed under ``root`` with their database in ``dbpath``
    (a directory inside the root, as rpm's --dbpath is taken with --root)."""

    arch: str
    root: Path
    dbpath: str
    objects: Path
    rpms: list[Path]

    def rpm(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run(
            ["rpm", "--root", str(self.root), "--dbpath", str(self.dbpath), *args],
            capture_output=True,
            text=True,
            check=False,
        )

    def files(self) -> list[str]:
        """Every path the database lists, as inside the root."""
        return sorted(set(self.rpm("-qal").stdout.split()))

    def conf_text(self, **extra: str) -> str:
        lines = ["[varkit]", f"rpm_dbpath = {self.dbpath}", f"rpm_root = {self.root}"]
        lines += [f"{key} = {value}" for key, value in extra.items()]
        return "\n".join(lines) + "\n"


def install_tree(arch: str, workdir: Path, version: str = "1.0") -> RpmTree:
    objects = compile_objects(arch, version, workdir / f"objects-{version}")
    rpms = build_rpms(arch, version, objects, workdir / "rpmbuild")
    root = workdir / "root"
    dbpath = "/var/lib/vkrpm"
    root.mkdir()
    tree = RpmTree(arch, root, dbpath, objects, rpms)
    # The test packages need nothing from the private database but each other;
    # libc and libstdc++ are the machine's.
    done = tree.rpm("-i", "--nodeps", "--ignorearch", "--ignoreos", *map(str, rpms))
    if done.returncode != 0:
        raise RuntimeError(f"rpm -i failed: {done.stderr}")
    add_system_libraries(arch, root)
    return tree


# The system libraries the test programs need, and where this machine keeps them per arch.
SYSTEM_LIBRARIES = ("libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1")
SYSTEM_LIBRARY_DIRS = {
    "x86_64": ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"),
    "aarch64": (f"{AARCH64_SYSROOT}/lib",),
}


def add_system_libraries(arch: str, root: Path) -> None:
    """An image has its own C and C++ runtime: copies of this machine's (for
    AArch64, the cross sysroot's) in the root's /usr/lib64, outside the database."""
    libdir = root / "usr" / "lib64"
    libdir.mkdir(parents=True, exist_ok=True)
    for name in SYSTEM_LIBRARIES:
        source = next(
            (Path(d) / name for d in SYSTEM_LIBRARY_DIRS[arch] if (Path(d) / name).exists()), None
        )
        if source is not None and not (libdir / name).exists():
            shutil.copy(source.resolve(), libdir / name)


def write_report(arch: str, workdir: Path, results: Path) -> Path:
    """The real report of libvkalpha 1.0 against 2.0 for ``arch`` under ``results``."""
    descriptors = []
    for version in ("1.0", "2.0"):
        objects = compile_objects(arch, version, workdir / f"acc-{version}")
        descriptor = workdir / f"acc-{version}.xml"
        if arch != "x86_64":
            # From the objects' own debug information: a report from the headers
            # would be compiled by the host's compiler, for x86_64.
            descriptor = workdir / f"acc-{version}.dump"
            run(
                "abi-dumper",
                objects / "libvkalpha.so.1.0.0",
                "-o",
                descriptor,
                "-lver",
                version,
                "-public-headers",
                objects,
                cwd=workdir,
            )
        else:
            descriptor.write_text(
                f"<version>{version}</version>\n<headers>{objects / 'vkalpha.h'}</headers>\n"
                f"<libs>{objects / 'libvkalpha.so.1.0.0'}</libs>\n"
            )
        descriptors.append(descriptor)
    report = (
        results
        / "compat_reports"
        / "libvkalpha"
        / "libvkalpha.so.1"
        / "1.0_to_2.0"
        / "compat_report.xml"
    )
    subprocess.run(
        [
            "abi-compliance-checker",
            "-l",
            "libvkalpha",
            "-old",
            str(descriptors[0]),
            "-new",
            str(descriptors[1]),
            "-xml",
            "-report-path",
            str(report),
        ],
        cwd=workdir,
        capture_output=True,
        text=True,
        timeout=600,
    )
    if not report.is_file():
        raise RuntimeError("abi-compliance-checker wrote no report")
    return report

"""varkit's library lookup against the real dynamic loader.

For every ELF object under the given directories (default: /usr/bin, /usr/sbin
and the multiarch library directory), each direct DT_NEEDED name is resolved
by varkit (varkit.elf.locate_library) and by glibc's loader run as a program
(`ld.so --list FILE`: it maps the libraries and runs none of the program's
code). The two agree when they name the same file (symbolic links resolved).

    .venv/bin/python bench/bench_loader.py [DIR ...]
    .venv/bin/python bench/bench_loader.py --root SYSROOT --qemu ARCH [DIR ...]

With --root the objects belong to a system image under SYSROOT (varkit's
rpm_root): varkit searches inside it, and the loader is the image's own, run
under qemu-user for a foreign ARCH (`qemu-ARCH -L SYSROOT LOADER --list`);
paths the loader prints are inside the image. DIR defaults to SYSROOT/lib.

Prints the counts (files, needed names, agreed, differed, loader failed) and
every difference with both answers; exits 1 when any name differs.
"""

from __future__ import annotations

import glob
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

from varkit import elf

LOADERS = sorted(glob.glob("/lib64/ld-linux-*.so.*") + glob.glob("/lib/ld-linux*.so.*"))
DEFAULT_DIRS = ["/usr/bin", "/usr/sbin", *sorted(glob.glob("/usr/lib/*-linux-gnu"))]


def elf_objects(directories: list[str]) -> list[str]:
    found = []
    for top in directories:
        for directory, _, files in os.walk(top):
            for name in files:
                path = os.path.join(directory, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                try:
                    with open(path, "rb") as handle:
                        if handle.read(4) != b"\x7fELF":
                            continue
                except OSError:
                    continue
                if elf.find_req_libs(path):
                    found.append(path)
    return sorted(found)


ROOT = ""  # the image root, "" for this machine
LOADER_COMMANDS: list[list[str]] = [[loader] for loader in LOADERS]


def loader_answer(path: str) -> dict[str, str] | None:
    """name -> path as the loader resolves it ("" for "not found"); None when
    no loader of this machine takes the file."""
    for command in LOADER_COMMANDS:
        try:
            done = subprocess.run(
                [*command, "--list", path], capture_output=True, text=True, timeout=30
            )
        except (OSError, subprocess.SubprocessError):
            continue
        if done.returncode not in (0, 1) or "=>" not in done.stdout:
            continue
        answer = {}
        for line in done.stdout.splitlines():
            if "=>" not in line:
                # The loader itself, named by its path: "/lib64/ld-linux-x86-64.so.2 (0x...)".
                loaded = line.strip().split(" (")[0]
                if loaded.startswith("/"):
                    answer[os.path.basename(loaded)] = loaded
                continue
            name, _, rest = line.strip().partition("=>")
            target = rest.strip()
            found = "" if target.startswith("not found") else target.split(" (")[0]
            if ROOT and found.startswith("/") and not found.startswith(ROOT + "/"):
                found = ROOT + found  # the image's own path, on this machine's disk
            answer[name.strip()] = found
        return answer
    return None


def same_file(a: str, b: str) -> bool:
    return bool(a) and bool(b) and os.path.realpath(a) == os.path.realpath(b)


def main(argv: list[str]) -> int:
    global ROOT, LOADER_COMMANDS
    if "--root" in argv:
        at = argv.index("--root")
        ROOT = os.path.normpath(argv[at + 1])
        del argv[at : at + 2]
        import varkit

        varkit.conf.rpm_root = ROOT
        arch = "x86_64"
        if "--qemu" in argv:
            at = argv.index("--qemu")
            arch = argv[at + 1]
            del argv[at : at + 2]
        loaders = sorted(glob.glob(os.path.join(ROOT, "lib", "ld-linux*.so.*")))
        LOADER_COMMANDS = [[f"qemu-{arch}", "-L", ROOT, loader] for loader in loaders]
        argv = argv or [os.path.join(ROOT, "lib")]
    directories = argv or DEFAULT_DIRS
    started = time.monotonic()
    files = elf_objects(directories)
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        answers = dict(zip(files, pool.map(loader_answer, files)))
    needed = agreed = loader_failed = 0
    differences = []
    untaken: dict[str, int] = {}
    for path in files:
        answer = answers[path]
        for name in elf.find_req_libs(path):
            needed += 1
            if answer is None or name not in answer:
                loader_failed += 1
                if answer is None:
                    kind = os.path.dirname(path)
                    untaken[kind] = untaken.get(kind, 0) + 1
                continue
            mine = elf.locate_library(name, path)
            theirs = answer[name]
            if same_file(mine, theirs) or (not mine and not theirs):
                agreed += 1
            else:
                differences.append((path, name, mine or "(none)", theirs or "not found"))
    print(f"directories: {', '.join(directories)}")
    print(f"ELF objects that require libraries: {len(files)}")
    print(f"needed names: {needed}")
    print(f"agreed: {agreed}")
    print(f"differed: {len(differences)}")
    print(f"loader failed (the file is not one this machine's loader takes): {loader_failed}")
    for directory, count in sorted(untaken.items(), key=lambda item: -item[1])[:8]:
        print(f"  {count} names of files in {directory}")
    print(f"time: {time.monotonic() - started:.1f} s")
    for path, name, mine, theirs in differences:
        print(f"  {path}: {name}: varkit {mine}, loader {theirs}")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""The floor of report reading: libxml2's bare SAX2 parse (bench/sax_floor.c, built
with cc into bench/out/ on first use)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "sax_floor.c"
PROGRAM = HERE / "out" / "sax_floor"


def _built() -> bool:
    if PROGRAM.exists() and PROGRAM.stat().st_mtime >= SOURCE.stat().st_mtime:
        return True
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libxml-2.0"], capture_output=True, text=True
    )
    if flags.returncode != 0 or shutil.which("cc") is None:
        return False
    PROGRAM.parent.mkdir(parents=True, exist_ok=True)
    built = subprocess.run(
        ["cc", "-O2", str(SOURCE), "-o", str(PROGRAM), *flags.stdout.split()], capture_output=True
    )
    return built.returncode == 0


def sax_floor_cpu(paths: list[str]) -> float | None:
    """CPU seconds of parsing each file once, or None (no compiler, or a file that
    is not well-formed)."""
    if not paths or not _built():
        return None
    total = 0.0
    for start in range(0, len(paths), 200):
        chunk = paths[start : start + 200]
        done = subprocess.run([str(PROGRAM), *chunk], capture_output=True, text=True)
        if done.returncode != 0:
            return None
        well_formed, cpu = done.stdout.split()
        if int(well_formed) != len(chunk):
            return None
        total += float(cpu)
    return total

"""Verdict quality of the ABI check against abicompat, on the corpus of corpus.py.

    harness.py run OUT            build, report, check, compare (run.sh calls this)
                                  for the architecture VERDICT_ARCH names: x86_64
                                  (default) or aarch64 (clang, Debian's cross libc
                                  and binutils; the programs run under qemu-user)
    harness.py varkit-side OUT    the real check of every program; run inside
                                  examples/with_libraries.sh (the old libraries installed)

Under OUT: lib/<package>/<version>/ (headers, library, descriptor), installed/
(the old libraries and their owners, for with_libraries.sh), apps/ (programs
built against the old versions), results/ (compat_reports/<package>/<soname>/
1.0_to_2.0/compat_report.xml written by abi-compliance-checker, summary.log),
abicompat/ (its output per program), varkit.json, table.txt.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(HERE))

from corpus import PAIRS, Pair  # noqa: E402

ARCH = os.environ.get("VERDICT_ARCH", "x86_64")
_TARGETS = {
    "x86_64": {"c": ["gcc"], "c++": ["g++"]},
    "aarch64": {
        "c": ["clang", "--target=aarch64-linux-gnu"],
        "c++": ["clang++", "--target=aarch64-linux-gnu"],
    },
}
if ARCH not in _TARGETS:
    raise SystemExit(f"VERDICT_ARCH must be one of {', '.join(_TARGETS)}")
COMPILERS = {"c": (_TARGETS[ARCH]["c"], "c"), "c++": (_TARGETS[ARCH]["c++"], "cpp")}
# The tools that read objects of the architecture, and how a program of it runs.
CROSS = [] if ARCH == "x86_64" else ["-cross-prefix", f"{ARCH}-linux-gnu"]
READELF = "readelf" if ARCH == "x86_64" else f"{ARCH}-linux-gnu-readelf"
SYSROOT = f"/usr/{ARCH}-linux-gnu"


def run_program(program: Path, library_dir: Path) -> subprocess.CompletedProcess:
    if ARCH == "x86_64":
        return subprocess.run(
            [str(program)],
            env={**os.environ, "LD_LIBRARY_PATH": str(library_dir)},
            capture_output=True,
            text=True,
            timeout=30,
        )
    return subprocess.run(
        [f"qemu-{ARCH}", "-L", SYSROOT, "-E", f"LD_LIBRARY_PATH={library_dir}", str(program)],
        capture_output=True,
        text=True,
        timeout=60,
    )


REPORT_DIR = "1.0_to_2.0"


def sh(*args: object, cwd: Path | None = None, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(
        [str(a) for a in args], cwd=cwd, check=check, capture_output=True, text=True
    )


# --------------------------------------------------------------------------
# Building


def build_library(out: Path, pair: Pair, label: str) -> Path:
    version = pair.old if label == "1.0" else pair.new
    soname = pair.sonames[0 if label == "1.0" else 1]
    compiler, ext = COMPILERS[pair.lang]
    d = out / "lib" / pair.package / label
    d.mkdir(parents=True, exist_ok=True)
    (d / pair.header).write_text(version.header)
    (d / f"{pair.lib}.{ext}").write_text(version.source)
    args = [
        *compiler,
        "-g",
        "-Og",
        "-shared",
        "-fPIC",
        f"-Wl,-soname,{soname}",
        "-o",
        d / soname,
        d / f"{pair.lib}.{ext}",
    ]
    if version.version_script:
        (d / f"{pair.lib}.map").write_text(version.version_script)
        args.insert(len(compiler), f"-Wl,--version-script={d / f'{pair.lib}.map'}")
    sh(*args)
    (d / "descriptor.xml").write_text(
        f"<version>{label}</version>\n<headers>{d / pair.header}</headers>\n<libs>{d / soname}</libs>\n"
    )
    return d / soname


def build_programs(out: Path, pair: Pair) -> list[Path]:
    compiler, ext = COMPILERS[pair.lang]
    old = out / "lib" / pair.package / "1.0"
    apps = out / "apps" / pair.package
    apps.mkdir(parents=True, exist_ok=True)
    built = []
    for program in pair.programs:
        source = apps / f"{program.name}.{ext}"
        source.write_text(f'#include "{pair.header}"\n{program.source}')
        sh(
            *compiler,
            "-g",
            "-O0",
            "-I",
            old,
            "-o",
            apps / program.name,
            source,
            old / pair.sonames[0],
        )
        source.unlink()  # the check walks apps/: only the programs belong there
        built.append(apps / program.name)
    return built


def write_report(out: Path, pair: Pair) -> Path:
    report = (
        out
        / "results"
        / "compat_reports"
        / pair.package
        / pair.sonames[1]
        / REPORT_DIR
        / "compat_report.xml"
    )
    report.parent.mkdir(parents=True, exist_ok=True)
    logs = out / "acc" / pair.package
    logs.mkdir(parents=True, exist_ok=True)
    lib = out / "lib" / pair.package
    inputs = [lib / "1.0" / "descriptor.xml", lib / "2.0" / "descriptor.xml"]
    if CROSS:
        # abi-compliance-checker compiles headers with the host's compiler, so
        # a report from headers would describe an x86_64 build. The dumps are
        # read from the objects' own debug information: the report is the
        # foreign architecture's (<arch> says so).
        inputs = [dump_abi(lib / label, pair, label, logs) for label in ("1.0", "2.0")]
    # Exits 1 when the versions are incompatible; the report is what counts.
    sh(
        "abi-compliance-checker",
        "-q",
        "-l",
        pair.lib,
        "-old",
        inputs[0],
        "-new",
        inputs[1],
        "-xml",
        "-report-path",
        report,
        cwd=logs,
        check=False,
    )
    if not report.is_file() or report.stat().st_size == 0:
        raise SystemExit(
            f"abi-compliance-checker wrote no report for {pair.package} (logs in {logs})"
        )
    return report


def dump_abi(directory: Path, pair: Pair, label: str, logs: Path) -> Path:
    soname = pair.sonames[0 if label == "1.0" else 1]
    dump = logs / f"{label}.dump"
    sh(
        "abi-dumper",
        directory / soname,
        "-o",
        dump,
        "-lver",
        label,
        "-public-headers",
        directory,
        cwd=logs,
    )
    return dump


def write_summary(out: Path) -> None:
    """The summary log as examples/make_results.sh writes it."""
    packages: dict[str, list[dict]] = {}
    for pair in PAIRS:
        report = (
            out
            / "results"
            / "compat_reports"
            / pair.package
            / pair.sonames[1]
            / REPORT_DIR
            / "compat_report.xml"
        )
        removed = sorted(
            {
                name.text
                for name in binary_report(report).iterfind("removed_symbols//name")
                if name.text
            }
        )
        old, new = pair.sonames
        library: dict = {"so_name": new, "removed_symbols": removed}
        if old != new:  # the old name is known only to the summary
            library = {
                "so_name": old,
                "removed_symbols": removed,
                "lib_soname_ver_change": [old, new],
            }
        packages.setdefault(pair.package, []).append(library)
    summary = [{"name": name, "library": libraries} for name, libraries in packages.items()]
    (out / "results" / "summary.log").write_text(json.dumps(summary, indent=4) + "\n")


def install_old_libraries(out: Path) -> Path:
    installed = out / "installed"
    installed.mkdir(parents=True, exist_ok=True)
    owners = []
    for pair in PAIRS:
        soname = pair.sonames[0]
        (installed / soname).write_bytes((out / "lib" / pair.package / "1.0" / soname).read_bytes())
        owners.append(f"{soname} {pair.package}\n")
    (installed / "owners").write_text("".join(owners))
    return installed


# --------------------------------------------------------------------------
# The two checkers


def run_abicompat(out: Path, pair: Pair, program: Path) -> dict:
    lib = out / "lib" / pair.package
    run = sh(
        "abicompat",
        "--no-show-locs",
        program,
        lib / "1.0" / pair.sonames[0],
        lib / "2.0" / pair.sonames[1],
        check=False,
    )
    (out / "abicompat").mkdir(exist_ok=True)
    (out / "abicompat" / f"{program.name}.txt").write_text(run.stdout + run.stderr)
    # Exit status bits: 1 error, 2 usage, 4 ABI change, 8 incompatible change.
    if run.returncode & 3:
        verdict = "error"
    else:
        verdict = "affected" if run.returncode & 12 else "clean"
    flagged = sorted(
        set(
            re.findall(
                r"\[[CD]\] '(?:function|method) [^']*'|\[[CD]\] '[^']*variable [^']*'|"
                r"(?:function|variable) symbol[s]? [^\n]*",
                run.stdout,
            )
        )
    )
    return {"verdict": verdict, "status": run.returncode, "flagged": flagged}


def varkit_side(out: Path) -> None:
    """Runs in the private mount namespace where the old libraries are installed."""
    from varkit import common, impactor, verdict

    results: dict[str, dict] = {}
    for pair in PAIRS:
        for program in pair.programs:
            path = str(out / "apps" / pair.package / program.name)
            library_dict: dict = {}
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                passed = impactor.search_source_for_dest_file(
                    str(out / "results") + "/", path, library_dict, "ABI"
                )
            # The command's verdict: the result map read as a whole, not the check's answer alone.
            judged = verdict.judge(library_dict, "ABI", False, common.get_file_type(path))
            results[program.name] = {
                "passed": bool(passed),
                "verdict": judged.verdict,
                "map": library_dict,
                "printed": printed.getvalue(),
            }
    (out / "varkit.json").write_text(json.dumps(results, indent=2, default=sorted) + "\n")


def run_varkit(out: Path, installed: Path) -> dict:
    env = dict(os.environ)
    # The working tree when it holds an in-place build (make inplace), else the installed varkit.
    if any((ROOT / "python" / "varkit").glob("impactor*.so")):
        env["PYTHONPATH"] = f"{ROOT / 'python'}{os.pathsep}{os.environ.get('PYTHONPATH', '')}"
    python = os.environ.get("PYTHON", str(ROOT / ".venv" / "bin" / "python"))
    subprocess.run(
        [
            str(ROOT / "examples" / "with_libraries.sh"),
            str(installed),
            python,
            __file__,
            "varkit-side",
            str(out),
        ],
        check=True,
        env=env,
    )
    return json.loads((out / "varkit.json").read_text())


# --------------------------------------------------------------------------
# An independent view: which symbols the report lists that the program imports,
# compared through c++filt and the version tables as readelf prints them.


def binary_report(report: Path) -> ET.Element:
    root = ET.parse(report).getroot()
    found = root if root.get("kind") == "binary" else root.find(".//report[@kind='binary']")
    if found is None:
        raise SystemExit(f"{report}: no binary report")
    return found


def listed_symbols(report: Path) -> set[str]:
    binary = binary_report(report)
    names = {n.text for n in binary.iterfind("removed_symbols//name") if n.text}
    for section in binary.iter():
        if (
            section.tag in ("problems_with_symbols", "problems_with_types")
            and section.get("severity") != "Safe"
        ):
            names.update(s.get("name") for s in section.iter("symbol") if s.get("name"))
    return names


def demangle(names: set[str]) -> dict[str, str]:
    ordered = sorted(names)
    run = subprocess.run(
        ["c++filt"], input="\n".join(ordered) + "\n", capture_output=True, text=True, check=True
    )
    return dict(zip(ordered, run.stdout.splitlines()))


def imported_spellings(program: Path) -> set[str]:
    """Undefined dynamic symbols and copied variables, as readelf spells them."""
    spelled = set()
    for line in sh(READELF, "--dyn-syms", "--wide", program).stdout.splitlines():
        fields = line.split()
        if len(fields) >= 8 and fields[6] == "UND":
            spelled.add(fields[7])
    for line in sh(READELF, "--relocs", "--wide", program).stdout.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[2].endswith("_COPY"):
            spelled.add(fields[4])
    return spelled


def run_with(out: Path, pair: Pair, program: Path) -> dict[str, str]:
    """How the program ends with each version of its library: the observable truth."""
    ends = {}
    for label in ("1.0", "2.0"):
        run = run_program(program, out / "lib" / pair.package / label)
        error = run.stderr.strip().splitlines()
        loader = "error while loading" in run.stderr or "symbol lookup error" in run.stderr
        detail = f" ({'loader: ' if loader else ''}{error[-1][-90:]})" if error else ""
        ends[label] = f"exit {run.returncode}{detail}"
    return ends


def listed_and_used(report: Path, program: Path) -> list[str]:
    listed = {(name, *name.partition("@")[::2]) for name in listed_symbols(report)}
    used = {(name, *name.partition("@")[::2]) for name in imported_spellings(program)}
    text = demangle({base for _, base, _ in listed | used})
    hits = []
    for used_name, used_base, used_version in used:
        for listed_name, listed_base, listed_version in listed:
            versions = used_version.lstrip("@"), listed_version.lstrip("@")
            if text[used_base] == text[listed_base] and (
                not all(versions) or versions[0] == versions[1]
            ):
                hits.append(f"{listed_name} ~ {used_name}")
    return sorted(hits)


# --------------------------------------------------------------------------
# Comparison


HEADINGS = (
    "package",
    "program",
    "varkit",
    "abicompat",
    "varkit matched by",
    "run with 2.0",
    "agreement",
)
KINDS = (
    "both affected",
    "both clean",
    "varkit review, abicompat clean",
    "only varkit affected",
    "only abicompat affected",
)
# Kinds where the two agree: "maybe affected" (review the source) is no
# incompatibility, and abicompat has no such verdict.
AGREEING = KINDS[:3]


def assess(out: Path, pair: Pair, program_name: str, mine: dict, theirs: dict) -> dict:
    """One program: both verdicts, how varkit matched, what the report lists that it imports, how it runs."""
    program = out / "apps" / pair.package / program_name
    report = (
        out
        / "results"
        / "compat_reports"
        / pair.package
        / pair.sonames[1]
        / REPORT_DIR
        / "compat_report.xml"
    )
    v_affected = mine["verdict"] == "affected"
    v_review = mine["verdict"] == "maybe affected"
    theirs_affected = theirs["verdict"] == "affected"
    if theirs["verdict"] == "error":
        kind = "abicompat error"
    elif v_review and not theirs_affected:
        kind = KINDS[2]
    elif v_affected == theirs_affected:
        kind = KINDS[0] if v_affected else KINDS[1]
    else:
        kind = KINDS[3] if v_affected else KINDS[4]
    ends = run_with(out, pair, program)
    return {
        "package": pair.package,
        "program": program_name,
        "kind": kind,
        "varkit": "affected" if v_affected else "review" if v_review else "clean",
        "abicompat": theirs["verdict"],
        "hows": sorted({m["how"] for m in mine["map"].get("symbol_matches", [])}),
        "ends": ends,
        "runs": "same"
        if ends["1.0"] == ends["2.0"]
        else ("load error" if "(loader: " in ends["2.0"] else "differs"),
        "listed": listed_and_used(report, program),
        "mine": mine,
        "theirs": theirs,
    }


def note(entry: dict, known: str) -> str:
    mine, theirs = entry["mine"]["map"], entry["theirs"]
    facts = [
        f"run with 1.0: {entry['ends']['1.0']}; with 2.0: {entry['ends']['2.0']}",
        f"abicompat status {theirs['status']}",
    ]
    if theirs["flagged"]:
        facts.append("abicompat: " + "; ".join(theirs["flagged"][:4]))
    if mine.get("affected_symbols"):
        facts.append("varkit: " + ", ".join(r["symbol"] for r in mine["affected_symbols"]))
    if "lib_soname_ver_change" in mine:
        facts.append(f"lib_soname_ver_change: {json.dumps(mine['lib_soname_ver_change'])}")
    facts.append("report lists and program imports: " + (", ".join(entry["listed"]) or "nothing"))
    flags = ", LISTED SYMBOL MISSED" if entry["missed"] else ""
    flags += ", RUN DIFFERS" if entry["kind"] == "both clean" and entry["runs"] != "same" else ""
    return f"* {entry['program']} ({entry['kind']}{flags}): {known or 'UNEXPLAINED'}\n" + "".join(
        f"    - {fact}\n" for fact in facts
    )


def compare(out: Path, varkit: dict, abicompat: dict[str, dict]) -> tuple[str, bool]:
    """The table, the counts and a note per disagreement; ok when every note has a reason."""
    entries, notes = [], []
    ok = True
    for pair in PAIRS:
        for program in pair.programs:
            entry = assess(out, pair, program.name, varkit[program.name], abicompat[program.name])
            entry["missed"] = bool(entry["listed"]) and entry["varkit"] == "clean"
            entries.append(entry)
            if (
                entry["kind"] not in AGREEING
                or entry["missed"]
                or (entry["kind"] == "both clean" and entry["runs"] != "same")
            ):
                notes.append(note(entry, program.known))
                ok = ok and bool(program.known) and entry["kind"] != "abicompat error"
    rows = [
        (
            e["package"],
            e["program"],
            e["varkit"],
            e["abicompat"],
            ",".join(e["hows"]) or "-",
            e["runs"],
            e["kind"],
        )
        for e in entries
    ]
    widths = [max(len(str(r[i])) for r in rows + [HEADINGS]) for i in range(len(HEADINGS))]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()  # noqa: E731
    text = [line(HEADINGS), line(["-" * w for w in widths])] + [line(r) for r in rows]
    counts = {
        kind: sum(e["kind"] == kind for e in entries) for kind in KINDS + ("abicompat error",)
    }
    text += ["", "Agreement:"] + [f"  {k:<24} {v}" for k, v in counts.items() if v or k in KINDS]
    through_identity = [e["program"] for e in entries if e["hows"] and "exact" not in e["hows"]]
    missed = [e["program"] for e in entries if e["missed"]]
    text += [
        "",
        (
            f"Affected only through identity matching (no exact spelling): {len(through_identity)} "
            f"({', '.join(through_identity) or '-'})"
        ),
        (
            f"Programs importing a symbol the report lists, called clean by varkit: {len(missed)} "
            f"({', '.join(missed) or '-'})"
        ),
    ]
    text += ["", "Disagreements and misses:" if notes else "No disagreements.", *notes]
    return "\n".join(text) + "\n", ok


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1] not in ("run", "varkit-side"):
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[2]).resolve()
    if argv[1] == "varkit-side":
        varkit_side(out)
        return 0

    programs: dict[str, tuple[Pair, Path]] = {}
    for pair in PAIRS:
        build_library(out, pair, "1.0")
        build_library(out, pair, "2.0")
        for path in build_programs(out, pair):
            programs[path.name] = (pair, path)
    print(
        f"built {len(PAIRS)} library pairs and {len(programs)} programs for {ARCH}", file=sys.stderr
    )
    with ThreadPoolExecutor(max_workers=2) as pool:  # the machine is shared
        list(pool.map(lambda p: write_report(out, p), PAIRS))
    write_summary(out)
    print("reports written by abi-compliance-checker", file=sys.stderr)
    with ThreadPoolExecutor(max_workers=2) as pool:
        found = pool.map(lambda item: (item[0], run_abicompat(out, *item[1])), programs.items())
        abicompat = dict(found)
    varkit = run_varkit(out, install_old_libraries(out))
    text, ok = compare(out, varkit, abicompat)
    (out / "table.txt").write_text(text)
    print(text)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

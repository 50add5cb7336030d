"""varkit.package_mapping.deb.lineage: the download step with stand-in commands,
and the package-to-source table from real and crafted "Packages" indexes."""

import gzip
import os
import re
import shutil
import stat
from pathlib import Path

import pytest

from varkit.package_mapping.deb import lineage

DATA = Path(__file__).parent / "data" / "lineage"
COMPONENTS = ("main", "multiverse", "restricted", "universe")
HEADER = "package_name" + " " * 48 + "source_name\n" + "*" * 80 + "\n"
TABLE = "package_source_mapping.txt"


def row(package, source):
    return package + " " * max(0, 60 - len(package)) + source + "\n"


def index_path(component):
    return Path("deb", "noble", component, "Packages_" + component)


# Each stand-in logs its argument vector (one call a line, arguments tab-separated)
# and then does the real thing: curl copies the prepared archive of the URL's
# component, gunzip and mv run the system's own commands.
STAND_IN = """#!/bin/sh
name=$(basename "$0")
printf '%s' "$name" >> "$STAND_IN_LOG"
for arg in "$@"; do printf '\\t%s' "$arg" >> "$STAND_IN_LOG"; done
printf '\\n' >> "$STAND_IN_LOG"
case "$name" in
  curl)
    component=$(printf '%s' "$3" | sed 's|.*/dists/noble/\\([a-z]*\\)/.*|\\1|')
    [ -f "$STAND_IN_ARCHIVES/$component.gz" ] || exit 22
    cp "$STAND_IN_ARCHIVES/$component.gz" "$2" ;;
  gunzip) exec "$REAL_GUNZIP" "$@" ;;
  mv) exec "$REAL_MV" "$@" ;;
esac
"""


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    """Stand-in curl/gunzip/mv first on PATH; archives of the committed index slices."""
    bin_dir = tmp_path / "bin"
    archives = tmp_path / "archives"
    bin_dir.mkdir()
    archives.mkdir()
    for component in COMPONENTS:
        data = (DATA / ("Packages_" + component)).read_bytes()
        (archives / (component + ".gz")).write_bytes(gzip.compress(data))
    for name in ("curl", "gunzip", "mv"):
        script = bin_dir / name
        script.write_text(STAND_IN)
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
    log = tmp_path / "commands.log"
    monkeypatch.setenv("STAND_IN_LOG", str(log))
    monkeypatch.setenv("STAND_IN_ARCHIVES", str(archives))
    monkeypatch.setenv("REAL_GUNZIP", shutil.which("gunzip"))
    monkeypatch.setenv("REAL_MV", shutil.which("mv"))
    monkeypatch.setenv("PATH", str(bin_dir) + os.pathsep + os.environ["PATH"])
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return {"log": log, "archives": archives}


def logged_calls(log):
    return [tuple(line.split("\t")) for line in log.read_text().splitlines()]


def expected_rows(index_text):
    """Rows of a real index: there each paragraph has one Package and at most one Source line."""
    rows = ""
    for paragraph in index_text.strip().split("\n\n"):
        package = re.search(r"^Package:(.*)$", paragraph, re.M).group(1)
        source = re.search(r"^Source:(.*)$", paragraph, re.M)
        rows += row(package, source.group(1) if source else package)
    return rows


def test_process_downloads_files_and_tabulates_the_real_indexes(stand_ins, capsys):
    lineage.process()

    calls = logged_calls(stand_ins["log"])
    assert len(calls) == 12
    for position in range(0, 12, 3):
        component = calls[position + 1][1][len("Packages_") :]
        gz = "Packages_%s.gz" % component
        assert calls[position : position + 3] == [
            (
                "curl",
                "--output",
                gz,
                "https://%s/ubuntu/dists/noble/%s/binary-amd64/Packages.gz"
                % (lineage_mirror(calls), component),
            ),
            ("gunzip", "Packages_" + component),
            ("mv", "Packages_" + component, "./deb/noble/%s/" % component),
        ]
    assert sorted(call[1][len("Packages_") :] for call in calls[1::3]) == sorted(COMPONENTS)
    printed = capsys.readouterr().out.splitlines()
    assert printed == [
        "unzip file Packages_%s.gz..." % call[1][len("Packages_") :] for call in calls[1::3]
    ]

    expected = HEADER
    for component in COMPONENTS:
        index = (DATA / ("Packages_" + component)).read_text(encoding="utf-8")
        assert index_path(component).read_text(encoding="utf-8") == index
        expected += expected_rows(index)
    table = Path(TABLE).read_text(encoding="utf-8")
    assert table == expected
    assert row(" 2048-qt", " 2048-qt (0.1.6-2)") in table
    assert row(" 0ad", " 0ad") in table


def lineage_mirror(calls):
    return calls[0][3].split("/")[2]


def test_second_run_rewrites_the_table(stand_ins):
    lineage.process()
    first = Path(TABLE).read_bytes()
    lineage.process()
    assert Path(TABLE).read_bytes() == first
    assert first.count(b"*" * 80) == 1


def test_failed_commands_are_not_checked_and_the_missing_index_is_the_error(stand_ins):
    (stand_ins["archives"] / "universe.gz").unlink()  # curl fails for universe only
    with pytest.raises(FileNotFoundError) as caught:
        lineage.process()
    assert caught.value.filename == "./deb/noble/universe/Packages_universe"
    assert len(logged_calls(stand_ins["log"])) == 12
    table = Path(TABLE).read_text(encoding="utf-8")
    expected = HEADER + "".join(
        expected_rows((DATA / ("Packages_" + c)).read_text(encoding="utf-8"))
        for c in COMPONENTS[:3]
    )
    assert table == expected


def break_universe_download(stand_ins):
    (stand_ins["archives"] / "universe.gz").unlink()  # the stand-in curl then exits 22


def replace_command(name, body):
    def apply(stand_ins):
        script = stand_ins["log"].parent / "bin" / name
        script.write_text("#!/bin/sh\n" + body + "\n")

    return apply


WARNING = "lineage: warning: "


@pytest.mark.parametrize(
    "breakage, warnings",
    [
        (
            break_universe_download,  # nothing to unpack nor to move afterwards either
            [
                "curl failed with exit status 22",
                "gunzip failed with exit status 1",
                "mv failed with exit status 1",
            ],
        ),
        (
            replace_command("gunzip", "exit 3"),  # then nothing to move
            ["gunzip failed with exit status 3", "mv failed with exit status 1"] * 4,
        ),
        (replace_command("mv", "kill -KILL $$"), ["mv ended by signal 9"] * 4),
    ],
    ids=["curl", "gunzip", "mv"],
)
def test_failed_commands_are_warned_about_and_the_last_indexes_are_used(
    stand_ins, capfd, breakage, warnings
):
    lineage.process()
    first = Path(TABLE).read_bytes()
    assert WARNING not in capfd.readouterr().err
    breakage(stand_ins)
    lineage.process()
    captured = capfd.readouterr()
    assert [
        line[len(WARNING) :] for line in captured.err.splitlines() if line.startswith(WARNING)
    ] == warnings
    assert captured.out.count("unzip file ") == 4
    assert Path(TABLE).read_bytes() == first  # stale, as the warnings say


@pytest.fixture
def offline(tmp_path, monkeypatch):
    """No download: process() uses whatever get_data is bound at call time."""
    monkeypatch.setattr(lineage, "get_data", lambda: None)
    monkeypatch.chdir(tmp_path)

    def write_indexes(main, others=("Package: x\n",) * 3):
        for component, text in zip(COMPONENTS, (main,) + tuple(others)):
            path = index_path(component)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)

    return write_indexes


LONG = "p" * 59
EDGE_CASES = {
    "no source repeats the package": ("Package: zlib1g\nVersion: 1\n", [(" zlib1g", " zlib1g")]),
    "source keeps its version": ("Package: a\nSource: b (1.2-3)\n", [(" a", " b (1.2-3)")]),
    "59 characters get one space": (
        "Package: " + LONG[1:] + "\nSource: s\n",
        [(" " + LONG[1:], " s")],
    ),
    "60 characters get no space": ("Package: " + LONG + "\nSource: s\n", [(" " + LONG, " s")]),
    "61 characters get no space": (
        "Package: " + LONG + "p\nSource: s\n",
        [(" " + LONG + "p", " s")],
    ),
    "continuation lines": (
        "Package: a\nDescription: d\n no colon here\n Homepage: x:y\nSource: s\n",
        [(" a", " s")],
    ),
    "later fields replace earlier ones until both are found": (
        "Source: old\nSource: s\nPackage: a\nPackage: b\nSource: late\n",
        [(" a", " s")],
    ),
    "empty values do not stop the search": (
        "Package:\nSource:\nPackage: a\nSource: s\n",
        [(" a", " s")],
    ),
    "empty source falls back": ("Package: a\nSource:\n", [(" a", " a")]),
    "keys match exactly": (
        "package: no\n Package: no\nPackage : no\nPackage:yes\nSource :no\n",
        [("yes", "yes")],
    ),
    "split at the first colon": ("Package: a:b\nSource: c:d\n", [(" a:b", " c:d")]),
    "characters, not bytes": (
        "Package: \u00e9t\u00e9-\U0001f600\nSource: s\n",
        [(" \u00e9t\u00e9-\U0001f600", " s")],
    ),
    "windows line ends": (
        "Package: a\r\nSource: s\r\n\r\nPackage: b\r\n",
        [(" a", " s"), (" b", " b")],
    ),
    "white space around the text": ("\u2028 \n\nPackage: a\n\n\n\n \u3000", [(" a", " a")]),
    "three line breaks start the next paragraph": (
        "Package: a\n\n\nPackage: b\n",
        [(" a", " a"), (" b", " b")],
    ),
    "a paragraph without Package has no row": ("Source: s\n\nPackage: a\n", [(" a", " a")]),
}


@pytest.mark.parametrize("index, rows", EDGE_CASES.values(), ids=EDGE_CASES.keys())
def test_rows_of_crafted_paragraphs(offline, index, rows):
    offline(index, others=("", "", ""))
    lineage.process()
    assert Path(TABLE).read_text(encoding="utf-8") == HEADER + "".join(row(p, s) for p, s in rows)


def test_components_follow_each_other_line_by_line(offline):
    offline("Package: m", others=("Package: mu", "\n\nPackage: r\n\n", "Package: u\n"))
    lineage.process()
    assert Path(TABLE).read_text() == HEADER + row(" m", " m") + row(" mu", " mu") + row(
        " r", " r"
    ) + row(" u", " u")


@pytest.mark.parametrize(
    "broken, error",
    [
        (b"Package: a\n\xff\n", UnicodeDecodeError),
        (None, IsADirectoryError),
    ],
)
def test_unreadable_index_ends_process_after_the_header(offline, broken, error):
    offline("Package: a\n")
    path = index_path("multiverse")
    if broken is None:
        path.unlink()
        path.mkdir()
    else:
        path.write_bytes(broken)
    with pytest.raises(error):
        lineage.process()
    assert Path(TABLE).read_text() == HEADER + row(" a", " a")


def test_main_program_runs_process(offline):
    offline("Package: a\n")
    lineage._main()
    assert Path(TABLE).read_text() == HEADER + row(" a", " a") + row(" x", " x") * 3

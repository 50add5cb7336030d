"""Symbol identity in varkit.symbols: what a program imports, on objects built
here, against the names a compliance report uses."""

import shutil
import subprocess

import prettytable
import pytest

from varkit import elf, symbols

CC, CXX = shutil.which("gcc"), shutil.which("g++")

pytestmark = pytest.mark.skipif(not (CC and CXX), reason="needs gcc and g++")


def _run(*args):
    subprocess.run([*map(str, args)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def versioned(tmp_path_factory):
    """libver 1 defines pick@@V1; libver 2 keeps pick@V1 and adds pick@@V2.
    Programs are linked against each: old_prog is bound to pick@V1, new_prog to pick@V2;
    old_prog also reads the library's array `table` (a copy relocation, not an import)."""
    d = tmp_path_factory.mktemp("versioned")
    (d / "v1.c").write_text(
        "int pick(int x) { return x; }\nint other(void) { return 1; }\n"
        "int table[4] = {1, 2, 3, 4};\n"
    )
    (d / "v1.map").write_text("V1 { global: pick; other; table; local: *; };\n")
    (d / "v2.c").write_text(
        "int pick_v1(int x) { return x; }\n"
        "int pick_v2(int x, int y) { return x + y; }\n"
        "int other(void) { return 1; }\n"
        "int table[4] = {1, 2, 3, 4};\n"
        '__asm__(".symver pick_v1,pick@V1");\n'
        '__asm__(".symver pick_v2,pick@@V2");\n'
    )
    (d / "v2.map").write_text(
        "V1 { global: pick; other; table; local: *; };\nV2 { global: pick; } V1;\n"
    )
    for version in ("v1", "v2"):
        (d / version).mkdir()
        _run(
            CC,
            "-shared",
            "-fPIC",
            f"-Wl,--version-script={d / f'{version}.map'}",
            "-Wl,-soname,libver.so.1",
            "-o",
            d / version / "libver.so.1",
            d / f"{version}.c",
        )
    (d / "old.c").write_text(
        "int pick(int); int other(void); extern int table[4];\n"
        "int main(void) { return pick(1) + other() + table[1]; }\n"
    )
    (d / "new.c").write_text("int pick(int, int);\nint main(void) { return pick(1, 2); }\n")
    _run(CC, "-fPIE", "-pie", "-o", d / "old_prog", d / "old.c", d / "v1" / "libver.so.1")
    _run(CC, "-o", d / "new_prog", d / "new.c", d / "v2" / "libver.so.1")
    return {
        name: elf.get_undefined_symbols_from_file(str(d / name))
        for name in ("old_prog", "new_prog")
    }


WIDGET_H = """class Widget {
public:
    Widget(int v);
    virtual ~Widget();
    int value() const;
private:
    int v_;
};
"""


@pytest.fixture(scope="module")
def structors(tmp_path_factory):
    """A C++ library; `direct` constructs a Widget, `derived` only constructs a subclass."""
    d = tmp_path_factory.mktemp("structors")
    (d / "widget.h").write_text(WIDGET_H)
    (d / "widget.cpp").write_text(
        '#include "widget.h"\nWidget::Widget(int v) : v_(v) {}\n'
        "Widget::~Widget() {}\nint Widget::value() const { return v_; }\n"
    )
    (d / "direct.cpp").write_text('#include "widget.h"\nint main() { Widget w(1); return 0; }\n')
    (d / "derived.cpp").write_text(
        '#include "widget.h"\nstruct Mine : Widget { Mine() : Widget(2) {} };\n'
        "int main() { Mine m; return 0; }\n"
    )
    _run(CXX, "-shared", "-fPIC", "-o", d / "libwidget.so.1", d / "widget.cpp")
    for name in ("direct", "derived"):
        _run(CXX, "-O0", "-o", d / name, d / f"{name}.cpp", d / "libwidget.so.1")
    return {
        name: elf.get_undefined_symbols_from_file(str(d / name)) for name in ("direct", "derived")
    }


def _check(changed, used):
    table = prettytable.PrettyTable(["Package Name", "Related file", "Symbol"])
    result = {}
    affected = symbols.find_symbols_in_file(
        changed, result, "libver1", "libver.so.1", table, symbol_list=used
    )
    matches = {
        (m["report_symbol"], m["file_symbol"], m["how"]) for m in result.get("symbol_matches", [])
    }
    return affected, matches, result, table


def test_imports_carry_their_versions(versioned):
    old, new = versioned["old_prog"], versioned["new_prog"]
    # Plain names for callers that intersect; the versions beside them.
    assert {"pick", "other", "table"} <= old and "pick" in new and "table" not in new
    assert (old.versions["pick"], new.versions["pick"], old.versions["table"]) == (
        {"V1"},
        {"V2"},
        {"V1"},
    )
    assert old.spellings("pick") == ["pick@V1"]
    assert any(version.startswith("GLIBC_") for version in old.versions["__libc_start_main"])


@pytest.mark.parametrize(
    "report_name, old_how, new_how",
    [
        ("pick@@V1", "version", None),  # the default version of the old library
        ("pick@V1", "exact", None),
        ("pick", "version", "version"),  # a report without versions names every version
        ("pick@@V2", None, "version"),
        ("pick@V3", None, None),
        ("other@@V1", "version", None),
        ("table@@V1", "version", None),  # a variable the program holds a copy of
    ],
)
def test_versioned_report_names(versioned, report_name, old_how, new_how):
    for program, how in (("old_prog", old_how), ("new_prog", new_how)):
        affected, matches, result, table = _check(
            {report_name, "unrelated@@V1"}, versioned[program]
        )
        assert affected is (how is not None)
        if how:
            spelled = f"{report_name.split('@')[0]}@{'V1' if program == 'old_prog' else 'V2'}"
            assert matches == {(report_name, spelled, how)}
            assert [r["symbol"] for r in result["affected_symbols"]] == [report_name]
            assert len(table.rows) == 1 and report_name in table.rows[0][2]
        else:
            assert result == {} and table.rows == []


def test_structor_variants_of_a_real_class(structors):
    direct, derived = structors["direct"], structors["derived"]
    # What g++ makes each program import: the complete-object or the base-object entry points.
    assert {"_ZN6WidgetC1Ei", "_ZN6WidgetD1Ev"} <= direct
    assert {"_ZN6WidgetC2Ei", "_ZN6WidgetD2Ev"} <= derived and "_ZN6WidgetC1Ei" not in derived
    changed = {"_ZN6WidgetC1Ei", "_ZN6WidgetD1Ev", "_ZNK6Widget5valueEv"}
    assert _check(changed, direct)[1] == {
        ("_ZN6WidgetC1Ei", "_ZN6WidgetC1Ei", "exact"),
        ("_ZN6WidgetD1Ev", "_ZN6WidgetD1Ev", "exact"),
    }
    affected, matches, result, table = _check(changed, derived)
    assert affected and matches == {
        ("_ZN6WidgetC1Ei", "_ZN6WidgetC2Ei", "ctor-dtor-variant"),
        ("_ZN6WidgetD1Ev", "_ZN6WidgetD2Ev", "ctor-dtor-variant"),
    }
    # The table shows the report's spelling and the program's.
    assert "_ZN6WidgetC1Ei (file: _ZN6WidgetC2Ei)" in [row[2] for row in table.rows]


@pytest.mark.parametrize(
    "first, second, same",
    [
        ("_ZN6WidgetC1Ei", "_ZN6WidgetC2Ei", True),
        ("_ZN6WidgetD0Ev", "_ZN6WidgetD2Ev", True),
        ("_ZN6WidgetC1Ei", "_ZN6WidgetD1Ev", False),
        ("_ZN6WidgetC1Ei", "_ZN6WidgetC1El", False),  # another overload
        ("_ZN3FooIiEC1Ev", "_ZN3FooIiEC2Ev", True),  # class template
        ("_ZN3FooIiEC1Ev", "_ZN3FooIlEC1Ev", False),
        ("_ZN2ns3BarC1B5cxx11Ev", "_ZN2ns3BarC2B5cxx11Ev", True),
        (
            "_ZNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEC1EPKcRKS3_",
            "_ZNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEC2EPKcRKS3_",
            True,
        ),
        ("_ZN1BCI11AEi", "_ZN1BCI21AEi", True),  # inheriting constructor
        ("_ZN1BCI11AEi", "_ZN1BC1Ei", False),
        ("_ZN3ABC1Ev", "_ZN3ABC2Ev", False),  # "ABC" is a name, not a constructor
        ("_ZNK6Widget5valueEv", "_ZNK6Widget5valueEv", False),
    ],
)
def test_structor_families(first, second, same):
    family = symbols.structor_family(first)
    assert (family is not None and family == symbols.structor_family(second)) is same


def test_closest_spelling_wins_and_foreign_spellings_are_read():
    # The report lists two variants: the program's own spelling is the match.
    _, matches, _, _ = _check({"_ZN6WidgetC1Ei", "_ZN6WidgetC2Ei"}, {"_ZN6WidgetC2Ei"})
    assert matches == {("_ZN6WidgetC2Ei", "_ZN6WidgetC2Ei", "exact")}
    # Names read by another tool already carry "@VER".
    _, matches, _, _ = _check({"pick@@V1", "pick@@V2"}, ["pick@V1", None])
    assert matches == {("pick@@V1", "pick@V1", "version")}
    assert symbols.split_version("pick@@V2") == ("pick", "V2") == symbols.split_version("pick@V2")

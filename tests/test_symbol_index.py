"""The changed-symbol index of varkit.symbols against the per-call matching it
replaced (tests/oracles/symbol_match_baseline.py): the same matches, records
and printed tables for any report names and imports."""

import prettytable
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from oracles import symbol_match_baseline as oracle
from varkit import elf, symbols

# A small space of names, so that report and file names meet often.
scopes = st.sampled_from(["3Foo", "3Foo", "3Foo3Bar", "2x*", "3q@r"])
templates = st.sampled_from(["", "", "IiE"])
structor_codes = st.sampled_from(["C1", "C2", "C3", "CI1", "CI2", "D0", "D1", "D2", "C4", "C*"])
parameters = st.sampled_from(["Ev", "Ev", "B5cxx11Ev"])


@st.composite
def mangled(draw):
    code = draw(structor_codes)
    inherited = "3Bar" if code.startswith("CI") else ""
    return f"_ZN{draw(scopes)}{draw(templates)}{code}{inherited}{draw(parameters)}"


bases = st.one_of(
    mangled(),
    mangled(),
    st.sampled_from(["pick", "other", "table", "_ZN3Foo3getEv", "x*", "_ZN3FooC*Ev"]),
)
versions = st.sampled_from(["", "@V1", "@@V1", "@V2", "@@V2", "@", "@@", "@V1@x"])
spelled = st.builds(lambda base, version: base + version, bases, versions)
changed = st.lists(st.one_of(spelled, st.sampled_from(["", None, 7])), max_size=14)


@st.composite
def imports(draw):
    """A program's imports: an ImportedSymbols with versions, or a plain collection."""
    kind = draw(st.sampled_from(["imported", "set", "frozenset", "list"]))
    if kind != "imported":
        names = draw(st.lists(st.one_of(spelled, st.sampled_from(["", None])), max_size=10))
        return {"set": set, "frozenset": frozenset, "list": list}[kind](names)
    names = draw(st.lists(st.one_of(bases, spelled), max_size=10))
    tagged = draw(st.lists(st.sampled_from(names), unique=True)) if names else []
    return elf.ImportedSymbols(
        names,
        {
            name: frozenset(
                draw(st.lists(st.sampled_from(["V1", "V2", "V3"]), min_size=1, unique=True))
            )
            for name in tagged
        },
    )


def _run(module, report_names, symbol_list):
    table = prettytable.PrettyTable(["Package Name", "Related file", "Symbol"])
    result = {}
    affected = module.find_symbols_in_file(
        report_names, result, "pkg", "libx.so.1", table, symbol_list=symbol_list
    )
    return affected, result, table.get_string()


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(changed, min_size=1, max_size=3), st.lists(imports(), min_size=1, max_size=3))
def test_index_matches_the_per_call_matching(reports, files):
    # Every file against every report, twice: the second round from the memo.
    for _ in range(2):
        for report_names in reports:
            for symbol_list in files:
                expected = oracle.match_symbols(report_names, symbol_list)
                assert symbols.match_symbols(report_names, symbol_list) == expected
                assert _run(symbols, set(report_names) - {None}, symbol_list) == _run(
                    oracle, set(report_names) - {None}, symbol_list
                )


@given(changed, imports())
@settings(max_examples=200, deadline=None)
def test_a_small_memo_stays_bounded_and_right(report_names, symbol_list):
    memo = symbols._IndexMemo(max_entries=2, max_names=40)
    saved, symbols._changed_indexes = symbols._changed_indexes, memo
    try:
        for extra in ([], ["pick"], ["other@V1"], ["_ZN3FooC1Ev"], []):
            names = report_names + extra
            assert symbols.match_symbols(names, symbol_list) == oracle.match_symbols(
                names, symbol_list
            )
            assert len(memo._entries) <= 2
            assert memo._names == sum(index.size for index in memo._entries.values()) <= 40
    finally:
        symbols._changed_indexes = saved


def test_report_names_that_are_not_hashable():
    # Only strings are names; anything else among them is passed over, as before.
    names = ["pick@@V1", ["not", "a", "name"], "_ZN3FooC1Ev"]
    used = elf.ImportedSymbols({"pick", "_ZN3FooC2Ev"}, {"pick": frozenset({"V1"})})
    assert (
        symbols.match_symbols(names, used)
        == oracle.match_symbols(names, used)
        == [("_ZN3FooC1Ev", "_ZN3FooC2Ev", "ctor-dtor-variant"), ("pick@@V1", "pick@V1", "version")]
    )

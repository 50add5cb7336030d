"""Edge cases of the report reader on hand-written XML (what real reports cannot show).
Each runs the native module and the baseline and also checks the concrete lines."""

import pytest

from _reportscan_support import both, forbid_lxml_parse, minimal_report, native, run, write

SEP = "=" * 80


def scan(tmp_path, xml, fast=True):
    """Runs both on the document; by default also asserts the fast path (no lxml parse)."""
    path = write(tmp_path, xml)
    with forbid_lxml_parse() as state:
        native_run = run(native, "reportscan", path)
    result = both("reportscan", path)
    assert result == native_run
    if fast:
        assert not state["used"], "the fast path handed the document to lxml"
    return result + (state["used"],)


def test_no_report(tmp_path):
    printed, result, logs, slow = scan(tmp_path, "<reports><other/></reports>")
    assert (printed, result, logs, slow) == ("", [], [], False)


def test_root_is_report_and_nested_reports_in_document_order(tmp_path):
    inner = minimal_report(kind="source").replace("libx", "inner")
    xml = minimal_report(body=inner).replace("libx", "outer")
    printed, result, logs, _ = scan(tmp_path, xml)
    assert printed.count(SEP) == 2
    first, second = printed.split(SEP + "\n")[1:]
    assert first.startswith("Processing binary report...\nTest library: outer\n")
    assert second.startswith("Processing source report...\nTest library: inner\n")


def test_report_without_kind_and_test_results(tmp_path):
    printed, result, logs, _ = scan(tmp_path, minimal_report(kind=None))
    assert (
        printed == f"{SEP}\nProcessing None report...\nTest library: libx\nTest Version: 1 VS 2\n"
    )
    assert result == []


def test_empty_library_prints_none_and_empty_test_results(tmp_path):
    xml = minimal_report(body="<test_results/>").replace("<library>libx</library>", "<library/>")
    printed, *_ = scan(tmp_path, xml)
    assert printed.endswith(
        "Test library: None\nTest Version: 1 VS 2\nTest Results:\n  Headers:\n\n  Libs:\n"
    )


def test_test_results_fields(tmp_path):
    body = (
        "<test_results><verdict>ok</verdict><x><headers><name>a.h</name><name/></headers></x>"
        "<libs><name>l.so</name></libs><affected>0</affected><symbols>3</symbols>"
        "<symbols>4</symbols><inner><types>9</types></inner></test_results>"
    )
    printed, *_ = scan(tmp_path, minimal_report(body=body))
    assert printed.endswith(
        "Test Results:\n  Headers:\n    - a.h\n    - None\n\n  Libs:\n"
        "    - l.so\n  Symbols: 3\n  Verdict: ok\n  Affected: 0\n"
    )


def test_first_library_is_the_first_in_document_order(tmp_path):
    xml = (
        "<report kind='binary'><added_symbols><header name='h'><library name='L'>"
        "<name>s</name></library></header></added_symbols><removed_symbols/>"
        "<library>late</library><version1><number>1</number></version1>"
        "<version2><number>2</number></version2></report>"
    )
    printed, *_ = scan(tmp_path, xml)
    # the section's library comes first; its text is None (it starts with a child)
    assert "Test library: None\n" in printed


@pytest.mark.parametrize("missing", ["library", "version1", "version2"])
def test_missing_test_info_fails_after_first_line(tmp_path, missing):
    xml = (
        minimal_report()
        .replace(f"<{missing}>", f"<x{missing}>")
        .replace(f"</{missing}>", f"</x{missing}>")
    )
    printed, result, logs, _ = scan(tmp_path, xml)
    assert printed == f"{SEP}\nProcessing binary report...\n"
    assert result == [] and logs == [(0, "An unexpected error occurred: list index out of range")]


@pytest.mark.parametrize("section", ["added_symbols", "removed_symbols"])
def test_missing_section_discards_earlier_reports(tmp_path, section):
    removed = "<removed_symbols><header name='h'><library><name>gone</name></library></header></removed_symbols>"
    good = minimal_report().replace("<removed_symbols/>", removed)
    bad = minimal_report().replace(f"<{section}/>", "")
    printed, result, logs, _ = scan(tmp_path, f"<reports>{good}{bad}</reports>")
    assert result == []
    assert logs == [(0, "An unexpected error occurred: 'NoneType' object has no attribute 'xpath'")]
    assert printed.count(SEP) == 2 and "      Symbol: gone\n" in printed


def test_section_must_be_a_direct_child(tmp_path):
    xml = minimal_report().replace("<removed_symbols/>", "<x><removed_symbols/></x>")
    assert scan(tmp_path, xml)[2][0][1].startswith("An unexpected error occurred: ")


def test_added_and_removed_blocks(tmp_path):
    added = (
        "<added_symbols><header><library name='X'><name>hidden</name></library></header>"
        "<header name='a.h'><library><name>n1</name><name/></library>"
        "<library name=''><name>n2</name></library></header></added_symbols>"
    )
    removed = (
        "<removed_symbols><header><library name='L'><name>s1</name></library>"
        "<library name='M'><name>s1</name><name/></library></header>"
        "<header name='b.h'><library name='L'/></header></removed_symbols>"
    )
    xml = minimal_report().replace("<added_symbols/>", added).replace("<removed_symbols/>", removed)
    printed, result, logs, _ = scan(tmp_path, xml)
    assert (
        "\nAdded Symbols:\n  Header: a.h\n    Library: Unnamed Library\n      Symbol: n1\n"
        "      Symbol: None\n    Library: \n      Symbol: n2\n"
    ) in printed
    assert "hidden" not in printed
    assert (
        "\nRemoved Symbols:\n  Header: None\n    Library: L\n      Symbol: s1\n"
        "    Library: M\n      Symbol: s1\n      Symbol: None\n  Header: b.h\n"
        "    Library: L\n"
    ) in printed
    assert result == [
        [
            {"header_name": None, "affected_symbols": {"s1", None}},
            {"header_name": "b.h", "affected_symbols": set()},
        ]
    ]


def test_added_only_unnamed_header_prints_nothing(tmp_path):
    xml = minimal_report().replace(
        "<added_symbols/>",
        "<added_symbols><header><library><name>x</name></library></header></added_symbols>",
    )
    printed, *_ = scan(tmp_path, xml)
    assert "Added Symbols" not in printed


SYMBOLS = """<problems_with_symbols severity="{sev}">
 <header name="nochain.h"><library name="L"><symbol name="s0"><problem><change>c</change></problem></symbol></library></header>
 <header name="h.h">
  <library name="L">
   <symbol name="plain"/>
   <symbol name="s1"><problem id="P1"><change old_size="8" new_size="16">@old_size bytes became @new_size</change></problem></symbol>
   <symbol name="s2"><problem id="P2"><effect/></problem><problem id="P3"><change>later</change></problem></symbol>
   <symbol name="s3"><problem><change>no id</change></problem></symbol>
  </library>
  <library><symbol name="unnamed-lib"/></library>
 </header>
</problems_with_symbols>"""


@pytest.mark.parametrize("sev", ["High", "Safe"])
def test_symbol_problems(tmp_path, sev):
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=SYMBOLS.format(sev=sev)))
    assert (
        f"\nProblems with severity '{sev}':\n  Header: h.h\n  Library: L\n    Symbol: plain\n"
        "    Symbol: s1\n      Symbol: s1, Problem: P1, Change: 8 bytes became 16\n"
        "    Symbol: s2\n    Symbol: s3\n      Symbol: s3, Problem: , Change: no id\n"
    ) in printed
    assert "nochain" not in printed and "unnamed-lib" not in printed
    expected = set() if sev == "Safe" else {"plain", "s1", "s2", "s3"}
    assert result == [[{"header_name": "h.h", "affected_symbols": expected}]]


def test_section_without_taken_header_prints_nothing(tmp_path):
    body = (
        "<problems_with_symbols severity='High'><header name='h'><library name='L'>"
        "<symbol name='s'><problem><change>x</change></problem></symbol></library></header>"
        "</problems_with_symbols>"
    )
    printed, result, *_ = scan(tmp_path, minimal_report(body=body))
    assert "Problems with severity" not in printed and result == []


TYPES = """<problems_with_types severity="Medium">
 <header name="t.h">
  <type name="T1">
   <affected><symbol name="f1" param="p"><comment>@param and @field of @kind</comment><comment>2nd</comment></symbol>
             <symbol name="f2"/></affected>
   <problem id="X"/>
   <problem id="Y"><change target="a">@target changed</change></problem>
  </type>
  <type name="T2">
   <problem id="Z"><change v="1">@v</change></problem>
   <affected><symbol name="g1" field="fld"><comment kind="K">@field/@param/@kind</comment></symbol></affected>
   <affected><symbol name="g2"><comment>second affected</comment></symbol></affected>
  </type>
 </header>
</problems_with_types>"""


def test_type_problems(tmp_path):
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=TYPES))
    assert (
        "\nProblems with severity 'Medium':\n  Header: t.h\n"
        "      Affected Symbol: f1, Comment: p and  of @kind\n"
        "    Type: T2, Problem: Z, Change: 1\n"
        "      Affected Symbol: g1, Comment: fld//K\n"
    ) in printed
    assert result == [[{"header_name": "t.h", "affected_symbols": {"f1", "f2", "g1"}}]]


def test_constant_problems_print_only(tmp_path):
    body = (
        "<problems_with_constants severity='Low'><header name='c.h'>"
        "<constant name='C1'><problem id='Changed'><change old='1' new='2'>@old to @new</change></problem></constant>"
        "<constant name='C2'><problem id='x'/></constant><constant name='C3'/></header>"
        "</problems_with_constants>"
    )
    printed, result, *_ = scan(tmp_path, minimal_report(body=body))
    assert printed.endswith(
        "\nProblems with severity 'Low':\n  Header: c.h\n"
        "    Constant: C1, Problem: Changed, Change: 1 to 2\n"
    )
    assert result == []


def test_placeholder_order_and_at_in_values(tmp_path):
    body = (
        "<problems_with_constants severity='High'><header name='h'><constant name='C'>"
        "<problem id='i'><change a='@b' b='X' ab='never'>@ab|@a|@b|@@a</change></problem>"
        "</constant></header></problems_with_constants>"
    )
    printed, *_ = scan(tmp_path, minimal_report(body=body))
    # "@a" first (attribute order): "@ab" -> "@bb", then "@b" -> "X"
    assert "Change: Xb|X|X|@X\n" in printed


def test_change_without_text(tmp_path):
    body = (
        "<problems_with_constants severity='High'><header name='h'><constant name='C'>"
        "<problem id='i'><change/></problem></constant></header></problems_with_constants>"
    )
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=body))
    assert "Change: None\n" in printed and logs == []
    failing = body.replace("<change/>", "<change a='1'/>")
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=failing))
    assert printed.endswith("\nProblems with severity 'High':\n  Header: h\n")
    assert logs == [
        (0, "An unexpected error occurred: 'NoneType' object has no attribute 'replace'")
    ]


def test_comment_without_text_fails(tmp_path):
    body = TYPES.replace('<comment kind="K">@field/@param/@kind</comment>', "<comment/>")
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=body))
    assert printed.endswith("    Type: T2, Problem: Z, Change: 1\n")
    assert logs[0][1].endswith("'NoneType' object has no attribute 'replace'")


def test_error_in_header_whose_chain_comes_later(tmp_path):
    body = (
        "<problems_with_symbols severity='Low'><header name='h'><library name='L'>"
        "<symbol name='a'><problem><change x='1'/></problem></symbol>"
        "<symbol name='b'><problem id='p'><change>ok</change></problem></symbol>"
        "</library></header></problems_with_symbols>"
    )
    printed, result, logs, _ = scan(tmp_path, minimal_report(body=body))
    assert printed.endswith("  Header: h\n  Library: L\n    Symbol: a\n")
    assert len(logs) == 1


def test_sections_anywhere_below_report_first_match_only(tmp_path):
    body = (
        "<deep><problems_with_symbols severity='High'><header name='first'><library name='L'>"
        "<symbol name='s'><problem id='p'><change>c</change></problem></symbol></library>"
        "</header></problems_with_symbols></deep>"
        "<problems_with_symbols severity='High'><header name='second'><library name='L'>"
        "<symbol name='s'><problem id='p'><change>c</change></problem></symbol></library>"
        "</header></problems_with_symbols>"
        "<problems_with_symbols severity='high'><header name='case'/></problems_with_symbols>"
    )
    printed, result, *_ = scan(tmp_path, minimal_report(body=body))
    assert "  Header: first\n" in printed and "second" not in printed


def test_order_of_blocks_is_fixed_not_document_order(tmp_path):
    body = (
        "<problems_with_constants severity='Safe'><header name='c'><constant name='K'><problem id='i'>"
        "<change>k</change></problem></constant></header></problems_with_constants>"
        "<problems_with_symbols severity='High'><header name='s'><library name='L'><symbol name='x'>"
        "<problem id='i'><change>x</change></problem></symbol></library></header></problems_with_symbols>"
    )
    xml = minimal_report(body=body).replace("<test_info>", "<later/>")
    xml = xml.replace('<report kind="binary">', '<report kind="binary">' + body, 0)
    printed, result, *_ = scan(tmp_path, "<r>" + minimal_report(body=body) + "</r>")
    assert printed.index("severity 'High'") < printed.index("severity 'Safe'")


def test_namespaced_elements_are_not_read(tmp_path):
    xml = (
        "<reports xmlns:n='urn:x'><n:report kind='binary'/>"
        + minimal_report(body="<n:problems_with_symbols severity='High'/>")
        + "</reports>"
    )
    printed, result, logs, slow = scan(tmp_path, xml)
    assert printed.count(SEP) == 1 and not slow


def test_entities_text_cdata_comments_match_lxml(tmp_path):
    xml = minimal_report().replace(
        "<library>libx</library>", "<library>a&amp;b&#x41;<![CDATA[<c>]]>d<!--x-->e</library>"
    )
    xml = xml.replace(
        "<removed_symbols/>",
        "<removed_symbols><header name='a&amp;b &#38; &lt;&#9;x\ny'/></removed_symbols>",
    )
    printed, result, logs, slow = scan(tmp_path, xml)
    assert "Test library: a&bA<c>d\n" in printed and not slow
    assert "  Header: a&b & <\tx y\n" in printed


def test_unicode_and_encodings(tmp_path):
    xml = minimal_report().replace("libx", "lïb✓")
    scan(tmp_path, xml)
    latin = '<?xml version="1.0" encoding="ISO-8859-1"?>' + minimal_report().replace(
        "libx", "l\xefb"
    )
    path = write(tmp_path, latin.encode("latin-1"), "latin.xml")
    printed = both("reportscan", path)[0]
    assert "Test library: l\xefb\n" in printed
    with forbid_lxml_parse() as state:
        run(native, "reportscan", path)
    assert not state["used"]
    utf16 = write(
        tmp_path,
        ('<?xml version="1.0" encoding="UTF-16"?>' + minimal_report()).encode("utf-16"),
        "utf16.xml",
    )
    assert "Test library: libx" in both("reportscan", utf16)[0]

"""Generated report documents (hypothesis): the native module prints, returns and logs
exactly what the plain-Python + lxml rendering does, on the fast path and when the
readers are called with lxml elements."""

import lxml.etree
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _reportscan_support import both, forbid_lxml_parse, native, run

CHILDREN = {
    "reports": ["report", "report", "other"],
    "report": [
        "test_info",
        "test_results",
        "added_symbols",
        "removed_symbols",
        "problems_with_types",
        "problems_with_symbols",
        "problems_with_constants",
        "problems_with_types",
        "problems_with_symbols",
        "problems_with_types",
        "library",
        "report",
        "other",
    ],
    "test_info": ["library", "version1", "version2", "other"],
    "version1": ["number", "other"],
    "version2": ["number", "other"],
    "test_results": ["headers", "libs", "symbols", "types", "verdict", "affected", "other"],
    "headers": ["name", "other", "headers"],
    "libs": ["name", "other"],
    "added_symbols": ["header", "header", "other"],
    "removed_symbols": ["header", "header", "other"],
    "problems_with_types": ["header", "header", "other", "problems_with_types"],
    "problems_with_symbols": ["header", "header", "other"],
    "problems_with_constants": ["header", "header", "other"],
    "header": ["library", "type", "constant", "other"],
    "library": ["name", "symbol", "symbol", "other"],
    "symbol": ["problem", "comment", "other"],
    "type": ["problem", "affected", "affected", "other"],
    "constant": ["problem", "problem", "other"],
    "problem": ["change", "change", "effect", "other"],
    "affected": ["symbol", "symbol", "other"],
    "other": ["other", "name"],
    "name": ["headers", "libs", "name", "other"],
}
NAMED = {"header", "library", "symbol", "type", "constant"}
TEXTS = [
    "",
    "a",
    "sym",
    "@name",
    "@param and @field",
    "@old_size bytes became @new_size",
    "Ünï ✓",
    "a &amp; b",
    "&lt;t&gt;",
    "<![CDATA[cd@x]]>",
    "x<!--c-->y",
    "@target@target",
    "@",
    "@@x",
    " spaced ",
    "<?pi x?>z",
    "&#64;v",
    "\n  ",
]
VALUES = [
    "",
    "a",
    "@b",
    "@param",
    "x&amp;y",
    "&#38;",
    "&lt;",
    "v&#9;w",
    "line\nbreak",
    "é",
    "binary",
    "High",
    "Safe",
    "@old_size",
]
EXTRA_ATTRS = ["target", "old_size", "new_size", "b", "param", "field", "v", "kind"]


def _attrs(rng, tag):
    attrs = []
    if tag == "report":
        if rng.random() < 0.8:
            attrs.append(("kind", rng.choice(["binary", "binary", "source", "Binary", ""])))
    elif tag.startswith("problems_with_") and rng.random() < 0.9:
        attrs.append(("severity", rng.choice(["High", "Medium", "Low", "Safe", "safe"])))
    if tag in NAMED and rng.random() < 0.85:
        attrs.append(("name", rng.choice(["n1", "n2", "n1", "@v", "", "x&amp;y"])))
    if tag == "problem" and rng.random() < 0.8:
        attrs.append(("id", rng.choice(["P", "Q", ""])))
    if tag in ("change", "comment") or (tag == "symbol" and rng.random() < 0.5):
        for name in rng.sample(EXTRA_ATTRS, rng.randint(0, 3)):
            attrs.append((name, rng.choice(VALUES)))
    return "".join(f' {k}="{v}"' for k, v in attrs)


COMPLETE = (
    "<test_info><library>L</library><version1><number>1</number></version1>"
    "<version2><number>2</number></version2></test_info>"
)


def _element(rng, tag, depth):
    text = rng.choice(TEXTS) if rng.random() < 0.7 else ""
    if tag in ("change", "comment") and rng.random() < 0.05:
        text = ""
    children = []
    if depth < 8 and tag in CHILDREN:
        for _ in range(rng.randint(0, 3) if tag != "report" else rng.randint(1, 6)):
            children.append(_element(rng, rng.choice(CHILDREN[tag]), depth + 1))
    if tag == "report":
        # most reports are complete, in any order, so that the readers run to their end
        if rng.random() < 0.9:
            children.append(COMPLETE)
        for section in ("added_symbols", "removed_symbols"):
            if rng.random() < 0.93:
                children.append(_element(rng, section, depth + 1))
        rng.shuffle(children)
    tail = rng.choice(TEXTS) if children and rng.random() < 0.2 else ""
    return f"<{tag}{_attrs(rng, tag)}>{text}{''.join(children)}{tail}</{tag}>"


def _document(rng):
    body = "".join(_element(rng, "report", 1) for _ in range(rng.randint(1, 3)))
    return f"<reports>{body}</reports>"


@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.randoms(use_true_random=False))
def test_generated_documents(tmp_path, rng):
    document = _document(rng)
    path = tmp_path / "generated.xml"
    path.write_text(document, encoding="utf-8")
    with forbid_lxml_parse() as state:
        fast = run(native, "reportscan", str(path))
    assert not state["used"], "well-formed input without DTD stays on the fast path"
    assert fast == both("reportscan", str(path))
    # a quiet reading (no text built, nothing kept to replay) gives the same result and failure
    printing = run(native, "scan_report", str(path))
    path.write_text(document + " ", encoding="utf-8")
    quiet = run(native, "scan_report", str(path), quiet=True)
    assert quiet[0] == ""
    assert quiet[1:] == printing[1:]
    # the same reports handed in as lxml elements
    for report in lxml.etree.fromstring(document.encode()).xpath("//report"):
        both("parse_report", report)


@settings(
    max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.randoms(use_true_random=False), st.integers(0, 2000), st.binary(max_size=8))
def test_mutated_documents(tmp_path, rng, position, junk):
    """Cut or damaged documents: both agree on the handler and its message."""
    document = _document(rng).encode()
    position = min(position, len(document))
    damaged = document[:position] + junk + document[position + len(junk) :]
    path = tmp_path / "damaged.xml"
    path.write_bytes(damaged)
    both("reportscan", str(path))


# What the tree reader refuses although libxml2's stream reads it: content after the
# root element (a NUL first), EBCDIC code pages. Names nested in names test the order.
TAILS = [b"\0<<<not xml", b"\0", b"\n\0x", b"<x/>", b"junk", b"\n<!--c-->\n", b"\n"]
CODEPAGES = ["cp037", "cp500", "cp1140"]
DECLARED = {"cp037": "IBM037", "cp500": "IBM500", "cp1140": "IBM01140"}


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    st.randoms(use_true_random=False),
    st.sampled_from(TAILS),
    st.sampled_from(CODEPAGES),
    st.booleans(),
)
def test_documents_the_tree_reader_refuses(tmp_path, rng, tail, codepage, ebcdic):
    document = _document(rng)
    if ebcdic:
        data = (f'<?xml version="1.0" encoding="{DECLARED[codepage]}"?>' + document).encode(
            codepage, "xmlcharrefreplace"
        )
    else:
        data = document.encode() + tail
    path = tmp_path / "hostile.xml"
    path.write_bytes(data)
    both("reportscan", str(path))

"""ABI compliance reports of the shape the checker writes, made for a real library:
a sample of the library's own exported symbols, removed or changed in every section
and severity, so that the programs that use them really match.

    report_xml(library, soname, exported, share)

The sample is chosen by a hash of the name, the same on every run; `share` is the
part of the exports that changed (each in one of the sections below).
"""

from __future__ import annotations

import zlib
from xml.sax.saxutils import escape, quoteattr

SEVERITIES = ("High", "Medium", "Low", "Safe")
SYMBOL_PROBLEMS = {
    "High": "Removed_Symbol_Version",
    "Medium": "Changed_Parameter_Type",
    "Low": "Return_Type_Became_Void",
    "Safe": "Symbol_Became_Weak",
}


def _draw(name: str, library: str) -> float:
    return zlib.crc32(f"{library}\0{name}".encode("utf-8", "surrogateescape")) / 2**32


def changed_symbols(library: str, exported: list[str], share: float) -> dict[str, list[str]]:
    """The sample: section ("removed", a severity, or "type <severity>") -> names."""
    sections: dict[str, list[str]] = {}
    kinds = ["removed", *SEVERITIES, *(f"type {s}" for s in SEVERITIES)]
    for name in sorted(set(exported)):
        draw = _draw(name, library)
        if draw < share:
            sections.setdefault(kinds[int(draw / share * len(kinds))], []).append(name)
    return sections


def _one_report(kind: str, library: str, soname: str, sections: dict[str, list[str]]) -> str:
    out = [f'<report kind="{kind}" version="1.2">']
    out.append(
        f"<test_info><library>{escape(library)}</library>"
        "<version1><number>1</number><arch>x86_64</arch></version1>"
        "<version2><number>2</number><arch>x86_64</arch></version2></test_info>"
    )
    out.append(
        f"<test_results><headers><name>{escape(library)}.h</name></headers>"
        f"<libs><name>{escape(soname)}</name></libs><verdict>incompatible</verdict></test_results>"
    )
    header = f"<header name={quoteattr(library + '.h')}>"
    lib_open = f"<library name={quoteattr(soname)}>"
    out.append("<added_symbols></added_symbols>")
    out.append("<removed_symbols>" + header + lib_open)
    out += [f"<name>{escape(name)}</name>" for name in sections.get("removed", [])]
    out.append("</library></header></removed_symbols>")
    for severity in SEVERITIES:
        out.append(f'<problems_with_types severity="{severity}">{header}')
        names = sections.get(f"type {severity}", [])
        for start in range(0, len(names), 4):  # a type's layout change, four users each
            out.append(f'<type name="struct {escape(library)}_t{start}">')
            out.append(
                '<problem id="DataType_Size"><change old_size="32" new_size="64">'
                "Size of this type has been changed from @old_size to @new_size.</change>"
                "<effect>Fields may be accessed at wrong offsets.</effect></problem><affected>"
            )
            out += [
                f'<symbol name={quoteattr(name)} param="p"><comment>1st parameter</comment></symbol>'
                for name in names[start : start + 4]
            ]
            out.append("</affected></type>")
        out.append("</header></problems_with_types>")
        out.append(f'<problems_with_symbols severity="{severity}">{header}{lib_open}')
        for name in sections.get(severity, []):
            out.append(
                f'<symbol name={quoteattr(name)}><problem id="{SYMBOL_PROBLEMS[severity]}">'
                '<change target="1">The symbol changed.</change>'
                "<effect>Old clients may misbehave.</effect></problem></symbol>"
            )
        out.append("</library></header></problems_with_symbols>")
    out.append("</report>")
    return "\n".join(out)


def report_xml(library: str, soname: str, exported: list[str], share: float) -> str:
    sections = changed_symbols(library, exported, share)
    body = "\n".join(_one_report(kind, library, soname, sections) for kind in ("binary", "source"))
    return f'<?xml version="1.0" encoding="utf-8"?>\n<reports>\n{body}\n</reports>\n'

"""varkit.reportscan on real abi-compliance-checker reports (tests/data/reportscan/reports,
made by tests/data/reportscan/make_reports.sh from the libraries under src/)."""

import lxml.etree
import pytest

from _reportscan_support import REPORTS, baseline, both, forbid_lxml_parse, native, run

ALL_REPORTS = sorted(REPORTS.glob("*.xml"))


def test_reports_exist():
    names = {path.name for path in ALL_REPORTS}
    assert {
        "libgeom.xml",
        "libgeom-binary.xml",
        "libgeom-source.xml",
        "libqueue.xml",
        "libqueue-binary.xml",
        "libqueue-source.xml",
    } <= names


@pytest.mark.parametrize("path", ALL_REPORTS, ids=lambda p: p.name)
def test_same_as_baseline(path):
    printed, result, logs = both("reportscan", str(path))
    assert logs == []
    assert printed.startswith("=" * 80 + "\nProcessing ")


@pytest.mark.parametrize("path", ALL_REPORTS, ids=lambda p: p.name)
def test_fast_path_reads_real_reports_without_lxml(path):
    with forbid_lxml_parse() as state:
        printed, result, logs = run(native, "reportscan", str(path))
    assert not state["used"]
    assert logs == [] and printed


def _union(result):
    return set().union(*(record["affected_symbols"] for section in result for record in section))


def test_libgeom_binary_facts():
    printed, result, logs = run(native, "reportscan", str(REPORTS / "libgeom-binary.xml"))
    # removed function first: the removed-symbols section result
    assert result[0] == [{"header_name": "geom.h", "affected_symbols": {"geom_scale"}}]
    assert list(result[0][0]) == ["header_name", "affected_symbols"]
    symbols = _union(result)
    # changed return type, added parameter, struct layout, typedef, enum values
    assert {
        "geom_point_dist",
        "geom_point_new",
        "geom_version_major",
        "geom_box_area",
        "geom_box_grow",
        "geom_count",
        "geom_point_free",
    } <= symbols
    assert "geom_point_norm" not in symbols  # added, printed only
    # the Safe section takes its header with an empty set
    assert result[-1] == [{"header_name": "geom.h", "affected_symbols": set()}]
    lines = printed.splitlines()
    assert lines[:4] == [
        "=" * 80,
        "Processing binary report...",
        "Test library: libgeom",
        "Test Version: 1.0 VS 2.0",
    ]
    assert "    - libgeom.so.1" in lines  # the old soname (libgeom.so.2 is the new one)
    assert (
        "\nAdded Symbols:\n  Header: geom.h\n    Library: libgeom.so.2\n"
        "      Symbol: geom_point_norm\n"
    ) in printed
    assert (
        "\nRemoved Symbols:\n  Header: geom.h\n    Library: libgeom.so.1\n"
        "      Symbol: geom_scale\n"
    ) in printed
    # placeholders expanded from the change attributes
    assert (
        "    Type: geom_coord, Problem: DataType_Size_And_Stack, "
        "Change: Size of this type has been changed from 32 to 64."
    ) in lines
    assert (
        "      Affected Symbol: geom_box_grow, Comment: 2nd parameter by is of type geom_coord."
    ) in lines
    assert (
        "    Constant: GEOM_MAX_POINTS, Problem: Changed_Constant, Change: The value of "
        "constant GEOM_MAX_POINTS has been changed from 10 to 20."
    ) in lines
    assert "  Library: libgeom.so.1" in lines and "    Symbol: geom_point_new" in lines
    assert not any("@" in line for line in lines if "Change:" in line or "Comment:" in line)


def test_combined_document_two_reports_only_binary_counts():
    printed, result, logs = run(native, "reportscan", str(REPORTS / "libgeom.xml"))
    assert printed.count("=" * 80 + "\n") == 2
    assert "Processing binary report..." in printed and "Processing source report..." in printed
    alone = run(native, "reportscan", str(REPORTS / "libgeom-binary.xml"))[1]
    assert result == alone


def test_source_report_contributes_nothing():
    printed, result, logs = run(native, "reportscan", str(REPORTS / "libgeom-source.xml"))
    assert result == [] and logs == []
    assert "Processing source report..." in printed
    assert "\nRemoved Symbols:\n" in printed


def test_libqueue_binary_facts():
    printed, result, logs = run(native, "reportscan", str(REPORTS / "libqueue-binary.xml"))
    removed = result[0]
    assert removed[0]["header_name"] == "queue.hpp"
    # Queue::peek_id() const was removed; queue_total(const Queue&, int) changed its parameter
    assert {"_ZNK2vq5Queue7peek_idEv", "_ZN2vq11queue_totalERKNS_5QueueEi"} <= removed[0][
        "affected_symbols"
    ]
    # a virtual method added: push's vtable slot moved
    assert "_ZN2vq5Queue4pushERKNS_4ItemE" in _union(result[1:])


@pytest.mark.parametrize("path", ALL_REPORTS, ids=lambda p: p.name)
def test_parse_report_with_lxml_elements(path):
    for report in lxml.etree.parse(str(path)).getroot().xpath("//report"):
        both("parse_report", report)
        for section, reader in (
            ("added_symbols", "parse_added_symbols"),
            ("removed_symbols", "parse_removed_symbols"),
        ):
            both(reader, report.find(section))
        for severity in ("High", "Medium", "Low", "Safe"):
            for kind in ("types", "symbols", "constants"):
                node = report.find(f".//problems_with_{kind}[@severity='{severity}']")
                if node is not None:
                    both(f"parse_problems_with_{kind}", node, severity)


def test_baseline_is_not_the_module():
    assert baseline.reportscan is not native.reportscan
    assert type(native.reportscan).__name__ == "builtin_function_or_method"

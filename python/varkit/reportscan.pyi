"""varkit.reportscan: the ABI report reader (C++ extension module)."""

import sys as sys
from typing import List, Optional, Set, Tuple, TypedDict

import requests as requests
from lxml import etree as etree

from varkit import fetch as fetch
from varkit.logger import ABI_LOG as ABI_LOG
from varkit.record import ReportFailure

class _HeaderRecord(TypedDict):
    header_name: Optional[str]
    affected_symbols: Set[Optional[str]]

_SectionResult = List[_HeaderRecord]

xml_path: str  # bound only by the main program (_main)
# the failure of the last reportscan() call: what it logged, or a document holding no
# report element (not logged); None before the first call and after a call that read a
# report
last_failure: Optional[ReportFailure]

def reportscan(xml_path_or_url: str) -> List[_SectionResult]: ...

# reportscan() with its failure as a value: (sections, failure), where failure is None or
# the record reportscan() leaves in last_failure; prints (unless quiet) and logs as
# reportscan() does and leaves last_failure alone; quiet, a kept reading's sections are
# the same (shared, not to be changed) object at each call
def scan_report(
    xml_path_or_url: str, quiet: bool = False
) -> Tuple[List[_SectionResult], Optional[ReportFailure]]: ...

class _MemoStats(TypedDict):
    readings: int
    result_bytes: int
    text_bytes: int
    hits: int

def _memo_stats() -> _MemoStats: ...
def parse_report(report: etree._Element) -> List[_SectionResult]: ...
def parse_added_symbols(added_symbols_node: Optional[etree._Element]) -> None: ...
def parse_removed_symbols(
    removed_symbols_node: Optional[etree._Element],
) -> Optional[_SectionResult]: ...
def parse_problems_with_symbols(
    problem_node: etree._Element, severity: str
) -> Optional[_SectionResult]: ...
def parse_problems_with_constants(problem_node: etree._Element, severity: str) -> None: ...
def parse_problems_with_types(
    problem_node: etree._Element, severity: str
) -> Optional[_SectionResult]: ...
def _main() -> None: ...

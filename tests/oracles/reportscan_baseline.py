"""Plain Python + lxml rendering of varkit.reportscan, step by step as the
reader is defined. It is the benchmark's baseline and the tests' oracle; the
package never imports it.

``ABI_LOG`` is looked up in this module at call time, so callers may replace it.
"""

import sys

import requests
from lxml import etree

try:
    from varkit.logger import ABI_LOG
except ImportError:  # pragma: no cover - standalone use

    def ABI_LOG(level, message):
        print(message, file=sys.stderr)


SEVERITIES = ["High", "Medium", "Low", "Safe"]


def reportscan(xml_path_or_url):
    try:
        if xml_path_or_url.startswith("http://") or xml_path_or_url.startswith("https://"):
            response = requests.get(xml_path_or_url, timeout=5)
            response.raise_for_status()
            root = etree.fromstring(response.content)
        else:
            tree = etree.parse(xml_path_or_url)
            root = tree.getroot()
        total = []
        reports = root.xpath("//report")
        for report in reports:
            print("=" * 80)
            result = parse_report(report)
            if result:
                total = total + result
        return total
    except requests.RequestException as e:
        ABI_LOG(0, f"Failed to fetch XML from {xml_path_or_url}: {e}")
        return []
    except etree.XMLSyntaxError as e:
        ABI_LOG(0, f"Failed to parse XML from {xml_path_or_url}: {e}")
        return []
    except Exception as e:
        ABI_LOG(0, f"An unexpected error occurred: {e}")
        return []


def parse_report(report):
    kind = report.get("kind")
    print(f"Processing {kind} report...")
    result = []
    library = report.xpath(".//library")[0].text
    old = report.xpath(".//version1/number")[0].text
    new = report.xpath(".//version2/number")[0].text
    print(f"Test library: {library}")
    print(f"Test Version: {old} VS {new}")

    test_results = report.find(".//test_results")
    if test_results is not None:
        print("Test Results:")
        print("  Headers:")
        for name in test_results.xpath(".//headers/name"):
            print(f"    - {name.text}")
        print("\n  Libs:")
        for name in test_results.xpath(".//libs/name"):
            print(f"    - {name.text}")
        for tag, label in (
            ("symbols", "Symbols"),
            ("types", "Types"),
            ("verdict", "Verdict"),
            ("affected", "Affected"),
        ):
            child = test_results.find(tag)
            if child is not None:
                print(f"  {label}: {child.text}")

    added_symbols = report.find("./added_symbols")
    parse_added_symbols(added_symbols)

    removed_symbols = report.find("./removed_symbols")
    removed = parse_removed_symbols(removed_symbols)
    if kind == "binary" and removed:
        result.append(removed)

    for severity in SEVERITIES:
        node = report.find(f".//problems_with_types[@severity='{severity}']")
        if node is not None:
            types = parse_problems_with_types(node, severity)
            if kind == "binary" and types:
                result.append(types)
        node = report.find(f".//problems_with_symbols[@severity='{severity}']")
        if node is not None:
            symbols = parse_problems_with_symbols(node, severity)
            if kind == "binary" and symbols:
                result.append(symbols)
        node = report.find(f".//problems_with_constants[@severity='{severity}']")
        if node is not None:
            parse_problems_with_constants(node, severity)
    return result


def parse_added_symbols(added_symbols_node):
    headers = added_symbols_node.xpath("header[@name]")
    if not headers:
        return None
    print("\nAdded Symbols:")
    for header in headers:
        print(f"  Header: {header.get('name')}")
        for library in header.xpath("library"):
            print(f"    Library: {library.get('name', 'Unnamed Library')}")
            for name in library.xpath("name"):
                print(f"      Symbol: {name.text}")
    return None


def parse_removed_symbols(removed_symbols_node):
    headers = removed_symbols_node.xpath("header")
    if not headers:
        return None
    print("\nRemoved Symbols:")
    result = []
    for header in headers:
        symbols = set()
        record = {}
        print(f"  Header: {header.get('name')}")
        for library in header.xpath("library"):
            print(f"    Library: {library.get('name', 'Unnamed Library')}")
            for name in library.xpath("name"):
                print(f"      Symbol: {name.text}")
                symbols.add(name.text)
        record["header_name"] = header.get("name")
        record["affected_symbols"] = symbols
        result.append(record)
    return result


def _expand(element):
    text = element.text
    for key, value in element.attrib.items():
        text = text.replace("@" + key, value)
    return text


def parse_problems_with_symbols(problem_node, severity):
    headers = problem_node.xpath(
        "header[@name][library[@name][symbol[@name][problem[@id][change]]]]"
    )
    if not headers:
        return None
    print(f"\nProblems with severity '{severity}':")
    result = []
    for header in headers:
        symbols = set()
        record = {}
        print(f"  Header: {header.get('name')}")
        for library in header.xpath("library[@name]"):
            print(f"  Library: {library.get('name')}")
            for symbol in library.xpath("symbol[@name]"):
                name = symbol.get("name")
                if severity != "Safe":
                    symbols.add(name)
                print(f"    Symbol: {name}")
                problem = symbol.find("problem")
                if problem is None:
                    continue
                problem_id = problem.get("id", "")
                change = problem.find("change")
                if change is None:
                    continue
                print(f"      Symbol: {name}, Problem: {problem_id}, Change: {_expand(change)}")
        record["header_name"] = header.get("name")
        record["affected_symbols"] = symbols
        result.append(record)
    return result


def parse_problems_with_constants(problem_node, severity):
    headers = problem_node.xpath("header[@name][constant[@name][problem[@id][change]]]")
    if not headers:
        return None
    print(f"\nProblems with severity '{severity}':")
    for header in headers:
        print(f"  Header: {header.get('name')}")
        for constant in header.xpath("constant[@name]"):
            problem = constant.find("problem")
            if problem is None:
                continue
            problem_id = problem.get("id", "")
            change = problem.find("change")
            if change is None:
                continue
            print(
                f"    Constant: {constant.get('name')}, Problem: {problem_id}, "
                f"Change: {_expand(change)}"
            )
    return None


def parse_problems_with_types(problem_node, severity):
    headers = problem_node.xpath(
        "header[@name][type[@name][problem[@id][change]][affected[symbol[@name][comment]]]]"
    )
    if not headers:
        return None
    print(f"\nProblems with severity '{severity}':")
    result = []
    for header in headers:
        symbols = set()
        record = {}
        print(f"  Header: {header.get('name')}")
        for type_ in header.xpath("type[@name]"):
            problem = type_.find("problem")
            if problem is not None:
                problem_id = problem.get("id", "")
                change = problem.find("change")
                if change is not None:
                    print(
                        f"    Type: {type_.get('name')}, Problem: {problem_id}, "
                        f"Change: {_expand(change)}"
                    )
            affected = type_.find("affected")
            if affected is not None:
                for symbol in affected.xpath("symbol[@name]"):
                    name = symbol.get("name")
                    if severity != "Safe":
                        symbols.add(name)
                    param = symbol.get("param", "")
                    field = symbol.get("field", "")
                    comment = symbol.find("comment")
                    if comment is None:
                        continue
                    text = _expand(comment)
                    text = text.replace("@param", param).replace("@field", field)
                    print(f"      Affected Symbol: {name}, Comment: {text}")
        record["header_name"] = header.get("name")
        record["affected_symbols"] = symbols
        result.append(record)
    return result


def _main():
    global xml_path
    if len(sys.argv) != 2:
        print("Error: Please provide the path to an XML file.")
        sys.exit(1)
    xml_path = sys.argv[1]
    reportscan(xml_path)
    sys.exit(0)


if __name__ == "__main__":
    _main()

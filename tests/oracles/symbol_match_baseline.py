"""Plain rendering of find_symbols_in_file as it was before the changed-symbol
index: every call groups the report's names by identity afresh and looks up
every spelling of the file. The oracle of the matching tests and the
benchmark's baseline; the package never imports it.
"""

from varkit.common import ImportedSymbols, split_version, structor_family

HOW_RANK = {"exact": 0, "version": 1, "ctor-dtor-variant": 2}


def identity(name):
    base, version = split_version(name)
    return structor_family(base) or base, base, version


def file_spellings(symbol_list):
    if symbol_list is None:
        return []
    spell = symbol_list.spellings if isinstance(symbol_list, ImportedSymbols) else None
    names = set()
    for symbol in symbol_list:
        if isinstance(symbol, str) and symbol:
            names.update(spell(symbol) if spell else (symbol,))
    return sorted(names)


def match_symbols(changed, symbol_list):
    by_identity = {}
    for report_name in {s for s in changed if isinstance(s, str) and s}:
        key, base, version = identity(report_name)
        by_identity.setdefault(key, []).append((report_name, base, version))
    matches = []
    for file_name in file_spellings(symbol_list):
        key, base, version = identity(file_name)
        best = []
        for report_name, report_base, report_version in by_identity.get(key, ()):
            if version is not None and report_version is not None and version != report_version:
                continue
            if report_name == file_name:
                how = "exact"
            elif report_base == base:
                how = "version"
            else:
                how = "ctor-dtor-variant"
            if best and HOW_RANK[how] > HOW_RANK[best[0][2]]:
                continue
            if best and HOW_RANK[how] < HOW_RANK[best[0][2]]:
                best = []
            best.append((report_name, file_name, how))
        matches.extend(best)
    matches.sort()
    return matches


def find_symbols_in_file(total_symbols, library_dict, pkg_name, lib, table, symbol_list=None):
    matches = match_symbols(total_symbols if total_symbols is not None else (), symbol_list)
    if not matches:
        return False
    spelled_otherwise = {}
    for report_name, file_name, _ in matches:
        others = spelled_otherwise.setdefault(report_name, [])
        if file_name != report_name:
            others.append(file_name)
    records = library_dict.setdefault("affected_symbols", [])
    for report_name, others in spelled_otherwise.items():
        shown = f"{report_name} (file: {', '.join(others)})" if others else report_name
        table.add_row([pkg_name, lib, shown])
        records.append({"library": lib, "package": pkg_name, "symbol": report_name})
    library_dict.setdefault("symbol_matches", []).extend(
        {"library": lib, "report_symbol": report_name, "file_symbol": file_name, "how": how}
        for report_name, file_name, how in matches
    )
    print(table)
    return True

"""varkit.common re-exports the host contract's names and nothing else; a substitute
reaches the checks through the module that owns the name."""

import os

import pytest

from varkit import common, elf, impactor, packages, quiet, symbols, urls

OWNERS = {m.__name__: m for m in (urls, elf, packages, quiet, symbols)}


def test_common_holds_the_contract_names_only():
    assert {name for name in vars(common) if not name.startswith("__")} == set(common.__all__)


@pytest.mark.parametrize("name", common.__all__)
def test_each_name_is_its_owners_object(name):
    value = getattr(common, name)
    assert getattr(OWNERS[value.__module__], name) is value


def test_star_export_unchanged():
    assert common.__all__ == [
        "is_valid_url",
        "is_url_reachable",
        "get_remote_json",
        "get_json_content_from_url",
        "FileType",
        "get_file_type",
        "get_belonged_rpm",
        "is_32bit_file",
        "get_undefined_symbols_from_file",
        "find_req_libs",
        "find_reqed_rpms",
        "locate_library",
        "get_pkgname_by_libname",
        "get_soname_from_lib",
        "get_directory_list",
        "suppress_stdout",
        "find_symbols_in_file",
        "ImportedSymbols",
        "split_version",
        "structor_family",
    ]


def test_a_substitute_in_the_owning_module_reaches_the_native_check(monkeypatch):
    """The configuration check calls the helper the impactor bound at import; the
    helper looks its own collaborators up in its module, where the test put one."""

    class Owners:
        failure = None

        def __bool__(self) -> bool:
            return True

        def owner(self, path: str) -> str:
            return "owner-of-" + os.path.basename(path)

    monkeypatch.setattr(packages, "_get_ownership_index", Owners)
    asked = []
    monkeypatch.setattr(impactor, "get_rpm_conf_diff", lambda url, rpm, d: asked.append(rpm))
    record: dict = {}
    impactor.search_source_for_dest_file("/results", "/bin/true", record, "CONF")
    loaded = [elf.locate_library(lib, "/bin/true") for lib in elf.find_req_libs("/bin/true")]
    assert record["required_rpms"] == asked == ["owner-of-" + os.path.basename(p) for p in loaded]
    assert record["belong_to_rpm"] == "owner-of-true"
    monkeypatch.setattr(common, "get_belonged_rpm", lambda path: "ignored")  # changes nothing
    assert packages.get_belonged_rpm("/bin/true") == "owner-of-true"

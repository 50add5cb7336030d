"""The host helpers the checker's C++ modules bind, under the one name they bind them from.

Each helper lives in the module of its concern, and this module only re-exports
the names of ``__all__``:

* varkit.urls: URL checks, JSON documents and directory listings;
* varkit.elf: ELF facts of files and where the loader finds a library;
* varkit.packages: package ownership of installed files;
* varkit.quiet: ``suppress_stdout``;
* varkit.symbols: C++ symbol identity and the changed symbols a file uses.

``varkit.common.X is varkit.<module>.X``. Setting a name here changes nothing
else: a substitute belongs in the module that owns the name (its own functions
look it up there), or in the namespace of the C++ module that bound it at import
(``varkit.impactor.get_file_type``).
"""

from varkit.elf import (
    FileType,
    ImportedSymbols,
    find_req_libs,
    get_file_type,
    get_soname_from_lib,
    get_undefined_symbols_from_file,
    is_32bit_file,
    locate_library,
)
from varkit.packages import find_reqed_rpms, get_belonged_rpm, get_pkgname_by_libname
from varkit.quiet import suppress_stdout
from varkit.symbols import find_symbols_in_file, split_version, structor_family
from varkit.urls import (
    get_directory_list,
    get_json_content_from_url,
    get_remote_json,
    is_url_reachable,
    is_valid_url,
)

# In the order the names were first exported.
__all__ = [  # noqa: RUF022
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

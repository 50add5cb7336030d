"""What a file is, in words a user recognises ("shell script", "static archive",
"linker script", ...), for the files that no requested check covers.

Read from the file's first bytes the way file(1) reads magic: a "#!" line
names its interpreter, an archive, ELF object or compressed file its magic
number, a linker script its commands; the file name's ending decides only
where the content says nothing.
"""

from __future__ import annotations

import os
import re

_HEAD_BYTES = 4096

_MAGIC = (
    (b"!<arch>\n", "static archive"),
    (b"!<thin>\n", "static archive"),
    (b"\x1f\x8b", "gzip-compressed file"),
    (b"\xfd7zXZ\x00", "xz-compressed file"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed file"),
    (b"BZh", "bzip2-compressed file"),
    (b"PK\x03\x04", "zip archive"),
    (b"\x89PNG", "PNG image"),
    (b"%PDF", "PDF document"),
)

# ELF e_type: what an ELF file is when it is neither a program nor a shared library.
_ELF_KINDS = {1: "ELF relocatable object", 4: "ELF core dump"}

_INTERPRETERS = (
    (re.compile(r"^(ba|da|k|mk|z|c|tc|fi|a)?sh$"), "shell script"),
    (re.compile(r"^perl([\d.]+\S*)?$"), "Perl script"),
    (re.compile(r"^(tclsh|wish|expect)[\d.]*$"), "Tcl script"),
    (re.compile(r"^ruby[\d.]*$"), "Ruby script"),
    (re.compile(r"^(node|nodejs)$"), "JavaScript (Node.js) script"),
    (re.compile(r"^[gnm]?awk$"), "awk script"),
    (re.compile(r"^sed$"), "sed script"),
    (re.compile(r"^lua[\d.]*$"), "Lua script"),
    (re.compile(r"^make$"), "makefile"),
)

_LINKER_SCRIPT = re.compile(
    rb"^\s*(/\*.*?\*/\s*)*(GROUP|INPUT|OUTPUT_FORMAT|SEARCH_DIR)\s*\(", re.S
)

_ENDINGS = {
    ".pm": "Perl module",
    ".pl": "Perl script",
    ".sh": "shell script",
    ".bash": "shell script",
    ".tcl": "Tcl script",
    ".rb": "Ruby script",
    ".js": "JavaScript file",
    ".lua": "Lua script",
    ".la": "libtool library file",
    ".pc": "pkg-config file",
    ".h": "C header",
    ".hpp": "C++ header",
    ".o": "ELF relocatable object",
    ".a": "static archive",
    ".conf": "configuration file",
    ".json": "JSON document",
    ".xml": "XML document",
    ".txt": "text file",
}


def _interpreter_kind(first_line: bytes) -> str:
    words = first_line[2:].decode("utf-8", "replace").split()
    if not words:
        return "script"
    program = os.path.basename(words[0])
    if program == "env":
        # `#!/usr/bin/env [-S] [VAR=value ...] program`
        rest = [w for w in words[1:] if not w.startswith("-") and "=" not in w]
        program = os.path.basename(rest[0]) if rest else "env"
    for pattern, kind in _INTERPRETERS:
        if pattern.match(program):
            return kind
    return f"{program} script"


def describe(path: str) -> str:
    """What the file at ``path`` is; "file" when it cannot be read."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(_HEAD_BYTES)
    except OSError:
        return "file"
    if not head:
        return "empty file"
    if head.startswith(b"#!"):
        return _interpreter_kind(head.split(b"\n", 1)[0])
    if head.startswith(b"\x7fELF") and len(head) >= 18:
        e_type = int.from_bytes(head[16:18], "little" if head[5] == 1 else "big")
        return _ELF_KINDS.get(e_type, "ELF file")
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    if _LINKER_SCRIPT.match(head):
        return "linker script"
    ending = os.path.splitext(path)[1].lower()
    if ending in _ENDINGS:
        return _ENDINGS[ending]
    if b"\x00" in head:
        return "data file"
    return "text file"

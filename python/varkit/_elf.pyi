from typing import Literal

_Facts = tuple[
    int,
    int,
    int,
    bool,
    bool,
    bool,
    str,
    list[str],
    list[str],
    list[str],
    list[tuple[str, tuple[str, ...]]],
    list[str],
]

def read(path: str | bytes) -> _Facts | Literal[False] | None: ...

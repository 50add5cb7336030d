"""Silencing standard output, Python's and file descriptor 1's alike."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import IO, Iterator

__all__ = ["suppress_stdout"]


@contextlib.contextmanager
def suppress_stdout(path: str = os.devnull) -> Iterator[IO[str]]:
    """Send standard output (sys.stdout and file descriptor 1) to ``path``.

    Descriptor 1 is redirected only when sys.stdout is backed by a real
    descriptor; under in-memory capture only sys.stdout is replaced.
    Exceptions raised inside the block propagate after restoring.
    """
    original = sys.stdout
    with open(path, "w", encoding="utf-8", errors="backslashreplace", buffering=1) as target:
        saved_fd = -1
        try:
            if original is not None:
                original.flush()
                try:
                    original.fileno()
                    saved_fd = os.dup(1)
                except (AttributeError, OSError, ValueError):
                    saved_fd = -1
            if saved_fd >= 0:
                os.dup2(target.fileno(), 1)
            sys.stdout = target
            try:
                yield target
            finally:
                try:
                    if sys.stdout is not None:
                        sys.stdout.flush()
                except (OSError, ValueError):
                    pass
                target.flush()
                if saved_fd >= 0:
                    os.dup2(saved_fd, 1)
                sys.stdout = original
        finally:
            if saved_fd >= 0:
                os.close(saved_fd)

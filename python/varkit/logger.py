"""Diagnostics of varkit, over the standard ``logging`` package.

``ABI_LOG(level, message)`` takes the integer levels used throughout the
checker: 0 error, 1 warning, 2 info, 3 debug.  Messages go to standard error
(the ``sys.stderr`` of the moment, so redirections and test capture see them)
through the logger named "varkit".  Only warnings and errors are shown until
``set_verbose(True)`` is called.
"""

from __future__ import annotations

import logging
import sys
from typing import Any

__all__ = ["ABI_LOG", "LOGGER_NAME", "get_logger", "is_verbose", "set_verbose"]

LOGGER_NAME = "varkit"

ERROR, WARNING, INFO, DEBUG = 0, 1, 2, 3
_LEVELS = {
    ERROR: logging.ERROR,
    WARNING: logging.WARNING,
    INFO: logging.INFO,
    DEBUG: logging.DEBUG,
}


class _StderrHandler(logging.StreamHandler):
    """Writes to whatever ``sys.stderr`` is when a record is emitted."""

    def __init__(self) -> None:
        super().__init__(sys.stderr)

    @property
    def stream(self) -> Any:
        return sys.stderr

    @stream.setter
    def stream(self, value: Any) -> None:
        pass


_logger = logging.getLogger(LOGGER_NAME)
if not any(isinstance(h, _StderrHandler) for h in _logger.handlers):
    _handler = _StderrHandler()
    _handler.setFormatter(logging.Formatter("varkit %(levelname)s: %(message)s"))
    _logger.addHandler(_handler)
_logger.setLevel(logging.WARNING)


def get_logger() -> logging.Logger:
    return _logger


def set_verbose(flag: bool = True) -> None:
    """Show every level (flag true) or only warnings and errors."""
    _logger.setLevel(logging.DEBUG if flag else logging.WARNING)


def is_verbose() -> bool:
    return _logger.level <= logging.DEBUG


def _python_level(level: Any) -> int:
    try:
        number = int(level)
    except (TypeError, ValueError):
        return logging.ERROR
    if number <= ERROR:
        return logging.ERROR
    return _LEVELS.get(number, logging.DEBUG)


def ABI_LOG(level: Any, message: Any) -> None:
    """Log ``message`` (any value, rendered with str()) at varkit ``level``."""
    py_level = _python_level(level)
    if _logger.isEnabledFor(py_level):
        _logger.log(py_level, "%s", message if isinstance(message, str) else str(message))

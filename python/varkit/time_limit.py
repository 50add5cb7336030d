"""Bounds on how long work in the main thread may run.

A real-time timer signal raises ``TimeLimitExceeded`` in the bounded work at
its next Python instruction (native code in progress finishes its call first).
Bounds nest: an inner one ends no later than the one around it, and when it
ends the outer one's timer runs on. Outside the main thread, where no signal
can reach, the work runs unbounded.
"""

from __future__ import annotations

import contextlib
import signal
import threading
import time
from typing import Any, Iterator


class TimeLimitExceeded(BaseException):
    """The bounded work ran past its time. A BaseException, as an interrupt is:
    the ``except Exception`` of the work it stops does not take it for a
    failure of its own."""

    def __init__(self, seconds: float) -> None:
        super().__init__(f"ran past {seconds:g} s")
        self.seconds = seconds


@contextlib.contextmanager
def time_limit(seconds: float) -> Iterator[TimeLimitExceeded]:
    """``with time_limit(s) as bound``: ``bound`` is the exception this bound
    raises, to tell it from one an outer bound raises."""
    exceeded = TimeLimitExceeded(seconds)
    if seconds <= 0 or threading.current_thread() is not threading.main_thread():
        yield exceeded
        return
    started = time.monotonic()
    outer_handler = signal.getsignal(signal.SIGALRM)
    outer_left = signal.getitimer(signal.ITIMER_REAL)[0]
    outer_deadline = started + outer_left if outer_left > 0 else None
    deadline = started + seconds
    mine_first = outer_deadline is None or deadline <= outer_deadline or not callable(outer_handler)

    def expire(number: int, frame: Any) -> None:
        if mine_first:
            raise exceeded
        assert callable(outer_handler)
        outer_handler(number, frame)

    until = deadline if mine_first or outer_deadline is None else outer_deadline
    signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, max(until - started, 1e-3))
    try:
        yield exceeded
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        # None: a handler not set from Python, which cannot be put back; the default.
        signal.signal(
            signal.SIGALRM, outer_handler if outer_handler is not None else signal.SIG_DFL
        )
        if outer_deadline is not None:
            # The outer bound's time goes on; one already past fires at once.
            signal.setitimer(signal.ITIMER_REAL, max(outer_deadline - time.monotonic(), 1e-3))

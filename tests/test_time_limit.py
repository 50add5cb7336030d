"""Nested time bounds in the main thread: each raises its own exception, and
an outer bound keeps its time across an inner one."""

import signal
import time

import pytest

from varkit.time_limit import TimeLimitExceeded, time_limit


def _spin():
    while True:
        pass


@pytest.mark.parametrize("inner, outer, fires", [(0.2, 30, "inner"), (30, 0.2, "outer")])
def test_the_earlier_of_two_nested_bounds_fires_as_itself(inner, outer, fires):
    before = signal.getsignal(signal.SIGALRM)
    bounds = {}
    with (
        pytest.raises(TimeLimitExceeded) as raised,
        time_limit(outer) as bounds["outer"],
        time_limit(inner) as bounds["inner"],
    ):
        _spin()
    assert raised.value is bounds[fires]
    assert signal.getitimer(signal.ITIMER_REAL)[0] == 0
    assert signal.getsignal(signal.SIGALRM) is before


def test_an_outer_bound_keeps_its_time_across_an_inner_one():
    started = time.monotonic()
    with pytest.raises(TimeLimitExceeded) as raised, time_limit(0.5) as outer:
        with time_limit(30):
            time.sleep(0.3)
        _spin()
    assert raised.value is outer
    assert 0.45 < time.monotonic() - started < 5

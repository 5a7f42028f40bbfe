"""Tiny timing harness: ns per call for a C++ function beside a pure-Python twin.

The plain rules that fuzz/oracles.py keeps for the fuzzers serve as the twins
of their functions; importing this module makes ``oracles`` importable.
"""

from __future__ import annotations

import sys
import timeit
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

_FUZZ = str(Path(__file__).resolve().parent.parent / "fuzz")
if _FUZZ not in sys.path:
    sys.path.append(_FUZZ)


@dataclass
class Case:
    """One measured call: ``cpp(*args)`` against ``py(*args)``."""

    name: str
    cpp: Callable[..., Any]
    py: Callable[..., Any]
    args: tuple = ()
    #: Speed-up the case must reach (1.0: never slower than Python).
    target: float = 1.0
    kwargs: dict = field(default_factory=dict)
    #: Arguments of the Python version when they differ (its own twin objects).
    py_args: tuple | None = None


def _timer(fn: Callable[..., Any], args: tuple, kwargs: dict | None) -> tuple[timeit.Timer, int]:
    """A timer of ``fn(*args, **kwargs)`` (the call statement is compiled by timeit,
    so no wrapper function is timed along) and a loop count of about 20 ms."""
    names = {f"a{i}": a for i, a in enumerate(args)}
    call = ", ".join(list(names) + [f"{k}=k_{k}" for k in (kwargs or {})])
    env = {"fn": fn, **names, **{f"k_{k}": v for k, v in (kwargs or {}).items()}}
    timer = timeit.Timer(f"fn({call})", globals=env)
    loops, elapsed = timer.autorange()
    return timer, max(1, int(loops * 0.02 / max(elapsed, 1e-9)))


def ns_per_call(fn: Callable[..., Any], args: tuple = (), kwargs: dict | None = None,
                repeats: int = 5) -> float:
    """Best of ``repeats`` runs of ``fn(*args, **kwargs)``, in ns per call."""
    timer, loops = _timer(fn, args, kwargs)
    return min(timer.repeat(repeats, loops)) / loops * 1e9


def ns_per_call_pair(a: tuple, b: tuple, repeats: int = 9) -> tuple[float, float]:
    """Best-of-``repeats`` ns per call of two calls ``(fn, args, kwargs)``, timed in
    alternation, so that a busy moment of the machine weighs on both alike."""
    (ta, la), (tb, lb) = _timer(*a), _timer(*b)
    best_a = best_b = float("inf")
    for _ in range(repeats):
        best_a = min(best_a, ta.timeit(la) / la)
        best_b = min(best_b, tb.timeit(lb) / lb)
    return best_a * 1e9, best_b * 1e9


def run_cases(title: str, cases: list[Case]) -> list[str]:
    """Measure and print every case; return the names that missed their target."""
    print(f"\n{title}")
    print(f"  {'call':<44} {'C++ ns':>10} {'Python ns':>10} {'speed-up':>9} {'target':>7}")
    missed = []
    for case in cases:
        py_args = case.args if case.py_args is None else case.py_args
        if case.cpp(*case.args, **case.kwargs) != case.py(*py_args, **case.kwargs):
            raise AssertionError(f"{case.name}: C++ and Python versions disagree")
        cpp, py = ns_per_call_pair((case.cpp, case.args, case.kwargs), (case.py, py_args, case.kwargs))
        ratio = py / cpp
        flag = "" if ratio >= case.target else "  MISSED"
        if flag:
            missed.append(case.name)
        print(f"  {case.name:<44} {cpp:>10.0f} {py:>10.0f} {ratio:>8.2f}x {case.target:>6.1f}x{flag}")
    return missed

"""Interleaved timing with medians.

Tools are timed in turn within each repeat (ours, peer, ours, peer, ...) so
that a slow drift of the machine, another process waking up or the CPU
changing its clock, lands on every tool alike instead of on whichever ran
last.  Each sample loops a call enough times to last MIN_SAMPLE seconds, so
that microsecond calls are not lost in the timer's noise.
"""

from __future__ import annotations

import gc
import math
import statistics
import time
from dataclasses import dataclass, field

MIN_SAMPLE = 0.05
MAX_LOOPS = 100_000

# A call that takes longer than this once is not repeated: its first timed
# run is the measurement, and the report flags it.
LONG_CALL = 8.0


@dataclass
class Case:
    key: str
    fn: object
    first: float | None = None  # a timed earlier call (the check), if any


@dataclass
class Result:
    samples: list = field(default_factory=list)  # seconds per call
    loops: int = 1
    capped: bool = False

    @property
    def median(self):
        return statistics.median(self.samples) if self.samples else None

    @property
    def runs(self):
        return len(self.samples)


def timed(fn, loops=1, clock=time.perf_counter):
    """Seconds per call over `loops` back-to-back calls."""
    start = clock()
    for _ in range(loops):
        fn()
    return (clock() - start) / loops


def loops_for(seconds):
    """How many calls make one sample last at least MIN_SAMPLE."""
    if seconds <= 0:
        return MAX_LOOPS
    return max(1, min(MAX_LOOPS, math.ceil(MIN_SAMPLE / seconds)))


def measure(cases, repeats, clock=time.perf_counter, progress=None):
    """Times every case `repeats` times, interleaved; returns {key: Result}.

    A case whose earlier call (or warm-up) ran longer than LONG_CALL keeps
    that single time and skips the repeats."""
    results = {}
    live = []
    for case in cases:
        res = results[case.key] = Result()
        first = case.first
        if first is None or first <= LONG_CALL:
            first = timed(case.fn, clock=clock)  # warm-up and calibration
        if first > LONG_CALL:
            res.samples.append(first)
            res.capped = True
            continue
        res.loops = loops_for(first)
        live.append(case)

    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(repeats):
            if progress:
                progress(r + 1, repeats)
            for case in live:
                res = results[case.key]
                res.samples.append(timed(case.fn, res.loops, clock))
    finally:
        if was_enabled:
            gc.enable()
    return results


def ratio(a, b):
    """a / b, or None when either side is missing or b is zero."""
    if a is None or b is None or b == 0:
        return None
    return a / b

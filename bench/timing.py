"""Timing shared by the benchmarks."""

import time


def best_of(function, repeats=5):
    """The shortest of `repeats` wall-clock timings of function(), in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best

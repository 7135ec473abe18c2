"""Timing shared by the benchmarks."""

import os
import subprocess
import time


def best_of(function, repeats=5, clock=time.perf_counter):
    """The shortest of `repeats` timings of function() by `clock` (wall clock by default), in
    seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        function()
        best = min(best, clock() - start)
    return best


def bench_binary(build_dir, target):
    """The C++ benchmark `target`, configured and brought up to date in build_dir."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", root, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DTESSARON_BUILD_MODULE=OFF", "-DTESSARON_BUILD_BENCH=ON"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", target], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, target)

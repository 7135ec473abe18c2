"""One-sample latency: Model.predict and Genome.predict on a (1, inputs) float64 array, next to
numpy's own `x @ W` on the same shape, for a 12-node controller and a 33-node network of 449
connections (every allowed connection of 13 inputs and 2 outputs). A network of one connection
shows the cost of the call itself (argument, array checks, result) apart from the evaluation.

Times are the calling thread's CPU time per call (best of 5 rounds), which a busy machine
stretches less than wall time.

    python bench/bench_latency.py [--calls 200000]
"""

import argparse
import sys
import time

import numpy as np

import tessaron


def genome_of(model):
    """A Genome holding the model's network (as pickling would hand it over)."""
    state = model.__getstate__()
    genome = tessaron.Genome(state["inputs"], state["outputs"])
    genome.__setstate__({"network": state["network"], "inputs": state["inputs"],
                         "outputs": state["outputs"]})
    return genome


def per_call(function, argument, calls, repeats=5):
    """The best of `repeats` mean times of one call, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.thread_time()
        for _ in range(calls):
            function(argument)
        best = min(best, (time.thread_time() - start) / calls)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=200_000)
    calls = parser.parse_args().calls
    tessaron.seed(3)
    rng = np.random.default_rng(3)
    print(f"{'network':44s} {'Model.predict':>14s} {'Genome.predict':>15s} {'numpy x @ W':>12s}")
    for name, inputs, outputs, size in (("call only: 2 nodes (1 in, 1 out)", 1, 1, 2),
                                        ("12-node controller (4 in, 1 out)", 4, 1, 12),
                                        ("33 nodes (13 in, 2 out)", 13, 2, 33)):
        model = tessaron.Model(inputs, outputs, size)
        genome = genome_of(model)
        connections = len(model.get_connections())
        x = rng.normal(size=(1, inputs))
        weights = rng.normal(size=(inputs, outputs))
        assert np.array_equal(model.predict(x), genome.predict(x))
        model_time = per_call(model.predict, x, calls)
        genome_time = per_call(genome.predict, x, calls)
        numpy_time = per_call(weights.__rmatmul__, x, calls)
        label = f"{name}, {connections} conn."
        print(f"{label:44s} {model_time * 1e6:11.3f} us {genome_time * 1e6:12.3f} us "
              f"{numpy_time * 1e6:9.3f} us   ({calls} calls each)")


if __name__ == "__main__":
    sys.exit(main())

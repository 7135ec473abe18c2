"""What activations cost through Model.predict: connection-updates/s of 20-node networks (2 inputs,
1 output, every allowed connection; the same networks as roofline's) with one activation kind on
every node, or the four kinds in turn, predicting 4096 samples on one thread, as a share of this
machine's one-thread rate for y[s] += w * x[s] in cache (`build/bench/roofline --basic`, built on
first use).

    python bench/bench_activations.py [--rounds 5]

On a shared machine the rounds interleave all figures and each keeps its best, so the shares
compare figures taken over the same stretch of time; processor time leaves out other programs'
time slices, as roofline does.
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

import tessaron
from timing import bench_binary, best_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INPUTS, OUTPUTS, NODES, SAMPLES = 2, 1, 20, 4096
VARIANTS = (("four kinds in turn", None), ("relu only", 2), ("sigmoid only", 0),
            ("tanh only", 1), ("linear only", 3))


def basic_rate(binary):
    """The one-thread y[s] += w * x[s] limit, in updates/s."""
    output = subprocess.run([binary, "--basic"], check=True, capture_output=True, text=True)
    return float(output.stdout) * 1e9


def with_kinds(model, kind):
    """A copy of `model` whose non-input nodes all have `kind`, or the four kinds in turn."""
    network = model.get_network()
    names = ["sigmoid", "tanh", "relu", "linear"]
    network["activations"][INPUTS:] = [names[node % 4 if kind is None else kind]
                                       for node in range(INPUTS, len(network["biases"]))]
    copy = tessaron.Model(INPUTS, OUTPUTS)
    copy.set_network(network)
    return copy


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds

    tessaron.set_num_threads(1)
    tessaron.seed(1)
    base = tessaron.Model(INPUTS, OUTPUTS, NODES)
    models = [with_kinds(base, kind) for _, kind in VARIANTS]
    connections = len(base.get_connections())
    x = np.random.default_rng(1).normal(size=(SAMPLES, INPUTS))
    binary = bench_binary(os.path.join(ROOT, "build", "bench"), "roofline")

    limit = 0.0
    seconds = [float("inf")] * len(models)
    for _ in range(rounds):
        limit = max(limit, basic_rate(binary))
        for i, model in enumerate(models):
            # Enough calls per timing for the processor clock's resolution.
            calls = best_of(lambda: [model.predict(x) for _ in range(20)], 5, time.process_time)
            seconds[i] = min(seconds[i], calls / 20)

    print(f"y[s] += w * x[s] in cache, one thread: {limit / 1e9:.2f} G updates/s")
    print(f"Model.predict, {NODES}-node networks ({connections} connections), {SAMPLES} samples,"
          f" one thread; best of {rounds} rounds")
    print(f"  {'activations':19s} {'G updates/s':>12s} {'share':>7s} {'ns/sample':>10s}")
    for (name, _), elapsed in zip(VARIANTS, seconds):
        rate = connections * SAMPLES / elapsed
        print(f"  {name:19s} {rate / 1e9:12.2f} {100 * rate / limit:6.1f}% "
              f"{1e9 * elapsed / SAMPLES:10.1f}")


if __name__ == "__main__":
    sys.exit(main())

"""Prediction throughput: Model.predict against a numpy forward pass vectorised over samples, and
the block kernel against the one-sample path (C++ harness, built on first use).

    python bench/bench_predict.py
"""

import os
import subprocess
import sys

import numpy as np

import tessaron
from timing import bench_binary, best_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INPUTS, OUTPUTS, HIDDEN, SAMPLES = 8, 1, 24, 100_000


def numpy_forward(model, inputs, outputs, x):
    """What a user would write: one vector operation per connection, over all samples."""
    nodes, connections = model.get_nodes(), model.get_connections()
    size = len(nodes)
    incoming = [[] for _ in range(size)]
    for source, target, attributes in connections:
        incoming[target].append((source, attributes["weight"]))
    functions = {
        "sigmoid": lambda v: 1.0 / (np.exp(-v) + 1.0),
        "tanh": np.tanh,
        "relu": lambda v: np.where(v > 0.0, v, 0.0),
        "linear": lambda v: v,
    }
    values = [None] * size
    for k in range(size):
        if k < inputs:
            values[k] = x[:, k]
            continue
        total = np.full(x.shape[0], nodes[k][1]["bias"])
        for source, weight in incoming[k]:
            total = total + weight * values[source]
        values[k] = functions[nodes[k][1]["activation"]](total)
    return np.stack(values[size - outputs:], axis=1)


def error_scale(model, inputs, outputs, x):
    """Per output, a magnitude that bounds the rounding error of any forward pass in the same
    order: the pass above with absolute values, where a sigmoid or tanh node counts at least 1
    (its few ulps of error are relative to that). An output that cancels to near zero keeps the
    error of the terms it came from, so a relative tolerance on the output alone would not do."""
    nodes, connections = model.get_nodes(), model.get_connections()
    size = len(nodes)
    incoming = [[] for _ in range(size)]
    for source, target, attributes in connections:
        incoming[target].append((source, abs(attributes["weight"])))
    scale = [None] * size
    for k in range(size):
        if k < inputs:
            scale[k] = np.abs(x[:, k])
            continue
        total = np.full(x.shape[0], abs(nodes[k][1]["bias"]))
        for source, weight in incoming[k]:
            total = total + weight * scale[source]
        bounded = nodes[k][1]["activation"] in ("sigmoid", "tanh")
        scale[k] = np.maximum(total, 1.0) if bounded else total
    return np.stack(scale[size - outputs:], axis=1)



def kernel_figures():
    binary = bench_binary(os.path.join(ROOT, "build", "bench"), "forward_bench")
    arguments = [binary, str(INPUTS), str(OUTPUTS), str(HIDDEN), str(SAMPLES)]
    return subprocess.run(arguments, check=True, capture_output=True, text=True).stdout


def main():
    tessaron.seed(1)
    model = tessaron.Model(INPUTS, OUTPUTS, INPUTS + OUTPUTS + HIDDEN)
    connections = len(model.get_connections())
    x = np.random.default_rng(0).normal(size=(SAMPLES, INPUTS))
    predicted = model.predict(x)
    # Bit for bit against the one-sample calls; within the rounding bound against numpy, whose
    # exp and tanh may differ from the module's by a few ulps.
    one_by_one = np.vstack([model.predict(x[i:i + 1]) for i in range(1000)])
    assert one_by_one.tobytes() == predicted[:1000].tobytes()
    gap = np.abs(predicted - numpy_forward(model, INPUTS, OUTPUTS, x))
    bound = 64 * (INPUTS + OUTPUTS + HIDDEN) * np.finfo(np.float64).eps * error_scale(
        model, INPUTS, OUTPUTS, x)
    assert np.all(gap <= bound), f"largest gap {gap.max()!r} beyond its bound"

    predict = best_of(lambda: model.predict(x))
    numpy_time = best_of(lambda: numpy_forward(model, INPUTS, OUTPUTS, x))
    print(f"Model: {INPUTS} inputs, {OUTPUTS} output, {HIDDEN} hidden nodes, {connections} connections;"
          f" {SAMPLES} samples")
    for name, seconds in (("Model.predict", predict), ("numpy forward pass", numpy_time)):
        print(f"{name:20s}: {SAMPLES / seconds:14,.0f} samples/s {SAMPLES * connections / seconds:16,.0f}"
              " connection-updates/s")
    print(f"Model.predict / numpy: {numpy_time / predict:.1f}x")
    print()
    print(kernel_figures(), end="")


if __name__ == "__main__":
    sys.exit(main())

"""A pure-Python forward pass built only from what a model reports about itself."""

import math


def _exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def _activate(name, x):
    if name == "sigmoid":
        return 1.0 / (_exp(-x) + 1.0)
    if name == "tanh":
        return math.tanh(x)
    if name == "relu":
        return x if x > 0.0 else 0.0
    if name == "linear":
        return x
    raise AssertionError(f"unknown activation {name!r}")


def forward(nodes, connections, inputs, outputs, row):
    """One sample through the network described by get_nodes() and get_connections() output:
    bias first, then one product per incoming connection in ascending order of source."""
    size = len(nodes)
    incoming = [[] for _ in range(size)]
    for source, target, attributes in connections:
        incoming[target].append((source, attributes["weight"]))
    values = [0.0] * size
    for k in range(size):
        if k < inputs:
            values[k] = float(row[k])
            continue
        total = nodes[k][1]["bias"]
        for source, weight in sorted(incoming[k]):
            total += weight * values[source]
        values[k] = _activate(nodes[k][1]["activation"], total)
    return values[size - outputs:]


def predict(model, inputs, outputs, rows):
    """Outputs of `model` for every row, as a list of lists of floats."""
    nodes, connections = model.get_nodes(), model.get_connections()
    return [forward(nodes, connections, inputs, outputs, row) for row in rows]

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


def _incoming(nodes, connections):
    incoming = [[] for _ in nodes]
    for source, target, attributes in connections:
        incoming[target].append((source, attributes["weight"]))
    return [sorted(sources) for sources in incoming]


def forward(nodes, connections, inputs, outputs, row):
    """One sample through the network described by get_nodes() and get_connections() output:
    bias first, then one product per incoming connection in ascending order of source."""
    size = len(nodes)
    incoming = _incoming(nodes, connections)
    values = [0.0] * size
    for k in range(size):
        if k < inputs:
            values[k] = float(row[k])
            continue
        total = nodes[k][1]["bias"]
        for source, weight in incoming[k]:
            total += weight * values[source]
        values[k] = _activate(nodes[k][1]["activation"], total)
    return values[size - outputs:]


def predict(model, inputs, outputs, rows):
    """Outputs of `model` for every row, as a list of lists of floats."""
    nodes, connections = model.get_nodes(), model.get_connections()
    return [forward(nodes, connections, inputs, outputs, row) for row in rows]


# The module computes exp and tanh itself, within 1 ulp of the correctly rounded result; math.exp
# is within about 0.5 ulp and math.tanh within 2 (the C library's tanh is off by up to 1.8 ulps).
# With the sigmoid's addition and division rounding each way, the module's sigmoid or tanh of a
# node lies within ACTIVATION_ULPS ulps of this oracle's for the same argument. Sums and relu and
# linear nodes are computed by the same operations in the same order on both sides, so they differ
# only where their inputs do.
ACTIVATION_ULPS = 4
_ULP = 2.0 ** -52  # the spacing of doubles relative to their magnitude, at most
_TINY = 2.0 ** -1074


def _slope(name, value, spread):
    """Largest slope of the activation within `spread` of the argument that gave `value`."""
    if name == "sigmoid":
        return min(0.25, value * (1.0 - value) + spread)
    if name == "tanh":
        return min(1.0, 1.0 - value * value + spread)
    return 1.0


def forward_with_bounds(nodes, connections, inputs, outputs, row):
    """forward, plus for every output a bound on how far the module's value may lie from it: the
    activation error above, carried to the outputs by a first-order error analysis (each sum also
    pays one rounding per term once its inputs differ). The bound is 0 for an output that no
    sigmoid or tanh node reaches and for an infinite or NaN sum, which a tiny change of its
    inputs cannot move; it is inf where the analysis itself overflows."""
    size = len(nodes)
    incoming = _incoming(nodes, connections)
    values, bounds = [0.0] * size, [0.0] * size
    for k in range(size):
        if k < inputs:
            values[k] = float(row[k])
            continue
        total = nodes[k][1]["bias"]
        magnitude, spread = abs(total), 0.0
        for source, weight in incoming[k]:
            total += weight * values[source]
            magnitude += abs(weight * values[source])
            spread += abs(weight) * bounds[source]
        if spread > 0.0:
            spread += (len(incoming[k]) + 1) * _ULP * magnitude
        name = nodes[k][1]["activation"]
        values[k] = _activate(name, total)
        bound = _slope(name, values[k], spread) * spread
        if name in ("sigmoid", "tanh"):
            bound += ACTIVATION_ULPS * (_ULP * abs(values[k]) + _TINY)
        if not math.isfinite(total):
            bound = 0.0
        elif math.isnan(bound):  # 0 * inf in the analysis
            bound = math.inf
        bounds[k] = bound
    return values[size - outputs:], bounds[size - outputs:]


def predict_with_bounds(model, inputs, outputs, rows):
    """predict, plus the bounds of forward_with_bounds, as two lists of lists."""
    nodes, connections = model.get_nodes(), model.get_connections()
    pairs = [forward_with_bounds(nodes, connections, inputs, outputs, row) for row in rows]
    return [values for values, _ in pairs], [bounds for _, bounds in pairs]

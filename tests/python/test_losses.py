"""The losses by name: each against a numpy computation from the model's own predictions, as the
loss of a run and as its metrics, and the model's summary of its compile state."""

import pickle

import numpy as np
import pytest

import tessaron

LOSSES = ["mse", "mae", "mape", "binary_crossentropy", "categorical_crossentropy"]


def numpy_loss(name, outputs, targets):
    """The mean over samples of each sample's loss, computed with numpy from the outputs."""
    outputs = outputs[:, :targets.shape[1]]
    if name == "categorical_crossentropy":
        largest = outputs.max(axis=1, keepdims=True)
        log_softmax = outputs - largest - np.log(np.exp(outputs - largest).sum(axis=1, keepdims=True))
        return float(np.mean(-(targets * log_softmax).sum(axis=1)))
    if name == "binary_crossentropy":
        p = np.clip(outputs, 1e-7, 1 - 1e-7)
        terms = -(targets * np.log(p) + (1 - targets) * np.log(1 - p))
    else:
        error = targets - outputs
        terms = {"mse": error ** 2, "mae": np.abs(error),
                 "mape": np.abs(error) * 100 / (np.abs(targets) + 1e-10)}[name]
    return float(np.mean(terms.mean(axis=1)))


def targets_for(name, rng, rows, columns):
    if name == "categorical_crossentropy":  # probabilities, one-hot for half the rows
        shares = rng.dirichlet(np.ones(columns), size=rows)
        shares[::2] = np.eye(columns)[rng.integers(0, columns, rows)][::2]
        return shares
    if name == "binary_crossentropy":
        return rng.integers(0, 2, size=(rows, columns)).astype(float)
    return rng.normal(size=(rows, columns))


@pytest.mark.parametrize("columns", [3, 2])  # all outputs, and fewer targets than outputs
@pytest.mark.parametrize("name", LOSSES)
def test_each_loss_agrees_with_numpy_as_loss_and_as_metric(name, columns):
    tessaron.seed(5)
    rng = np.random.default_rng(1)
    model = tessaron.Model(4, 3, 10)
    # Outputs up to the hundreds: a naive softmax would overflow, clipping is exercised.
    x = rng.normal(scale=40.0, size=(300, 4))
    y = targets_for(name, rng, 300, columns)
    model.compile(loss=name, metrics=[name])
    values = model.evaluate(x, y)
    expected = numpy_loss(name, model.predict(x), y)
    assert values[0] == values[1]
    np.testing.assert_allclose(values[0], expected, rtol=1e-12)
    if columns == 3:
        history = model.evolve(x, y, pop_size=6, epochs=2, verbose=0, validation_data=(x, y))
        assert list(history) == ["loss", name, "val_loss", f"val_{name}"]
        assert history["val_loss"][-1] == model.evaluate(x, y)[0]
        copy = pickle.loads(pickle.dumps(model))
        assert repr(copy) == repr(model) and f"loss='{name}'" in repr(model)


def test_summary_prints_the_counts_and_the_compile_state(capsys):
    tessaron.seed(2)
    model = tessaron.Model(3, 2, 9)
    model.summary()
    nodes, connections = model.get_nodes(), model.get_connections()
    kinds = [attributes["activation"] for _, attributes in nodes[3:]]
    counts = ", ".join(f"{kind} {kinds.count(kind)}" for kind in ("sigmoid", "tanh", "relu",
                                                                  "linear"))
    network = (f"Network: 9 nodes (3 inputs, 4 hidden, 2 outputs), {len(connections)} "
               f"connections\nActivations (hidden and output nodes): {counts}\n")
    assert capsys.readouterr().out == network + "Not compiled: call compile() before evolve().\n"
    model.compile("beta", "categorical_crossentropy", metrics=["mae", "binary_crossentropy"],
                  monitors=["size"])
    model.summary()
    optimizer = repr(model.__getstate__()["optimizer"])
    assert capsys.readouterr().out == network + (
        f"Optimizer: {optimizer}\nLoss: categorical_crossentropy; metrics: mae, "
        "binary_crossentropy; monitors: size\n")

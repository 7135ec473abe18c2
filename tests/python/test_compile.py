"""Model.compile and Model.evaluate."""

import numpy as np
import pytest

import tessaron
from oracle import predict as oracle_predict
from tessaron.optimizers import Alpha

NOT_COMPILED = "You must compile your model before evaluating. Use `model.compile(loss)`."
NOT_AN_OPTIMIZER = "The given optimizer is not an optimizer and not the name of an optimizer.\n"


def oracle_losses(model, inputs, outputs, x, y, kinds):
    """Mean over samples of the per-sample mean over y's columns, in plain Python."""
    predictions = oracle_predict(model, inputs, outputs, x.tolist())
    y = y.reshape(len(y), -1)
    results = []
    for kind in kinds:
        total = 0.0
        for row, targets in zip(predictions, y.tolist()):
            terms = 0.0
            for t, p in zip(targets, row):
                if kind == "mse":
                    terms += (t - p) * (t - p)
                elif kind == "mae":
                    terms += abs(t - p)
                else:
                    terms += abs(t - p) * 100 / (abs(t) + 1e-10)
            total += terms / len(targets)
        results.append(total / len(predictions))
    return results


def test_evaluate_matches_an_independent_computation():
    rng = np.random.default_rng(11)
    for outputs in (1, 3):
        model = tessaron.Model(3, outputs, 9)
        model.compile(loss="mse", metrics=["mae", "mape", "mse"])
        x = rng.normal(size=(157, 3))
        y = rng.normal(size=(157, outputs))
        values = model.evaluate(x, y)
        assert all(type(v) is float for v in values)
        expected = oracle_losses(model, 3, outputs, x, y, ["mse", "mae", "mape", "mse"])
        np.testing.assert_allclose(values, expected, rtol=1e-13)
        assert values[0] == values[3]


def test_loss_formulas_on_known_values():
    # Every sample is the same input, so the model predicts the same p for each; the targets
    # then fix every term.
    model = tessaron.Model(1, 1)
    model.compile(loss="mse", metrics=["mae", "mape"])
    p = float(model.predict(np.zeros((1, 1)))[0, 0])
    x = np.zeros((2, 1))
    y = np.array([[p - 1.0], [p + 3.0]])
    mse, mae, mape = model.evaluate(x, y)
    assert mse == pytest.approx((1.0 + 9.0) / 2)
    assert mae == pytest.approx((1.0 + 3.0) / 2)
    expected_mape = (100 / (abs(p - 1.0) + 1e-10) + 300 / (abs(p + 3.0) + 1e-10)) / 2
    assert mape == pytest.approx(expected_mape)


def test_mape_is_a_percentage_and_huge_at_zero_targets():
    p = 0.0
    while p == 0.0:  # a relu output may give exactly 0, which makes every target its own
        model = tessaron.Model(1, 1)
        p = float(model.predict(np.zeros((1, 1)))[0, 0])
    model.compile(metrics=["mape"])
    assert model.evaluate(np.zeros((1, 1)), np.array([[2 * p]]))[0] == pytest.approx(50.0)
    assert model.evaluate(np.zeros((1, 1)), np.array([[0.0]]))[0] == pytest.approx(abs(p) * 1e12)


def test_compile_defaults_and_lists():
    model = tessaron.Model(2, 1)
    assert model.compile() is None
    assert model.evaluate(np.zeros((3, 2)), np.zeros((3, 1))) == []
    model.compile(loss="mse", metrics=["mae", "mse"])
    assert len(model.evaluate(np.zeros((3, 2)), np.zeros((3, 1)))) == 3
    model.compile(metrics=["mape"])  # no loss: the metric is the only entry
    assert len(model.evaluate(np.zeros((3, 2)), np.zeros((3, 1)))) == 1
    model.compile("alpha", "mae", [], ["size", "size"])
    model.compile(Alpha(0.2), loss="mae")
    model.compile(optimizer=type("MyAlpha", (Alpha,), {})(), loss="mse")
    model.compile(loss="mse", metrics=None, monitors=None)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"optimizer": None}, ValueError, NOT_AN_OPTIMIZER),
        ({"optimizer": 3}, ValueError, NOT_AN_OPTIMIZER),
        ({"optimizer": "Alpha"}, ValueError, "Optimizer 'Alpha' not known.\n"),
        ({"optimizer": "adam"}, ValueError, "Optimizer 'adam' not known.\n"),
        ({"loss": "MSE"}, ValueError, "Loss 'MSE' not known.\n"),
        ({"loss": "mse", "metrics": ["mae", "rmse"]}, ValueError, "Metric 'rmse' not known.\n"),
        ({"loss": "mse", "monitors": ["size", "depth"]}, ValueError, "Monitor 'depth' not known.\n"),
        ({"metrics": "mae"}, TypeError, "metrics must be a list of str, got str"),
        ({"metrics": ["mae", 3]}, TypeError, "metrics[1] must be a str, got int"),
        ({"monitors": {"size"}}, TypeError, "monitors must be a list of str, got set"),
    ],
)
def test_failed_compile_leaves_the_model_uncompiled(arguments, error, message):
    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    with pytest.raises(error) as raised:
        model.compile(**arguments)
    assert str(raised.value) == message
    with pytest.raises(RuntimeError) as raised:
        model.evaluate(np.zeros((1, 2)), np.zeros((1, 1)))
    assert str(raised.value) == NOT_COMPILED


def test_parser_refusals_change_nothing():
    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    with pytest.raises(TypeError):
        model.compile(loss=None)
    with pytest.raises(TypeError):
        model.compile(lr=0.1)
    assert len(model.evaluate(np.zeros((1, 2)), np.zeros((1, 1)))) == 1


def test_evaluate_refusals():
    model = tessaron.Model(2, 2)
    with pytest.raises(RuntimeError) as raised:
        model.evaluate("not", "arrays")  # the compile check comes first
    assert str(raised.value) == NOT_COMPILED
    model.compile(loss="mse")
    with pytest.raises(TypeError):
        model.evaluate([[1, 2]], np.zeros((1, 2)))
    with pytest.raises(TypeError):
        model.evaluate(x=np.zeros((1, 2)), y=np.zeros((1, 2)))
    cases = [
        ((4, 2), (3, 2), "Expected first dimension of x (4) to be equal to the first dimension of y (3)"),
        ((4, 1), (4, 2), "Expected second dimension of x (1) to be at least the number of inputs of the model (2)"),
        ((4, 2), (4, 3), "Expected second dimension of y (3) to be at most the number of outputs of the model (2)"),
    ]
    for x_shape, y_shape, message in cases:
        with pytest.raises(ValueError) as raised:
            model.evaluate(np.zeros(x_shape), np.zeros(y_shape))
        assert str(raised.value) == message


def test_evaluate_edge_shapes():
    model = tessaron.Model(1, 2)
    model.compile(loss="mae")
    # Fewer y columns than outputs: only the first outputs are compared.
    x = np.linspace(-1, 1, 5)
    y = np.ones(5)
    expected = oracle_losses(model, 1, 2, x.reshape(-1, 1), y, ["mae"])
    assert model.evaluate(x, y) == pytest.approx(expected, rel=1e-13)
    assert np.isnan(model.evaluate(np.zeros((0, 1)), np.zeros((0, 2)))[0])

"""Model.predict and Genome.predict against an independent forward pass."""

import numpy as np
import pytest

import tessaron
from oracle import predict_with_bounds


def random_model(rng):
    inputs, outputs = int(rng.integers(1, 6)), int(rng.integers(1, 4))
    size = inputs + outputs + int(rng.integers(0, 25))
    return tessaron.Model(inputs, outputs, size), inputs, outputs


def assert_matches_oracle(result, expected, bounds):
    """Equal where the bound is 0 (no sigmoid or tanh reaches the output), else within it."""
    exact = bounds == 0
    np.testing.assert_array_equal(result[exact], expected[exact])
    gap = np.abs(result[~exact] - expected[~exact])
    if gap.size:
        worst = np.argmax(gap - bounds[~exact])
        assert gap[worst] <= bounds[~exact][worst], (
            f"{result[~exact][worst]!r} vs {expected[~exact][worst]!r}, "
            f"bound {bounds[~exact][worst]!r}")


def oracle_with_bounds(model, inputs, outputs, x):
    values, bounds = predict_with_bounds(model, inputs, outputs, x.tolist())
    return np.array(values).reshape(len(x), outputs), np.array(bounds).reshape(len(x), outputs)


def test_predictions_match_the_oracle_within_the_activation_error():
    # The module's exp and tanh may differ from math.exp and math.tanh by a few ulps; the oracle
    # carries that difference through the network (see oracle.ACTIVATION_ULPS).
    rng = np.random.default_rng(7)
    scaled_bounds = []
    for _ in range(40):
        model, inputs, outputs = random_model(rng)
        rows = int(rng.integers(0, 300))
        x = rng.normal(scale=3.0, size=(rows, inputs))
        result = model.predict(x)
        assert result.shape == (rows, outputs)
        assert result.dtype == np.float64 and result.flags.c_contiguous
        expected, bounds = oracle_with_bounds(model, inputs, outputs, x)
        assert_matches_oracle(result, expected, bounds)
        scaled_bounds.extend((bounds / (1.0 + np.abs(expected))).ravel())
    # The bounds are tight: a few dozen ulps typically, and far below 10^-6 (1e-9 at most seen).
    scaled_bounds = np.array(scaled_bounds)
    assert np.median(scaled_bounds) < 1000 * 2.0**-52
    assert np.max(scaled_bounds) < 1e-6


def test_relu_and_linear_networks_match_the_oracle_bit_for_bit():
    rng = np.random.default_rng(17)
    found = 0
    for _ in range(3000):
        inputs, outputs = int(rng.integers(1, 5)), int(rng.integers(1, 3))
        model = tessaron.Model(inputs, outputs, inputs + outputs + int(rng.integers(0, 4)))
        kinds = {attributes["activation"] for _, attributes in model.get_nodes()[inputs:]}
        if not kinds <= {"relu", "linear"}:
            continue
        x = rng.normal(scale=3.0, size=(int(rng.integers(1, 300)), inputs))
        expected, bounds = oracle_with_bounds(model, inputs, outputs, x)
        assert not bounds.any()
        np.testing.assert_array_equal(model.predict(x), expected)
        found += 1
        if found == 20:
            break
    assert found == 20


def test_special_values_propagate_like_the_oracle():
    model = tessaron.Model(3, 2, 9)
    x = np.array([[np.nan, 1.0, 2.0], [np.inf, -np.inf, 0.0], [-0.0, 1e308, -1e308]])
    expected, bounds = oracle_with_bounds(model, 3, 2, x)
    assert_matches_oracle(model.predict(x), expected, bounds)


@pytest.mark.parametrize(
    "dtype", [np.float32, np.float16, np.int8, np.int64, np.uint16, np.bool_, ">f8", "<f4", object]
)
def test_any_numeric_dtype_gives_the_float64_predictions(dtype):
    model = tessaron.Model(3, 2, 7)
    values = np.array([[1, 0, 1], [0, 1, 1], [1, 1, 0]])
    x = values.astype(dtype)
    np.testing.assert_array_equal(model.predict(x), model.predict(x.astype(np.float64)))


def test_strided_views_equal_contiguous_copies():
    model = tessaron.Model(3, 2, 8)
    base = np.random.default_rng(1).normal(size=(12, 10))
    for view in (base[::2, 1:4], base[:3, :].T, base[::-3, ::-3][:, :3],
                 np.asfortranarray(base[:, :3])):
        np.testing.assert_array_equal(model.predict(view), model.predict(np.ascontiguousarray(view)))


def test_one_dimensional_input_and_empty_input():
    model = tessaron.Model(1, 2, 5)
    x = np.linspace(-2, 2, 9)
    np.testing.assert_array_equal(model.predict(x), model.predict(x.reshape(-1, 1)))
    assert model.predict(np.zeros((0, 1))).shape == (0, 2)
    assert model.predict(np.zeros(0)).shape == (0, 2)


def test_extra_columns_are_ignored():
    model = tessaron.Model(2, 1, 4)
    x = np.random.default_rng(2).normal(size=(20, 5))
    np.testing.assert_array_equal(model.predict(x), model.predict(x[:, :2].copy()))


def test_large_inputs_match_small_blocks():
    # Large inputs run without the interpreter lock, in many blocks, and one or two rows one
    # sample at a time; results stay the same.
    model = tessaron.Model(4, 3, 30)
    x = np.random.default_rng(3).normal(size=(5000, 4))
    whole = model.predict(x)
    pieces = np.vstack([model.predict(x[i:i + 7]) for i in range(0, 5000, 7)])
    np.testing.assert_array_equal(whole, pieces)
    for rows in (1, 2):
        few = np.vstack([model.predict(x[i:i + rows]) for i in range(0, 300, rows)])
        np.testing.assert_array_equal(whole[:300], few)


def test_refusals():
    model = tessaron.Model(3, 1)
    with pytest.raises(TypeError):
        model.predict([[1.0, 2.0, 3.0]])
    with pytest.raises(TypeError):
        model.predict()
    with pytest.raises(ValueError, match=r"^x has 2 columns, but the model has 3 inputs$"):
        model.predict(np.zeros((4, 2)))
    with pytest.raises(ValueError, match=r"^x must have 1 or 2 dimensions, got 0$"):
        model.predict(np.array(1.0))
    with pytest.raises(ValueError, match=r"^x must have 1 or 2 dimensions, got 3$"):
        model.predict(np.zeros((2, 3, 1)))
    with pytest.raises(ValueError):
        model.predict(np.array([["a", "b", "c"]]))


def test_genome_made_from_python_has_no_network():
    with pytest.raises(TypeError):
        tessaron.Genome(2)
    genome = tessaron.Genome(2, 1)
    with pytest.raises(ValueError, match="the network is empty"):
        genome.predict(np.zeros((3, 2)))

"""Model.func_evolve and Genome: evolution against a Python fitness function."""

import re

import numpy as np
import pytest

import tessaron

X = np.linspace(-1.0, 1.0, 32).reshape(-1, 1)
TARGET = 0.5 * X + 0.2


def mse_of(genome):
    return float(np.mean((genome.predict(X) - TARGET) ** 2))


def train(genomes):
    return np.array([mse_of(g) for g in genomes])


def structure(model):
    return model.size, model.get_nodes(), model.get_connections()


def test_pool_sizes_and_genomes():
    model = tessaron.Model(1, 1, 3)
    seen = []

    def recording(genomes):
        seen.append(len(genomes))
        assert all(type(g) is tessaron.Genome for g in genomes)
        return train(genomes)

    history = model.func_evolve(recording, pop_size=4, epochs=3, verbose=0)
    assert seen == [8, 8, 8]
    assert list(history) == ["loss"] and len(history["loss"]) == 3
    assert all(type(v) is float for v in history["loss"])


def test_parents_of_the_first_pool_include_the_unchanged_model():
    model = tessaron.Model(2, 2, 5)
    x = np.random.default_rng(0).normal(size=(10, 2))
    expected = model.predict(x)
    pools = []

    def record(genomes):
        pools.append([g.predict(x) for g in genomes])
        return np.zeros(len(genomes))

    model.func_evolve(record, pop_size=6, epochs=1, verbose=0)
    # Pool order is parent, child, parent, child...; one parent is the unchanged model.
    assert any(np.array_equal(p, expected) for p in pools[0][::2])
    assert all(p.shape == (10, 2) for p in pools[0])


def test_one_and_two_dimensional_results_behave_alike():
    for shape in ("flat", "column", "wide", "list"):
        def shaped(genomes, shape=shape):
            losses = train(genomes)
            if shape == "column":
                return losses.reshape(-1, 1)
            if shape == "wide":
                return np.column_stack([losses, np.full_like(losses, 99.0)])
            if shape == "list":
                return losses.tolist()
            return losses
        model = tessaron.Model(1, 1)
        history = model.func_evolve(shaped, pop_size=4, epochs=2, verbose=0)
        assert len(history["loss"]) == 2


def test_final_model_scores_the_best_loss_of_the_last_epoch():
    tessaron.seed(21)
    model = tessaron.Model(1, 1, 3)
    start = mse_of(model)
    history = model.func_evolve(train, pop_size=20, epochs=30, verbose=0)
    genome_loss = float(np.mean((model.predict(X) - TARGET) ** 2))
    assert genome_loss == pytest.approx(history["loss"][-1], rel=1e-12)
    assert history["loss"][-1] < start
    assert history["loss"] == sorted(history["loss"], reverse=True)  # the best is never lost


def test_validation_and_monitors(capsys):
    model = tessaron.Model(1, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(train, pop_size=4, epochs=3, verbose=1, validation_func=lambda g: 0.5)
    assert list(history) == ["loss", "val_loss", "size"]
    assert history["val_loss"] == [0.5, 0.5, 0.5]
    assert history["size"][-1] == model.size
    lines = [line for line in capsys.readouterr().out.split("\r") if line]
    assert len(lines) == 3
    for epoch, line in enumerate(lines, start=1):
        assert line.startswith(f"Epoch {epoch}/3 - ")
        assert " - val_loss: 0.500000 - size: " in line and line.endswith("\n")


def test_verbose_levels(capsys):
    model = tessaron.Model(1, 1)
    model.func_evolve(train, pop_size=2, epochs=2, verbose=0)
    assert capsys.readouterr().out == ""
    model.func_evolve(train, pop_size=2, epochs=2, verbose=2)
    two = capsys.readouterr().out
    assert two.count("\rEpoch ") == 2 and two.count("\n") == 2


def test_epochs_zero_never_calls_the_function():
    model = tessaron.Model(2, 1, 4)
    before = structure(model)

    def never(genomes):
        raise AssertionError("called")

    assert model.func_evolve(never, epochs=0, verbose=0, validation_func=never) == {"loss": [], "val_loss": []}
    assert structure(model) == before


def test_failures_end_the_call_and_keep_the_model():
    model = tessaron.Model(2, 1, 4)
    before = structure(model)
    calls = []

    def failing(genomes):
        calls.append(1)
        if len(calls) == 3:
            raise ValueError("fitness broke")
        return np.zeros(len(genomes))

    with pytest.raises(ValueError, match="fitness broke"):
        model.func_evolve(failing, pop_size=4, epochs=10, verbose=0)
    with pytest.raises(ZeroDivisionError):
        model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=3, verbose=0,
                          validation_func=lambda g: 1 / 0)
    with pytest.raises(TypeError):
        model.func_evolve(lambda g: np.zeros(len(g)), pop_size=2, epochs=1, verbose=0,
                          validation_func=lambda g: "not a number")
    with pytest.raises(TypeError):
        model.func_evolve("not callable", pop_size=2, epochs=1, verbose=0)
    assert structure(model) == before


@pytest.mark.parametrize(
    "result, error, pattern",
    [
        (lambda n: None, ValueError, "train_func must return a 1-d array .* it returned NoneType with 0 dimensions"),
        (lambda n: np.zeros(n - 1), ValueError, "it got 4 genomes and returned an array of 3 rows and 1 columns"),
        (lambda n: np.zeros((n, 0)), ValueError, "returned an array of 4 rows and 0 columns"),
        (lambda n: np.zeros((n, 1, 1)), ValueError, "it returned numpy.ndarray with 3 dimensions"),
        (lambda n: ["a"] * n, TypeError, "train_func must return numeric losses"),
        (lambda n: {"a": 1}, ValueError, "train_func must return a 1-d array"),
        (lambda n: [object()] * n, TypeError, r"returned list, which cannot be converted: float\(\) argument"),
    ],
)
def test_bad_results_are_refused(result, error, pattern):
    model = tessaron.Model(1, 1)
    before = structure(model)
    with pytest.raises(error, match=pattern):
        model.func_evolve(lambda genomes: result(len(genomes)), pop_size=2, epochs=2, verbose=0)
    assert structure(model) == before


def test_half_nan_losses_still_evolve_to_finite_losses():
    tessaron.seed(22)
    model = tessaron.Model(1, 1, 3)

    def half_nan(genomes):
        losses = train(genomes)
        losses[::2] = np.nan
        return losses

    history = model.func_evolve(half_nan, pop_size=10, epochs=15, verbose=0)
    assert all(np.isfinite(history["loss"]))


@pytest.mark.parametrize("loss", [np.nan, np.inf])
def test_a_run_without_a_single_usable_loss_keeps_the_models_network(loss):
    tessaron.seed(23)
    model = tessaron.Model(1, 1, 4)
    model.compile(monitors=["size"])
    before = model.__getstate__()
    history = model.func_evolve(lambda genomes: [loss] * len(genomes), pop_size=10, epochs=6,
                                verbose=0)
    assert model.__getstate__() == before
    # Reported as such runs always were: the largest double for want of a loss, and the size of
    # the member that stood in for the best.
    assert history["loss"] == [np.finfo(np.float64).max] * 6
    assert len(history["size"]) == 6


def test_kept_genomes_stay_usable_and_unchanged():
    model = tessaron.Model(1, 1, 3)
    kept = []

    def keep(genomes):
        kept.extend(genomes[:2])
        return train(genomes)

    model.func_evolve(keep, pop_size=4, epochs=5, verbose=0)
    first = kept[0].predict(X)
    model.func_evolve(train, pop_size=4, epochs=5, verbose=0)
    np.testing.assert_array_equal(kept[0].predict(X), first)


def test_a_model_without_network_is_refused():
    model = tessaron.Model.__new__(tessaron.Model)
    model.compile(loss="mse")
    message = re.escape("the model has no network to evolve: make it with Model(inputs, outputs)")
    with pytest.raises(ValueError, match=message):
        model.func_evolve(train, pop_size=2, epochs=1, verbose=0)
    with pytest.raises(ValueError, match=message):
        model.evolve(np.zeros((3, 0)), np.zeros((3, 0)), pop_size=2, epochs=1, verbose=0)
    assert model.size == 0


def test_works_without_compile_and_with_keywords():
    model = tessaron.Model(1, 1)
    history = model.func_evolve(train_func=train, pop_size=2, epochs=1, verbose=0, validation_func=None)
    assert list(history) == ["loss"]


def test_genome_reinitialised_with_other_outputs_refuses_to_predict():
    captured = []
    tessaron.Model(1, 2).func_evolve(lambda g: captured.extend(g) or np.zeros(len(g)), pop_size=2,
                                    epochs=1, verbose=0)
    genome = captured[0]
    assert genome.predict(X).shape == (32, 2)
    genome.__init__(1, 3)
    with pytest.raises(ValueError, match=r"declared number of outputs \(3\) differs from the network's \(2\)"):
        genome.predict(X)

"""The Beta optimizer: settings, compile, pickling, repeatable runs, and scoring each network once."""

import copy
import pickle

import numpy as np
import pytest

import tessaron
import tessaron.callbacks
from tessaron.optimizers import Beta

DEFAULT_REPR = ("tessaron.optimizers.Beta(step_size=None, init_scale=1.0, elites=2, parent_fraction=0.08, "
                "structure_rate=0.1, max_hidden=8, size_penalty=0.0001, keep_model=True, reevaluate=False, "
                "search='covariance')")


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"step_size": 0.0}, "step_size must be a positive finite number, got 0.0"),
        ({"init_scale": float("inf")}, "init_scale must be a positive finite number, got inf"),
        ({"elites": -1}, "elites must be at least 0, got -1"),
        ({"parent_fraction": 1.5}, "parent_fraction must be in (0, 1], got 1.5"),
        ({"structure_rate": float("nan")}, "structure_rate must be in [0, 1], got nan"),
        ({"max_hidden": -2}, "max_hidden must be at least 0, got -2"),
        ({"size_penalty": -0.5}, "size_penalty must be a finite number of at least 0, got -0.5"),
        ({"search": "gradients"}, "search must be 'select', 'gradient' or 'covariance', got 'gradients'"),
    ],
)
def test_out_of_range_settings_are_refused_by_name(arguments, message):
    with pytest.raises(ValueError) as raised:
        Beta(**arguments)
    assert str(raised.value) == message
    with pytest.raises(ValueError) as raised:
        Beta().__setstate__({**Beta().__getstate__(), **arguments})
    assert str(raised.value) == message


@pytest.mark.parametrize("value", [-1e16, -1e15, -1e-4, -1e-5, -0.0, float("-inf"), -5e-324,
                                   -1.7976931348623157e308, -(0.1 + 0.2), -123456.789, -1.5e-7])
def test_refused_values_are_shown_as_python_shows_them(value):
    with pytest.raises(ValueError) as raised:
        Beta(step_size=value)
    assert str(raised.value) == f"step_size must be a positive finite number, got {value!r}"


def test_compile_takes_beta_by_instance_and_by_name():
    model = tessaron.Model(2, 1)
    chosen = Beta(elites=4)
    model.compile(chosen, "mse")
    assert model.__getstate__()["optimizer"] is chosen
    model.compile("beta", "mse")
    assert repr(model.__getstate__()["optimizer"]) == DEFAULT_REPR
    for name in ("Beta", "gamma"):
        with pytest.raises(ValueError) as raised:
            model.compile(name)
        assert str(raised.value) == f"Optimizer '{name}' not known.\n"
    with pytest.raises(TypeError):
        Beta(0.2)  # keyword-only


class TunedBeta(Beta):
    pass


def test_pickle_copy_and_repr_keep_every_setting():
    beta = Beta(step_size=0.5, init_scale=2.0, elites=1, parent_fraction=0.5, structure_rate=0.0,
                max_hidden=3, size_penalty=0.0, keep_model=False, reevaluate=True, search="gradient")
    text = ("tessaron.optimizers.Beta(step_size=0.5, init_scale=2.0, elites=1, parent_fraction=0.5, "
            "structure_rate=0.0, max_hidden=3, size_penalty=0.0, keep_model=False, reevaluate=True, "
            "search='gradient')")
    assert repr(beta) == text
    # The default search is left out of the state, which earlier versions read as it is.
    assert "search" not in Beta(search="select").__getstate__()
    for clone in (pickle.loads(pickle.dumps(beta)), copy.copy(beta), copy.deepcopy(beta)):
        assert type(clone) is Beta and repr(clone) == text
    tuned = TunedBeta(elites=5)
    tuned.note = "kept"
    clone = pickle.loads(pickle.dumps(tuned))
    assert type(clone) is TunedBeta and clone.note == "kept" and clone.__getstate__()["elites"] == 5
    model = tessaron.Model(2, 1)
    model.compile(beta, "mse")
    assert repr(pickle.loads(pickle.dumps(model)).__getstate__()["optimizer"]) == text


def xor():
    x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], float)
    return x, np.array([[0], [1], [1], [0]], float)


def seeded_run(threads, search):
    tessaron.set_num_threads(threads)
    tessaron.seed(77)
    model = tessaron.Model(2, 1, 5)
    model.compile(Beta(structure_rate=0.5, search=search), "mse", ["mae"], ["size"])
    x, y = xor()
    history = model.evolve(x, y, pop_size=12, epochs=6, verbose=0)
    batched = model.evolve(x, y, pop_size=12, batch_size=2, epochs=3, verbose=0)
    scores = model.func_evolve(lambda genomes: [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes],
                               pop_size=6, epochs=4, verbose=0)
    return history, batched, scores, model.get_nodes(), model.get_connections()


@pytest.mark.parametrize("search", ["covariance", "select"])
def test_seeded_beta_runs_repeat_whatever_the_thread_count(search):
    before = tessaron.get_num_threads()
    try:
        first = seeded_run(1, search)
        assert seeded_run(2, search) == first
    finally:
        tessaron.set_num_threads(before)
    assert list(first[0]) == ["loss", "mae", "size"] and len(first[0]["loss"]) == 6


@pytest.mark.parametrize("reevaluate, search, handed_over", [
    (False, "select", 10 + 4 * 7), (True, "select", 50), (False, "gradient", 50),
    (False, "covariance", 11 + 4 * 10)])
def test_func_evolve_hands_each_network_over_once_unless_asked(reevaluate, search, handed_over):
    probe = np.random.default_rng(1).normal(size=(5, 3))
    seen = []

    def train_func(genomes):
        assert all(isinstance(g, tessaron.Genome) for g in genomes)
        # Networks, not their outputs: distinct networks can predict alike (a relu at 0).
        seen.extend(repr(g.get_network()) for g in genomes)
        return np.array([float(np.sum(g.predict(probe) ** 2)) for g in genomes])

    tessaron.seed(0)
    model = tessaron.Model(3, 2, 6)
    model.compile(Beta(elites=3, structure_rate=0.3, reevaluate=reevaluate, search=search))
    model.func_evolve(train_func, pop_size=10, epochs=5, verbose=0)
    assert len(seen) == handed_over
    assert (len(set(seen)) < len(seen)) == reevaluate


def test_failures_leave_the_model_as_it_was():
    model = tessaron.Model(2, 1, 4)
    model.compile(Beta(elites=4, search="select"), "mse")
    before = model.get_connections()
    x, y = xor()
    with pytest.raises(ValueError) as raised:
        model.evolve(x, y, pop_size=4, epochs=2, verbose=0)
    assert str(raised.value) == ("the optimizer's elites (4) must be fewer than pop_size (4), or no "
                                 "child is ever made")
    model.compile(Beta(elites=0, search="gradient"), "mse")
    with pytest.raises(ValueError) as raised:
        model.evolve(x, y, pop_size=2, epochs=2, verbose=0)
    assert str(raised.value) == "the gradient search needs a pop_size of at least 4, got 2"
    model.compile(Beta(elites=4, search="select"), "mse")
    calls = []

    def failing(genomes):
        calls.append(len(genomes))
        if len(calls) == 3:
            raise KeyError("stop")
        return np.zeros(len(genomes))

    with pytest.raises(KeyError):
        model.func_evolve(failing, pop_size=6, epochs=5, verbose=0)
    assert calls == [6, 2, 2] and model.get_connections() == before


def test_func_evolve_learns_the_scale_of_the_inputs_from_what_the_genomes_predict():
    # The target depends on both inputs alike, but the network is given one offset by 50 and
    # shrunk 1000 times, the other grown 100 times: the search takes the inputs' scale from
    # what the first generation predicts, however the function calls predict.
    rng = np.random.default_rng(0)
    z = rng.normal(size=(200, 2))
    y = (np.tanh(z[:, 0]) + 0.5 * z[:, 1])[:, None]
    raw = np.column_stack([50 + 1e-3 * z[:, 0], 1e2 * z[:, 1]])

    def final_loss(x, calls):
        def train_func(genomes):
            if calls == "predict_many":
                stacked = np.broadcast_to(x, (len(genomes),) + x.shape)
                return [float(np.mean((o - y) ** 2)) for o in tessaron.predict_many(genomes, stacked)]
            losses = [0.0] * len(genomes)
            order = range(len(genomes)) if calls == "in order" else reversed(range(len(genomes)))
            for i in order:
                losses[i] = float(np.mean((genomes[i].predict(x) - y) ** 2))
            return losses

        tessaron.seed(3)
        model = tessaron.Model(2, 1)
        model.compile(Beta())
        return model.func_evolve(train_func, pop_size=20, epochs=200, verbose=0)["loss"][-1]

    # Both fits end within 1.5 % of the target's variance (0.64).
    assert final_loss(z, "in order") < 0.01
    losses = {calls: final_loss(raw, calls) for calls in ("in order", "reversed", "predict_many")}
    assert len(set(losses.values())) == 1, losses
    assert losses["in order"] < 0.01


@pytest.mark.parametrize("normalizes", [True, False])
def test_a_train_func_that_normalises_its_inputs_itself_is_not_watched(normalizes):
    # An extra prediction on other inputs changes what the genomes were given, and with it the
    # run, unless the function's callback says that it normalises the inputs itself.
    x = np.random.default_rng(0).normal(size=(50, 2))
    y = np.tanh(x[:, :1])

    class Normalises(tessaron.callbacks.Callback):
        normalizes_inputs = normalizes

    def history(extra):
        def train_func(genomes):
            if extra:
                for g in genomes:
                    g.predict(1000.0 * x + 5.0)
            return [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes]

        train_func.tessaron_callback = Normalises()
        tessaron.seed(4)
        model = tessaron.Model(2, 1)
        model.compile(Beta())
        return model.func_evolve(train_func, pop_size=10, epochs=8, verbose=0)["loss"]

    assert (history(False) == history(True)) == normalizes


def test_softmax_fits_end_at_the_penalised_optimum_whatever_the_inputs_scale():
    # Separable classes: cross-entropy alone falls for ever as the weights grow. The search ranks
    # by it plus 0.15 times the squared weights (times their inputs' spreads) over the samples,
    # whose optimum is that of logistic regression (C = 1 / 0.3) on standardised inputs, found
    # here by gradient descent.
    def softmax(z):
        e = np.exp(z - z.max(axis=1, keepdims=True))
        return e / e.sum(axis=1, keepdims=True)

    rng = np.random.default_rng(1)
    labels = np.repeat(np.arange(3), 20)
    x = rng.normal(size=(60, 2)) * 0.4 + np.array([[0, 0], [2, 0], [0, 2]])[labels]
    x[:, 1] *= 100.0
    y = np.eye(3)[labels]
    z = x / x.std(axis=0)
    v, b = np.zeros((2, 3)), np.zeros(3)
    for _ in range(20000):
        g = (softmax(z @ v + b) - y) / len(x)
        v -= 0.5 * (z.T @ g + 0.3 * v / len(x))
        b -= 0.5 * g.sum(axis=0)
    tessaron.seed(0)
    model = tessaron.Model(2, 3)
    model.compile(Beta(max_hidden=0), "categorical_crossentropy")
    model.evolve(x, y, pop_size=20, epochs=100, verbose=0)
    np.testing.assert_allclose(softmax(model.predict(x)), softmax(z @ v + b), atol=2e-3)

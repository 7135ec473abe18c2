"""Python threads using the module at once: evolving and predicting different models, and
predicting with (or saving, or inspecting) a model while another thread evolves it."""

import os
import threading

import numpy as np
import pytest

import tessaron
import tessaron.callbacks

SANITIZED = os.environ.get("TESSARON_SANITIZED") == "1"
ROUNDS = 2 if SANITIZED else 5


pytestmark = pytest.mark.usefixtures("two_worker_threads")


def dataset(seed, rows=400, inputs=3, outputs=2):
    x = np.random.default_rng(seed).normal(size=(rows, inputs))
    y = np.column_stack([np.sin(x[:, 0]) * x[:, 1], np.tanh(x[:, -1])])[:, :outputs]
    return x, y


def run_threads(targets):
    """Runs each target in a thread of its own and re-raises the first failure."""
    failures = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported to the test below
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in threads)
    if failures:
        raise failures[0]


def test_threads_evolving_and_predicting_different_models():
    """Each thread's results are those of its own model: with the whole dataset as one batch,
    the last loss of the history is the model's evaluated loss, and every prediction equals a
    Genome's made from the same network."""
    results = {}

    def evolver(index):
        def run():
            x, y = dataset(index)
            model = tessaron.Model(3, 2, 6 + index)
            model.compile(loss="mse", metrics=["mae"])
            histories = []
            for _ in range(ROUNDS):
                histories.append(model.evolve(x, y, pop_size=20, epochs=200, verbose=0))
                assert model.evaluate(x, y) == [histories[-1]["loss"][-1], histories[-1]["mae"][-1]]
            results[index] = (model, histories)
        return run

    def function_evolver(index):
        def run():
            x, y = dataset(index)
            model = tessaron.Model(3, 2, 7)

            def train(genomes):
                return [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes]

            for _ in range(ROUNDS):
                history = model.func_evolve(train, pop_size=10, epochs=30, verbose=0)
                best = history["loss"][-1]
                assert float(np.mean((model.predict(x) - y) ** 2)) == best
            results[index] = (model, None)
        return run

    def predictor(index):
        def run():
            x, _ = dataset(index, rows=30000)  # large enough for the threaded prediction
            model = tessaron.Model(3, 2, 12)
            expected = model.predict(x[:100])
            for _ in range(3 * ROUNDS):
                np.testing.assert_array_equal(model.predict(x)[:100], expected)
            results[index] = (model, None)
        return run

    run_threads([evolver(0), evolver(1), function_evolver(2), predictor(3), predictor(4)])
    assert sorted(results) == [0, 1, 2, 3, 4]
    for model, _ in results.values():
        assert model.size == len(model.get_nodes())


def test_predicting_while_another_thread_evolves_the_same_model():
    """Predictions made during an evolution are those of the network the model had before it or
    after it, never of a half-changed one; the evolution's result is unaffected."""
    x, y = dataset(7)
    model = tessaron.Model(3, 2, 8)
    model.compile(loss="mse")
    probe = np.random.default_rng(8).normal(size=(5000, 3))
    networks_seen = []
    stop = threading.Event()

    def evolve():
        try:
            for _ in range(ROUNDS):
                model.evolve(x, y, pop_size=30, batch_size=100, epochs=30, verbose=0)
                networks_seen.append(model.predict(probe))
        finally:
            stop.set()

    predictions = []

    def predict():
        while not stop.is_set():
            predictions.append(model.predict(probe))
            model.get_connections()
            assert model.size == len(model.get_nodes())

    first = model.predict(probe)
    run_threads([evolve, predict, predict])
    assert predictions, "no prediction ran during the evolution"
    known = [first] + networks_seen
    for prediction in predictions:
        assert any(np.array_equal(prediction, network) for network in known)


def test_seeded_evolution_is_not_disturbed_by_other_threads(tmp_path):
    """seed is process-wide: a seeded evolution gives the same network whether or not other
    threads predict, evaluate, save and inspect models (which draw no random numbers) meanwhile."""
    x, y = dataset(9)
    probe = np.random.default_rng(10).normal(size=(20000, 3))

    def seeded_run():
        tessaron.seed(77)
        model = tessaron.Model(3, 2, 7)
        model.compile(loss="mse")
        history = model.evolve(x, y, pop_size=20, batch_size=200, epochs=300, verbose=0)
        return history, model.get_connections(), model.predict(probe).tolist()

    alone = seeded_run()
    stop = threading.Event()
    others = [tessaron.Model(3, 2, 9) for _ in range(2)]
    for other in others:
        other.compile(loss="mae")

    def busy(index):
        def run():
            other = others[index]
            while not stop.is_set():
                other.predict(probe)
                other.evaluate(x, y)
                other.save(str(tmp_path / f"other{index}.tsn"))
                other.get_nodes()
        return run

    together = []

    def seeded():
        try:
            together.append(seeded_run())
        finally:
            stop.set()

    run_threads([seeded, busy(0), busy(1)])
    assert together == [alone]


@pytest.mark.parametrize("optimizer", ["alpha", "beta"])
def test_seeded_evolutions_in_two_threads_get_what_each_gets_alone(optimizer):
    """Every thread draws from sources of its own: a seeded run gives what it gives alone while
    another runs whole in the middle of it (the first waits after its first epoch until the
    second is done)."""
    x, y = dataset(11)
    first_paused, second_done = threading.Event(), threading.Event()

    class WaitForTheOther(tessaron.callbacks.Callback):
        def on_epoch_end(self, epoch, logs=None):
            if epoch == 0:
                first_paused.set()
                assert second_done.wait(600)

    def seeded_run(seed, callbacks=None):
        with tessaron.seeded(seed):
            model = tessaron.Model(3, 2, 7)
            model.compile(optimizer, "mse")
            history = model.evolve(x, y, pop_size=20, epochs=6, verbose=0, callbacks=callbacks)
        return history, model.get_connections()

    alone = [seeded_run(1), seeded_run(2)]
    together = {}

    def first():
        together[1] = seeded_run(1, [WaitForTheOther()])

    def second():
        assert first_paused.wait(600)
        try:
            together[2] = seeded_run(2)
        finally:
            second_done.set()

    run_threads([first, second])
    assert [together[1], together[2]] == alone


def test_several_threads_evolving_one_model():
    """Two threads evolving the same model: each run starts from the network the model had when
    it began, and the model ends with one of the runs' whole results."""
    x, y = dataset(11)
    model = tessaron.Model(3, 2, 6)
    model.compile(loss="mse")
    finals = []
    lock = threading.Lock()

    def evolve():
        for _ in range(ROUNDS):
            history = model.evolve(x, y, pop_size=16, epochs=30, verbose=0)
            with lock:
                finals.append(history["loss"][-1])

    run_threads([evolve, evolve])
    assert model.size == len(model.get_nodes())
    assert model.evaluate(x, y)[0] in finals

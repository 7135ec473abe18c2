"""Callbacks of Model.evolve and Model.func_evolve: what they see, how they stop a run, and that a
failing one leaves the model as it was."""

import numpy as np
import pytest

import tessaron
from tessaron.callbacks import Callback, EarlyStopping, ModelCheckpoint

RNG = np.random.default_rng(7)
X = RNG.normal(size=(40, 2))
Y = X[:, :1] * X[:, 1:]


def network_bytes(model):
    return model.__getstate__()["network"]


class Recorder(Callback):
    """Keeps what every hook saw, and the model's network at each epoch's end."""

    def __init__(self, stop_at=None):
        super().__init__()
        self.calls, self.networks, self.sizes, self.predictions = [], [], [], []
        self.stop_at = stop_at

    def on_train_begin(self, logs=None):
        self.calls.append(("begin", dict(logs)))

    def on_epoch_end(self, epoch, logs=None):
        self.calls.append((epoch, dict(logs)))
        self.networks.append(network_bytes(self.model))
        self.sizes.append(self.model.size)
        self.predictions.append(self.model.predict(X))
        if epoch == self.stop_at:
            self.model.stop_evolving = True

    def on_train_end(self, logs=None):
        self.calls.append(("end", dict(logs)))


def dataset_run(epochs, callbacks=None):
    tessaron.seed(11)
    model = tessaron.Model(2, 1)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    history = model.evolve(X, Y, pop_size=6, batch_size=20, epochs=epochs, verbose=0,
                           validation_data=(X[:10], Y[:10]), callbacks=callbacks)
    return model, history


def scheduled_run(schedule, callbacks=None, model=None):
    """func_evolve whose best loss in epoch e is schedule[e], whatever the genomes."""
    tessaron.seed(12)
    model = model or tessaron.Model(2, 1)
    epoch = iter(range(len(schedule)))

    def train(genomes):
        return np.full(len(genomes), schedule[next(epoch)])

    history = model.func_evolve(train, pop_size=4, epochs=len(schedule), verbose=0,
                                callbacks=callbacks)
    return model, history


def test_callbacks_see_each_epoch_best_network_and_change_nothing_else():
    plain_model, plain = dataset_run(6)
    recorder = Recorder()
    model, history = dataset_run(6, [recorder])
    assert history == plain
    assert network_bytes(model) == network_bytes(plain_model)
    keys = list(plain)
    assert recorder.calls[0] == ("begin", {})
    assert recorder.calls[1:-1] == [(e, {k: plain[k][e] for k in keys}) for e in range(6)]
    assert recorder.calls[-1] == ("end", {k: plain[k][5] for k in keys})
    assert recorder.sizes == plain["size"]
    # During epoch e the model holds what a run of e + 1 epochs ends with.
    for e in (0, 3):
        assert recorder.networks[e] == network_bytes(dataset_run(e + 1)[0])


@pytest.mark.parametrize("search, figures", [
    ("covariance", ["sigma", "samples", "hidden_nodes", "restarts", "noisy"]),
    ("select", ["median_step", "stale_generations"]),
    ("gradient", ["median_step"]),
])
@pytest.mark.parametrize("method", ["evolve", "func_evolve"])
def test_beta_reports_its_figures_after_the_history_values(search, figures, method):
    model = tessaron.Model(2, 1)
    model.compile(loss="mse", optimizer=tessaron.optimizers.Beta(search=search))
    recorder = Recorder()
    tessaron.seed(3)
    if method == "evolve":
        history = model.evolve(X, Y, pop_size=20, epochs=2, verbose=0, callbacks=[recorder])
    else:
        history = model.func_evolve(lambda genomes: np.arange(len(genomes), dtype=float),
                                    pop_size=20, epochs=2, verbose=0, callbacks=[recorder])
    logs = [seen for epoch, seen in recorder.calls[1:-1]]
    assert [list(seen) for seen in logs] == [list(history) + figures] * 2
    assert all(seen[key] == history[key][e] for e, seen in enumerate(logs) for key in history)
    if search == "covariance":
        assert logs[-1]["samples"] == 19 and logs[-1]["sigma"] > 0
        assert logs[-1]["noisy"] == (method == "func_evolve")


@pytest.mark.parametrize("method", ["evolve", "func_evolve"])
def test_stop_evolving_ends_the_run_after_that_epoch(method):
    recorder = Recorder(stop_at=2)
    if method == "evolve":
        model, history = dataset_run(8, [recorder])
        shorter_model, shorter = dataset_run(3)
    else:
        model, history = scheduled_run([5.0, 4.0, 3.0, 2.0, 1.0], [recorder])
        shorter_model, shorter = scheduled_run([5.0, 4.0, 3.0])
    assert history == shorter
    assert network_bytes(model) == network_bytes(shorter_model)
    assert [call[0] for call in recorder.calls] == ["begin", 0, 1, 2, "end"]


# Best loss per epoch, and the length of the history EarlyStopping leaves.
SCHEDULE = [5.0, 4.8, 4.7, 4.6, 4.5, 1.0]


@pytest.mark.parametrize("mode, sign, min_delta, patience, epochs_run", [
    ("min", 1, 0.0, 0, 6),    # every epoch improves
    ("min", 1, 0.25, 0, 2),   # 4.8 is not 0.25 below 5
    ("min", 1, 0.25, 2, 5),   # 4.7 improves, then 4.6 and 4.5 do not
    ("max", -1, 0.25, 2, 5),  # the same on the negated values
    ("max", 1, 0.0, 1, 2),    # every epoch gets worse
])
def test_early_stopping_stops_at_the_right_epoch(mode, sign, min_delta, patience, epochs_run):
    stopper = EarlyStopping(monitor="loss", min_delta=min_delta, patience=patience, mode=mode)
    _, history = scheduled_run([sign * v for v in SCHEDULE], [stopper])
    assert len(history["loss"]) == epochs_run
    assert stopper.stopped_epoch == (None if epochs_run == 6 else epochs_run - 1)


@pytest.mark.parametrize("keyword", ["restore_best", "restore_best_weights"])
def test_restore_best_gives_back_the_best_epoch_network_bit_for_bit(keyword):
    recorder = Recorder()
    stopper = EarlyStopping(monitor="loss", patience=3, **{keyword: True})
    assert stopper.restore_best and stopper.restore_best_weights
    model, history = scheduled_run([3.0, 2.0, 1.0, 1.5, 1.2, 1.1, 0.5], [recorder, stopper])
    assert history["loss"] == [3.0, 2.0, 1.0, 1.5, 1.2, 1.1]
    assert stopper.best_epoch == 2 and recorder.networks[2] != recorder.networks[5]
    assert network_bytes(model) == recorder.networks[2]
    assert model.size == recorder.sizes[2]
    assert np.array_equal(model.predict(X), recorder.predictions[2])


def test_restore_best_and_its_keras_name_may_not_disagree():
    with pytest.raises(ValueError, match="^EarlyStopping got restore_best=True and "
                                         "restore_best_weights=False; give one of them$"):
        EarlyStopping(restore_best=True, restore_best_weights=False)


def test_checkpoints_are_loadable_and_named_from_the_logs(tmp_path):
    recorder = Recorder()
    every = ModelCheckpoint(tmp_path / "every-{epoch:02d}-{val_mae:.4f}.tsn")
    best = ModelCheckpoint(str(tmp_path / "best-{epoch}.tsn"), monitor="val_loss",
                           save_best_only=True)
    _, history = dataset_run(6, [recorder, every, best])
    for e in range(6):
        saved = tessaron.load(str(tmp_path / f"every-{e + 1:02d}-{history['val_mae'][e]:.4f}.tsn"))
        assert network_bytes(saved) == recorder.networks[e]
    improving = [e for e in range(6) if history["val_loss"][e] < min(history["val_loss"][:e],
                                                                       default=np.inf)]
    assert sorted(p.name for p in tmp_path.glob("best-*")) == \
        sorted(f"best-{e + 1}.tsn" for e in improving)


class Failing(Callback):
    def __init__(self, hook):
        super().__init__()
        self.hook = hook

    def on_epoch_end(self, epoch, logs=None):
        if self.hook == "epoch" and epoch == 1:
            raise ZeroDivisionError("from the callback")

    def on_train_end(self, logs=None):
        if self.hook == "end":
            raise ZeroDivisionError("from the callback")


@pytest.mark.parametrize("method", ["evolve", "func_evolve"])
@pytest.mark.parametrize("hook", ["epoch", "end"])
def test_a_raising_callback_ends_the_run_and_leaves_the_model_unchanged(method, hook):
    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    model.size = 99  # the published size comes back too, even one set by hand
    before = network_bytes(model)
    with pytest.raises(ZeroDivisionError, match="from the callback"):
        if method == "evolve":
            model.evolve(X, Y, pop_size=4, epochs=3, verbose=0, callbacks=[Failing(hook)])
        else:
            scheduled_run([3.0, 2.0, 1.0], [Failing(hook)], model)
    assert network_bytes(model) == before and model.size == 99


def test_bad_callbacks_and_monitors_are_refused_with_clear_messages(tmp_path):
    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    before = network_bytes(model)
    cases = [
        ([print], TypeError, "callbacks must be a list of tessaron.callbacks.Callback objects; "
                             "item 0 is builtin_function_or_method"),
        (EarlyStopping(), ValueError, "EarlyStopping monitors 'val_loss', which this run does "
                                      "not log; its logs hold 'loss'"),
        (ModelCheckpoint(str(tmp_path / "{nope}.tsn"), monitor="loss"), ValueError,
         "ModelCheckpoint filepath '" + str(tmp_path / "{nope}.tsn") + "' names the field "
         "'nope', which is not one of 'epoch', 'loss'"),
    ]
    for callback, error, message in cases:
        callbacks = callback if isinstance(callback, list) else [callback]
        with pytest.raises(error) as raised:
            model.evolve(X, Y, pop_size=4, epochs=2, verbose=0, callbacks=callbacks)
        assert str(raised.value) == message
        assert network_bytes(model) == before
    with pytest.raises(ValueError, match="EarlyStopping mode must be 'min' or 'max', got 'auto'"):
        EarlyStopping(mode="auto")

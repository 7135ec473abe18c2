"""Callbacks: code that runs at the start of an evolution, after each of its epochs and at its end.

Give a list of them to ``Model.evolve`` or ``Model.func_evolve`` as ``callbacks``. During a run the
model shows the best network of the latest epoch, so a callback can save it, keep it or predict
with it; setting ``model.stop_evolving = True`` ends the run after the current epoch (the history
then holds the epochs that ran). A callback that raises ends the run with its exception, and the
model keeps the network it had before the call.
"""

import math
import os

__all__ = ["Callback", "CallbackList", "EarlyStopping", "ModelCheckpoint"]


class Callback:
    """Base class of callbacks: override the hooks you need."""

    def __init__(self):
        self.model = None

    def set_model(self, model):
        self.model = model

    def on_train_begin(self, logs=None):
        """Called once before the first epoch; logs is an empty dict."""

    def on_epoch_end(self, epoch, logs=None):
        """Called after each epoch (counted from 0) with that epoch's history values.

        A ``Beta`` search adds figures about itself after them (as floats): the covariance search
        its ``sigma``, ``samples`` per generation, ``hidden_nodes``, ``restarts`` and ``noisy``
        (1 where it takes the scores as noisy); the others their ``median_step``, and the
        selection search its ``stale_generations``.
        """

    def on_train_end(self, logs=None):
        """Called once after the last epoch with its history values (empty when none ran)."""


class CallbackList:
    """The callbacks of one run, called in list order.

    ``Model.func_evolve`` also hands over its ``train_func``: an object with a
    ``tessaron_callback`` attribute (a Callback, as ``tessaron.gym.EpisodeFitness`` has) brings
    that callback into every run it trains, even one given no callbacks. It is called before the
    user's callbacks, so that what it adds to an epoch's logs is there for them to see, and the
    values it adds go into the run's history too.
    """

    def __init__(self, callbacks, model, train_func=None):
        if isinstance(callbacks, (str, bytes, dict)) or not hasattr(callbacks, "__iter__"):
            raise TypeError(
                "callbacks must be a list of tessaron.callbacks.Callback objects, got "
                f"{type(callbacks).__name__}")
        self.callbacks = list(callbacks)
        for index, callback in enumerate(self.callbacks):
            if not isinstance(callback, Callback):
                raise TypeError(
                    "callbacks must be a list of tessaron.callbacks.Callback objects; item "
                    f"{index} is {type(callback).__name__}")
        own = getattr(train_func, "tessaron_callback", None)
        if own is not None and not isinstance(own, Callback):
            raise TypeError("train_func.tessaron_callback must be a tessaron.callbacks.Callback, "
                            f"got {type(own).__name__}")
        self._own = own
        self._own_logs = {}  # the values the train_func's callback added, per key
        for callback in self.callbacks:
            callback.set_model(model)
        if own is not None:
            own.set_model(model)

    def _all(self):
        return self.callbacks if self._own is None else [self._own] + self.callbacks

    def on_train_begin(self, logs=None):
        for callback in self._all():
            callback.on_train_begin(logs)

    def on_epoch_end(self, epoch, logs=None):
        if self._own is not None:
            before = set(logs or {})
            self._own.on_epoch_end(epoch, logs)
            for key in (logs or {}):
                if key not in before:
                    self._own_logs.setdefault(key, []).append(logs[key])
        for callback in self.callbacks:
            callback.on_epoch_end(epoch, logs)

    def on_train_end(self, logs=None):
        for callback in self._all():
            callback.on_train_end(logs)

    def complete_history(self, history):
        """Adds to the run's history the values that the train_func's callback logged."""
        for key, values in self._own_logs.items():
            history.setdefault(key, list(values))


def _check_mode(owner, mode):
    if mode not in ("min", "max"):
        raise ValueError(f"{owner} mode must be 'min' or 'max', got {mode!r}")


def _monitored(owner, monitor, logs):
    """The monitored value of an epoch; a monitor the run does not log is a mistake worth
    stopping for (a misspelt name, or "val_loss" without validation), not a silent no-op."""
    logs = logs or {}
    if monitor not in logs:
        known = ", ".join(repr(key) for key in logs) or "nothing"
        raise ValueError(f"{owner} monitors {monitor!r}, which this run does not log; its logs "
                         f"hold {known}")
    return float(logs[monitor])


def _improves(current, best, mode, min_delta):
    if mode == "min":
        return current < best - min_delta
    return current > best + min_delta


class EarlyStopping(Callback):
    """Ends the run once the monitored value has not improved by more than min_delta for
    `patience` epochs. With restore_best, the model ends with the network of the best epoch
    instead of the last one."""

    def __init__(self, monitor="val_loss", min_delta=0.0, patience=0, mode="min",
                 restore_best=False, verbose=0, restore_best_weights=None):
        super().__init__()
        _check_mode("EarlyStopping", mode)
        # restore_best_weights is the name Keras users know; both name one setting.
        if restore_best_weights is not None:
            if restore_best and not restore_best_weights:
                raise ValueError("EarlyStopping got restore_best=True and "
                                 "restore_best_weights=False; give one of them")
            restore_best = restore_best_weights
        if not min_delta >= 0:
            raise ValueError(f"EarlyStopping min_delta must be at least 0, got {min_delta!r}")
        if isinstance(patience, bool) or not isinstance(patience, int) or patience < 0:
            raise ValueError(f"EarlyStopping patience must be an int of at least 0, got "
                             f"{patience!r}")
        self.monitor = monitor
        self.min_delta = float(min_delta)
        self.patience = patience
        self.mode = mode
        self.restore_best = restore_best
        self.verbose = verbose
        self.on_train_begin()

    @property
    def restore_best_weights(self):
        """The Keras name of restore_best."""
        return self.restore_best

    @restore_best_weights.setter
    def restore_best_weights(self, value):
        self.restore_best = value

    def on_train_begin(self, logs=None):
        self.wait = 0
        self.best = math.inf if self.mode == "min" else -math.inf
        self.best_epoch = None
        self.stopped_epoch = None
        self._last_epoch = None
        self._best_network = None

    def on_epoch_end(self, epoch, logs=None):
        current = _monitored("EarlyStopping", self.monitor, logs)
        self._last_epoch = epoch
        self.wait += 1
        if _improves(current, self.best, self.mode, self.min_delta):
            self.best = current
            self.best_epoch = epoch
            self.wait = 0
            if self.restore_best:
                self._best_network = self.model.get_network()
            return
        if self.wait >= self.patience and epoch > 0:
            self.stopped_epoch = epoch
            self.model.stop_evolving = True

    def on_train_end(self, logs=None):
        if self.stopped_epoch is not None and self.verbose > 0:
            print(f"Epoch {self.stopped_epoch + 1}: early stopping")
        if self._best_network is None or self.best_epoch == self._last_epoch:
            return  # the model already shows the best epoch's network
        if self.verbose > 0:
            print(f"Restoring the network of the best epoch: {self.best_epoch + 1}")
        # Only the network goes back: the compile state (and a subclass's attributes) stay.
        self.model.set_network(self._best_network)
        self._best_network = None


class ModelCheckpoint(Callback):
    """Saves the model (the best network of the epoch) as a '.tsn' file after every epoch, or
    only after epochs that improve the monitored value. The path may name fields that are
    formatted in: {epoch} (counted from 1) and any history key, such as {val_loss:.4f}."""

    def __init__(self, filepath, monitor="val_loss", save_best_only=False, mode="min", verbose=0):
        super().__init__()
        _check_mode("ModelCheckpoint", mode)
        self.filepath = os.fspath(filepath)
        self.monitor = monitor
        self.save_best_only = save_best_only
        self.mode = mode
        self.verbose = verbose
        self.best = math.inf if mode == "min" else -math.inf

    def on_epoch_end(self, epoch, logs=None):
        logs = logs or {}
        if self.save_best_only:
            current = _monitored("ModelCheckpoint", self.monitor, logs)
            if not _improves(current, self.best, self.mode, 0.0):
                return
            self.best = current
        path = self._path(epoch, logs)
        if self.verbose > 0:
            print(f"Epoch {epoch + 1}: saving the model to {path}")
        self.model.save(path)

    def _path(self, epoch, logs):
        try:
            return self.filepath.format(epoch=epoch + 1, **logs)
        except KeyError as missing:
            fields = ", ".join(["'epoch'"] + [repr(key) for key in logs])
            raise ValueError(f"ModelCheckpoint filepath {self.filepath!r} names the field "
                             f"{missing}, which is not one of {fields}") from None

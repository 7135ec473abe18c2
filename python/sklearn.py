"""scikit-learn estimators around tessaron models, for Pipeline, GridSearchCV, cross_val_score.

Needs scikit-learn (the "sklearn" extra: ``pip install tessaron[sklearn]``). Samples may be numpy
arrays, lists or pandas data frames, as scikit-learn's own estimators take them; the column names
of a data frame are kept in ``feature_names_in_``. Data that holds NaN or infinity is refused with
scikit-learn's own message.

``random_state`` makes ``fit`` repeatable: a fit with a random_state builds and evolves its model
inside ``tessaron.seeded`` of a seed drawn from it, so it repeats exactly also when fits run at the
same time in threads of one process, and the calling thread's own draws (after a
``tessaron.seed``, say) go on as if the fit had not run.
"""

import contextlib
import copy

import numpy as np

from tessaron._extras import import_extra

import_extra("sklearn", "sklearn", "tessaron.sklearn", "scikit-learn")

from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin  # noqa: E402
from sklearn.metrics import accuracy_score, r2_score  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402
from sklearn.preprocessing import LabelEncoder  # noqa: E402
from sklearn.utils import check_random_state  # noqa: E402
from sklearn.utils.multiclass import check_classification_targets  # noqa: E402
from sklearn.utils.validation import check_is_fitted  # noqa: E402

import tessaron  # noqa: E402
from tessaron.callbacks import EarlyStopping  # noqa: E402

try:  # scikit-learn 1.6 and later
    from sklearn.utils.validation import validate_data as _validate_data
except ImportError:  # older releases: the estimator's own method
    def _validate_data(estimator, *args, **kwargs):
        return estimator._validate_data(*args, **kwargs)

__all__ = ["EvolvedRegressor", "EvolvedClassifier"]

# Probabilities are kept this far from 0 and 1, as the "binary_crossentropy" loss keeps them.
_EPSILON = 1e-7


class _ValidationStopping(EarlyStopping):
    """Early stopping on the estimator's score (R² or accuracy) of the held-out samples, taken
    after every epoch with that epoch's best network; the run ends with the best epoch's
    network."""

    def __init__(self, score, patience, min_delta):
        super().__init__(monitor="val_score", mode="max", patience=patience, min_delta=min_delta,
                         restore_best=True)
        self.score = score
        self.scores = []

    def on_epoch_end(self, epoch, logs=None):
        self.scores.append(float(self.score(self.model)))
        super().on_epoch_end(epoch, dict(logs or {}, val_score=self.scores[-1]))


def _check_int(name, value, lowest):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < lowest:
        raise ValueError(f"{name} must be an int of at least {lowest}, got {value!r}")


def _is_number(value):
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)


class _EvolvedEstimator(BaseEstimator):
    """What both estimators share: the model's construction, the seeded run, early stopping and
    warm starts."""

    def __init__(self, hidden_nodes=0, pop_size=100, epochs=100, batch_size=-1, optimizer="alpha",
                 loss="mse", callbacks=None, verbose=0, random_state=None, early_stopping=False,
                 validation_fraction=0.1, n_iter_no_change=10, tol=1e-4, warm_start=False):
        self.hidden_nodes = hidden_nodes
        self.pop_size = pop_size
        self.epochs = epochs
        self.batch_size = batch_size
        self.optimizer = optimizer
        self.loss = loss
        self.callbacks = callbacks
        self.verbose = verbose
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.tol = tol
        self.warm_start = warm_start

    def _check_settings(self):
        _check_int("hidden_nodes", self.hidden_nodes, 0)
        if not self.early_stopping:
            return
        if not (_is_number(self.validation_fraction) and 0 < self.validation_fraction < 1):
            raise ValueError("validation_fraction must be a number between 0 and 1 (both "
                             f"excluded), got {self.validation_fraction!r}")
        _check_int("n_iter_no_change", self.n_iter_no_change, 1)
        if not (_is_number(self.tol) and self.tol >= 0):
            raise ValueError(f"tol must be a number of at least 0, got {self.tol!r}")

    def _warm(self):
        """Whether this fit goes on from the network of the previous one."""
        return bool(self.warm_start) and hasattr(self, "model_")

    def _evolve(self, x, targets, score, stratify=None):
        """Evolves the model on (x, targets); score(model, x, targets) is the held-out score of
        early stopping, higher is better."""
        self._check_settings()
        held_out = None
        if self.early_stopping:
            # The split draws from a generator of its own, so that the run's seed below is the
            # one a fit without early stopping gets.
            x, x_held, targets, targets_held = train_test_split(
                x, targets, test_size=self.validation_fraction,
                random_state=check_random_state(self.random_state), stratify=stratify)
            held_out = (x_held, targets_held)
        callbacks = list(self.callbacks or [])
        stopping = None
        if held_out is not None:
            stopping = _ValidationStopping(lambda model: score(model, *held_out),
                                           self.n_iter_no_change, self.tol)
            callbacks.append(stopping)
        warm = self._warm()
        draws = contextlib.nullcontext()
        if self.random_state is not None:
            draws = tessaron.seeded(
                int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max)))
        with draws:
            inputs, outputs = x.shape[1], targets.shape[1]
            # A warm start evolves a copy, so that a failing fit leaves model_ as it was.
            model = copy.copy(self.model_) if warm else tessaron.Model(
                inputs, outputs, inputs + outputs + int(self.hidden_nodes))
            model.compile(self.optimizer, self.loss)
            history = model.evolve(x, targets, pop_size=self.pop_size, batch_size=self.batch_size,
                                   epochs=self.epochs, verbose=self.verbose,
                                   callbacks=callbacks or None)
        self.model_ = model
        self.history_ = history
        self.n_outputs_ = targets.shape[1]
        self.loss_curve_ = (list(self.loss_curve_) if warm else []) + list(history["loss"])
        self.n_iter_ = len(self.loss_curve_)
        self.validation_scores_ = None if stopping is None else stopping.scores
        self.best_validation_score_ = None
        if stopping is not None and stopping.best_epoch is not None:
            self.best_validation_score_ = stopping.best
        return self

    def _outputs(self, x):
        check_is_fitted(self, "model_")
        x = _validate_data(self, x, reset=False, dtype=np.float64)
        return self.model_.predict(x)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.non_deterministic = False
        return tags


_SHARED_PARAMETERS = """hidden_nodes (hidden nodes of the starting network), pop_size, epochs,
    batch_size (-1: all samples), optimizer, loss, callbacks (a list of
    tessaron.callbacks.Callback), verbose (the evolve progress lines), random_state (makes fit
    repeatable), early_stopping (hold out validation_fraction of the training samples and end the
    run once their score has not improved by more than tol for n_iter_no_change epochs, keeping
    the best epoch's network), validation_fraction, n_iter_no_change, tol, warm_start (a new fit
    goes on from the network of the previous one).

    Attributes after fit: ``model_`` (the tessaron.Model), ``history_`` (the history of the last
    fit), ``loss_curve_`` (the training loss per epoch, of warm-started fits too), ``n_iter_``
    (its length), ``validation_scores_`` and ``best_validation_score_`` (with early_stopping,
    the held-out score per epoch and that of the epoch whose network was kept; None without), ``n_features_in_``, and
    ``feature_names_in_`` after a fit on a data frame."""


class EvolvedRegressor(RegressorMixin, _EvolvedEstimator):
    __doc__ = f"""A regressor whose network is evolved on (X, y): one output per target column.

    Parameters: {_SHARED_PARAMETERS}

    loss is "mse" by default ("mae" and "mape" also fit); early stopping scores by R².
    """

    def fit(self, X, y):
        warm = self._warm()
        x, y = _validate_data(self, X, y, reset=not warm, dtype=np.float64, y_numeric=True,
                              multi_output=True)
        targets = y.reshape(len(y), -1)
        if warm and targets.shape[1] != self.n_outputs_:
            raise ValueError("warm_start needs y with as many target columns as the previous fit "
                             f"({self.n_outputs_}), got {targets.shape[1]}")
        self._evolve(x, targets, _r2)
        self._single_target = y.ndim == 1
        return self

    def predict(self, X):
        outputs = self._outputs(X)
        return outputs[:, 0] if self._single_target else outputs

    def _more_tags(self):  # scikit-learn before 1.6
        return {"multioutput": True}

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        tags.target_tags.single_output = True
        return tags


def _r2(model, x, targets):
    predicted = model.predict(x)
    return r2_score(targets, predicted) if np.all(np.isfinite(predicted)) else -np.inf


def _softmax(outputs):
    shifted = outputs - outputs.max(axis=1, keepdims=True)
    exp = np.exp(shifted)
    return exp / exp.sum(axis=1, keepdims=True)


def _shares(outputs):
    """The outputs, cut at 0, as shares of their sum: the probabilities of a network trained on
    one-hot codes by a regression loss."""
    shares = np.clip(np.nan_to_num(outputs, nan=0.0, posinf=1.0, neginf=0.0), 0.0, None)
    totals = shares.sum(axis=1, keepdims=True)
    # A sample whose outputs are all at or below 0 says nothing: every class is as likely.
    none = totals[:, 0] <= 0.0
    shares[none] = 1.0
    totals[none] = outputs.shape[1]
    return shares / totals


def _one_output(loss, classes):
    """Whether the network has one output only: two classes under binary cross-entropy."""
    return loss == "binary_crossentropy" and classes == 2


def _probabilities(outputs, loss, classes):
    """The class probabilities of a network's outputs, read as the loss they were evolved by."""
    if loss == "categorical_crossentropy":
        with np.errstate(invalid="ignore", over="ignore"):
            proba = _softmax(outputs)
        # Outputs that are NaN or infinite say nothing: every class is as likely.
        proba[~np.all(np.isfinite(proba), axis=1)] = 1.0 / classes
        return proba
    if loss == "binary_crossentropy":
        p = np.clip(np.nan_to_num(outputs, nan=0.5), _EPSILON, 1.0 - _EPSILON)
        if _one_output(loss, classes):
            return np.hstack([1.0 - p, p])
        return p / p.sum(axis=1, keepdims=True)
    return _shares(outputs)


class EvolvedClassifier(ClassifierMixin, _EvolvedEstimator):
    __doc__ = f"""A classifier whose network is evolved on (X, y), with one output per class.

    Parameters: {_SHARED_PARAMETERS}

    loss is "categorical_crossentropy" by default: the outputs are the classes' logits, and
    predict_proba their softmax. With "binary_crossentropy" each output is its class's
    probability, clipped to [1e-7, 1 - 1e-7] (two classes have one output, the second class's);
    predict_proba normalises them to sum 1. With a regression loss ("mse", "mae", "mape") the
    outputs are evolved toward the one-hot code of each sample's class, and predict_proba takes
    them, cut at 0, as shares of their sum. Early stopping scores by accuracy (held-out samples
    drawn stratified). Also ``classes_`` after fit.
    """

    def __init__(self, hidden_nodes=0, pop_size=100, epochs=100, batch_size=-1, optimizer="alpha",
                 loss="categorical_crossentropy", callbacks=None, verbose=0, random_state=None,
                 early_stopping=False, validation_fraction=0.1, n_iter_no_change=10, tol=1e-4,
                 warm_start=False):
        super().__init__(hidden_nodes=hidden_nodes, pop_size=pop_size, epochs=epochs,
                         batch_size=batch_size, optimizer=optimizer, loss=loss,
                         callbacks=callbacks, verbose=verbose, random_state=random_state,
                         early_stopping=early_stopping, validation_fraction=validation_fraction,
                         n_iter_no_change=n_iter_no_change, tol=tol, warm_start=warm_start)

    def fit(self, X, y):
        warm = self._warm()
        x, y = _validate_data(self, X, y, reset=not warm, dtype=np.float64)
        check_classification_targets(y)
        encoder = LabelEncoder().fit(y)
        if warm and not np.array_equal(encoder.classes_, self.classes_):
            raise ValueError("warm_start needs y with the classes of the previous fit "
                             f"{list(self.classes_)}, got {list(encoder.classes_)}")
        fitted_loss = getattr(self, "_fitted_loss", self.loss)
        if warm and self.loss != fitted_loss:
            raise ValueError(f"warm_start needs the loss of the previous fit ({fitted_loss!r}), "
                             f"got {self.loss!r}")
        loss, classes = self.loss, len(encoder.classes_)
        codes = encoder.transform(y)
        if _one_output(loss, classes):
            targets = codes.reshape(-1, 1).astype(np.float64)
        else:
            targets = np.zeros((len(codes), classes))
            targets[np.arange(len(codes)), codes] = 1.0

        def accuracy(model, x_held, targets_held):
            predicted = np.argmax(_probabilities(model.predict(x_held), loss, classes), axis=1)
            truth = targets_held[:, 0] if _one_output(loss, classes) else targets_held.argmax(1)
            return accuracy_score(truth.astype(int), predicted)

        self._evolve(x, targets, accuracy, stratify=codes if self.early_stopping else None)
        self.classes_ = encoder.classes_
        # predict_proba reads the outputs as the loss they were evolved by.
        self._fitted_loss = loss
        return self

    def predict_proba(self, X):
        # A classifier pickled before the loss was recorded was evolved by self.loss.
        loss = getattr(self, "_fitted_loss", self.loss)
        return _probabilities(self._outputs(X), loss, len(self.classes_))

    def predict(self, X):
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]

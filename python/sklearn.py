"""scikit-learn estimators around tessaron models, for Pipeline, GridSearchCV, cross_val_score.

Needs scikit-learn (the "sklearn" extra: ``pip install tessaron[sklearn]``).

``random_state`` makes ``fit`` repeatable. The module's random draws are process-wide
(``tessaron.seed``), so a fit with a random_state seeds them for its own run and then hands the
module a seed drawn from the stream as it stood before the fit: later draws stay as unpredictable
as they were, and a script that called ``tessaron.seed`` stays repeatable. Fits that run at the
same time in threads of one process share that stream; give each its own process (joblib's default
backend does) for repeatable results.
"""

import hashlib

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.preprocessing import LabelEncoder
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

import tessaron

try:  # scikit-learn 1.6 and later
    from sklearn.utils.validation import validate_data as _validate_data
except ImportError:  # older releases: the estimator's own method
    def _validate_data(estimator, *args, **kwargs):
        return estimator._validate_data(*args, **kwargs)

__all__ = ["EvolvedRegressor", "EvolvedClassifier"]


def _draw_from_module_stream():
    """A number that follows from the module's random state as it stands (the draws that make a
    new network), without seeding anything."""
    network = tessaron.Model(1, 1).__getstate__()["network"]
    return int.from_bytes(hashlib.sha256(network).digest()[:8], "little")


class _EvolvedEstimator(BaseEstimator):
    """What both estimators share: the model's construction and the seeded run."""

    def __init__(self, hidden_nodes=0, pop_size=100, epochs=100, batch_size=-1, optimizer="alpha",
                 loss="mse", callbacks=None, verbose=0, random_state=None):
        self.hidden_nodes = hidden_nodes
        self.pop_size = pop_size
        self.epochs = epochs
        self.batch_size = batch_size
        self.optimizer = optimizer
        self.loss = loss
        self.callbacks = callbacks
        self.verbose = verbose
        self.random_state = random_state

    def _evolve(self, x, targets):
        if isinstance(self.hidden_nodes, bool) or not isinstance(self.hidden_nodes, (int, np.integer)) \
                or self.hidden_nodes < 0:
            raise ValueError(f"hidden_nodes must be an int of at least 0, got {self.hidden_nodes!r}")
        seed = None
        if self.random_state is not None:
            seed = int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max))
            after = _draw_from_module_stream()
            tessaron.seed(seed)
        try:
            inputs, outputs = x.shape[1], targets.shape[1]
            model = tessaron.Model(inputs, outputs, inputs + outputs + int(self.hidden_nodes))
            model.compile(self.optimizer, self.loss)
            history = model.evolve(x, targets, pop_size=self.pop_size, batch_size=self.batch_size,
                                   epochs=self.epochs, verbose=self.verbose,
                                   callbacks=self.callbacks)
        finally:
            if seed is not None:
                tessaron.seed(after)
        self.model_ = model
        self.history_ = history
        return self

    def _outputs(self, x):
        check_is_fitted(self, "model_")
        x = _validate_data(self, x, reset=False, dtype=np.float64)
        return self.model_.predict(x)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.non_deterministic = False
        return tags


class EvolvedRegressor(RegressorMixin, _EvolvedEstimator):
    """A regressor whose network is evolved on (X, y): one output per target column.

    Parameters: hidden_nodes (hidden nodes of the starting network), pop_size, epochs,
    batch_size (-1: all samples), optimizer, loss ("mse", "mae", "mape"), callbacks (a list of
    tessaron.callbacks.Callback), verbose (the evolve progress lines), random_state.

    Attributes after fit: ``model_`` (the tessaron.Model), ``history_`` (its history),
    ``n_features_in_``.
    """

    def fit(self, X, y):
        x, y = _validate_data(self, X, y, dtype=np.float64, y_numeric=True, multi_output=True)
        self._single_target = y.ndim == 1
        return self._evolve(x, y.reshape(len(y), -1))

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


class EvolvedClassifier(ClassifierMixin, _EvolvedEstimator):
    """A classifier whose network is evolved to output the one-hot code of each sample's class
    (one output per class); predict_proba reads the outputs, cut at 0, as shares of their sum.

    Parameters as EvolvedRegressor. Attributes after fit: ``model_``, ``history_``, ``classes_``,
    ``n_features_in_``.
    """

    def fit(self, X, y):
        x, y = _validate_data(self, X, y, dtype=np.float64)
        check_classification_targets(y)
        encoder = LabelEncoder().fit(y)
        self.classes_ = encoder.classes_
        codes = encoder.transform(y)
        targets = np.zeros((len(codes), len(self.classes_)))
        targets[np.arange(len(codes)), codes] = 1.0
        return self._evolve(x, targets)

    def predict_proba(self, X):
        shares = np.nan_to_num(self._outputs(X), nan=0.0, posinf=1.0, neginf=0.0)
        shares = np.clip(shares, 0.0, None)
        totals = shares.sum(axis=1, keepdims=True)
        # A sample whose outputs are all at or below 0 says nothing: every class is as likely.
        none = totals[:, 0] <= 0.0
        shares[none] = 1.0
        totals[none] = len(self.classes_)
        return shares / totals

    def predict(self, X):
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]

"""scikit-learn estimators around tessaron models, for Pipeline, GridSearchCV, cross_val_score."""

from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.base import (  # type: ignore[import-untyped, import-not-found, unused-ignore]
    BaseEstimator,
    ClassifierMixin,
    RegressorMixin,
)

from . import Model
from .callbacks import Callback
from .optimizers import Alpha, Beta

__all__ = ["EvolvedRegressor", "EvolvedClassifier"]

class _EvolvedEstimator(BaseEstimator):  # type: ignore[misc, unused-ignore]
    hidden_nodes: int
    pop_size: int
    epochs: int
    batch_size: int
    optimizer: Alpha | Beta | str
    loss: str
    callbacks: list[Callback] | None
    verbose: int
    random_state: int | np.random.RandomState | None
    early_stopping: bool
    validation_fraction: float
    n_iter_no_change: int
    tol: float
    warm_start: bool
    model_: Model
    history_: dict[str, list[float]]
    loss_curve_: list[float]
    n_iter_: int
    n_outputs_: int
    validation_scores_: list[float] | None
    best_validation_score_: float | None
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    def __init__(
        self,
        hidden_nodes: int = 0,
        pop_size: int = 100,
        epochs: int = 100,
        batch_size: int = -1,
        optimizer: Alpha | Beta | str = "alpha",
        loss: str = "mse",
        callbacks: list[Callback] | None = None,
        verbose: int = 0,
        random_state: int | np.random.RandomState | None = None,
        early_stopping: bool = False,
        validation_fraction: float = 0.1,
        n_iter_no_change: int = 10,
        tol: float = 1e-4,
        warm_start: bool = False,
    ) -> None: ...
    def __sklearn_tags__(self) -> Any: ...

class EvolvedRegressor(RegressorMixin, _EvolvedEstimator):  # type: ignore[misc, unused-ignore]
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> EvolvedRegressor: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    # Made by scikit-learn's metadata routing, for score's sample_weight.
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> EvolvedRegressor: ...

class EvolvedClassifier(ClassifierMixin, _EvolvedEstimator):  # type: ignore[misc, unused-ignore]
    classes_: npt.NDArray[Any]
    def __init__(
        self,
        hidden_nodes: int = 0,
        pop_size: int = 100,
        epochs: int = 100,
        batch_size: int = -1,
        optimizer: Alpha | Beta | str = "alpha",
        loss: str = "categorical_crossentropy",
        callbacks: list[Callback] | None = None,
        verbose: int = 0,
        random_state: int | np.random.RandomState | None = None,
        early_stopping: bool = False,
        validation_fraction: float = 0.1,
        n_iter_no_change: int = 10,
        tol: float = 1e-4,
        warm_start: bool = False,
    ) -> None: ...
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> EvolvedClassifier: ...
    def predict_proba(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[Any]: ...
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> EvolvedClassifier: ...

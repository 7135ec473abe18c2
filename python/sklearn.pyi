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
from .optimizers import Alpha

__all__ = ["EvolvedRegressor", "EvolvedClassifier"]

class _EvolvedEstimator(BaseEstimator):  # type: ignore[misc, unused-ignore]
    hidden_nodes: int
    pop_size: int
    epochs: int
    batch_size: int
    optimizer: Alpha | str
    loss: str
    callbacks: list[Callback] | None
    verbose: int
    random_state: int | np.random.RandomState | None
    model_: Model
    history_: dict[str, list[float]]
    n_features_in_: int
    def __init__(
        self,
        hidden_nodes: int = 0,
        pop_size: int = 100,
        epochs: int = 100,
        batch_size: int = -1,
        optimizer: Alpha | str = "alpha",
        loss: str = "mse",
        callbacks: list[Callback] | None = None,
        verbose: int = 0,
        random_state: int | np.random.RandomState | None = None,
    ) -> None: ...
    def __sklearn_tags__(self) -> Any: ...

class EvolvedRegressor(RegressorMixin, _EvolvedEstimator):  # type: ignore[misc, unused-ignore]
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> EvolvedRegressor: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    # Made by scikit-learn's metadata routing, for score's sample_weight.
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> EvolvedRegressor: ...

class EvolvedClassifier(ClassifierMixin, _EvolvedEstimator):  # type: ignore[misc, unused-ignore]
    classes_: npt.NDArray[Any]
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> EvolvedClassifier: ...
    def predict_proba(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[Any]: ...
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> EvolvedClassifier: ...

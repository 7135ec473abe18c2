"""Callbacks: code that runs at the start of an evolution, after each of its epochs and at its end."""

from collections.abc import Iterable
from os import PathLike
from typing import Literal

from . import Model

__all__ = ["Callback", "CallbackList", "EarlyStopping", "ModelCheckpoint"]

# The values of one epoch under the keys of its history ("loss", metrics, "val_...", "size").
_Logs = dict[str, float]

class Callback:
    model: Model
    def __init__(self) -> None: ...
    def set_model(self, model: Model) -> None: ...
    def on_train_begin(self, logs: _Logs | None = None) -> None:
        """Called once before the first epoch; logs is an empty dict."""
    def on_epoch_end(self, epoch: int, logs: _Logs | None = None) -> None:
        """Called after each epoch (counted from 0) with that epoch's history values."""
    def on_train_end(self, logs: _Logs | None = None) -> None:
        """Called once after the last epoch with its history values (empty when none ran)."""

class CallbackList:
    callbacks: list[Callback]
    def __init__(
        self, callbacks: Iterable[Callback], model: Model, train_func: object = None
    ) -> None: ...
    def on_train_begin(self, logs: _Logs | None = None) -> None: ...
    def on_epoch_end(self, epoch: int, logs: _Logs | None = None) -> None: ...
    def on_train_end(self, logs: _Logs | None = None) -> None: ...
    def complete_history(self, history: dict[str, list[float]]) -> None:
        """Adds to the run's history the values that the train_func's callback logged."""

class EarlyStopping(Callback):
    monitor: str
    min_delta: float
    patience: int
    mode: Literal["min", "max"]
    restore_best: bool
    restore_best_weights: bool
    verbose: int
    wait: int
    best: float
    best_epoch: int | None
    stopped_epoch: int | None
    def __init__(
        self,
        monitor: str = "val_loss",
        min_delta: float = 0.0,
        patience: int = 0,
        mode: Literal["min", "max"] = "min",
        restore_best: bool = False,
        verbose: int = 0,
        restore_best_weights: bool | None = None,
    ) -> None: ...

class ModelCheckpoint(Callback):
    filepath: str
    monitor: str
    save_best_only: bool
    mode: Literal["min", "max"]
    verbose: int
    best: float
    def __init__(
        self,
        filepath: str | PathLike[str],
        monitor: str = "val_loss",
        save_best_only: bool = False,
        mode: Literal["min", "max"] = "min",
        verbose: int = 0,
    ) -> None: ...


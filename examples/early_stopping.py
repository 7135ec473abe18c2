"""Stop a run when the validation loss stops improving, keep its best network, and use a model
inside scikit-learn's tools.

    python examples/early_stopping.py [OUTPUT_DIRECTORY]

On the diabetes dataset (it ships with scikit-learn), long runs overfit. A quarter of the patients
is held out as the test set; a fifth of the rest watches the run. One long run is compared with a
run that EarlyStopping ends once the watched loss has not improved for 100 epochs, restoring the
network of the best epoch; ModelCheckpoint keeps that network in a file as the run goes. Then
EvolvedRegressor is scored by 5-fold cross-validation in a Pipeline. Writes the early-stopped
run's history as early_stopping.png into OUTPUT_DIRECTORY (default: a temporary directory).
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure
from sklearn.datasets import load_diabetes  # type: ignore[import-untyped, unused-ignore]
from sklearn.model_selection import (  # type: ignore[import-untyped, unused-ignore]
    cross_val_score,
    train_test_split,
)
from sklearn.pipeline import make_pipeline  # type: ignore[import-untyped, unused-ignore]
from sklearn.preprocessing import StandardScaler  # type: ignore[import-untyped, unused-ignore]

import tessaron
import tessaron.plot
from tessaron.callbacks import EarlyStopping, ModelCheckpoint
from tessaron.sklearn import EvolvedRegressor

Array = npt.NDArray[np.float64]

EPOCHS = 1000


def r2(model: tessaron.Model, x: Array, y: Array) -> float:
    error = model.predict(x) - y
    return 1.0 - float(np.sum(error**2) / np.sum((y - y.mean()) ** 2))


def run(x: Array, y: Array, watch: tuple[Array, Array],
        callbacks: list[tessaron.callbacks.Callback] | None) -> tuple[tessaron.Model, dict[str, list[float]]]:
    tessaron.seed(0)  # both runs start alike: they differ only by the callbacks
    model = tessaron.Model(x.shape[1], 1)
    model.compile(loss="mse", monitors=["size"])
    history = model.evolve(x, y, pop_size=100, epochs=EPOCHS, validation_data=watch, verbose=0,
                           callbacks=callbacks)
    return model, history


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, default=None,
                        help="directory for early_stopping.png (default: a temporary one)")
    output: Path = parser.parse_args().output or Path(tempfile.mkdtemp())
    output.mkdir(parents=True, exist_ok=True)

    x_all, y_all = load_diabetes(return_X_y=True)
    x_all = np.asarray(x_all, dtype=np.float64)
    y_all = np.asarray(y_all, dtype=np.float64).reshape(-1, 1)
    x_rest, x_test, y_rest, y_test = train_test_split(x_all, y_all, test_size=0.25, random_state=0)
    x_fit, x_watch, y_fit, y_watch = train_test_split(x_rest, y_rest, test_size=0.2, random_state=0)
    x_scaler, y_scaler = StandardScaler().fit(x_fit), StandardScaler().fit(y_fit)

    def scaled(x: Array, y: Array) -> tuple[Array, Array]:
        return (np.asarray(x_scaler.transform(x), dtype=np.float64),
                np.asarray(y_scaler.transform(y), dtype=np.float64))

    (x_fit, y_fit), watch, test = scaled(x_fit, y_fit), scaled(x_watch, y_watch), scaled(x_test, y_test)

    long_model, long_history = run(x_fit, y_fit, watch, None)
    print(f"{EPOCHS} epochs: test R^2 {r2(long_model, *test):.3f}, "
          f"{long_model.size} nodes, best val_loss {min(long_history['val_loss']):.4f}")

    checkpoint_path = output / "best.tsn"
    stopper = EarlyStopping(monitor="val_loss", patience=100, restore_best=True)
    keeper = ModelCheckpoint(checkpoint_path, monitor="val_loss", save_best_only=True)
    model, history = run(x_fit, y_fit, watch, [stopper, keeper])
    best = stopper.best_epoch if stopper.best_epoch is not None else len(history["loss"]) - 1
    print(f"early stopping after {len(history['loss'])} epochs, best epoch {best + 1}: "
          f"test R^2 {r2(model, *test):.3f}, {model.size} nodes, val_loss {stopper.best:.4f}")
    saved = tessaron.load(str(checkpoint_path))
    print(f"the checkpoint holds the restored network: "
          f"{bool(np.array_equal(saved.predict(test[0]), model.predict(test[0])))}")

    pipeline = make_pipeline(StandardScaler(), EvolvedRegressor(epochs=200, random_state=0))
    folds = cross_val_score(pipeline, x_all, y_all[:, 0], cv=5)
    print(f"EvolvedRegressor in a Pipeline, 5-fold cross-validated R^2: "
          f"{folds.mean():.3f} +- {folds.std():.3f}")

    figure = Figure(figsize=(6.4, 4.0), dpi=100)
    axes = tessaron.plot.history(history, figure.add_subplot())
    axes.axvline(best + 1, color="#999999", linestyle=":", label="best epoch")
    axes.set_title("mse per epoch, early-stopped run", fontsize=10)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(output / "early_stopping.png")
    print(f"wrote {output / 'early_stopping.png'}")


if __name__ == "__main__":
    main()

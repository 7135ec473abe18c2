"""Evolve a model on a real dataset and compare it with a linear-regression baseline.

    python examples/diabetes.py

The diabetes dataset ships with scikit-learn (442 patients, 10 features, a measure of disease
progression one year later; nothing is downloaded). A quarter of the patients is held out for
validation; features and target are standardised with the statistics of the training part only.
Both models are scored on the same validation set.
"""

from __future__ import annotations

import time

import numpy as np
import numpy.typing as npt
from sklearn.datasets import load_diabetes  # type: ignore[import-untyped, unused-ignore]
from sklearn.linear_model import LinearRegression  # type: ignore[import-untyped, unused-ignore]
from sklearn.model_selection import train_test_split  # type: ignore[import-untyped, unused-ignore]
from sklearn.preprocessing import StandardScaler  # type: ignore[import-untyped, unused-ignore]

import tessaron

Array = npt.NDArray[np.float64]

EPOCHS = 200


def as_array(values: object) -> Array:
    return np.asarray(values, dtype=np.float64)


def scores(prediction: Array, target: Array, target_scale: float) -> tuple[float, float, float]:
    """Mean squared error (standardised units), mean absolute error (original units), R^2."""
    error = prediction - target
    mse = float(np.mean(error**2))
    mae = float(np.mean(np.abs(error))) * target_scale
    r2 = 1.0 - float(np.sum(error**2) / np.sum((target - target.mean()) ** 2))
    return mse, mae, r2


def main() -> None:
    tessaron.seed(0)  # the same run every time
    x_all, y_all = load_diabetes(return_X_y=True)
    x_train, x_val, y_train, y_val = train_test_split(
        as_array(x_all), as_array(y_all).reshape(-1, 1), test_size=0.25, random_state=0)
    x_scaler, y_scaler = StandardScaler().fit(x_train), StandardScaler().fit(y_train)
    x_train, x_val = as_array(x_scaler.transform(x_train)), as_array(x_scaler.transform(x_val))
    y_train, y_val = as_array(y_scaler.transform(y_train)), as_array(y_scaler.transform(y_val))
    y_scale = float(y_scaler.scale_[0])
    print(f"{len(x_train)} training and {len(x_val)} validation patients, "
          f"{x_train.shape[1]} features")

    baseline = LinearRegression().fit(x_train, y_train)
    baseline_scores = scores(as_array(baseline.predict(x_val)), y_val, y_scale)

    model = tessaron.Model(x_train.shape[1], 1)  # every feature wired to the output, no hidden node
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    start = time.perf_counter()
    history = model.evolve(x_train, y_train, pop_size=100, epochs=EPOCHS,
                           validation_data=(x_val, y_val), verbose=0)
    seconds = time.perf_counter() - start
    for epoch in [1, 10, 50, 100, EPOCHS]:
        print(f"  epoch {epoch:3d}: loss {history['loss'][epoch - 1]:.4f}, "
              f"val_loss {history['val_loss'][epoch - 1]:.4f}, size {history['size'][epoch - 1]}")
    evolved_scores = scores(model.predict(x_val), y_val, y_scale)

    # mse in standardised units, mae in the target's own units (points of disease progression)
    print(f"\n  {'scores on the validation set':32s} {'mse':>8s} {'mae':>8s} {'R^2':>7s}")
    for name, (mse, mae, r2) in [(f"tessaron, {EPOCHS} epochs ({seconds:.1f} s)", evolved_scores),
                                 ("linear regression", baseline_scores)]:
        print(f"  {name:32s} {mse:8.4f} {mae:8.2f} {r2:7.3f}")
    print(f"evolved network: {model.size} nodes, {len(model.get_connections())} connections")


if __name__ == "__main__":
    main()

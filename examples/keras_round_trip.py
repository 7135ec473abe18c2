"""Evolve a topology, fine-tune its weights with gradients in Keras, and bring it back.

    python examples/keras_round_trip.py

Evolution finds the structure and rough weights of a network; `Model.to_keras` turns it into a
Keras model that computes the same function, Keras fine-tunes the weights with `fit`, and
`tessaron.from_keras` reads the tuned network back. The validation loss is printed at each stage:
the exported model must agree with the evolved one, and the imported model with the tuned one,
up to the single precision Keras stores weights in. Uses the jax backend unless KERAS_BACKEND
names another.
"""

from __future__ import annotations

import os
import time
from typing import Any

os.environ.setdefault("KERAS_BACKEND", "jax")

import keras  # type: ignore[import-untyped, unused-ignore]
import numpy as np
import numpy.typing as npt

import tessaron

Array = npt.NDArray[np.float64]

INPUTS = 2
FINE_TUNE_EPOCHS = 60


def target(x: Array) -> Array:
    """A smooth surface over the plane, inside (0, 1)."""
    return np.asarray(0.5 + 0.3 * np.sin(2.0 * x[:, :1]) * np.cos(x[:, 1:]), dtype=np.float64)


def samples(rng: np.random.Generator, count: int) -> tuple[Array, Array]:
    x = rng.uniform(-2.0, 2.0, size=(count, INPUTS))
    return x, target(x)


def keras_loss(keras_model: Any, x: Array, y: Array) -> float:
    """Mean squared error of a Keras model compiled with that loss, computed by Keras."""
    return float(keras_model.evaluate(x, y, batch_size=len(x), verbose=0))


def main() -> None:
    tessaron.seed(3)  # the same run every time: evolution, then Keras's shuffling in fit
    keras.utils.set_random_seed(3)
    rng = np.random.default_rng(3)
    x_train, y_train = samples(rng, 500)
    x_val, y_val = samples(rng, 200)

    start = time.perf_counter()
    model = tessaron.Model(INPUTS, 1, 6)
    model.compile(loss="mse")
    model.evolve(x_train, y_train, pop_size=100, batch_size=100, epochs=100, verbose=0)
    evolved = model.evaluate(x_val, y_val)[0]
    print(f"1. evolved in tessaron:         val mse {evolved:.6f}   "
          f"({model.size} nodes, {len(model.get_connections())} connections, "
          f"{time.perf_counter() - start:.1f} s)")

    start = time.perf_counter()
    keras_model: Any = model.to_keras()  # Keras ships no type information
    keras_model.compile(optimizer=keras.optimizers.Adam(learning_rate=0.01), loss="mse")
    exported = keras_loss(keras_model, x_val, y_val)
    gap = float(np.max(np.abs(keras_model.predict(x_val, verbose=0) - model.predict(x_val))))
    print(f"2. exported to Keras:           val mse {exported:.6f}   "
          f"(largest prediction difference {gap:.1e})")

    keras_model.fit(x_train, y_train, batch_size=32, epochs=FINE_TUNE_EPOCHS, verbose=0)
    tuned = keras_loss(keras_model, x_val, y_val)
    print(f"3. fine-tuned with Keras fit:   val mse {tuned:.6f}   "
          f"({FINE_TUNE_EPOCHS} epochs of Adam, {time.perf_counter() - start:.1f} s with export)")

    back = tessaron.from_keras(keras_model)
    back.compile(loss="mse")
    imported = back.evaluate(x_val, y_val)[0]
    gap = float(np.max(np.abs(keras_model.predict(x_val, verbose=0) - back.predict(x_val))))
    same_wiring = ([(s, t) for s, t, _ in back.get_connections()]
                   == [(s, t) for s, t, _ in model.get_connections()])
    print(f"4. imported back into tessaron: val mse {imported:.6f}   "
          f"(largest prediction difference {gap:.1e}, "
          f"connections {'unchanged' if same_wiring else 'CHANGED'})")

    export_gap, import_gap = abs(exported - evolved) / evolved, abs(imported - tuned) / tuned
    print(f"\nexport kept the loss to {export_gap:.1e} (relative), import to {import_gap:.1e}; "
          f"fine-tuning took it from {evolved:.6f} to {imported:.6f}")
    # Keras holds weights in single precision: anything far beyond its rounding is a fault.
    if not same_wiring or max(export_gap, import_gap) > 1e-4:
        raise SystemExit("the round trip did not preserve the network")


if __name__ == "__main__":
    main()

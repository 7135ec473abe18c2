"""Quickstart: evolve a network that fits a curve, then picture the run and the network.

    python examples/quickstart.py [OUTPUT_DIRECTORY]

Evolves a model with the Beta optimizer on noisy samples of a wave, with validation data, and
writes two pictures into OUTPUT_DIRECTORY (default: the project's docs/images): quickstart_loss.png,
the loss and val_loss per epoch beside the fitted curve, and quickstart_network.png, a drawing of
the evolved network.
Needs matplotlib; draws off-screen.
"""

from __future__ import annotations

import argparse
import io
import time
from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure
from PIL import Image

import tessaron
import tessaron.plot

Array = npt.NDArray[np.float64]

INPUTS, OUTPUTS = 1, 1
EPOCHS = 150
SEED = 6
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "images"


def target(x: Array) -> Array:
    """The curve to learn: a wave kept inside (0, 1), a range that every activation an output
    node may draw (sigmoid, tanh, relu, linear) can reach."""
    return np.asarray(0.5 + 0.4 * np.sin(1.5 * x), dtype=np.float64)


def noisy_samples(rng: np.random.Generator, count: int) -> tuple[Array, Array]:
    """`count` points drawn uniformly from [-3, 3], with noise of standard deviation 0.05."""
    x = rng.uniform(-3.0, 3.0, size=(count, INPUTS))
    return x, target(x) + rng.normal(0.0, 0.05, size=(count, OUTPUTS))


def save_small_png(figure: Figure, path: Path) -> None:
    """Saves with a palette of 128 colours: about a quarter of the bytes, no visible change."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    buffer.seek(0)
    with Image.open(buffer) as image:
        palette = image.convert("RGB").quantize(colors=128, method=Image.Quantize.MEDIANCUT)
        palette.save(path, optimize=True)


def draw_network(model: tessaron.Model, path: Path) -> None:
    """The evolved network in layers, as tessaron.plot draws it."""
    figure = Figure(figsize=(min(11.0, max(6.0, 0.4 * model.size + 3.0)), 4.6), dpi=120)
    tessaron.plot.network(model, figure.add_subplot())
    figure.tight_layout()
    save_small_png(figure, path)


def draw_training(history: Mapping[str, Sequence[float]], model: tessaron.Model, x: Array,
                  y: Array, path: Path) -> None:
    """The loss curves of the run beside the fitted curve."""
    figure = Figure(figsize=(10.0, 4.0), dpi=120)
    losses, fit = figure.subplots(1, 2)
    tessaron.plot.history(history, losses)  # loss of the training batches, val_loss dashed
    losses.set_yscale("log")
    losses.set_ylabel("mean squared error")
    losses.set_title("Loss per epoch", fontsize=10)

    grid = np.linspace(-3.0, 3.0, 301).reshape(-1, 1)
    fit.scatter(x[:, 0], y[:, 0], s=6, color="#999999", label="training samples")
    fit.plot(grid[:, 0], target(grid)[:, 0], "--", color="#333333", label="true curve")
    fit.plot(grid[:, 0], model.predict(grid)[:, 0], color="#d62728", linewidth=2,
             label="evolved network")
    fit.set_xlabel("x")
    fit.set_title("Fit after evolution", fontsize=10)
    fit.set_ylim(-0.35, 1.1)  # room for the legend below the wave
    fit.grid(alpha=0.3)
    fit.legend(fontsize=8, loc="lower center", ncol=3)
    figure.tight_layout()
    save_small_png(figure, path)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=DEFAULT_OUTPUT, type=Path,
                        help="directory for the two PNG files (default: the project's docs/images)")
    output: Path = parser.parse_args().output
    output.mkdir(parents=True, exist_ok=True)

    tessaron.seed(SEED)  # the same run, and the same pictures, every time
    rng = np.random.default_rng(SEED)
    x, y = noisy_samples(rng, 400)
    x_val, y_val = noisy_samples(rng, 100)

    model = tessaron.Model(INPUTS, OUTPUTS, 6)  # 4 hidden nodes to start with
    # Beta learns with far fewer evaluations; Alpha, compile()'s default, is for runs that must
    # repeat earlier results bit for bit, as its behaviour never changes.
    model.compile(optimizer="beta", loss="mse", monitors=["size"])
    print(f"validation mse before evolution: {model.evaluate(x_val, y_val)[0]:.5f}")
    start = time.perf_counter()
    history = model.evolve(x, y, pop_size=100, batch_size=50, epochs=EPOCHS,
                           validation_data=(x_val, y_val), verbose=0)
    seconds = time.perf_counter() - start
    for epoch in [1, 10, 30, 100, EPOCHS]:
        print(f"  epoch {epoch:3d}: loss {history['loss'][epoch - 1]:.5f}, "
              f"val_loss {history['val_loss'][epoch - 1]:.5f}, size {history['size'][epoch - 1]}")
    print(f"validation mse after {EPOCHS} epochs ({seconds:.1f} s): "
          f"{model.evaluate(x_val, y_val)[0]:.5f} (the noise alone gives 0.0025)")
    print(f"evolved network: {model.size} nodes, {len(model.get_connections())} connections")

    loss_path, network_path = output / "quickstart_loss.png", output / "quickstart_network.png"
    draw_training(history, model, x, y, loss_path)
    draw_network(model, network_path)
    print(f"wrote {loss_path} and {network_path}")


if __name__ == "__main__":
    main()

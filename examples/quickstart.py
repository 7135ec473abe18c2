"""Quickstart: evolve a network that fits a curve, then picture the run and the network.

    python examples/quickstart.py [OUTPUT_DIRECTORY]

Evolves a model on noisy samples of a wave, with validation data, and writes two pictures into
OUTPUT_DIRECTORY (default: the project's docs/images): quickstart_loss.png, the loss and val_loss
per epoch beside the fitted curve, and quickstart_network.png, a drawing of the evolved network.
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
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import FancyArrowPatch
from PIL import Image

import tessaron

Array = npt.NDArray[np.float64]

INPUTS, OUTPUTS = 1, 1
EPOCHS = 150
SEED = 6
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "images"
ROLE_COLOURS = {"input": "#9fd8a4", "hidden": "#d9dde3", "output": "#f6b26b"}
POSITIVE, NEGATIVE = "#1f77b4", "#d62728"


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


def node_positions(size: int, inputs: int, outputs: int) -> dict[int, tuple[float, float]]:
    """Inputs in the left column, outputs in the right one, hidden nodes in index order between.

    Each hidden node gets its own column, so every connection points to the right; their heights
    follow the golden-ratio sequence, which keeps neighbours apart and few edges collinear.
    """
    hidden = size - inputs - outputs

    def column(count: int) -> list[float]:
        return [0.0] if count == 1 else list(np.linspace(-0.8, 0.8, count))

    positions: dict[int, tuple[float, float]] = {}
    for k, y in enumerate(column(inputs)):
        positions[k] = (0.0, y)
    for h in range(hidden):
        y = 1.6 * ((h * 0.6180339887 + 0.5) % 1.0) - 0.8
        positions[inputs + h] = ((h + 1) / (hidden + 1), y)
    for k, y in enumerate(column(outputs)):
        positions[size - outputs + k] = (1.0, y)
    return positions


def role(index: int, size: int, inputs: int, outputs: int) -> str:
    if index < inputs:
        return "input"
    return "output" if index >= size - outputs else "hidden"


def draw_network(model: tessaron.Model, inputs: int, outputs: int, path: Path) -> None:
    """Nodes labelled with index and activation; edges coloured by sign, thickened by magnitude."""
    size = model.size
    nodes = model.get_nodes()
    connections = [(s, t, float(a["weight"])) for s, t, a in model.get_connections()]
    at = node_positions(size, inputs, outputs)
    heaviest = max((abs(w) for _, _, w in connections), default=1.0) or 1.0

    figure = Figure(figsize=(min(11.0, max(6.0, 0.4 * size + 3.0)), 4.6), dpi=120)
    ax: Axes = figure.add_subplot()
    # Light edges first, so the heavy ones stay visible on top.
    for source, dest, weight in sorted(connections, key=lambda c: abs(c[2])):
        (x0, y0), (x1, y1) = at[source], at[dest]
        bend = 0.25 if dest - source > 1 else 0.0
        ax.add_patch(FancyArrowPatch(
            (x0, y0), (x1, y1), connectionstyle=f"arc3,rad={bend}", arrowstyle="-|>",
            mutation_scale=9, shrinkA=13, shrinkB=13, alpha=0.75, zorder=1,
            color=POSITIVE if weight >= 0 else NEGATIVE,
            linewidth=0.4 + 3.6 * abs(weight) / heaviest))
    for index, attributes in nodes:
        x, y = at[index]
        kind = role(index, size, inputs, outputs)
        ax.scatter([x], [y], s=620, color=ROLE_COLOURS[kind], edgecolors="#333333", zorder=2)
        ax.annotate(str(index), (x, y), ha="center", va="center", fontsize=9, weight="bold",
                    zorder=3)
        # Evaluation copies an input straight through, so its activation means nothing.
        label = "input" if kind == "input" else str(attributes["activation"])
        ax.annotate(label, (x, y), xytext=(0, -19), textcoords="offset points", ha="center",
                    va="top", fontsize=7.5, color="#333333", zorder=3,
                    bbox={"boxstyle": "round,pad=0.1", "fc": "white", "ec": "none", "alpha": 0.8})

    ax.set_xlim(-0.08, 1.08)
    ax.set_ylim(-1.05, 1.0)
    ax.axis("off")
    ax.set_title(f"Evolved network: {size} nodes, {len(connections)} connections "
                 f"(weights up to {heaviest:.2f} in magnitude)", fontsize=10)
    legend = [Line2D([], [], color=POSITIVE, linewidth=2.5, label="positive weight"),
              Line2D([], [], color=NEGATIVE, linewidth=2.5, label="negative weight")]
    legend += [Line2D([], [], marker="o", linestyle="", markersize=10, markeredgecolor="#333333",
                      markerfacecolor=colour, label=f"{kind} node")
               for kind, colour in ROLE_COLOURS.items()]
    ax.legend(handles=legend, loc="lower center", ncol=5, fontsize=7.5, frameon=False,
              bbox_to_anchor=(0.5, -0.08))
    figure.tight_layout()
    save_small_png(figure, path)


def draw_training(history: Mapping[str, Sequence[float]], model: tessaron.Model, x: Array,
                  y: Array, path: Path) -> None:
    """The loss curves of the run beside the fitted curve."""
    figure = Figure(figsize=(10.0, 4.0), dpi=120)
    losses, fit = figure.subplots(1, 2)
    epochs = np.arange(1, len(history["loss"]) + 1)
    losses.plot(epochs, [float(v) for v in history["loss"]], label="loss (training batches)")
    losses.plot(epochs, [float(v) for v in history["val_loss"]], label="val_loss")
    losses.set_yscale("log")
    losses.set_xlabel("epoch")
    losses.set_ylabel("mean squared error")
    losses.set_title("Loss per epoch", fontsize=10)
    losses.grid(alpha=0.3)
    losses.legend(fontsize=8)

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
    model.compile(loss="mse", monitors=["size"])
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
    draw_network(model, INPUTS, OUTPUTS, network_path)
    print(f"wrote {loss_path} and {network_path}")


if __name__ == "__main__":
    main()

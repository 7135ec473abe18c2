"""tessaron.plot: the drawings land on the axes they are given, as PNG files."""

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.patches import FancyArrowPatch  # noqa: E402

import tessaron  # noqa: E402
import tessaron.plot  # noqa: E402


def test_network_and_history_drawn_as_png_files(tmp_path):
    tessaron.seed(4)
    model = tessaron.Model(2, 2, 7)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    x = np.random.default_rng(0).normal(size=(30, 2))
    history = model.evolve(x, np.tanh(x), pop_size=10, epochs=12, verbose=0,
                           validation_data=(x, np.tanh(x)))
    figure = Figure(figsize=(12, 4.6))
    network_axes, history_axes = figure.subplots(1, 2)
    assert tessaron.plot.network(model, network_axes) is network_axes
    assert tessaron.plot.history(history, history_axes) is history_axes

    arrows = [p for p in network_axes.patches if isinstance(p, FancyArrowPatch)]
    assert len(arrows) == len(model.get_connections())
    # Every connection points to the right (layers run from the inputs to the outputs).
    starts_ends = [(a._posA_posB[0][0], a._posA_posB[1][0]) for a in arrows]
    assert all(start < end for start, end in starts_ends)
    labels = {text.get_text() for text in network_axes.texts}
    assert {str(i) for i in range(model.size)} <= labels

    lines = {line.get_label(): line for line in history_axes.get_lines()}
    assert sorted(lines) == ["loss", "mae", "val_loss", "val_mae"]
    assert lines["val_loss"].get_linestyle() == "--" and lines["loss"].get_linestyle() == "-"
    assert lines["val_mae"].get_color() == lines["mae"].get_color()
    assert list(lines["mae"].get_xdata()) == list(range(1, 13))
    assert list(lines["mae"].get_ydata()) == history["mae"]

    path = tmp_path / "plots.png"
    figure.savefig(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("inputs, outputs, size", [(10, 2, 16), (6, 2, 40), (30, 3, 50)])
def test_nodes_and_labels_do_not_overlap_up_to_50_nodes(inputs, outputs, size):
    import matplotlib.pyplot as plt

    tessaron.seed(1)
    ax = tessaron.plot.network(tessaron.Model(inputs, outputs, size))
    try:
        figure = ax.figure
        figure.canvas.draw()
        renderer = figure.canvas.get_renderer()
        # Node centres in points, and each marker's diameter (its area is diameter squared).
        centres = np.concatenate([c.get_offset_transform().transform(c.get_offsets())
                                  for c in ax.collections]) * 72 / figure.dpi
        diameter = np.sqrt(ax.collections[0].get_sizes()[0])
        gaps = np.linalg.norm(centres[:, None] - centres[None], axis=2)
        assert gaps[~np.eye(len(centres), dtype=bool)].min() >= diameter
        boxes = [text.get_window_extent(renderer) for text in ax.texts]
        # Labels below or beside their node: no two of them (nor two indices) share any pixels.
        overlapping = [(a.get_text(), b.get_text()) for i, a in enumerate(ax.texts)
                       for j, b in enumerate(ax.texts[i + 1:], i + 1)
                       if boxes[i].overlaps(boxes[j])]
        assert overlapping == []
        assert all(figure.bbox.contains(b.x0, b.y0) and figure.bbox.contains(b.x1, b.y1)
                   for b in boxes)
    finally:
        plt.close(ax.figure)

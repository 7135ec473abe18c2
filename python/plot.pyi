"""Pictures of a model's network and of an evolution's history, drawn with matplotlib."""

from collections.abc import Mapping, Sequence

from matplotlib.axes import Axes

from . import Model

__all__ = ["network", "history"]

ROLE_COLOURS: dict[str, str]
POSITIVE: str
NEGATIVE: str

def network(model: Model, ax: Axes | None = None) -> Axes:
    """Draws the model's network in layers from the inputs (left) to the outputs (right)."""

def history(history: Mapping[str, Sequence[float]], ax: Axes | None = None) -> Axes:
    """Plots the loss and metrics of a history per epoch, validation values dashed."""

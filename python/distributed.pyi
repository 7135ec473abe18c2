"""Island evolution on a dask.distributed cluster."""

from typing import Any, NamedTuple

import numpy as np

from . import Model, _History, _Samples

__all__ = ["IslandRun", "evolve_islands"]

class IslandRun(NamedTuple):
    history: _History
    island_histories: list[_History]
    best_island: int

def evolve_islands(
    model: Model,
    x: _Samples,
    y: _Samples,
    client: Any,
    islands: int = 2,
    epochs: int = 100,
    migrate_every: int = 10,
    migrants: int = 1,
    validation_data: tuple[_Samples, _Samples] | None = None,
    random_state: int | np.random.Generator | None = None,
    **evolve_kwargs: Any,
) -> IslandRun:
    """Evolves several populations of the model on the cluster's workers, with migration."""

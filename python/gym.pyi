"""Control with gymnasium environments: episodes as a fitness, observation normalisation, tests."""

from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from . import Genome, Model
from .callbacks import Callback

__all__ = ["EpisodeFitness", "Returns", "StopAtReturn", "evaluate", "fold_normalization"]

# A gymnasium environment id, or a factory that makes one environment from the make keywords.
_Env = str | Callable[..., Any] | EpisodeFitness
_Mode = Literal["sync", "async", "vector_entry_point"] | None

def fold_normalization(
    model_or_genome: Model | Genome, mean: npt.ArrayLike, std: npt.ArrayLike
) -> None:
    """Folds the input transformation (x - mean) / std into the network, in place."""

class EpisodeFitness:
    episodes: int
    num_envs: int | None
    observation_size: int
    normalize_observations: bool
    min_std: float
    seed: int | None
    fixed_seeds: bool
    processes: int | None
    client: Any
    env_steps: int
    last_seeds: npt.NDArray[np.int64] | None
    last_returns: npt.NDArray[np.float64] | None
    last_lengths: npt.NDArray[np.int64] | None
    tessaron_callback: Callback
    def __init__(
        self,
        env: _Env,
        episodes: int = 1,
        *,
        num_envs: int | None = None,
        vectorization_mode: _Mode = None,
        normalize: bool = True,
        min_std: float = 1e-4,
        seed: int | None = None,
        fixed_seeds: bool = False,
        processes: int | None = None,
        client: Any = None,
        vector_kwargs: dict[str, Any] | None = None,
        **make_kwargs: Any,
    ) -> None: ...
    def __call__(self, genomes: Sequence[Genome]) -> npt.NDArray[np.float64]: ...
    @property
    def mean(self) -> npt.NDArray[np.float64]:
        """The mean that the latest call subtracted from the observations."""
    @property
    def std(self) -> npt.NDArray[np.float64]:
        """The standard deviation that the latest call divided them by."""
    def normalize(self, observations: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Observations as the latest call's networks saw them."""
    def fold_into(self, model_or_genome: Model | Genome) -> None:
        """Folds the normalisation the network was scored under into its Model or Genome, in
        place."""
    def scored_under(
        self, model_or_genome: Model | Genome
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The (mean, std) the observations were normalised by when the network was scored."""
    def reset_statistics(self) -> None:
        """Forgets the observations seen: the next call normalises as the first did."""
    def check_model(self, model_or_genome: Model | Genome) -> None:
        """Raises ValueError unless the network's inputs and outputs fit the environment."""
    def restart_seeds(self) -> None:
        """Starts the episode seeds again from `seed`, or from a draw from tessaron's stream."""
    def close(self) -> None:
        """Closes the vector environments (and their worker processes)."""
    def __enter__(self) -> EpisodeFitness: ...
    def __exit__(self, *_: object) -> None: ...

class Returns(NamedTuple):
    mean: float
    std: float
    returns: npt.NDArray[np.float64]
    env_steps: int

def evaluate(
    model_or_genome: Model | Genome,
    env: _Env,
    episodes: int = 100,
    seed: int | None = 0,
    *,
    num_envs: int | None = None,
    vectorization_mode: _Mode = None,
    normalize: EpisodeFitness | None = None,
    vector_kwargs: dict[str, Any] | None = None,
    **make_kwargs: Any,
) -> Returns:
    """Plays `episodes` fresh episodes with the network and returns their Returns."""

class StopAtReturn(Callback):
    threshold: float
    episodes: int
    seed: int | None
    num_envs: int | None
    env_steps: int
    tests: list[tuple[int, float]]
    stopped_epoch: int | None
    def __init__(
        self,
        threshold: float,
        env: _Env,
        episodes: int = 100,
        seed: int | None = 0,
        *,
        num_envs: int | None = None,
        vectorization_mode: _Mode = None,
        vector_kwargs: dict[str, Any] | None = None,
        **make_kwargs: Any,
    ) -> None: ...

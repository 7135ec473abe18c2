"""Tessaron allows training models through neuro-evolution."""

import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsFloat, TypedDict, final

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from . import optimizers as optimizers
from .callbacks import Callback
from .optimizers import Alpha, Beta

__version__: str

# Arrays of samples: any numpy array whose values numpy converts to float64, of one dimension
# (one value per sample) or two (one row per sample).
_Samples = npt.NDArray[Any]

# The history of an evolution: one list per key with one value per epoch. Losses and metrics are
# floats; the "size" entries (with a monitor) are node counts, ints, which stand in for floats.
_History = dict[str, list[float]]

class _NodeAttributes(TypedDict):
    bias: float
    activation: Literal["sigmoid", "tanh", "relu", "linear"]

class _ConnectionAttributes(TypedDict):
    weight: float

_Activation = Literal["sigmoid", "tanh", "relu", "linear"]

# A network as plain data (Model.get_network, Model.set_network): the counts, one bias and one
# activation per node in node order, and (source, target, weight) connections.
class _Network(TypedDict):
    inputs: int
    outputs: int
    biases: list[float]
    activations: list[_Activation]
    connections: list[tuple[int, int, float]]

@disjoint_base
class Model:
    """A Tessaron model that can be evolved on datasets and fitness functions."""

    size: int
    """Total number of nodes in the network (including inputs and outputs)."""
    stop_evolving: bool
    """Set to True by a callback to end the run after the current epoch."""

    def __init__(self, inputs: int, outputs: int, size: int = -1) -> None: ...
    def evolve(
        self,
        x_train: _Samples,
        y_train: _Samples,
        pop_size: int = 100,
        batch_size: int = -1,
        epochs: int = 100,
        validation_data: tuple[_Samples, _Samples] | list[_Samples] | None = None,
        verbose: int = 1,
        callbacks: list[Callback] | tuple[Callback, ...] | None = None,
    ) -> _History:
        """Evolves the network on a given dataset."""
    def func_evolve(
        self,
        train_func: Callable[[list[Genome]], npt.ArrayLike],
        pop_size: int = 100,
        epochs: int = 100,
        verbose: int = 1,
        validation_func: Callable[[Genome], SupportsFloat] | None = None,
        callbacks: list[Callback] | tuple[Callback, ...] | None = None,
    ) -> _History:
        """Evolves the network on a given fitness function."""
    def predict(self, x: _Samples, /) -> npt.NDArray[np.float64]:
        """Predict the the outputs for a given set of samples."""
    def evaluate(self, x: _Samples, y: _Samples, /) -> list[float]:
        """Evaluate the the network based on the compiled losses/metrics on a given dataset."""
    # Names are checked when the method runs: the optimizers "alpha" and "beta", the losses and metrics "mse",
    # "mae", "mape", "binary_crossentropy" and "categorical_crossentropy" (no loss: ""), the monitor "size".
    def compile(
        self,
        optimizer: Alpha | Beta | str = "alpha",
        loss: str = "",
        metrics: list[str] | tuple[str, ...] | None = None,
        monitors: list[str] | tuple[str, ...] | None = None,
    ) -> None:
        """Configure the losses, metrics and monitors for evolution."""
    def get_nodes(self) -> list[tuple[int, _NodeAttributes]]:
        """Returns a list of nodes contained in the network."""
    def get_connections(self) -> list[tuple[int, int, _ConnectionAttributes]]:
        """Returns a list of connections contained in the network."""
    def get_network(self) -> _Network:
        """Returns the network as plain data: a dict of 'inputs' and 'outputs' (the counts),
        'biases' and 'activations' (one float and one activation name per node, in node order)
        and 'connections' (a list of (source, target, weight) tuples, ascending by source and
        then by target)."""
    def set_network(self, network: _Network, /) -> None:
        """Replaces the network by one given as get_network returns it (the connections in any
        order, each pair once). The compile state stays. The network is checked before the model
        changes: counts of at least 1, at least inputs + outputs nodes, known activations,
        connections only from a lower to a higher node index, never into an input node nor out of
        an output node."""
    def to_keras(self) -> Any:
        """Convert the Tessaron model to a Keras model."""
    # The result is an onnx.ModelProto: onnx is an optional dependency, so it is typed as Any.
    def to_onnx(
        self,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | None = None,
        dtype: Literal["float64", "float32"] | type[np.floating[Any]] | np.dtype[Any] = "float64",
    ) -> Any:
        """Convert the Tessaron model to an ONNX model (an onnx.ModelProto, opset 17, float64
        throughout: input 'input' of shape (batch, inputs), output 'output' of shape (batch,
        outputs)) and, when a path is given, write it there. Needs the onnx package."""
    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> None:
        """Saves the model using the '.tsn' format."""
    def summary(self) -> None:
        """Prints the network's node, connection and activation counts and the compiled optimizer,
        loss, metrics and monitors."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

@disjoint_base
class Genome:
    """A lightweight Tessaron model that can only be used for predictions."""

    def __init__(self, inputs: int, outputs: int) -> None: ...
    def predict(self, x: _Samples, /) -> npt.NDArray[np.float64]:
        """Predict the the outputs for a given set of samples."""
    def get_network(self) -> _Network:
        """Returns the network as plain data, as Model.get_network does."""
    def set_network(self, network: _Network, /) -> None:
        """Replaces the network (and the counts) by one given as get_network returns it, checked
        as Model.set_network checks it."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

def load(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> Model:
    """Load a model saved in the '.tsn' format."""

def from_keras(keras_model: Any, /) -> Model:
    """Convert a Keras model to a Tessaron model."""

def set_num_threads(n: int, /) -> None:
    """Sets the number of threads that score networks and predict large inputs."""

def get_num_threads() -> int:
    """Returns the number of threads that score networks and predict large inputs."""

# Each thread draws from random sources of its own: runs in threads side by side share nothing,
# seeded or not (unseeded, each thread's sources start from the random device and the clock).
# seed() restarts every thread's sources from the value at that thread's next draw, so threads
# started after it draw alike; seeded() gives one thread sources of its own for a with block.
def seed(value: int, /) -> None:
    """Makes every random draw of the module derive from the integer value."""

@final
class seeded:
    """A context manager: inside the with block, the random draws of the calling thread derive
    from the integer value, exactly as after tessaron.seed(value) in a thread of its own; the
    thread's own draws, and every other thread's, carry on after the block as if it had not
    run."""

    def __init__(self, value: int, /) -> None: ...
    def __enter__(self) -> seeded: ...
    def __exit__(self, *exc_info: object) -> Literal[False]: ...

# x: (G, inputs), one sample per genome, or (G, B, inputs), B samples per genome; the result is
# (G, outputs) or (G, B, outputs).
def predict_many(genomes: Sequence[Genome | Model], x: _Samples) -> npt.NDArray[np.float64]:
    """Predicts with a whole population in one call."""

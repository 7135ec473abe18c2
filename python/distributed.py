"""Island evolution on a dask.distributed cluster: several populations evolve on the workers and
exchange their best networks now and then.

Needs dask.distributed (the "distributed" extra: ``pip install tessaron[distributed]``),
imported when this submodule is.

Each island is one ``Model.evolve`` run in a worker process, in rounds of ``migrate_every`` epochs.
``evolve`` keeps no population between calls, so an island carries its best network from round to
round and starts each round's population from it. After every round the islands' networks are
scored on the validation data (the training data without it); each island then takes the best of
its own network and those of the ``migrants`` islands before it on a ring, when that one scores
lower. The data goes to the cluster once. Every island round draws from sources seeded
from ``random_state``, the round and the island (``tessaron.seeded``), so a run repeats exactly
whatever worker takes which task (a worker that dies has its tasks run again elsewhere), on any
number of threads per worker.
"""

import copy
import math
from typing import NamedTuple

import numpy as np
import tessaron
from tessaron._extras import import_extra

wait = import_extra("distributed", "distributed", "tessaron.distributed", "dask.distributed").wait

__all__ = ["IslandRun", "evolve_islands"]


class IslandRun(NamedTuple):
    """The result of evolve_islands."""

    history: dict
    """Per epoch, the values of the island that scored best at the end of that round."""
    island_histories: list
    """One history per island, its rounds joined."""
    best_island: int
    """The island whose network the model received."""


def _held(value):
    """The data a task hands on to the island rounds."""
    return value


def _island_round(model, x, y, validation, seed, epochs, evolve_kwargs):
    """One round of one island, in a worker: the evolved model, its history and its score."""
    with tessaron.seeded(seed):
        history = model.evolve(x, y, epochs=epochs, validation_data=validation, **evolve_kwargs)
    score_x, score_y = validation if validation is not None else (x, y)
    return model, history, float(model.evaluate(score_x, score_y)[0])


def _lowest(scores, candidates):
    """The candidate with the lowest score; NaN never wins, ties go to the first."""
    best = candidates[0]
    for candidate in candidates[1:]:
        if scores[candidate] < scores[best] or (math.isnan(scores[best])
                                                 and not math.isnan(scores[candidate])):
            best = candidate
    return best


def _check_count(name, value, lowest):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < lowest:
        raise ValueError(f"{name} must be an int of at least {lowest}, got {value!r}")


def evolve_islands(model, x, y, client, islands=2, epochs=100, migrate_every=10, migrants=1,
                   validation_data=None, random_state=None, **evolve_kwargs):
    """Evolves `islands` populations of the compiled `model` on the workers of `client` for
    `epochs` epochs, with migration every `migrate_every` epochs, and gives the model the network
    that scores best at the end. Other keywords (pop_size, batch_size, verbose...) go to each
    island's Model.evolve; pop_size is per island. Returns an IslandRun. On any failure the
    exception propagates and the model is unchanged."""
    _check_count("islands", islands, 1)
    _check_count("epochs", epochs, 0)
    _check_count("migrate_every", migrate_every, 1)
    _check_count("migrants", migrants, 0)
    if migrants > islands - 1:
        raise ValueError(f"migrants must be at most islands - 1 ({islands - 1}), got {migrants}")
    for name in ("x_train", "y_train", "epochs", "validation_data", "callbacks"):
        if name in evolve_kwargs:
            raise TypeError(f"evolve_islands does not pass {name!r} on to the islands")
    evolve_kwargs.setdefault("verbose", 0)
    if not isinstance(x, np.ndarray) or not isinstance(y, np.ndarray):
        raise TypeError(f"x and y must be numpy arrays, got {type(x).__name__} and "
                        f"{type(y).__name__}")
    seeds = np.random.default_rng(random_state).integers(0, 2**63, size=(max(1, math.ceil(
        epochs / migrate_every)), islands))

    # The islands start from copies of the model, which stays as it is until the run is over.
    island_models = [copy.copy(model) for _ in range(islands)]
    # A run of no epochs here checks the compile state, the data and the keywords as evolve
    # does, with its messages, before the cluster is busied.
    island_models[0].evolve(x, y, epochs=0, validation_data=validation_data, **evolve_kwargs)

    # The data goes to the cluster as the results of tasks, not scattered: the scheduler keeps
    # the tasks and runs them again when the worker that held the only copy dies (the memory
    # manager drops spare copies), where scattered data would be lost with it.
    x_data, y_data = (client.submit(_held, array, pure=False) for array in (x, y))
    validation = None
    if validation_data is not None:
        validation = tuple(client.submit(_held, array, pure=False) for array in validation_data)

    island_histories = [{} for _ in range(islands)]
    merged = {}
    scores = [math.nan] * islands
    done = 0
    for round_index in range(math.ceil(epochs / migrate_every)):
        length = min(migrate_every, epochs - done)
        futures = [client.submit(_island_round, island_models[i], x_data, y_data, validation,
                                 int(seeds[round_index, i]), length, evolve_kwargs, pure=False)
                   for i in range(islands)]
        wait(futures)
        results = client.gather(futures)
        island_models = [result[0] for result in results]
        scores = [result[2] for result in results]
        for island, (_, history, _) in enumerate(results):
            for key, values in history.items():
                island_histories[island].setdefault(key, []).extend(values)
        leader = _lowest(scores, list(range(islands)))
        for key, values in results[leader][1].items():
            merged.setdefault(key, []).extend(values)
        done += length
        # Migration on a ring: each island takes the best of its own network and those of the
        # `migrants` islands before it.
        sources = [_lowest(scores, [i] + [(i - k) % islands for k in range(1, migrants + 1)])
                   for i in range(islands)]
        island_models = [island_models[s] for s in sources]
        scores = [scores[s] for s in sources]

    best_island = _lowest(scores, list(range(islands)))
    if epochs > 0:
        # Only the network comes over: the model's compile state (and a subclass's attributes)
        # stay.
        model.set_network(island_models[best_island].get_network())
    return IslandRun(merged, island_histories, best_island)

"""Score each generation's genomes in worker processes, with the standard library's process pool or
on a dask.distributed cluster.

Genomes pickle (their network travels in the model-file encoding), so a fitness function can hand
them to any executor. Here the fitness is a small simulation-like workload: how well a genome
tracks a curve over many samples.

    python examples/distributed_fitness.py            # concurrent.futures.ProcessPoolExecutor
    python examples/distributed_fitness.py --dask     # a dask.distributed LocalCluster on loopback
"""

from __future__ import annotations

import argparse
from concurrent.futures import Executor, ProcessPoolExecutor
from typing import Callable

import numpy as np
import numpy.typing as npt

import tessaron

X = np.linspace(-3.0, 3.0, 2000).reshape(-1, 1)
TARGET = np.tanh(2.0 * X) * 0.8


def fitness(genome: tessaron.Genome) -> float:
    """The loss of one genome; runs in a worker process."""
    return float(np.mean((genome.predict(X) - TARGET) ** 2))


def distributed(map_genomes: Callable[[list[tessaron.Genome]], list[float]]
                ) -> Callable[[list[tessaron.Genome]], npt.NDArray[np.float64]]:
    """A train_func that scores the genomes through `map_genomes`."""
    def train(genomes: list[tessaron.Genome]) -> npt.NDArray[np.float64]:
        return np.array(map_genomes(genomes))
    return train


def evolve_with(map_genomes: Callable[[list[tessaron.Genome]], list[float]]) -> None:
    tessaron.seed(3)
    model = tessaron.Model(1, 1, 3)
    history = model.func_evolve(distributed(map_genomes), pop_size=20, epochs=10, verbose=1)
    in_process = float(np.mean((model.predict(X) - TARGET) ** 2))
    print(f"best loss {history['loss'][-1]:.6f}; the evolved model scored here: {in_process:.6f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dask", action="store_true", help="use a dask.distributed LocalCluster")
    parser.add_argument("--workers", type=int, default=2)
    arguments = parser.parse_args()
    if arguments.dask:
        from dask.distributed import Client, LocalCluster

        # dask's classes carry no annotations.
        cluster = LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=arguments.workers, threads_per_worker=1, host="127.0.0.1",
            dashboard_address=None)
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            evolve_with(lambda genomes: client.gather(client.map(fitness, genomes, pure=False)))
    else:
        executor: Executor
        with ProcessPoolExecutor(arguments.workers) as executor:
            evolve_with(lambda genomes: list(executor.map(fitness, genomes, chunksize=8)))


if __name__ == "__main__":
    main()

"""Genomes scored in worker processes give the losses they give in-process."""

import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import tessaron

X = np.linspace(-2.0, 2.0, 500).reshape(-1, 2)
TARGET = np.sin(X[:, :1]) * X[:, 1:]


def loss(genome):
    return float(np.mean((genome.predict(X) - TARGET) ** 2))


def collect_genomes(model, pop_size=6):
    """The genomes of one generation's pool, and their losses scored here."""
    captured = []

    def train(genomes):
        captured.extend(genomes)
        return np.array([loss(g) for g in genomes])

    model.func_evolve(train, pop_size=pop_size, epochs=1, verbose=0)
    return captured, [loss(g) for g in captured]


def evolve_with(map_genomes):
    tessaron.seed(99)
    model = tessaron.Model(2, 1, 5)
    history = model.func_evolve(lambda genomes: np.array(map_genomes(genomes)), pop_size=8, epochs=4,
                                verbose=0)
    return history, model.get_connections()


def test_process_pool_gives_the_in_process_losses():
    genomes, here = collect_genomes(tessaron.Model(2, 1, 6))
    with ProcessPoolExecutor(2) as executor:
        assert list(executor.map(loss, genomes)) == here
        # A whole run scored remotely equals the run scored in-process, draw for draw.
        remote = evolve_with(lambda gs: list(executor.map(loss, gs, chunksize=4)))
    assert remote == evolve_with(lambda gs: [loss(g) for g in gs])


def test_dask_cluster_gives_the_in_process_losses():
    distributed = pytest.importorskip("dask.distributed", reason="dask.distributed is not installed")
    genomes, here = collect_genomes(tessaron.Model(2, 1, 6))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert client.gather(client.map(loss, genomes, pure=False)) == here
        remote = evolve_with(lambda gs: client.gather(client.map(loss, gs, pure=False)))
    assert remote == evolve_with(lambda gs: [loss(g) for g in gs])


def test_genomes_pickle_bit_for_bit():
    genomes, here = collect_genomes(tessaron.Model(2, 1, 6))
    for genome, expected in zip(genomes, here):
        clone = pickle.loads(pickle.dumps(genome))
        np.testing.assert_array_equal(clone.predict(X), genome.predict(X))
        assert loss(clone) == expected

"""Evolve several populations ("islands") of one model on the workers of a dask.distributed
cluster, exchanging their best networks every few epochs.

    python examples/island_evolution.py [--workers 2] [--islands 4]

Starts a LocalCluster on loopback with one module thread per worker, sends the data once, and
prints each island's last validation loss and the one the model ends with, beside one run of the
same population (all islands' members together) for the same number of epochs.
"""

from __future__ import annotations

import argparse
import copy

import numpy as np

import tessaron
from tessaron.distributed import evolve_islands

EPOCHS, POP_SIZE = 100, 30  # per island


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--islands", type=int, default=4)
    arguments = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    rng = np.random.default_rng(0)
    x = rng.uniform(-2.0, 2.0, size=(1000, 3))
    y = np.tanh(x[:, :1] * x[:, 1:2]) - 0.2 * x[:, 2:]
    x_val, y_val = x[800:], y[800:]

    tessaron.seed(0)
    model = tessaron.Model(3, 1)
    model.compile(loss="mse", monitors=["size"])
    single = copy.deepcopy(model)  # the same start for the comparison run
    print(f"validation mse before: {model.evaluate(x_val, y_val)[0]:.5f}")
    # dask's classes carry no annotations.
    cluster = LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=arguments.workers, threads_per_worker=1, host="127.0.0.1",
        dashboard_address=None)
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        client.run(tessaron.set_num_threads, 1)  # one process per core already
        run = evolve_islands(model, x[:800], y[:800], client, islands=arguments.islands,
                             epochs=EPOCHS, migrate_every=20, migrants=1, pop_size=POP_SIZE,
                             validation_data=(x_val, y_val), random_state=0)
    for island, history in enumerate(run.island_histories):
        print(f"island {island}: last val_loss {history['val_loss'][-1]:.5f}, "
              f"size {history['size'][-1]}")
    print(f"the model has island {run.best_island}'s network: validation mse "
          f"{model.evaluate(x_val, y_val)[0]:.5f}, {model.size} nodes")
    # One population of all the islands' members, evolved in this process for as many epochs.
    tessaron.seed(0)
    single.evolve(x[:800], y[:800], pop_size=POP_SIZE * arguments.islands, epochs=EPOCHS,
                  verbose=0)
    print(f"one run of the same population ({POP_SIZE * arguments.islands} members, {EPOCHS} "
          f"epochs): validation mse {single.evaluate(x_val, y_val)[0]:.5f}, {single.size} nodes")


if __name__ == "__main__":
    main()

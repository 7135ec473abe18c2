"""Island evolution on a local dask cluster of 2 worker processes (one module thread each)
against one Model.evolve of the same total population in this process (the module's threads on
all cores): the same number of network evaluations, their wall times and the validation loss
of the network each ends with; then one evolve given as many epochs as fit in the islands' wall
time. The islands choose their migrants and their final network by the validation loss; the
single run has no such choice.

    python bench/bench_islands.py [--epochs 200] [--seeds 3]

The task: 4 inputs, 2000 training and 500 validation samples of a smooth nonlinear function.
"""

import argparse
import time

import numpy as np
from dask.distributed import Client, LocalCluster

import tessaron
from tessaron.distributed import evolve_islands

POP_SIZE = 100  # in total: two islands of 50 against one population of 100
MIGRATE_EVERY = 20


def task(rng, samples):
    x = rng.uniform(-2.0, 2.0, size=(samples, 4))
    y = np.tanh(x[:, :1] * x[:, 1:2]) + 0.3 * np.sin(x[:, 2:3]) - 0.2 * x[:, 3:]
    return x, y


def start_model(seed):
    tessaron.seed(seed)
    model = tessaron.Model(4, 1)
    model.compile(loss="mse")
    return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--seeds", type=int, default=3)
    arguments = parser.parse_args()
    rng = np.random.default_rng(0)
    x, y = task(rng, 2000)
    validation = task(rng, 500)
    evaluations = arguments.epochs * 2 * POP_SIZE * len(x)
    print(f"{arguments.epochs} epochs, {POP_SIZE} members in total, "
          f"{evaluations:.3g} sample evaluations per run")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(tessaron.set_num_threads, 1)
        print(f"{'seed':>4} {'one evolve: s':>14} {'val_loss':>9} {'2 islands: s':>13} "
              f"{'val_loss':>9} {'same time: epochs':>18} {'s':>6} {'val_loss':>9}")
        for seed in range(arguments.seeds):
            model = start_model(seed)
            tessaron.seed(seed)
            start = time.perf_counter()
            model.evolve(x, y, pop_size=POP_SIZE, epochs=arguments.epochs, verbose=0)
            single_time = time.perf_counter() - start
            single_loss = model.evaluate(*validation)[0]

            model = start_model(seed)
            start = time.perf_counter()
            evolve_islands(model, x, y, client, islands=2, epochs=arguments.epochs,
                           migrate_every=MIGRATE_EVERY, pop_size=POP_SIZE // 2,
                           validation_data=validation, random_state=seed)
            island_time = time.perf_counter() - start
            island_loss = model.evaluate(*validation)[0]

            longer = max(1, round(arguments.epochs * island_time / single_time))
            model = start_model(seed)
            tessaron.seed(seed)
            start = time.perf_counter()
            model.evolve(x, y, pop_size=POP_SIZE, epochs=longer, verbose=0)
            longer_time = time.perf_counter() - start
            longer_loss = model.evaluate(*validation)[0]
            print(f"{seed:4d} {single_time:14.2f} {single_loss:9.5f} {island_time:13.2f} "
                  f"{island_loss:9.5f} {longer:18d} {longer_time:6.2f} {longer_loss:9.5f}")


if __name__ == "__main__":
    main()

"""Fingerprints of seeded runs: one sha256 per configuration over the bytes of the networks it
makes and the histories it returns, to show that a change of the code leaves every seeded result
as it was (compare the output of two builds line by line).

Each configuration seeds the module, builds a model, runs evolve or func_evolve twice (the second
run continues the random sources where the first left them), lets a run fail part-way where it
says so, and builds one more model after the runs. Every configuration runs on 1 and 2 threads.

    PYTHONPATH=build/dev/python python bench/fingerprint.py
"""

import argparse
import hashlib

import numpy as np

import tessaron
from tessaron.optimizers import Alpha, Beta


def samples():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(48, 3))
    y = np.stack([np.sin(x[:, 0]) + 0.5 * x[:, 1], 10.0 * x[:, 2] * x[:, 0]], axis=1)
    return x, y


def history_bytes(history):
    parts = []
    for key in sorted(history):
        values = [float(v).hex() if isinstance(v, float) else repr(v) for v in history[key]]
        parts.append(key + ":" + ",".join(values))
    return ";".join(parts).encode()


class Recorder:
    """The digest of everything a configuration makes, and a short digest of each part."""

    def __init__(self):
        self.digest = hashlib.sha256()
        self.parts = []

    def add(self, data):
        self.digest.update(data)
        self.parts.append(hashlib.sha256(data).hexdigest()[:6])

    def network(self, model):
        self.add(model.__getstate__()["network"])

    def history(self, history):
        self.add(history_bytes(history))


def dataset_run(optimizer, batch_size, validation, callbacks):
    def run(record):
        x, y = samples()
        model = tessaron.Model(3, 2, 8)
        model.compile(optimizer(), "mse", monitors=["size"])
        record.network(model)
        val = (x[:16], y[:16]) if validation else None
        for epochs in (6, 4):
            callback_list = [tessaron.callbacks.Callback()] if callbacks else None
            history = model.evolve(x, y, pop_size=20, batch_size=batch_size, epochs=epochs,
                                   validation_data=val, verbose=0, callbacks=callback_list)
            record.history(history)
            record.network(model)
        record.network(tessaron.Model(3, 2, 7))
    return run


def function_run(optimizer, fail_at):
    def run(record):
        x, y = samples()
        calls = [0]

        def train(genomes):
            calls[0] += 1
            if calls[0] == fail_at:
                raise KeyError("stop")
            return [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes]

        def validate(genome):
            return float(np.mean(np.abs(genome.predict(x[:8]) - y[:8])))

        model = tessaron.Model(3, 2, 9)
        model.compile(optimizer(), monitors=["size"])
        record.network(model)
        for epochs in (7, 5):
            try:
                history = model.func_evolve(train, pop_size=12, epochs=epochs, verbose=0,
                                            validation_func=validate)
                record.history(history)
            except KeyError:
                record.history({"failed": [float(calls[0])]})
            record.network(model)
        record.network(tessaron.Model(3, 2, 6))
    return run


def estimator_run(random_state):
    def run(record):
        from tessaron.sklearn import EvolvedRegressor
        x, y = samples()
        fitted = EvolvedRegressor(hidden_nodes=2, pop_size=10, epochs=5,
                                  random_state=random_state).fit(x, y)
        record.network(fitted.model_)
        record.history(fitted.history_)
    return run


def configurations():
    def beta(**settings):  # the selection search unless another is named
        return Beta(**{"search": "select", **settings})

    def covariance(**settings):
        return Beta(search="covariance", **settings)

    return {
        "evolve alpha": dataset_run(Alpha, -1, True, False),
        "evolve alpha batches callbacks": dataset_run(Alpha, 16, False, True),
        "evolve beta select": dataset_run(beta, -1, True, False),
        "evolve beta select reevaluate": dataset_run(lambda: beta(reevaluate=True), -1, False,
                                                     False),
        "evolve beta select batches": dataset_run(beta, 16, True, False),
        "evolve beta select reevaluate batches":
            dataset_run(lambda: beta(reevaluate=True), 20, False, False),
        "evolve beta select structure": dataset_run(
            lambda: beta(structure_rate=1.0, max_hidden=4, keep_model=False), -1, False, True),
        "evolve beta gradient": dataset_run(lambda: beta(search="gradient"), -1, True, False),
        "evolve beta gradient batches reevaluate":
            dataset_run(lambda: beta(search="gradient", reevaluate=True, keep_model=False), 16,
                        False, False),
        "evolve beta covariance": dataset_run(covariance, -1, True, False),
        "evolve beta covariance batches": dataset_run(covariance, 16, True, False),
        "func_evolve alpha": function_run(Alpha, 0),
        "func_evolve alpha failing": function_run(Alpha, 4),
        "func_evolve beta select": function_run(beta, 0),
        "func_evolve beta select reevaluate structure":
            function_run(lambda: beta(reevaluate=True, structure_rate=0.6), 0),
        "func_evolve beta select failing": function_run(beta, 5),
        "func_evolve beta gradient": function_run(lambda: beta(search="gradient"), 0),
        "func_evolve beta gradient reevaluate failing":
            function_run(lambda: beta(search="gradient", reevaluate=True), 9),
        "func_evolve beta covariance": function_run(covariance, 0),
        "func_evolve beta covariance failing": function_run(covariance, 5),
        "sklearn regressor random_state": estimator_run(17),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--parts", action="store_true",
                        help="also print a short digest of each part, in the order made (the "
                             "model, then per run its history and network, then the model after)")
    args = parser.parse_args()
    import tessaron.callbacks  # noqa: F401  (the callbacks of the dataset runs)
    for threads in (1, 2):
        tessaron.set_num_threads(threads)
        for name, run in configurations().items():
            tessaron.seed(args.seed)
            record = Recorder()
            run(record)
            line = f"{threads} thread{'s' if threads > 1 else ''}  {name:46s} "
            line += " ".join(record.parts) if args.parts else record.digest.hexdigest()
            print(line)


if __name__ == "__main__":
    main()

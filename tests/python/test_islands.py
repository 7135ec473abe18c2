"""Island evolution on a local dask cluster: the rounds, a worker that dies, a failed run."""

import os
import signal
import threading

import numpy as np
import pytest

distributed = pytest.importorskip("dask.distributed", reason="dask.distributed is not installed")
import dask  # noqa: E402

import tessaron  # noqa: E402
from tessaron.distributed import evolve_islands  # noqa: E402

RNG = np.random.default_rng(2)
X = RNG.normal(size=(400, 3))
Y = np.tanh(X[:, :1] * X[:, 1:2]) + 0.1 * X[:, 2:]
VALIDATION = (X[:80], Y[:80])
RUN = dict(epochs=60, migrate_every=20, pop_size=40, validation_data=VALIDATION, random_state=5)


def start_model(kind=tessaron.Model):
    tessaron.seed(8)
    model = kind(3, 1)
    model.compile(loss="mse", monitors=["size"])
    return model


class Announcing(tessaron.Model):
    """A model whose first island round to start, in a worker, writes the worker's process id to
    the pipe `folder`/announce and then waits on the pipe `folder`/never, which nobody writes to:
    the worker is killed in the middle of a round. Pipes, not dask's events: a worker's first
    dask client draws from the C library's generator, which the seeded rounds draw from too."""

    def evolve(self, *args, **kwargs):
        if kwargs.get("epochs"):  # a round, not evolve_islands' check with no epochs
            try:
                os.close(os.open(os.path.join(self.folder, "first"), os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                pass  # another round was first
            else:
                with open(os.path.join(self.folder, "announce"), "w") as pipe:
                    pipe.write(str(os.getpid()))
                with open(os.path.join(self.folder, "never")) as pipe:
                    pipe.read()
        return super().evolve(*args, **kwargs)


def announce_nothing(folder):
    """Ends the wait of a reader of `folder`/announce, if there is one."""
    try:
        os.close(os.open(os.path.join(folder, "announce"), os.O_WRONLY | os.O_NONBLOCK))
    except OSError:  # no reader: the pid was read
        pass


def network_bytes(model):
    return model.__getstate__()["network"]


@pytest.fixture(params=[3, 0], ids=["retried", "no-retries"])
def client(request):
    # The memory manager drops spare copies of the data at once, so that the worker killed below
    # may hold the only one.
    with dask.config.set({"distributed.scheduler.allowed-failures": request.param,
                          "distributed.scheduler.active-memory-manager.interval": "5ms"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client, request.param


def test_a_worker_dying_mid_run_changes_nothing_or_fails_cleanly(client, tmp_path):
    client, allowed_failures = client
    model = start_model()
    reference = evolve_islands(model, X, Y, client, islands=2, **RUN)
    reference_network = network_bytes(model)
    assert len(reference.history["loss"]) == RUN["epochs"]
    assert [len(h["val_loss"]) for h in reference.island_histories] == [RUN["epochs"]] * 2
    # The model holds the best island's network: its validation loss ends the merged history.
    assert model.evaluate(*VALIDATION)[0] == reference.history["val_loss"][-1]
    assert reference.history["val_loss"][-1] == min(
        h["val_loss"][-1] for h in reference.island_histories)

    model = start_model(Announcing)
    model.folder = str(tmp_path)
    os.mkfifo(tmp_path / "announce")
    os.mkfifo(tmp_path / "never")
    before = network_bytes(model)
    outcome = {}

    def run():
        try:
            outcome["result"] = evolve_islands(model, X, Y, client, islands=2, **RUN)
        except Exception as error:  # noqa: BLE001 - the test inspects it below
            outcome["error"] = error
        finally:
            announce_nothing(str(tmp_path))

    runner = threading.Thread(target=run)
    runner.start()
    with open(tmp_path / "announce") as pipe:
        pid = pipe.read()
    assert pid, f"the run ended before a round started: {outcome}"
    os.kill(int(pid), signal.SIGKILL)
    runner.join(timeout=120)
    assert not runner.is_alive()
    assert ("error" in outcome) == (allowed_failures == 0), outcome
    if "error" in outcome:
        # Without retries the task that died with its worker fails the run. The data it needed is
        # made again, never lost: the run is not cancelled.
        assert allowed_failures == 0
        assert isinstance(outcome["error"], distributed.KilledWorker), repr(outcome["error"])
        assert network_bytes(model) == before
    else:
        # Its task ran again on a worker: the same seeds give the same run.
        result = outcome["result"]
        assert result.history == reference.history
        assert result.island_histories == reference.island_histories
        assert network_bytes(model) == reference_network


def test_one_island_is_a_seeded_evolve_per_round(client):
    client, allowed_failures = client
    if allowed_failures == 0:
        pytest.skip("one cluster suffices")
    model = start_model()
    result = evolve_islands(model, X, Y, client, islands=1, migrants=0, **RUN)
    oracle = start_model()
    seeds = np.random.default_rng(5).integers(0, 2**63, size=(3, 1))
    history = {}
    for round_seed in seeds[:, 0]:
        tessaron.seed(int(round_seed))
        for key, values in oracle.evolve(X, Y, pop_size=40, epochs=RUN["migrate_every"], verbose=0,
                                         validation_data=VALIDATION).items():
            history.setdefault(key, []).extend(values)
    assert result.history == history == result.island_histories[0]
    assert network_bytes(model) == network_bytes(oracle)
    with pytest.raises(ValueError, match="^pop_size must be an even number of at least 2, got 3$"):
        evolve_islands(model, X, Y, client, pop_size=3)
    with pytest.raises(ValueError, match=r"^migrants must be at most islands - 1 \(1\), got 2$"):
        evolve_islands(model, X, Y, client, migrants=2)
    assert network_bytes(model) == network_bytes(oracle)

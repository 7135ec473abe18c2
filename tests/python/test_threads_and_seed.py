"""Worker threads, the interpreter lock, and repeatable runs."""

import subprocess
import sys
import threading

import numpy as np
import pytest

import tessaron
from tessaron.callbacks import Callback


@pytest.fixture
def restore_threads():
    before = tessaron.get_num_threads()
    yield
    tessaron.set_num_threads(before)


def test_thread_count_setting(restore_threads):
    assert tessaron.get_num_threads() >= 1
    tessaron.set_num_threads(3)
    assert tessaron.get_num_threads() == 3
    for bad in (0, -2):
        with pytest.raises(ValueError) as raised:
            tessaron.set_num_threads(bad)
        assert str(raised.value) == f"n must be at least 1, got {bad}"
    with pytest.raises(TypeError):
        tessaron.set_num_threads("2")
    assert tessaron.get_num_threads() == 3


def dataset():
    x = np.random.default_rng(0).normal(size=(400, 3))
    return x, np.column_stack([x[:, 0] * x[:, 1], np.sin(x[:, 2])])


def seeded_run(seed, threads):
    tessaron.set_num_threads(threads)
    tessaron.seed(seed)
    model = tessaron.Model(3, 2, 7)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    x, y = dataset()
    history = model.evolve(x, y, pop_size=16, batch_size=100, epochs=4, validation_data=(x, y), verbose=0)
    scores = model.func_evolve(lambda genomes: [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes],
                               pop_size=6, epochs=3, verbose=0)
    return history, scores, model.get_nodes(), model.get_connections(), model.predict(x).tolist()


def test_seeded_runs_repeat_whatever_the_thread_count(restore_threads):
    first = seeded_run(2024, 1)
    assert seeded_run(2024, 2) == first
    assert seeded_run(2024, 5) == first
    assert seeded_run(2025, 1) != first
    tessaron.seed(-1)  # any integer is accepted, its low 64 bits are the seed
    tessaron.seed(2**100 + 7)
    with pytest.raises(TypeError):
        tessaron.seed(1.5)


UNSEEDED = "import tessaron; print(tessaron.Model(2, 1, 4).get_connections())"


def test_seeded_draws_as_a_thread_seeded_afresh_and_leaves_the_calling_thread_alone():
    def networks(count):
        return [tessaron.Model(3, 1, 6).__getstate__()["network"] for _ in range(count)]

    tessaron.seed(5)
    own = networks(2)
    tessaron.seed(5)
    first = networks(1)
    with tessaron.seeded(9):
        inside = networks(2)
    assert first + networks(1) == own  # the thread's own draws went on as if nothing ran
    fresh = []
    thread = threading.Thread(target=lambda: (tessaron.seed(9), fresh.extend(networks(2))))
    thread.start()
    thread.join()
    assert inside == fresh


def test_unseeded_processes_differ():
    runs = {subprocess.run([sys.executable, "-c", UNSEEDED], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)}
    assert len(runs) == 2
    seeded = "import tessaron; tessaron.seed(7); " + UNSEEDED.split("; ", 1)[1]
    runs = {subprocess.run([sys.executable, "-c", seeded], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)}
    assert len(runs) == 1


KINDS = "import tessaron; print([n[1]['activation'] for n in tessaron.Model(2, 1, 40).get_nodes()])"


def test_processes_started_together_differ_in_structural_draws():
    """Activation kinds come from the process-wide generator, not from the engines that give the
    weights: processes started in the same second must not share them."""
    children = [subprocess.Popen([sys.executable, "-c", KINDS], stdout=subprocess.PIPE, text=True)
                for _ in range(4)]
    kinds = [child.communicate(timeout=120)[0] for child in children]
    assert all(child.returncode == 0 for child in children)
    assert len(set(kinds)) == 4, kinds


FORKED_DRAWS = """
import os, sys, tessaron
if sys.argv[1] == "seeded":
    tessaron.seed(5)
tessaron.Model(2, 1, 40)  # the parent draws before it forks
readers = []
for _ in range(3):
    read, write = os.pipe()
    if os.fork() == 0:
        model = tessaron.Model(2, 1, 40)
        os.write(write, repr((model.get_nodes(), model.get_connections())).encode())
        os._exit(0)
    os.close(write)
    readers.append(read)
outputs = []
for read in readers:
    with os.fdopen(read) as stream:
        outputs.append(stream.read())
    os.wait()
print(len(set(outputs)), len(outputs[0]) > 100)
"""


@pytest.mark.parametrize("mode, distinct", [("unseeded", 3), ("seeded", 1)])
def test_forked_children_draw_apart_unless_seeded(mode, distinct):
    """A pool's workers made by fork() inherit the parent's generators: unseeded, each must draw
    its own structure and weights; after tessaron.seed, each repeats the seeded run."""
    completed = subprocess.run([sys.executable, "-c", FORKED_DRAWS, mode], capture_output=True,
                               text=True, timeout=120)
    assert completed.stdout.split() == [str(distinct), "True"], completed.stderr


def test_evolve_lets_other_python_threads_run(restore_threads):
    """A callback wakes another thread once the run is under way; that thread answers by setting
    an event, which a later callback sees and stops the run on. With the switch interval made too
    long to matter, threads change only where the interpreter lock is let go: the answer can come
    before the run ends only if evolve computes without the lock. The other thread has to be
    scheduled once in the many epochs that the run may last."""
    tessaron.set_num_threads(2)
    under_way, answered = threading.Event(), threading.Event()

    class Handshake(Callback):
        def on_epoch_end(self, epoch, logs=None):
            under_way.set()
            self.model.stop_evolving = answered.is_set()

    model = tessaron.Model(3, 2, 10)
    model.compile(loss="mse")
    x, y = dataset()
    thread = threading.Thread(target=lambda: under_way.wait() and answered.set())
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread.start()
    try:
        history = model.evolve(np.tile(x, (10, 1)), np.tile(y, (10, 1)), pop_size=30, epochs=300,
                               verbose=0, callbacks=[Handshake()])
    finally:
        sys.setswitchinterval(interval)
        under_way.set()
        thread.join()
    assert len(history["loss"]) < 300


def test_concurrent_predictions_with_one_model_agree(restore_threads):
    model = tessaron.Model(4, 3, 20)
    x = np.random.default_rng(1).normal(size=(20000, 4))
    expected = model.predict(x)
    results = [None] * 6

    def predict(i):
        results[i] = model.predict(x)

    threads = [threading.Thread(target=predict, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        np.testing.assert_array_equal(result, expected)


FORKED_CHILD = """
import os, numpy as np, tessaron
tessaron.set_num_threads(2)
model = tessaron.Model(2, 1, 6)
model.compile(loss="mse")
x = np.random.default_rng(0).normal(size=(2000, 2))
model.evolve(x, x[:, :1], pop_size=20, epochs=2, verbose=0)  # the parent's workers start
pid = os.fork()
if pid == 0:
    # The child has none of the parent's worker threads: it must start its own, not wait for them.
    history = model.evolve(x, x[:, :1], pop_size=20, epochs=2, verbose=0)
    shape = model.predict(np.tile(x, (20, 1))).shape
    os._exit(0 if len(history["loss"]) == 2 and shape == (40000, 1) else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_a_forked_child_scores_with_workers_of_its_own():
    completed = subprocess.run([sys.executable, "-c", FORKED_CHILD], capture_output=True, text=True,
                               timeout=120)
    assert completed.stdout.strip() == "0", completed.stderr

"""Faults during long runs: Ctrl-C at random moments, user functions that fail at random epochs,
output streams that fail, and memory running out. Each ends the call with its exception and
leaves the model as it was."""

import os
import random
import resource
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessaron

SANITIZED = os.environ.get("TESSARON_SANITIZED") == "1"
INTERRUPTS_PER_RUN = 8
FAULTS = {"injected": 0}


@pytest.fixture(autouse=True, scope="module")
def report_faults():
    yield
    print(f"\nfaults injected: {FAULTS['injected']}")


class Sabotage(Exception):
    pass


def structure(model):
    return model.size, model.get_nodes(), model.get_connections()


# The child runs the call again and again; the parent interrupts each run after a random delay.
INTERRUPTED_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import tessaron

    x = np.random.default_rng(1).normal(size=(300, 3))
    y = np.column_stack([x[:, 0] * x[:, 1], np.tanh(x[:, 2])])
    model = tessaron.Model(3, 2, 8)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])

    def train(genomes):
        return np.array([float(np.mean((g.predict(x) - y) ** 2)) for g in genomes])

    def validate(genome):
        return float(np.mean(genome.predict(x)))

    calls = {
        "evolve": lambda: model.evolve(x, y, pop_size=20, batch_size=50, epochs=2**31 - 1,
                                       validation_data=(x, y), verbose=0),
        "evolve verbose": lambda: model.evolve(x, y, pop_size=20, batch_size=50, epochs=2**31 - 1,
                                               verbose=1),
        "func_evolve": lambda: model.func_evolve(train, pop_size=10, epochs=2**31 - 1, verbose=0,
                                                 validation_func=validate),
    }
    call = calls[sys.argv[1]]
    for run in range(int(sys.argv[2])):
        before = (model.size, model.get_nodes(), model.get_connections(), model.evaluate(x, y))
        try:
            print("ready", flush=True, file=sys.stderr)  # a Ctrl-C may come at once
            call()
        except KeyboardInterrupt:
            after = (model.size, model.get_nodes(), model.get_connections(), model.evaluate(x, y))
            print("unchanged" if after == before else "CHANGED", flush=True, file=sys.stderr)
        else:
            print("FINISHED", flush=True, file=sys.stderr)
        # Give the model something new to lose for the next run.
        model.evolve(x, y, pop_size=4, epochs=1, verbose=0)
""")


@pytest.mark.parametrize("call", ["evolve", "evolve verbose", "func_evolve"])
def test_interrupts_at_random_moments_leave_the_model_unchanged(call):
    seed = random.randrange(2**32)
    delays = random.Random(seed)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, call,
                              str(INTERRUPTS_PER_RUN)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
    outcomes = []
    try:
        for _ in range(INTERRUPTS_PER_RUN):
            line = child.stderr.readline()
            if line != "ready\n":
                raise AssertionError(f"seed {seed}: {line}{child.communicate(timeout=60)[1]}")
            # From at once (before the first generation) to well into the run.
            signal_delay = delays.choice([0.0, delays.uniform(0.0, 0.02), delays.uniform(0.02, 0.4)])
            try:
                child.wait(timeout=signal_delay)
            except subprocess.TimeoutExpired:
                pass
            child.send_signal(signal.SIGINT)
            FAULTS["injected"] += 1
            outcomes.append(child.stderr.readline().strip())
        _, errors = child.communicate(timeout=120)
    finally:
        child.kill()
    assert outcomes == ["unchanged"] * INTERRUPTS_PER_RUN, f"seed {seed}: {outcomes} {errors}"
    assert child.returncode == 0, errors


def dataset():
    x = np.random.default_rng(2).normal(size=(40, 2))
    return x, np.sin(x[:, :1]) + x[:, 1:]


def test_user_functions_failing_at_random_epochs():
    """train_func or validation_func fails at a random epoch (and train_func at a random genome
    of the list): the call ends with that very exception and the model keeps its network."""
    rng = random.Random(11)
    x, y = dataset()
    model = tessaron.Model(2, 1, 5)
    model.compile(loss="mse", monitors=["size"])
    for trial in range(40):
        before = structure(model)
        fail_at = rng.randrange(6)
        failing = rng.choice(["train raises", "train junk", "validation raises", "validation junk",
                              "train interrupt"])
        epoch = {"train": 0, "validation": 0}

        def train(genomes):
            epoch["train"] += 1
            losses = []
            for index, genome in enumerate(genomes):
                if failing.startswith("train") and epoch["train"] - 1 == fail_at and \
                        index == fail_at % len(genomes):
                    if failing == "train raises":
                        raise Sabotage(f"train {trial}")
                    if failing == "train interrupt":
                        raise KeyboardInterrupt
                    return ["junk"] * len(genomes)
                losses.append(float(np.mean((genome.predict(x) - y) ** 2)))
            return losses

        def validate(genome):
            epoch["validation"] += 1
            if failing.startswith("validation") and epoch["validation"] - 1 == fail_at:
                if failing == "validation raises":
                    raise Sabotage(f"validation {trial}")
                return "junk"
            return 0.0

        expected = {"train raises": Sabotage, "validation raises": Sabotage,
                    "train interrupt": KeyboardInterrupt, "train junk": (TypeError, ValueError),
                    "validation junk": TypeError}[failing]
        with pytest.raises(expected) as raised:
            model.func_evolve(train, pop_size=4, epochs=6, verbose=0, validation_func=validate)
        FAULTS["injected"] += 1
        if expected is Sabotage:
            assert str(raised.value) == f"{failing.split()[0]} {trial}"
        assert structure(model) == before, failing
        # Between faults the model does evolve, so a later fault has a new network to keep.
        model.func_evolve(train, pop_size=4, epochs=1, verbose=0)


class FailingStream:
    """A stdout whose write fails on its nth call, with `error`."""

    def __init__(self, n, error):
        self.n, self.error, self.lines = n, error, []

    def write(self, text):
        self.n -= 1
        if self.n == 0:
            raise self.error
        self.lines.append(text)
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("call", ["evolve", "func_evolve"])
def test_failing_output_is_ignored_but_ctrl_c_in_it_is_not(monkeypatch, call):
    x, y = dataset()
    model = tessaron.Model(2, 1, 5)
    model.compile(loss="mse")

    def run():
        if call == "evolve":
            return model.evolve(x, y, pop_size=4, batch_size=10, epochs=5, verbose=1)
        return model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=4, epochs=5,
                                 verbose=1)

    # An output error is not the run's: the run completes.
    stream = FailingStream(2, OSError("disk full"))
    monkeypatch.setattr(sys, "stdout", stream)
    history = run()
    monkeypatch.undo()
    assert len(history["loss"]) == 5 and len(stream.lines) > 3
    FAULTS["injected"] += 1
    # Ctrl-C while the stream runs is the user's: the run ends with it, the model unchanged.
    for n in (1, 2, 3):
        before = structure(model)
        monkeypatch.setattr(sys, "stdout", FailingStream(n, KeyboardInterrupt()))
        with pytest.raises(KeyboardInterrupt):
            run()
        monkeypatch.undo()
        FAULTS["injected"] += 1
        assert structure(model) == before


MEMORY_CHILD = textwrap.dedent("""
    import resource, sys
    import numpy as np
    import tessaron

    def state(model):
        return model.size, model.predict(x).tobytes()

    x = np.random.default_rng(0).normal(size=(4, 2))
    model = tessaron.Model(2, 1, 1500)  # about 18 MB of weights, too many for eight copies
    model.compile(loss="mse")
    before = state(model)

    def limit_to_current_plus(megabytes):
        with open("/proc/self/statm") as stream:
            virtual = int(stream.read().split()[0]) * resource.getpagesize()
        limit = virtual + megabytes * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    limit_to_current_plus(40)
    calls = {
        "evolve": lambda: model.evolve(x, x[:, :1], pop_size=8, epochs=1, verbose=0),
        "func_evolve": lambda: model.func_evolve(lambda g: np.zeros(len(g)), pop_size=8,
                                                 epochs=1, verbose=0),
        "reinitialise": lambda: model.__init__(2, 1, 4000),
        "predict": lambda: model.predict(np.broadcast_to(np.float64(1.0), (10**7, 2))),
        "load": lambda: tessaron.load(sys.argv[1]),
    }
    for name, call in calls.items():
        try:
            call()
        except MemoryError:
            print(name, "MemoryError", "unchanged" if state(model) == before else "CHANGED")
        else:
            print(name, "no MemoryError")
""")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space for its "
                    "shadow memory, so no address-space limit can be set")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_memory_running_out_raises_memory_error_and_keeps_the_model(tmp_path):
    big = tessaron.Model(2, 1, 2500)
    path = str(tmp_path / "big.tsn")
    big.save(path)
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path], capture_output=True,
                           text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines == [f"{name} MemoryError unchanged" for name in
                     ["evolve", "func_evolve", "reinitialise", "predict", "load"]], child.stdout
    FAULTS["injected"] += len(lines)


@pytest.mark.slow
def test_soak_a_thousand_generations_with_flat_memory():
    """1000 generations of a population of 100 on a small dataset: the resident memory after the
    first 100 generations does not grow by more than a generous bound over the other 900."""
    x = np.random.default_rng(4).normal(size=(64, 3))
    y = np.column_stack([np.sin(x[:, 0]) * x[:, 1], np.tanh(x[:, 2])])
    model = tessaron.Model(3, 2, 6)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])

    def resident_megabytes():
        with open("/proc/self/statm") as stream:
            return int(stream.read().split()[1]) * resource.getpagesize() / 2**20

    generations = 100 if SANITIZED else 1000
    samples, losses = [], []
    for _ in range(10):
        history = model.evolve(x, y, pop_size=100, batch_size=-1, epochs=generations // 10,
                               validation_data=(x, y), verbose=0)
        losses += history["loss"]
        samples.append(resident_megabytes())
    growth = max(samples[1:]) - samples[0]
    print(f"\nsoak: {generations} generations, RSS after each tenth (MB): "
          + ", ".join(f"{value:.1f}" for value in samples) + f"; growth {growth:.2f} MB")
    assert len(losses) == generations
    assert losses[-1] <= losses[0]
    assert model.size == len(model.get_nodes())
    if not SANITIZED:  # ASan's quarantine holds up to 256 MB of freed blocks
        assert growth < 16, samples


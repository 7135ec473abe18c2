"""Reference and memory discipline: every entry point, on its success path and on each of its
error paths, leaves the reference counts of its arguments as they were, and calling it thousands
of times grows neither the Python heap nor the process.

The calls are listed once, in entry_point_calls(); the same list drives the reference counts, the
tracemalloc and RSS bounds, and (under tests/run_sanitized_python.sh) LeakSanitizer's count of
unreachable blocks in a child interpreter."""

import atexit
import gc
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tracemalloc
import weakref

import numpy as np
import pytest

import tessaron
from tessaron.optimizers import Alpha

# Keras's variables still implement __array__ without numpy 2's copy keyword; recording each
# warning would grow the heap under test.
pytestmark = pytest.mark.filterwarnings("ignore:__array__ implementation doesn't accept a copy")

SANITIZED = os.environ.get("TESSARON_SANITIZED") == "1"
HERE = os.path.dirname(os.path.abspath(__file__))


def keras_or_none():
    os.environ.setdefault("KERAS_BACKEND", "jax")
    try:
        import keras
    except Exception:  # noqa: BLE001 - any failure to import means no Keras cases
        return None
    return keras


class Call:
    """One call of an entry point: `run()` makes it, `watched` are the objects whose reference
    counts must come back, `error` is the exception it must raise (None: it must succeed), and
    `repeat` how often the memory test makes it, after `warmup` calls that may still fill caches
    (jax caches per call site and shape for a while). `keras` marks calls into Keras, which leave
    reference cycles behind and keep a little memory per model built."""

    def __init__(self, name, run, watched, error=None, repeat=2000, warmup=None, keras=False):
        self.name, self.run, self.watched, self.error, self.repeat = name, run, watched, error, repeat
        self.warmup = max(2, repeat // 10) if warmup is None else warmup
        self.keras = keras

    def once(self):
        try:
            self.run()
        except BaseException as exception:  # noqa: BLE001 - compared with the expected type
            if self.error is None or not isinstance(exception, self.error):
                raise AssertionError(f"{self.name}: unexpected {exception!r}") from exception
            return
        if self.error is not None:
            raise AssertionError(f"{self.name}: no {self.error.__name__} raised")


def write_bytes(path, data):
    with open(path, "wb") as stream:
        stream.write(data)
    return path


def entry_point_calls(folder):
    """Every entry point on its success path and on each of its error paths."""
    rng = np.random.default_rng(5)
    x = rng.normal(size=(200, 8))
    y = rng.normal(size=(200, 2))
    x_ints = rng.integers(-3, 3, size=(200, 8)).astype(np.int32)
    x_big = rng.normal(size=(6000, 8))  # enough work for the unlocked, multithreaded prediction
    small_x, small_y = x[:12], y[:12]
    model = tessaron.Model(8, 2, 40)
    compiled = tessaron.Model(8, 2, 40)
    compiled.compile(loss="mse", metrics=["mae"], monitors=["size"])
    no_loss = tessaron.Model(8, 2, 12)
    no_loss.compile()
    fresh = tessaron.Model(8, 2, 12)  # never compiled
    empty = tessaron.Model.__new__(tessaron.Model)  # no network
    alpha = Alpha(mutation_rate=0.25)
    strings = ["mae", "mape"]
    monitors = ["size"]
    junk_list = ["mse", 3]

    def losses(genomes):
        return np.array([float(np.mean(g.predict(small_x) ** 2)) for g in genomes])

    def validation(genome):
        return float(np.mean(genome.predict(small_x)))

    def raises(genomes):
        raise ZeroDivisionError("from train_func")

    def junk(genomes):
        return "no losses here"

    def short(genomes):
        return np.zeros(len(genomes) - 1)

    def bad_validation(genome):
        return [1.0, 2.0]

    genomes = []
    fresh.func_evolve(lambda g: genomes.extend(g) or np.zeros(len(g)), pop_size=2, epochs=1, verbose=0)
    genome = genomes[0]
    other_genome = genomes[1]
    other_genome.__init__(8, 3)  # declared outputs differ from its network's
    bare_genome = tessaron.Genome(8, 2)
    pool = [genome, model]
    pool_x = np.random.default_rng(2).normal(size=(2, 3, 8))
    pool_x_ints = pool_x.astype(np.int64)
    pool_x_big = np.random.default_rng(3).normal(size=(2, 5000, 8))

    path = os.path.join(folder, "model.tsn")
    model.save(path)
    missing = os.path.join(folder, "missing.tsn")
    truncated = write_bytes(os.path.join(folder, "truncated.tsn"), b"\x05\x00\x00")
    no_folder = os.path.join(folder, "no", "model.tsn")
    nul_path = path + "\0x"
    evolve_kwargs = dict(pop_size=2, epochs=1, verbose=0)
    validation_pair = (small_x, small_y)
    bad_validation_pair = (small_x, "y")

    calls = [
        Call("Model()", lambda: tessaron.Model(8, 2, 40), []),
        Call("Model() no size", lambda: tessaron.Model(3, 2), []),
        Call("Model.__init__ again", lambda: model.__init__(8, 2, 40), [model]),
        Call("Model() missing outputs", lambda: tessaron.Model(2), [], TypeError),
        Call("Model() text count", lambda: tessaron.Model("2", 1), [], TypeError),
        Call("Model() no inputs", lambda: tessaron.Model(0, 1), [], ValueError),
        Call("Model() small size", lambda: tessaron.Model(3, 2, 4), [], ValueError),
        Call("Model() counts overflow", lambda: tessaron.Model(2**31 - 1, 1), [], ValueError),
        Call("Model() too large", lambda: tessaron.Model(1, 1, 10**6), [], MemoryError, repeat=200),
        Call("Model.__init__ refused", lambda: model.__init__(8, 0), [model], ValueError),
        Call("get_nodes", lambda: model.get_nodes(), [model], repeat=500),
        Call("get_connections", lambda: model.get_connections(), [model], repeat=200),
        Call("predict", lambda: model.predict(x), [model, x]),
        Call("predict ints", lambda: model.predict(x_ints), [model, x_ints]),
        Call("predict transposed", lambda: model.predict(x.T.T[::2]), [model, x]),
        Call("predict unlocked", lambda: model.predict(x_big), [model, x_big], repeat=100),
        Call("predict not an array", lambda: model.predict([[1.0] * 8]), [model], TypeError),
        Call("predict 3-d", lambda: model.predict(x.reshape(200, 4, 2)), [model, x], ValueError),
        Call("predict 0-d", lambda: model.predict(np.float64(1.0)[()]), [model], TypeError),
        Call("predict 0-d array", lambda: model.predict(np.array(1.0)), [model], ValueError),
        Call("predict too few columns", lambda: model.predict(x[:, :3]), [model, x], ValueError),
        Call("predict objects", lambda: model.predict(np.array([[object()] * 8], dtype=object)),
             [model], TypeError),
        Call("predict without network", lambda: empty.predict(x), [empty, x], ValueError),
        Call("Genome.predict", lambda: genome.predict(x), [genome, x]),
        Call("Genome.predict other outputs", lambda: other_genome.predict(x), [other_genome, x],
             ValueError),
        Call("Genome.predict no network", lambda: bare_genome.predict(x), [bare_genome, x],
             ValueError),
        Call("predict_many", lambda: tessaron.predict_many(pool, pool_x), [pool, genome, model, pool_x]),
        Call("predict_many converted", lambda: tessaron.predict_many(pool, pool_x_ints),
             [pool, genome, model, pool_x_ints]),
        Call("predict_many unlocked", lambda: tessaron.predict_many(pool, pool_x_big),
             [pool, genome, model, pool_x_big], repeat=100),
        Call("predict_many not a genome", lambda: tessaron.predict_many([genome, x], pool_x),
             [genome, x, pool_x], TypeError),
        Call("predict_many rows differ", lambda: tessaron.predict_many(pool, pool_x[:1]),
             [pool, genome, model, pool_x], ValueError),
        Call("Genome()", lambda: tessaron.Genome(8, 2), []),
        Call("Genome() refused", lambda: tessaron.Genome(8), [], TypeError),
        Call("Alpha()", lambda: Alpha(0.5), []),
        Call("Alpha() refused", lambda: Alpha("fast"), [], TypeError),
        Call("compile alpha instance", lambda: compiled.compile(alpha, "mse", strings, monitors),
             [alpha, compiled, strings, monitors]),
        Call("compile by name", lambda: compiled.compile("alpha", "mse", strings, monitors),
             [compiled, strings, monitors]),
        Call("compile unknown optimizer", lambda: no_loss.compile("gamma"), [no_loss], ValueError),
        Call("compile None optimizer", lambda: no_loss.compile(None), [no_loss], ValueError),
        Call("compile unknown loss", lambda: no_loss.compile(alpha, "hinge"), [alpha, no_loss],
             ValueError),
        Call("compile loss not text", lambda: no_loss.compile(alpha, 3), [alpha, no_loss],
             TypeError),
        Call("compile metric not text", lambda: no_loss.compile(alpha, "mse", junk_list),
             [alpha, no_loss, junk_list], TypeError),
        Call("compile metrics not a list", lambda: no_loss.compile(alpha, "mse", alpha),
             [alpha, no_loss], TypeError),
        Call("compile unknown monitor", lambda: no_loss.compile(alpha, "mse", strings, strings),
             [alpha, no_loss, strings], ValueError),
        Call("compile without loss", lambda: no_loss.compile(), [no_loss]),
        Call("evaluate", lambda: compiled.evaluate(x, y), [compiled, x, y]),
        Call("evaluate not compiled", lambda: fresh.evaluate(x, y), [fresh, x, y], RuntimeError),
        Call("evaluate rows differ", lambda: compiled.evaluate(x, y[:5]), [compiled, x, y],
             ValueError),
        Call("evaluate not arrays", lambda: compiled.evaluate(x, 1.0), [compiled, x], TypeError),
        Call("evolve", lambda: compiled.evolve(small_x, small_y, validation_data=validation_pair,
                                               **evolve_kwargs),
             [compiled, small_x, small_y, validation_pair], repeat=1000),
        Call("evolve not compiled", lambda: fresh.evolve(small_x, small_y), [fresh, small_x, small_y],
             RuntimeError),
        Call("evolve without loss", lambda: no_loss.evolve(small_x, small_y),
             [no_loss, small_x, small_y], RuntimeError),
        Call("evolve odd population", lambda: compiled.evolve(small_x, small_y, pop_size=3),
             [compiled, small_x, small_y], ValueError),
        Call("evolve bad validation", lambda: compiled.evolve(
            small_x, small_y, validation_data=bad_validation_pair, **evolve_kwargs),
             [compiled, small_x, small_y, bad_validation_pair], TypeError),
        Call("evolve shapes differ", lambda: compiled.evolve(small_x, y, **evolve_kwargs),
             [compiled, small_x, y], ValueError),
        Call("evolve not arrays", lambda: compiled.evolve(small_x, [1.0]), [compiled, small_x],
             TypeError),
        Call("func_evolve", lambda: compiled.func_evolve(losses, 2, 1, 0, validation),
             [compiled, losses, validation], repeat=1000),
        Call("func_evolve train_func raises", lambda: compiled.func_evolve(raises, 2, 1, 0),
             [compiled, raises], ZeroDivisionError),
        Call("func_evolve junk losses", lambda: compiled.func_evolve(junk, 2, 1, 0),
             [compiled, junk], TypeError),
        Call("func_evolve too few losses", lambda: compiled.func_evolve(short, 2, 1, 0),
             [compiled, short], ValueError),
        Call("func_evolve bad validation", lambda: compiled.func_evolve(losses, 2, 1, 0,
                                                                       bad_validation),
             [compiled, losses, bad_validation], TypeError),
        Call("func_evolve not callable", lambda: compiled.func_evolve(alpha, 2, 1, 0),
             [compiled, alpha], TypeError),
        Call("func_evolve odd population", lambda: compiled.func_evolve(losses, 3),
             [compiled, losses], ValueError),
        Call("func_evolve without network", lambda: empty.func_evolve(losses, 2, 1, 0),
             [empty, losses], ValueError),
        Call("save", lambda: model.save(path), [model, path], repeat=500),
        Call("save without folder", lambda: model.save(no_folder), [model, no_folder], OSError),
        Call("save nul in path", lambda: model.save(nul_path), [model, nul_path], ValueError),
        Call("save not text", lambda: model.save(3), [model], TypeError),
        Call("load", lambda: tessaron.load(path), [path], repeat=500),
        Call("load missing", lambda: tessaron.load(missing), [missing], OSError),
        Call("load truncated", lambda: tessaron.load(truncated), [truncated], ValueError),
        Call("load not text", lambda: tessaron.load(x), [x], TypeError),
        Call("from_keras not a model", lambda: tessaron.from_keras(x), [x], TypeError),
        Call("from_keras layers raise", lambda: tessaron.from_keras(RaisingLayers()), [],
             ZeroDivisionError),
        Call("seed", lambda: tessaron.seed(2**70 + 3), []),
        Call("seed not int", lambda: tessaron.seed(1.5), [], TypeError),
        Call("set_num_threads", lambda: tessaron.set_num_threads(tessaron.get_num_threads()), []),
        Call("set_num_threads refused", lambda: tessaron.set_num_threads(0), [], ValueError),
        Call("to_onnx without network", lambda: empty.to_onnx(), [empty], ValueError),
    ]
    if importlib.util.find_spec("onnx") is not None:
        onnx_model = tessaron.Model(3, 2, 7)
        calls.append(Call("to_onnx", lambda: onnx_model.to_onnx(), [onnx_model], repeat=200))
    keras = keras_or_none()
    if keras is not None:
        small = tessaron.Model(1, 1)
        exported = tessaron.Model(3, 2, 7).to_keras()
        single = tessaron.Model(3, 1, 6).to_keras()
        softmax_output = Proxy(single, layers=list(single.layers[:-1]) + [
            Proxy(single.layers[-1], activation=named_function("softmax"))])
        calls += [
            Call("to_keras", lambda: small.to_keras(), [small], repeat=10, warmup=10, keras=True),
            Call("to_keras without network", lambda: empty.to_keras(), [empty], ValueError),
            Call("from_keras", lambda: tessaron.from_keras(exported), [exported], repeat=200,
                 warmup=600, keras=True),
            Call("from_keras wrong activation", lambda: tessaron.from_keras(softmax_output),
                 [softmax_output], ValueError, repeat=200, warmup=600, keras=True),
        ]
    return calls


class RaisingLayers:
    @property
    def layers(self):
        raise ZeroDivisionError("layers unavailable")


class Proxy:
    """Another object's attributes, some replaced."""

    def __init__(self, original, **replaced):
        self.__dict__.update(replaced, _original=original)

    def __getattr__(self, name):
        return getattr(self._original, name)


def named_function(name):
    def function(value):
        return value
    function.__name__ = name
    return function


_CALLS = []


def all_calls():
    """The calls, made once per process, with their files in a folder of their own."""
    if not _CALLS:
        folder = tempfile.mkdtemp(prefix="tessaron-references-")
        atexit.register(shutil.rmtree, folder, ignore_errors=True)
        _CALLS.extend(entry_point_calls(folder))
    return _CALLS


NAMES = [call.name for call in all_calls()]


def by_name(name):
    return next(call for call in all_calls() if call.name == name)


@pytest.fixture(autouse=True, scope="module")
def keep_thread_count():
    threads = tessaron.get_num_threads()
    yield
    tessaron.set_num_threads(threads)


@pytest.mark.parametrize("name", NAMES)
def test_reference_counts_of_arguments_come_back(name):
    call = by_name(name)
    call.once()  # the first call may create what later calls reuse
    collect = gc.collect if call.keras else lambda: gc.collect(1)
    collect()
    before = [sys.getrefcount(item) for item in call.watched]
    for _ in range(min(20, call.repeat)):
        call.once()
    collect()
    after = [sys.getrefcount(item) for item in call.watched]
    # A model keeps one reference to the optimizer it was compiled with (taken by the first call).
    assert after == before, f"{name}: {before} -> {after}"


def test_compiled_optimizer_is_held_once_and_released():
    alpha = Alpha()
    model = tessaron.Model(2, 1)
    base = sys.getrefcount(alpha)
    for _ in range(10):
        model.compile(alpha, "mse")
    assert sys.getrefcount(alpha) == base + 1
    with pytest.raises(ValueError):
        model.compile(alpha, "nope")  # the failed compile still stores its optimizer
    assert sys.getrefcount(alpha) == base + 1
    model.compile("alpha")
    assert sys.getrefcount(alpha) == base
    model.compile(alpha)
    del model
    gc.collect()
    assert sys.getrefcount(alpha) == base


class KeepingAlpha(Alpha):
    pass


class SubModel(tessaron.Model):
    pass


class SubGenome(tessaron.Genome):
    pass


def model_through_optimizer(model_type):
    model, optimizer = model_type(2, 1), KeepingAlpha()
    model.compile(optimizer)
    optimizer.model = model  # model -> optimizer -> model
    return optimizer


def self_referencing(make):
    instance = make()
    instance.me = instance
    return instance


@pytest.mark.parametrize("make", [
    lambda: model_through_optimizer(tessaron.Model),
    lambda: model_through_optimizer(SubModel),
    lambda: self_referencing(lambda: SubModel(2, 1)),
    lambda: self_referencing(lambda: SubGenome(2, 1)),
    lambda: self_referencing(KeepingAlpha),
], ids=["model-optimizer", "submodel-optimizer", "submodel", "subgenome", "subalpha"])
def test_reference_cycles_are_collected(make):
    gc.collect()
    watched = weakref.ref(make())
    gc.collect()
    assert watched() is None


def test_genomes_and_their_list_are_not_kept():
    model = tessaron.Model(3, 1, 6)
    kept_lists, kept_genomes, validated = [], [], []

    def train(genomes):
        kept_lists.append(genomes)
        kept_genomes.extend(genomes)
        return np.zeros(len(genomes))

    def validate(genome):
        validated.append(genome)
        return 0.5

    model.func_evolve(train, pop_size=4, epochs=3, verbose=0, validation_func=validate)
    gc.collect()
    # Each list is referenced by kept_lists and getrefcount's argument alone; each genome by
    # its list, by kept_genomes and by the argument.
    assert [sys.getrefcount(kept_lists[i]) for i in range(3)] == [2, 2, 2]
    assert {sys.getrefcount(kept_genomes[i]) for i in range(len(kept_genomes))} == {3}
    assert [sys.getrefcount(validated[i]) for i in range(3)] == [2, 2, 2]


def resident_bytes():
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# The growth allowed over a call's `repeat` calls: far less than one leaked object per call on the
# Python heap, and far less than the arrays and networks one call copies, on the process. Building
# a Keras model keeps 1 to 3 KB in Keras's and jax's caches and registries, whoever builds it.
PYTHON_HEAP_SLACK = 12 * 1024
KERAS_MODEL_SLACK = 8 * 1024
RSS_SLACK = 8 * 1024 * 1024


# Keras and jax fill caches of their own for a long while (the numpy values of variables, traced
# functions, weak-reference registries): blocks allocated while their code runs are theirs.
KERAS_OWN = [tracemalloc.Filter(False, "*/site-packages/*")]


def heap_in_use(call):
    if not call.keras:
        return tracemalloc.get_traced_memory()[0]
    snapshot = tracemalloc.take_snapshot().filter_traces(KERAS_OWN)
    return sum(statistic.size for statistic in snapshot.statistics("filename"))


def growth_over_repeats(call):
    """The Python heap's and the resident set's growth over call.repeat calls."""
    collect = gc.collect if call.keras else lambda: gc.collect(1)
    collect()
    tracemalloc.start()
    try:
        for _ in range(3):  # tracemalloc's own first allocations
            call.once()
        collect()
        heap_before = heap_in_use(call)
        rss_before = resident_bytes()
        for _ in range(call.repeat):
            call.once()
        collect()
        return heap_in_use(call) - heap_before, resident_bytes() - rss_before
    finally:
        tracemalloc.stop()


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine keeps freed blocks resident and gives every new "
                    "object a new address, which fills CPython's method cache (keyed by the address "
                    "of the attribute name); LeakSanitizer checks this run instead")
@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_do_not_grow_memory(name):
    call = by_name(name)
    for _ in range(call.warmup):
        call.once()
    # A leak grows the heap in every measurement; what other threads of the process allocate
    # meanwhile (left by earlier tests, busier on a loaded machine) does not repeat: the smaller
    # growth of two measurements is judged.
    first, second = growth_over_repeats(call), growth_over_repeats(call)
    heap_growth, rss_growth = min(first[0], second[0]), min(first[1], second[1])
    slack = PYTHON_HEAP_SLACK
    if call.name == "to_keras":
        slack += KERAS_MODEL_SLACK * call.repeat
    assert heap_growth < slack, f"{name}: Python heap grew {heap_growth} bytes"
    assert rss_growth < RSS_SLACK, f"{name}: RSS grew {rss_growth} bytes"


LEAK_CHILD = r"""
import ctypes, gc, sys
sys.path.insert(0, sys.argv[1])
import test_references_and_memory as subject

check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check


def one_check(label):
    gc.collect()
    print(label, flush=True, file=sys.stderr)
    check()
    print("END OF CHECK", flush=True, file=sys.stderr)


calls = subject.all_calls()
for call in calls:
    call.once()
one_check("LEAK CHECK 1")
for _ in range(int(sys.argv[2])):
    for call in calls:
        call.once()
one_check("LEAK CHECK 2")
"""


def leaked(report):
    """Bytes and blocks in one LeakSanitizer report (0, 0 when it found nothing)."""
    found = re.search(r"SUMMARY: AddressSanitizer: (\d+) byte\(s\) leaked in (\d+) allocation",
                      report)
    return (int(found.group(1)), int(found.group(2))) if found else (0, 0)


@pytest.mark.skipif(not SANITIZED, reason="needs LeakSanitizer: run by tests/run_sanitized_python.sh")
def test_no_block_becomes_unreachable_while_calls_repeat():
    rounds = 25
    for _ in range(2):
        child = subprocess.run([sys.executable, "-c", LEAK_CHILD, HERE, str(rounds)],
                               capture_output=True, text=True, timeout=900)
        # LeakSanitizer's tracer now and then dies while it stops the threads of a busy process
        # ("Tracer caught signal 11"), which says nothing of the module: that alone is retried.
        if "LeakSanitizer has encountered a fatal error" not in child.stderr:
            break
    assert child.returncode == 0, child.stderr[-4000:]
    reports = re.findall(r"LEAK CHECK \d\n(.*?)END OF CHECK", child.stderr, re.S)
    assert len(reports) == 2, child.stderr[-4000:]
    first, second = leaked(reports[0]), leaked(reports[1])
    print(f"LeakSanitizer after one round of {len(NAMES)} calls: {first}; after {rounds} more: "
          f"{second} (bytes, blocks)")
    # Whatever Keras's import leaves unreachable once is no leak of ours; nothing may be added.
    assert second == first, reports[1][-4000:]


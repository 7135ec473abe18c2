"""Random sequences of API calls with random and hostile arguments: every call either succeeds
with a well-formed result or raises a documented exception, and a failed call leaves its model as
it was (size, nodes, connections, and the compile state as evaluate sees it). Where numpy can
convert the arrays, a call on them must give what it gives on contiguous float64 copies of them:
the same bits, or the same refusal."""

import collections
import copy
import math
import os
import tempfile
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import tessaron
from oracle import predict_with_bounds
from tessaron.optimizers import Alpha

SANITIZED = os.environ.get("TESSARON_SANITIZED") == "1"
SEQUENCES = int(os.environ.get("TESSARON_HOSTILE_SEQUENCES", 100 if SANITIZED else 300))
SHRINK = os.environ.get("TESSARON_HOSTILE_SHRINK") == "1"
# The same sequences on every run, so that CI is repeatable; set to explore new ones.
EXPLORE = os.environ.get("TESSARON_HOSTILE_EXPLORE") == "1"
STEPS = 30
ACTIVATIONS = {"sigmoid", "tanh", "relu", "linear"}
COUNTS = collections.Counter()


class Sabotage(Exception):
    """Raised by the user functions of this test; it must come out of the call as it is."""


# What a call may raise: the module's own errors and the parser's, numpy's conversion errors,
# MemoryError for impossible sizes, and whatever the user's functions raise themselves.
DOCUMENTED = (TypeError, ValueError, RuntimeError, OSError, MemoryError, OverflowError, Sabotage,
              KeyboardInterrupt)

SPECIALS = [math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -0.0]


def numbers(rng, shape, special_rate):
    values = rng.normal(scale=3.0, size=shape)
    if special_rate and values.size:
        mask = rng.random(shape) < special_rate
        values[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    return values


# The kinds of array whose values numpy converts to float64 as they are.
VALID_KINDS = ["plain", "special", "dtype", "layout"]


@st.composite
def arrays(draw, columns=None, many_rows=True, rows=None, kinds=None, exact=False):
    """Numpy arrays of every awkward kind (or of `kinds`), with `columns` and `rows` as the likely
    shape of 2-d ones (`exact`: their shape); `many_rows` allows tens of thousands of rows."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(kinds or ["plain"] * 4 + ["special", "dtype", "layout", "dims",
                                                          "huge", "empty", "objects", "text",
                                                          "odd"]))
    width = draw(st.integers(0, 6))
    if columns is not None and (exact or draw(st.integers(0, 3)) > 0):
        width = columns
    if rows is None or (not exact and draw(st.integers(0, 5)) == 0):
        rows = draw(st.integers(1, 12))
    if kind == "plain":
        return numbers(rng, (rows, width), 0)
    if kind == "special":
        return numbers(rng, (rows, width), 0.3)
    if kind == "dtype":
        dtype = draw(st.sampled_from(["float32", "float16", "int8", "int64", "uint16", "bool",
                                      "complex128", "longdouble", ">f8", "<f4", ">i4"]))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return (numbers(rng, (rows, width), 0) * 10).astype(dtype)
    if kind == "layout":
        base = numbers(rng, (2 * max(rows, width), 2 * width + 1), 0)
        layout = draw(st.sampled_from(["fortran", "transposed", "stepped", "reversed", "unaligned",
                                       "broadcast", "sliding", "readonly"]))
        if layout == "fortran":
            return np.asfortranarray(base[:rows, :width])
        if layout == "transposed":
            return numbers(rng, (width, rows), 0).T
        if layout == "stepped":
            return base[::2, 1::2][:rows]
        if layout == "reversed":
            return base[::-1, ::-1][:rows, :width]
        if layout == "unaligned":
            raw = np.zeros(rows * width * 8 + 1, dtype=np.uint8)
            array = np.frombuffer(raw.data, dtype=np.float64, count=rows * width, offset=1)
            array = array.reshape(rows, width)
            return array
        if layout == "broadcast":
            return np.broadcast_to(base[0, :width], (rows, width))
        if layout == "sliding":  # rows 1 value apart, overlapping
            return np.lib.stride_tricks.sliding_window_view(base.ravel(), width)[:rows]
        base.setflags(write=False)
        return base[:rows, :width]
    if kind == "dims":
        return draw(st.sampled_from([
            np.array(1.5), numbers(rng, (rows,), 0.1), numbers(rng, (rows, width, 2), 0),
            numbers(rng, (2, 2, 2, 2), 0), np.zeros((rows, 0, 3))]))
    if kind == "huge":
        return draw(st.sampled_from([
            np.broadcast_to(np.float64(0.5), (2**31, max(width, 1))),  # beyond 2**31 - 1 rows
            np.broadcast_to(np.float64(0.5), (5, 2**31)),  # beyond 2**31 - 1 columns
            numbers(rng, (60000 if many_rows else 20, width), 0.001)]))  # the threaded path
    if kind == "empty":
        return draw(st.sampled_from([np.zeros((0, width)), np.zeros(0), np.zeros((rows, 0))]))
    if kind == "objects":
        pool = draw(st.sampled_from([[1, 2.5, True], [None, 1.0], ["1.5", 2], [object(), 1.0],
                                     [[1, 2], 3.0], [Fraction(1, 3), 2]]))
        array = np.empty((rows, width), dtype=object)
        for index in np.ndindex(array.shape):
            array[index] = pool[rng.integers(len(pool))]
        return array
    if kind == "text":
        pool = draw(st.sampled_from([["1.5", "-2", "inf"], ["abc", "1"], ["nan", "1e400"]]))
        return rng.choice(pool, size=(rows, width))
    return draw(st.sampled_from([
        np.zeros((rows, width), dtype="datetime64[s]"),
        np.zeros((rows, width), dtype=[("a", "f8"), ("b", "i4")]),
        np.zeros((rows, width), dtype="V8"),
        np.ma.masked_array(numbers(rng, (rows, width), 0), mask=True),
        np.matrix(numbers(rng, (rows, max(width, 1)), 0))]))


class Fraction:
    """A number-like object that numpy converts through __float__."""

    def __init__(self, numerator, denominator):
        self.value = numerator / denominator

    def __float__(self):
        return self.value


NOT_ARRAYS = [None, 1, 2.5, "x", b"x", [[1.0, 2.0]], (1.0,), {"a": 1}, object(), len]
HOSTILE_INTS = [-(2**31) - 1, -(2**31), -7, -1, 0, 2**31 - 1, 2**31, 2**64, 1.5, "3", None, True]


def mostly(valid, hostile, odds=5):
    """A value of `valid`, or one draw in `odds` a value of `hostile` (an explicit choice:
    hypothesis does not weigh the branches of one_of evenly)."""
    return st.tuples(st.integers(1, odds), valid, hostile).map(
        lambda choice: choice[2] if choice[0] == 1 else choice[1])


def ints(low, high):
    """Mostly valid ints, one draw in five hostile."""
    return mostly(st.integers(low, high), st.sampled_from(HOSTILE_INTS))


def array_or_junk(data, strategy):
    """Mostly an array of `strategy`, one draw in eight something that is no array at all."""
    if data.draw(st.integers(0, 7)) == 0:
        return data.draw(st.sampled_from(NOT_ARRAYS))
    return data.draw(strategy)


def epoch_counts():
    """Mostly 0 to 2 epochs; hostile counts exclude the valid but endless 2**31 - 1."""
    return mostly(st.integers(0, 2),
                  st.sampled_from([value for value in HOSTILE_INTS if value != 2**31 - 1]))


def populations():
    """Mostly valid population sizes (even, at least 2)."""
    return mostly(st.sampled_from([2, 4, 6]), st.sampled_from(HOSTILE_INTS + [1, 3]))


def user_function(kind, genomes_expected, x_probe):
    """train_func and validation_func of many kinds, well-behaved and not."""

    def losses(genomes):
        return [float(np.mean(genome.predict(x_probe) ** 2)) for genome in genomes]

    functions = {
        "good": lambda genomes: np.array(losses(genomes)),
        "list": lambda genomes: losses(genomes),
        "column": lambda genomes: np.array(losses(genomes)).reshape(-1, 1),
        "nan": lambda genomes: np.full(len(genomes), math.nan),
        "inf": lambda genomes: np.array([-math.inf, math.inf] * (len(genomes) // 2)),
        "raise": lambda genomes: (_ for _ in ()).throw(Sabotage("train_func failed")),
        "interrupt": lambda genomes: (_ for _ in ()).throw(KeyboardInterrupt()),
        "none": lambda genomes: None,
        "text": lambda genomes: "losses",
        "short": lambda genomes: np.zeros(max(len(genomes) - 1, 0)),
        "cube": lambda genomes: np.zeros((len(genomes), 1, 1)),
        "scalar": lambda genomes: 1.0,
        "dict": lambda genomes: {i: 0.0 for i in range(len(genomes))},
        "objects": lambda genomes: np.array([object()] * len(genomes)),
        "complex": lambda genomes: np.zeros(len(genomes), dtype=complex),
        "strings": lambda genomes: np.array(["1.0"] * len(genomes)),
        "generator": lambda genomes: (0.0 for _ in genomes),
        "keeps": lambda genomes: genomes_expected.extend(genomes) or np.zeros(len(genomes)),
    }
    return functions[kind]


def validation_function(kind, x_probe):
    functions = {
        "good": lambda genome: float(np.mean(genome.predict(x_probe))),
        "nan": lambda genome: math.nan,
        "int": lambda genome: 3,
        "numpy": lambda genome: np.float32(0.5),
        "raise": lambda genome: (_ for _ in ()).throw(Sabotage("validation_func failed")),
        "text": lambda genome: "0.5",
        "array": lambda genome: np.zeros(3),
        "none": lambda genome: None,
    }
    return functions[kind]


TRAIN_KINDS = ["good", "list", "column", "nan", "inf", "raise", "interrupt", "none", "text",
               "short", "cube", "scalar", "dict", "objects", "complex", "strings", "generator",
               "keeps"]
VALIDATION_KINDS = ["good", "nan", "int", "numpy", "raise", "text", "array", "none"]


class NoLayers:
    pass


class JunkLayers:
    layers = 12


class RaisingLayers:
    @property
    def layers(self):
        raise Sabotage("layers unavailable")


class NamelessLayers:
    layers = [object(), object()]


class Tracked:
    """A model under test and the counts it was built with."""

    def __init__(self, model, inputs, outputs):
        self.model, self.inputs, self.outputs = model, inputs, outputs


def observe(tracked):
    """Everything a failed call must leave as it was: the structure, and the compile state as
    evaluate sees it (repr makes NaN equal to NaN)."""
    model = tracked.model
    x = np.linspace(-1.0, 1.0, 3 * tracked.inputs).reshape(3, tracked.inputs)
    y = np.linspace(0.5, -0.5, 3 * tracked.outputs).reshape(3, tracked.outputs)
    try:
        compiled = ("compiled", model.evaluate(x, y))
    except RuntimeError as error:
        compiled = ("not compiled", str(error))
    return repr((model.size, model.get_nodes(), model.get_connections())), repr(compiled)


def check_well_formed(model, inputs, outputs):
    nodes, connections = model.get_nodes(), model.get_connections()
    size = model.size
    assert size == len(nodes) >= inputs + outputs
    assert [index for index, _ in nodes] == list(range(size))
    for _, attributes in nodes:
        assert attributes["activation"] in ACTIVATIONS
        assert type(attributes["bias"]) is float
    pairs = [(source, target) for source, target, _ in connections]
    assert pairs == sorted(set(pairs))
    for source, target, attributes in connections:
        assert 0 <= source < target < size
        assert target >= inputs and source < size - outputs
        assert type(attributes["weight"]) is float


def as_float_rows(x):
    """The float64 table the module should see in x, or None where numpy itself refuses."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            values = np.asarray(x).astype(np.float64)  # an unsafe cast, as the module's
        except (TypeError, ValueError):
            return None
    return values.reshape(-1, 1) if values.ndim == 1 else values


def float_copy(x):
    """x as a contiguous float64 array of its own shape, as the module should read it; None for
    what is no array, what numpy itself cannot convert, and arrays too big to copy."""
    if not isinstance(x, np.ndarray) or x.size > 10**6:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return np.array(x, dtype=np.float64, order="C")  # an unsafe cast, as the module's
        except (TypeError, ValueError):
            return None


def outcome(call, fingerprint):
    """("ok", fingerprint(result)) or the type and message of what the call raised."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return "ok", fingerprint(call())
    except Exception as error:  # noqa: BLE001 - compared with the original call's
        return type(error), str(error)


def same_outcome(ok, result, expected, fingerprint):
    got = ("ok", fingerprint(result)) if ok else (type(result), str(result))
    assert got == expected


def array_bytes(result):
    return result.shape, result.tobytes()


class HostileMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.models = []
        self.genomes = []
        self.folder = tempfile.mkdtemp(prefix="tessaron-hostile-")
        self.saved = []
        COUNTS["sequences"] += 1

    def teardown(self):
        for name in os.listdir(self.folder):
            os.remove(os.path.join(self.folder, name))
        os.rmdir(self.folder)

    def attempt(self, tracked, call, parser_only=None):
        """Runs call(); a failure must be documented and leave `tracked` (if any) unchanged.
        Returns (True, result) or (False, exception)."""
        before = observe(tracked) if tracked is not None else None
        COUNTS["calls"] += 1
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return True, call()
        except DOCUMENTED as error:
            COUNTS["failures"] += 1
            COUNTS[next(kind for kind in DOCUMENTED if isinstance(error, kind)).__name__] += 1
            if tracked is not None:
                after = observe(tracked)
                if parser_only is False:
                    # A compile refused after its arguments were parsed leaves the model
                    # uncompiled, whatever it was before.
                    assert after[0] == before[0]
                    assert after[1].startswith("('not compiled'")
                else:
                    assert after == before, f"{type(error).__name__}: {error}"
            return False, error

    @initialize(inputs=st.integers(1, 4), outputs=st.integers(1, 3), hidden=st.integers(-1, 5))
    def first_model(self, inputs, outputs, hidden):
        size = -1 if hidden < 0 else inputs + outputs + hidden
        self.models.append(Tracked(tessaron.Model(inputs, outputs, size), inputs, outputs))

    @precondition(lambda self: len(self.models) < 3)
    @rule(inputs=ints(1, 4), outputs=ints(1, 3), size=st.one_of(st.integers(-1, 12), ints(-1, 12),
                                                             st.just(10**7)))
    def new_model(self, inputs, outputs, size):
        ok, model = self.attempt(None, lambda: tessaron.Model(inputs, outputs, size))
        if ok:
            check_well_formed(model, inputs, outputs)
            self.models.append(Tracked(model, int(inputs), int(outputs)))

    @rule(data=st.data(), inputs=ints(1, 4), outputs=ints(1, 3), size=ints(-1, 12))
    def reinitialise(self, data, inputs, outputs, size):
        tracked = data.draw(st.sampled_from(self.models))
        ok, _ = self.attempt(tracked, lambda: tracked.model.__init__(inputs, outputs, size))
        if ok:
            tracked.inputs, tracked.outputs = int(inputs), int(outputs)
            check_well_formed(tracked.model, inputs, outputs)

    @rule(data=st.data())
    def predict(self, data):
        tracked = data.draw(st.sampled_from(self.models))
        x = array_or_junk(data, arrays(columns=tracked.inputs))
        ok, result = self.attempt(tracked, lambda: tracked.model.predict(x))
        if ok:
            check_prediction(tracked.model, tracked.inputs, tracked.outputs, x, result)
        x_copy = float_copy(x)
        if x_copy is not None:
            same_outcome(ok, result, outcome(lambda: tracked.model.predict(x_copy), array_bytes),
                         array_bytes)

    @rule(data=st.data())
    def predict_with_a_genome(self, data):
        if not self.genomes:
            self.genomes.append(tessaron.Genome(2, 1))
        genome = data.draw(st.sampled_from(self.genomes))
        x = array_or_junk(data, arrays())
        ok, result = self.attempt(None, lambda: genome.predict(x))
        if ok:
            assert result.dtype == np.float64 and result.ndim == 2
            assert result.shape[0] == np.shape(x)[0]

    @rule(inputs=ints(1, 4), outputs=ints(1, 3))
    def make_a_genome(self, inputs, outputs):
        ok, genome = self.attempt(None, lambda: tessaron.Genome(inputs, outputs))
        if ok and len(self.genomes) < 6:
            self.genomes.append(genome)

    @rule(data=st.data(), hostile=st.booleans(),
          optimizer=st.sampled_from(["alpha", Alpha(), "absent"]),
          loss=st.sampled_from(["mse", "mae", "mape"]),
          metrics=st.sampled_from([[], ["mae"], ["mse", "mape", "mse"], ("mae",), None, "absent"]),
          monitors=st.sampled_from([[], ["size"], ["size", "size"], None, "absent"]))
    def compile(self, data, hostile, optimizer, loss, metrics, monitors):
        if hostile:
            optimizer = data.draw(st.sampled_from(["alpha", "Alpha", "", None, 3, Alpha(),
                                                   Alpha(-1.0), "absent"]))
            loss = data.draw(st.sampled_from(["mse", "", "MSE", "hinge", None, 1, "ms\0e",
                                              "\ud800", "absent"]))
            metrics = data.draw(st.sampled_from([["mae"], ["nope"], "mae", [1], None, {"mae"},
                                                 "absent"]))
            monitors = data.draw(st.sampled_from([["size"], ["age"], "size", [None], None,
                                                  "absent"]))
        tracked = data.draw(st.sampled_from(self.models))
        arguments = {name: value for name, value in
                     [("optimizer", optimizer), ("loss", loss), ("metrics", metrics),
                      ("monitors", monitors)] if not (isinstance(value, str) and value == "absent")}
        parsed = "loss" not in arguments or (isinstance(loss, str) and "\0" not in loss and
                                             "\ud800" not in loss)
        ok, _ = self.attempt(tracked, lambda: tracked.model.compile(**arguments),
                             parser_only=not parsed)
        if ok:
            x = np.zeros((2, tracked.inputs))
            y = np.zeros((2, tracked.outputs))
            expected = int(bool(arguments.get("loss"))) + len(arguments.get("metrics") or [])
            assert len(tracked.model.evaluate(x, y)) == expected

    @rule(data=st.data())
    def evaluate(self, data):
        tracked = data.draw(st.sampled_from(self.models))
        rows = data.draw(st.integers(1, 12))
        x = array_or_junk(data, arrays(tracked.inputs, True, rows))
        y = array_or_junk(data, arrays(tracked.outputs, True, rows))
        ok, values = self.attempt(tracked, lambda: tracked.model.evaluate(x, y))
        if ok:
            assert type(values) is list and all(type(value) is float for value in values)
        x_copy, y_copy = float_copy(x), float_copy(y)
        if x_copy is not None and y_copy is not None:
            same_outcome(ok, values, outcome(lambda: tracked.model.evaluate(x_copy, y_copy), repr),
                         repr)

    @rule(data=st.data(), pop_size=populations(), batch_size=ints(-1, 8), epochs=epoch_counts(),
          verbose=mostly(st.just(0), st.sampled_from([2, "loud", None]), 8),
          validation=mostly(st.sampled_from(["none", "good", "list", "arrays"]),
                            st.sampled_from(["short", "junk"]), 4))
    def evolve(self, data, pop_size, batch_size, epochs, verbose, validation):
        tracked = data.draw(st.sampled_from(self.models))
        if data.draw(st.integers(0, 2)) > 0:  # most evolutions follow a compile
            self.attempt(tracked, lambda: tracked.model.compile(
                loss=data.draw(st.sampled_from(["mse", "mae", "mape"])),
                metrics=data.draw(st.sampled_from([[], ["mae", "mse"]])),
                monitors=data.draw(st.sampled_from([[], ["size"]]))))
        rows = data.draw(st.integers(1, 12))
        x = array_or_junk(data, arrays(tracked.inputs, False, rows))
        y = array_or_junk(data, arrays(tracked.outputs, False, rows))
        x_val = np.ones((3, tracked.inputs))
        y_val = np.zeros((3, tracked.outputs))
        validation_data = {"none": None, "good": (x_val, y_val), "list": [x_val, y_val],
                           "short": (x_val,), "junk": "validation",
                           "arrays": (data.draw(arrays(tracked.inputs, False)),
                                      data.draw(arrays(tracked.outputs, False)))}[validation]
        self.evolve_checked(tracked, x, y, validation_data, pop_size=pop_size,
                            batch_size=batch_size, epochs=epochs, verbose=verbose)

    @rule(data=st.data(), batch_size=st.sampled_from([-1, 3]), validated=st.booleans())
    def evolve_valid_arrays(self, data, batch_size, validated):
        """Arrays that are valid whatever their layout and dtype: the call must succeed."""
        tracked = data.draw(st.sampled_from(self.models))
        self.attempt(tracked, lambda: tracked.model.compile(loss="mse", metrics=["mae"]))
        rows = data.draw(st.integers(1, 12))
        x, y = (data.draw(arrays(width, False, rows, VALID_KINDS, True))
                for width in (tracked.inputs, tracked.outputs))
        validation_data = None
        if validated:
            rows = data.draw(st.integers(1, 12))
            validation_data = tuple(data.draw(arrays(width, False, rows, VALID_KINDS, True))
                                    for width in (tracked.inputs, tracked.outputs))
        ok, result = self.evolve_checked(tracked, x, y, validation_data, pop_size=4,
                                         batch_size=batch_size, epochs=2, verbose=0)
        assert ok, result

    def evolve_checked(self, tracked, x, y, validation_data, **arguments):
        """Runs a seeded evolve, which must give what the same run of a copy of the model gives
        on float64 copies of the arrays, where numpy can make them. Returns what attempt does."""
        copies = [float_copy(a) for a in (x, y)]
        validation_copy = validation_data
        if isinstance(validation_data, tuple) and len(validation_data) == 2:
            validation_copy = tuple(float_copy(a) for a in validation_data)
            copies += validation_copy
        expected = None
        if all(c is not None for c in copies):
            twin = copy.deepcopy(tracked.model)
            tessaron.seed(7)

            def run_twin():
                history = twin.evolve(copies[0], copies[1], validation_data=validation_copy,
                                      **arguments)
                return repr(history), twin.__getstate__()["network"]
            expected = outcome(run_twin, lambda result: result)
            COUNTS["compared"] += 1
        tessaron.seed(7)
        ok, history = self.attempt(tracked, lambda: tracked.model.evolve(
            x, y, validation_data=validation_data, **arguments))
        if expected is not None:
            same_outcome(ok, history, expected,
                         lambda h: (repr(h), tracked.model.__getstate__()["network"]))
        if ok:
            COUNTS["evolutions"] += 1
            check_well_formed(tracked.model, tracked.inputs, tracked.outputs)
            assert all(len(values) == arguments["epochs"] for values in history.values())
            assert "loss" in history
        return ok, history

    @rule(data=st.data(), pop_size=populations(), epochs=epoch_counts(),
          train=st.sampled_from(TRAIN_KINDS + ["not callable"]),
          validation=st.sampled_from(VALIDATION_KINDS + ["absent", "not callable"]))
    def func_evolve(self, data, pop_size, epochs, train, validation):
        tracked = data.draw(st.sampled_from(self.models))
        x_probe = np.linspace(-1.0, 1.0, 4 * tracked.inputs).reshape(4, tracked.inputs)
        kept = []
        train_func = 3 if train == "not callable" else user_function(train, kept, x_probe)
        arguments = {"pop_size": pop_size, "epochs": epochs, "verbose": 0}
        if validation == "not callable":
            arguments["validation_func"] = "validate"
        elif validation != "absent":
            arguments["validation_func"] = validation_function(validation, x_probe)
        ok, history = self.attempt(tracked, lambda: tracked.model.func_evolve(train_func,
                                                                              **arguments))
        if ok:
            COUNTS["evolutions"] += 1
            check_well_formed(tracked.model, tracked.inputs, tracked.outputs)
            assert all(len(values) == epochs for values in history.values())
        for genome in kept[:2]:
            if len(self.genomes) < 6:
                self.genomes.append(genome)

    @rule(data=st.data(), where=st.sampled_from(["file", "file", "missing folder", "folder", "",
                                                  "nul", 3, None, "bytes"]))
    def save_and_load(self, data, where):
        tracked = data.draw(st.sampled_from(self.models))
        path = {"file": os.path.join(self.folder, f"m{len(self.saved)}.tsn"),
                "missing folder": os.path.join(self.folder, "no", "m.tsn"), "folder": self.folder,
                "nul": "m\0.tsn", "bytes": os.fsencode(os.path.join(self.folder, "b.tsn"))
                }.get(where, where)
        ok, _ = self.attempt(tracked, lambda: tracked.model.save(path))
        if ok:
            self.saved.append(path)
            loaded = tessaron.load(path)
            assert loaded.get_nodes() == tracked.model.get_nodes()
            assert loaded.get_connections() == tracked.model.get_connections()

    @rule(data=st.binary(max_size=200), keep_header=st.booleans())
    def load_junk(self, data, keep_header):
        path = os.path.join(self.folder, "junk.tsn")
        if keep_header and self.saved:
            with open(self.saved[-1], "rb") as stream:
                data = stream.read()[:12] + data
        with open(path, "wb") as stream:
            stream.write(data)
        ok, model = self.attempt(None, lambda: tessaron.load(path))
        if ok:
            size = model.size
            assert size == len(model.get_nodes())
            for source, target, _ in model.get_connections():
                assert 0 <= source < target < size

    @rule(keras_model=st.sampled_from([None, 1, "model", [], object(), NoLayers(), JunkLayers(),
                                       RaisingLayers(), NamelessLayers()]))
    def from_keras(self, keras_model):
        ok, _ = self.attempt(None, lambda: tessaron.from_keras(keras_model))
        assert not ok

    @rule(value=st.one_of(st.integers(), st.sampled_from([1.5, "7", None, 2**200, -(2**70)])))
    def seed(self, value):
        self.attempt(None, lambda: tessaron.seed(value))

    @rule(n=st.one_of(st.integers(1, 3), st.sampled_from([0, -1, 2**31, "2", None, 2.0])))
    def threads(self, n):
        before = tessaron.get_num_threads()
        ok, _ = self.attempt(None, lambda: tessaron.set_num_threads(n))
        assert tessaron.get_num_threads() == (n if ok else before)

    @invariant()
    def models_are_well_formed(self):
        for tracked in self.models:
            check_well_formed(tracked.model, tracked.inputs, tracked.outputs)


def check_prediction(model, inputs, outputs, x, result):
    assert type(result) is np.ndarray and result.dtype == np.float64
    rows = as_float_rows(x)
    assert rows is not None and rows.ndim == 2
    assert result.shape == (rows.shape[0], outputs)
    assert rows.shape[1] >= inputs
    # The first rows against the pure-Python forward pass.
    sample = rows[:3, :inputs]
    if sample.size:
        values, bounds = predict_with_bounds(model, inputs, outputs, sample.tolist())
        for got_row, value_row, bound_row in zip(result[:3], values, bounds):
            for got, value, bound in zip(got_row, value_row, bound_row):
                if math.isnan(value):
                    assert math.isnan(got)
                else:
                    assert abs(got - value) <= bound or got == value, (got, value, bound)
    # Moderate inputs give finite outputs; others may give infinities or NaN, but never junk.
    if np.isfinite(rows[:, :inputs]).all() and np.abs(rows[:, :inputs]).max(initial=0) < 1e6:
        assert np.isfinite(result).all()


HostileMachine.TestCase.settings = settings(
    max_examples=SEQUENCES, stateful_step_count=STEPS, deadline=None, database=None,
    derandomize=not EXPLORE,
    suppress_health_check=list(HealthCheck),
    phases=None if SHRINK else [Phase.explicit, Phase.reuse, Phase.generate])
TestHostileSequences = HostileMachine.TestCase


@pytest.fixture(autouse=True, scope="module")
def report_counts():
    threads = tessaron.get_num_threads()
    COUNTS.clear()
    yield
    tessaron.set_num_threads(threads)
    print(f"\nhostile sequences: {COUNTS['sequences']}, calls: {COUNTS['calls']}, refused: "
          f"{COUNTS['failures']}, evolutions run: {COUNTS['evolutions']}, evolve calls compared "
          f"with calls on float64 copies: {COUNTS['compared']}; by exception: "
          + ", ".join(f"{name} {COUNTS[name]}" for name in
                      ["TypeError", "ValueError", "RuntimeError", "OSError", "MemoryError",
                       "OverflowError", "Sabotage", "KeyboardInterrupt"]))
    if COUNTS["sequences"]:  # the state machine ran (it may be deselected)
        assert COUNTS["calls"] >= SEQUENCES * 5


# Python code that runs in the middle of a call (the __float__ of an object array's items, a
# train_func) and changes the model or the arguments under the call's feet.

class Calls:
    """A number whose conversion to float runs `action` first."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.5


def objects_with(action, rows, columns):
    array = np.full((rows, columns), 0.25, dtype=object)
    array[0, 0] = Calls(action)
    return array


def test_validation_list_emptied_while_x_train_converts():
    model = tessaron.Model(2, 1, 4)
    model.compile(loss="mse")
    x_val, y_val = np.ones((5, 2)), np.zeros((5, 1))
    validation = [x_val, y_val]
    x = objects_with(validation.clear, 6, 2)
    history = model.evolve(x, np.zeros((6, 1)), pop_size=4, epochs=2, validation_data=validation,
                           verbose=0)
    assert validation == []
    assert history["val_loss"][-1] == model.evaluate(x_val, y_val)[0]


def test_validation_list_whose_length_lies():
    class Liar(list):
        def __len__(self):
            return 2

    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    with pytest.raises(TypeError, match="validation_data must be None or a tuple"):
        model.evolve(np.ones((3, 2)), np.ones((3, 1)), pop_size=2, epochs=1,
                     validation_data=Liar(), verbose=0)


def test_compile_changed_while_x_train_converts():
    model = tessaron.Model(2, 1, 4)
    model.compile(loss="mae", metrics=["mse"])
    x = objects_with(lambda: model.compile(), 6, 2)  # no loss, no metrics
    history = model.evolve(x, np.zeros((6, 1)), pop_size=4, epochs=3, verbose=0)
    # The run uses the compile state it was called with.
    assert sorted(history) == ["loss", "mse"] and len(history["loss"]) == 3
    assert model.evaluate(np.ones((2, 2)), np.zeros((2, 1))) == []


def test_model_rebuilt_while_it_evolves():
    model = tessaron.Model(2, 1, 4)

    def train(genomes):
        model.__init__(3, 3)
        return np.zeros(len(genomes))

    model.func_evolve(train, pop_size=2, epochs=2, verbose=0)
    # The evolved network replaces the rebuilt one whole, counts included.
    check_well_formed(model, 2, 1)
    assert model.predict(np.ones((4, 2))).shape == (4, 1)
    model.compile(loss="mse")
    assert len(model.evaluate(np.ones((4, 2)), np.zeros((4, 1)))) == 1
    with pytest.raises(ValueError, match="at most the number of outputs of the model \\(1\\)"):
        model.evaluate(np.ones((4, 3)), np.zeros((4, 3)))
    with pytest.raises(ValueError, match="equal to the number of inputs of the model \\(2\\)"):
        model.evolve(np.ones((4, 3)), np.zeros((4, 3)), pop_size=2, epochs=1, verbose=0)


def test_model_rebuilt_while_evaluate_converts():
    model = tessaron.Model(2, 1, 4)
    model.compile(loss="mse")
    x = objects_with(lambda: model.__init__(1, 3), 4, 2)
    with pytest.raises(ValueError, match="at most the number of outputs of the model \\(3\\)"):
        model.evaluate(x, objects_with(lambda: None, 4, 4))
    model.compile(loss="mse")
    assert len(model.evaluate(objects_with(lambda: model.__init__(1, 3), 4, 2),
                              np.zeros((4, 3)))) == 1

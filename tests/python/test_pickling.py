"""pickle, copy and deepcopy of Model, Genome and Alpha: bit-for-bit networks, compile state,
optimizer sharing, subclasses, refused states and genomes scored in another process."""

import copy
import math
import multiprocessing
import operator
import os
import pickle
import struct
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import tessaron
from tessaron.optimizers import Alpha

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def samples(inputs, rows=40, seed=5):
    return np.random.default_rng(seed).normal(scale=2.0, size=(rows, inputs))


def saved_bytes(model, tmp_path):
    path = str(tmp_path / "model.tsn")
    model.save(path)
    with open(path, "rb") as file:
        return file.read()


def bits(value):
    return struct.pack("<d", value)


def plain(state):
    """A model state with its optimizer (which has no equality of its own) as type and state."""
    optimizer = state["optimizer"]
    return {**state, "optimizer": optimizer and (type(optimizer), optimizer.__getstate__())}


def expect_same_model(copied, model, inputs):
    assert type(copied) is type(model) and copied is not model
    assert copied.size == model.size
    assert copied.get_nodes() == model.get_nodes()
    assert copied.get_connections() == model.get_connections()
    x = samples(inputs)
    np.testing.assert_array_equal(copied.predict(x), model.predict(x))
    assert repr(copied) == repr(model)
    assert plain(copied.__getstate__()) == plain(model.__getstate__())


# Subclasses live at module level, where pickle finds them by name.
class NamedModel(tessaron.Model):
    def __init__(self, name):
        super().__init__(3, 2, 7)
        self.name = name


class TaggedGenome(tessaron.Genome):
    pass


class TunedAlpha(Alpha):
    def __init__(self, tag):
        super().__init__(0.25)
        self.tag = tag


class SlottedModel(tessaron.Model):
    __slots__ = ()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_model_round_trips_in_every_protocol(protocol, tmp_path):
    model = tessaron.Model(3, 2, 9)
    model.compile(Alpha(0.125), "mae", ["mse", "mape", "mae"], ["size"])
    copied = pickle.loads(pickle.dumps(model, protocol))
    expect_same_model(copied, model, 3)
    # The network travels as its model file does.
    assert copied.__getstate__()["network"] == saved_bytes(model, tmp_path)
    assert saved_bytes(copied, tmp_path) == saved_bytes(model, tmp_path)
    x, y = samples(3), samples(2, seed=6)
    assert copied.evaluate(x, y) == model.evaluate(x, y)
    optimizer = copied.__getstate__()["optimizer"]
    assert repr(optimizer) == "tessaron.optimizers.Alpha(mutation_rate=0.125)"


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_genome_and_alpha_round_trip_in_every_protocol(protocol):
    genomes = []
    model = tessaron.Model(2, 1, 6)
    model.func_evolve(lambda batch: genomes.extend(batch) or np.zeros(len(batch)), pop_size=4,
                      epochs=1, verbose=0)
    genome = genomes[-1]
    copied = pickle.loads(pickle.dumps(genome, protocol))
    assert type(copied) is tessaron.Genome and repr(copied) == repr(genome)
    assert copied.__getstate__() == genome.__getstate__()
    x = samples(2)
    np.testing.assert_array_equal(copied.predict(x), genome.predict(x))

    for rate in (0.5, -3.0, 1e-300, math.inf):
        alpha = pickle.loads(pickle.dumps(Alpha(rate), protocol))
        assert type(alpha) is Alpha and alpha.__getstate__() == {"mutation_rate": rate}
    nan = pickle.loads(pickle.dumps(Alpha(math.nan), protocol))
    assert math.isnan(nan.__getstate__()["mutation_rate"])


def test_special_reals_survive_bit_for_bit(tmp_path):
    """-0.0, NaN with a payload, subnormals and infinities, from a hand-written model file."""
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000ABC))[0]
    negative_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000001))[0]
    biases = [0.0, -0.0, -0.0, 5e-324, -math.inf]
    records = [(0, 2, -0.0), (0, 3, nan), (1, 2, 5e-324), (1, 4, negative_nan), (2, 4, -0.0),
               (3, 4, 1.5)]
    data = struct.pack("<iii", 5, 2, 1) + struct.pack("<5d", *biases)
    data += struct.pack("<5i", 0, 1, 3, 2, 3)
    data += b"".join(struct.pack("<iid", *record) for record in records)
    path = str(tmp_path / "special.tsn")
    with open(path, "wb") as file:
        file.write(data)
    model = tessaron.load(path)
    for protocol in PROTOCOLS:
        for copied in (pickle.loads(pickle.dumps(model, protocol)), copy.copy(model),
                       copy.deepcopy(model)):
            assert copied.__getstate__()["network"] == data
            assert [bits(node["bias"]) for _, node in copied.get_nodes()] == [
                bits(b) for b in biases]
            assert [(a, b, bits(c["weight"])) for a, b, c in copied.get_connections()] == [
                (a, b, bits(w)) for a, b, w in records]
            x = np.array([[1.0, 2.0], [0.0, -1.0]])
            np.testing.assert_array_equal(copied.predict(x), model.predict(x))
    assert saved_bytes(pickle.loads(pickle.dumps(model)), tmp_path) == data


def test_compile_state_travels_whole():
    x, y = samples(2), samples(1, seed=9)
    uncompiled = pickle.loads(pickle.dumps(tessaron.Model(2, 1)))
    with pytest.raises(RuntimeError) as error:
        uncompiled.evaluate(x, y)
    assert str(error.value) == (
        "You must compile your model before evaluating. Use `model.compile(loss)`.")

    metrics_only = tessaron.Model(2, 1)
    metrics_only.compile(metrics=["mape", "mse"])
    copied = pickle.loads(pickle.dumps(metrics_only))
    assert copied.evaluate(x, y) == metrics_only.evaluate(x, y)
    with pytest.raises(RuntimeError, match="Please set the loss function"):
        copied.evolve(x, y, pop_size=2, epochs=1, verbose=0)

    # A compile that failed halfway leaves the model uncompiled with a loss set: so do copies.
    failed = tessaron.Model(2, 1)
    failed.compile(loss="mse", metrics=["mae"], monitors=["size"])
    with pytest.raises(ValueError):
        failed.compile(loss="mape", metrics=["mae", "rmse"])
    state = failed.__getstate__()
    assert (state["compiled"], state["has_loss"], state["losses"], state["monitors"]) == (
        False, True, ["mape", "mae"], ["size"])
    assert plain(pickle.loads(pickle.dumps(failed)).__getstate__()) == plain(state)

    # A compiled model evolves after the trip, with its monitors recorded.
    model = tessaron.Model(2, 1)
    model.compile(loss="mse", monitors=["size"])
    history = pickle.loads(pickle.dumps(model)).evolve(x, y, pop_size=4, epochs=2, verbose=0)
    assert sorted(history) == ["loss", "size"] and len(history["loss"]) == 2


def test_published_size_travels_as_assigned():
    model = tessaron.Model(2, 1, 4)
    model.size = 11
    copied = pickle.loads(pickle.dumps(model))
    assert copied.size == 11 and len(copied.get_nodes()) == 4


def test_copy_shares_the_optimizer_and_deepcopy_copies_it():
    alpha = Alpha(0.75)
    model = tessaron.Model(2, 1)
    model.compile(alpha, "mse")
    shallow = copy.copy(model)
    deep = copy.deepcopy(model)
    assert shallow.__getstate__()["optimizer"] is alpha
    deep_alpha = deep.__getstate__()["optimizer"]
    assert deep_alpha is not alpha and type(deep_alpha) is Alpha
    assert repr(deep_alpha) == "tessaron.optimizers.Alpha(mutation_rate=0.75)"
    # One optimizer of two models stays one after a trip through pickle or deepcopy.
    other = tessaron.Model(3, 1)
    other.compile(alpha, "mae")
    for pair in (pickle.loads(pickle.dumps([model, other])), copy.deepcopy([model, other])):
        first, second = (m.__getstate__()["optimizer"] for m in pair)
        assert first is second and first is not alpha


def test_copies_are_independent():
    model = tessaron.Model(2, 1, 5)
    model.compile(loss="mse")
    nodes, connections = model.get_nodes(), model.get_connections()
    for copier in (copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))):
        copied = copier(model)
        copied.evolve(samples(2), samples(1), pop_size=4, epochs=3, verbose=0)
        copied.compile(loss="mape")
        copied.size = 99
        copied.__init__(4, 3)
        assert (model.get_nodes(), model.get_connections(), model.size) == (nodes, connections, 5)
        assert model.__getstate__()["losses"] == ["mse"]


def test_subclasses_come_back_with_their_attributes():
    model = NamedModel("first")
    model.compile(TunedAlpha("fast"), "mse")
    model.history = [1.0, 2.0]
    genome = TaggedGenome(2, 1)
    genome.tag = "g"
    for protocol in PROTOCOLS:
        for copier in (lambda o: pickle.loads(pickle.dumps(o, protocol)), copy.copy,
                       copy.deepcopy):
            copied = copier(model)
            expect_same_model(copied, model, 3)
            assert copied.name == "first" and copied.history == [1.0, 2.0]
            alpha = copied.__getstate__()["optimizer"]
            assert type(alpha) is TunedAlpha and alpha.tag == "fast"
            assert repr(alpha) == f"{__name__}.TunedAlpha(mutation_rate=0.25)"
            copied_genome = copier(genome)
            assert type(copied_genome) is TaggedGenome and copied_genome.tag == "g"
    deep = copy.deepcopy(model)
    assert deep.history is not model.history
    assert copy.copy(model).history is model.history
    # Without a __dict__ there is nothing more to carry.
    slotted = pickle.loads(pickle.dumps(SlottedModel(2, 1)))
    assert type(slotted) is SlottedModel and "__dict__" not in slotted.__getstate__()


def test_objects_made_without_init_round_trip():
    empty = tessaron.Model.__new__(tessaron.Model)
    for copied in (pickle.loads(pickle.dumps(empty)), copy.deepcopy(empty)):
        assert copied.__getstate__() == {
            "network": None, "inputs": 0, "outputs": 0, "size": 0, "compiled": False,
            "has_loss": False, "losses": [], "monitors": [], "optimizer": None}
        assert copied.get_nodes() == [] and copied.get_connections() == []
        assert repr(copied) == "<tessaron.Model inputs=0 outputs=0 size=0 not compiled>"
        with pytest.raises(ValueError, match="the network is empty"):
            copied.predict(np.zeros((2, 2)))

    bare = tessaron.Genome(2, 1)  # a genome made in Python has no network
    blank = tessaron.Genome.__new__(tessaron.Genome)
    for genome, counts in ((bare, (2, 1)), (blank, (0, 0))):
        copied = pickle.loads(pickle.dumps(genome))
        assert copied.__getstate__() == {"network": None, "inputs": counts[0], "outputs": counts[1]}
        with pytest.raises(ValueError, match="the network is empty"):
            copied.predict(np.zeros((2, 2)))
    alpha = pickle.loads(pickle.dumps(Alpha.__new__(Alpha)))
    assert alpha.__getstate__() == {"mutation_rate": 0.0}


def test_genome_with_changed_counts_keeps_them_and_its_refusal():
    genomes = []
    model = tessaron.Model(2, 1)
    model.func_evolve(lambda batch: genomes.extend(batch) or np.zeros(len(batch)), pop_size=2,
                      epochs=1, verbose=0)
    genome = genomes[0]
    size = repr(genome).rsplit("size=", 1)[1]  # the parent may have been mutated: 3 nodes or more
    genome.__init__(5, 3)
    copied = pickle.loads(pickle.dumps(genome))
    assert repr(copied) == repr(genome) == f"<tessaron.Genome inputs=5 outputs=3 size={size}"
    for g in (genome, copied):
        with pytest.raises(ValueError) as error:
            g.predict(np.zeros((1, 2)))
        assert str(error.value) == (
            "the declared number of outputs (3) differs from the network's (1)")


def valid_model():
    model = tessaron.Model(2, 1)  # 3 nodes, 2 connections: records at bytes 48 and 64
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    return model


def changed(**entries):
    def change(state):
        state.update(entries)
        return state
    return change


def without(key):
    def change(state):
        del state[key]
        return state
    return change


def network_edit(edit):
    def change(state):
        state["network"] = edit(state["network"])
        return state
    return change


BAD_MODEL_STATES = [
    (lambda state: list(state), TypeError, "Model state must be a dict, got list"),
    (without("network"), ValueError, "Model state lacks the key 'network'"),
    (without("optimizer"), ValueError, "Model state lacks the key 'optimizer'"),
    (changed(weights=[]), ValueError, "Model state has the unexpected key 'weights'"),
    (lambda state: {**state, 1: 2}, ValueError, "Model state has the unexpected key 1"),
    (changed(network="abc"), TypeError, "Model state 'network' must be bytes or None, got str"),
    (changed(network=bytearray(8)), TypeError,
     "Model state 'network' must be bytes or None, got bytearray"),
    (network_edit(lambda data: data[:-5]), ValueError,
     "Model state 'network': connection record 1 (byte offset 64) is cut off after 11 of its 16 "
     "bytes"),
    (network_edit(lambda data: data[:7]), ValueError,
     "Model state 'network': the encoding has 7 bytes, fewer than the 12 of the header"),
    (network_edit(lambda data: data[:40]), ValueError,
     "Model state 'network': the header gives 3 nodes, whose biases and activation kinds end at "
     "byte 48, but the encoding ends at byte 40"),
    (network_edit(lambda data: data[:36] + struct.pack("<i", 9) + data[40:]), ValueError,
     "Model state 'network': node 0 has activation kind 9 (byte offset 36); kinds run from 0 to 3"),
    (network_edit(lambda data: data[:48] + struct.pack("<ii", 2, 1) + data[56:]), ValueError,
     "Model state 'network': connection record 0 (byte offset 48) runs from node 2 to node 1, "
     "but connections run only to a higher node index"),
    (network_edit(lambda data: data + struct.pack("<iid", 0, 1, 1.0)), ValueError,
     "Model state 'network': connection record 2 (byte offset 80) runs from node 0 to node 1, "
     "but node 1 is an input node (nodes 0 .. 1)"),
    (changed(inputs="2"), TypeError, "Model state 'inputs' must be an int, got str"),
    (changed(outputs=True), TypeError, "Model state 'outputs' must be an int, got bool"),
    (changed(inputs=3), ValueError,
     "Model state gives 3 inputs and 1 outputs, but its network has 2 inputs and 1 outputs"),
    (changed(network=None), ValueError,
     "Model state without a network must give 0 inputs and 0 outputs, got 2 and 1"),
    (changed(size=2**31), ValueError, "Model state 'size' must be a 32-bit int, got 2147483648"),
    (changed(size=-2**63), ValueError,
     "Model state 'size' must be a 32-bit int, got -9223372036854775808"),
    (changed(compiled=1), TypeError, "Model state 'compiled' must be a bool, got int"),
    (changed(has_loss=None), TypeError, "Model state 'has_loss' must be a bool, got NoneType"),
    (changed(losses=("mse",)), TypeError, "Model state 'losses' must be a list of str, got tuple"),
    (changed(losses=["mse", 3]), TypeError, "Model state 'losses'[1] must be a str, got int"),
    (changed(losses=["rmse"]), ValueError, "Model state 'losses' holds the unknown name 'rmse'"),
    (changed(losses=["MSE"]), ValueError, "Model state 'losses' holds the unknown name 'MSE'"),
    (changed(losses=["\udcff"]), ValueError,
     "Model state 'losses' holds the unknown name '\\udcff'"),
    (changed(monitors=["mse"]), ValueError, "Model state 'monitors' holds the unknown name 'mse'"),
    (changed(losses=[]), ValueError,
     "Model state has a loss ('has_loss' is True) but no 'losses'"),
    (changed(optimizer=None), ValueError, "Model state is compiled but has no optimizer"),
    (changed(optimizer="alpha"), TypeError,
     "Model state 'optimizer' must be None, an Alpha or a Beta, got str"),
    (changed(__dict__={"name": 1}), TypeError,
     "Model state '__dict__' holds attributes, but tessaron.Model instances have no __dict__"),
    (changed(__dict__=[("name", 1)]), TypeError, "Model state '__dict__' must be a dict, got list"),
]


@pytest.mark.parametrize("change, kind, message", BAD_MODEL_STATES)
def test_bad_model_states_are_refused_and_change_nothing(change, kind, message):
    source, target = valid_model(), tessaron.Model(2, 1, 4)
    target.compile(loss="mape")
    before = target.__getstate__()
    x = samples(2)
    prediction = target.predict(x)
    with pytest.raises(kind) as error:
        target.__setstate__(change(source.__getstate__()))
    assert str(error.value) == message
    assert target.__getstate__() == before
    np.testing.assert_array_equal(target.predict(x), prediction)


class Forged:
    """Pickles as an object of `cls` with the given state, as a damaged or hostile pickle would
    (protocol 1: later ones insist that __newobj__ makes an object of the pickled one's class)."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        import copyreg
        return copyreg.__newobj__, (self.cls,), self.state


def test_forged_pickles_raise_instead_of_loading():
    state = valid_model().__getstate__()
    state["network"] = state["network"][:-1]
    with pytest.raises(ValueError, match="is cut off after 15 of its 16 bytes"):
        pickle.loads(pickle.dumps(Forged(tessaron.Model, state), protocol=1))
    with pytest.raises(TypeError, match="Genome state must be a dict, got str"):
        pickle.loads(pickle.dumps(Forged(tessaron.Genome, "state"), protocol=1))


def test_failed_state_leaves_a_subclass_instance_dict_alone():
    model = NamedModel("kept")
    state = NamedModel("other").__getstate__()
    state["network"] = b""
    with pytest.raises(ValueError, match="the encoding has 0 bytes"):
        model.__setstate__(state)
    assert model.name == "kept"
    # A good state adds to the instance dictionary and replaces the names it gives.
    model.extra = 1
    model.__setstate__(NamedModel("other").__getstate__())
    assert (model.name, model.extra) == ("other", 1)


@pytest.mark.parametrize("state, kind, message", [
    ({"network": None, "inputs": 1}, ValueError, "Genome state lacks the key 'outputs'"),
    ({"network": None, "inputs": 1, "outputs": 1.0}, TypeError,
     "Genome state 'outputs' must be an int, got float"),
    ({"network": None, "inputs": 1, "outputs": 1, "size": 3}, ValueError,
     "Genome state has the unexpected key 'size'"),
    ({"network": b"\0" * 12, "inputs": 1, "outputs": 1}, ValueError,
     "Genome state 'network': the header gives 0 inputs (byte offset 4); a network needs at "
     "least 1"),
])
def test_bad_genome_states_are_refused(state, kind, message):
    genome = tessaron.Genome(4, 4)
    with pytest.raises(kind) as error:
        genome.__setstate__(state)
    assert str(error.value) == message
    assert genome.__getstate__() == {"network": None, "inputs": 4, "outputs": 4}


@pytest.mark.parametrize("state, kind, message", [
    ({}, ValueError, "Alpha state lacks the key 'mutation_rate'"),
    ({"mutation_rate": "0.1"}, TypeError, "Alpha state 'mutation_rate' must be a float, got str"),
    ({"mutation_rate": 0.1, "rate": 0.1}, ValueError, "Alpha state has the unexpected key 'rate'"),
    ((0.1,), TypeError, "Alpha state must be a dict, got tuple"),
])
def test_bad_alpha_states_are_refused(state, kind, message):
    alpha = Alpha(0.3)
    with pytest.raises(kind) as error:
        alpha.__setstate__(state)
    assert str(error.value) == message
    assert alpha.__getstate__() == {"mutation_rate": 0.3}


def test_genomes_predict_identically_in_worker_processes():
    """The way a train_func scores genomes in a process pool: each genome is pickled to a fresh
    interpreter, which imports the module, unpickles it and predicts."""
    genomes = []

    def keep(batch):
        genomes.extend(batch)
        return np.arange(len(batch), dtype=float)

    model = tessaron.Model(3, 2, 8)
    model.compile(monitors=["size"])
    model.func_evolve(keep, pop_size=4, epochs=2, verbose=0)
    x = samples(3, rows=25)
    expected = [genome.predict(x) for genome in genomes]
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        results = list(pool.map(operator.methodcaller("predict", x), genomes))
        worker_pids = set(pool.map(_pid, range(4)))
    assert os.getpid() not in worker_pids
    assert len(results) == len(genomes) == 16
    for got, want in zip(results, expected):
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, want)


def _pid(_):
    return os.getpid()

"""Model.save and tessaron.load: the '.tsn' layout, round trips, refusals and system failures."""

import errno
import os
import pathlib
import stat
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tessaron

KINDS = ["sigmoid", "tanh", "relu", "linear"]


def parse(data):
    """An independent reader of the layout: header, biases, kinds, then 16-byte records."""
    size, inputs, outputs = struct.unpack_from("<iii", data, 0)
    biases = struct.unpack_from(f"<{size}d", data, 12)
    kinds = struct.unpack_from(f"<{size}i", data, 12 + 8 * size)
    start = 12 + 12 * size
    assert (len(data) - start) % 16 == 0
    records = [struct.unpack_from("<iid", data, offset) for offset in range(start, len(data), 16)]
    return size, inputs, outputs, biases, kinds, records


def model_file(size, inputs, outputs, biases, kinds, records):
    data = struct.pack("<iii", size, inputs, outputs)
    data += struct.pack(f"<{len(biases)}d", *biases) + struct.pack(f"<{len(kinds)}i", *kinds)
    return data + b"".join(struct.pack("<iid", *record) for record in records)


def test_round_trip_of_two_inputs_three_outputs_four_hidden(tmp_path):
    path = str(tmp_path / "model.tsn")
    model = tessaron.Model(2, 3, 9)
    assert model.save(path) is None
    data = open(path, "rb").read()
    nodes, connections = model.get_nodes(), model.get_connections()
    assert len(data) == 12 + 12 * 9 + 16 * len(connections)
    size, inputs, outputs, biases, kinds, records = parse(data)
    assert (size, inputs, outputs) == (9, 2, 3)
    assert list(biases) == [attributes["bias"] for _, attributes in nodes]
    assert [KINDS[kind] for kind in kinds] == [attributes["activation"] for _, attributes in nodes]
    assert records == [(source, target, weight["weight"]) for source, target, weight in connections]

    loaded = tessaron.load(path)
    assert type(loaded) is tessaron.Model and loaded is not model
    assert loaded.size == 9
    assert loaded.get_nodes() == nodes
    assert loaded.get_connections() == connections
    x = np.random.default_rng(3).normal(scale=2.0, size=(50, 2))
    np.testing.assert_array_equal(loaded.predict(x), model.predict(x))


def test_saving_twice_leaves_only_the_second_network(tmp_path):
    path = str(tmp_path / "model.tsn")
    tessaron.Model(4, 2, 20).save(path)
    second = tessaron.Model(1, 1)
    second.save(path)
    assert os.path.getsize(path) == 12 + 12 * 2 + 16
    loaded = tessaron.load(path)
    assert loaded.get_nodes() == second.get_nodes()
    assert loaded.get_connections() == second.get_connections()
    assert os.listdir(tmp_path) == ["model.tsn"]


def test_loaded_model_is_not_compiled(tmp_path):
    if not hasattr(tessaron.Model, "evaluate"):
        pytest.skip("Model.evaluate is not built yet")
    path = str(tmp_path / "model.tsn")
    model = tessaron.Model(2, 1)
    model.compile(loss="mse")
    model.save(path)
    loaded = tessaron.load(path)
    x, y = np.zeros((4, 2)), np.ones((4, 1))
    with pytest.raises(RuntimeError) as error:
        loaded.evaluate(x, y)
    assert str(error.value) == (
        "You must compile your model before evaluating. Use `model.compile(loss)`.")
    loaded.compile(loss="mse")
    assert loaded.evaluate(x, y) == model.evaluate(x, y)


def test_path_is_one_positional_string(tmp_path):
    path = str(tmp_path / "model.tsn")
    model = tessaron.Model(2, 1)
    for call in (lambda: model.save(path=path), lambda: model.save(location=path),
                 lambda: tessaron.load(path=path), lambda: model.save(),
                 lambda: model.save(path, path), lambda: tessaron.load(None)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError, match="embedded null character"):
        model.save(path + "\0.tsn")
    assert os.listdir(tmp_path) == []


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode, lambda p: FsPath(os.fsencode(p)),
                                     FsPath], ids=["str", "Path", "bytes", "bytes-like", "str-like"])
def test_paths_may_be_any_path_like_object(tmp_path, as_path):
    model = tessaron.Model(3, 2, 7)
    target = tmp_path / "model é.tsn"
    assert model.save(as_path(str(target))) is None
    assert os.listdir(tmp_path) == [target.name]
    assert tessaron.load(as_path(str(target))).__getstate__() == model.__getstate__()
    missing = str(tmp_path / "missing.tsn")
    with pytest.raises(FileNotFoundError) as raised:
        tessaron.load(as_path(missing))
    assert raised.value.filename == missing
    with pytest.raises(ValueError, match="embedded null"):
        model.save(as_path(missing + "\0"))
    with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object, not int"):
        tessaron.load(3)


def nodes_only(size, inputs, outputs):
    return model_file(size, inputs, outputs, [0.25] * size, [2] * size, [])


MOST = 2**31 - 1
NOT_MODEL = "not a tessaron model file: "  # the header has counts no network has
MALFORMED = [
    (b"", "the file has 0 bytes, fewer than the 12 of the header"),
    (b"\1" * 11, "the file has 11 bytes, fewer than the 12 of the header"),
    (nodes_only(3, 0, 1), NOT_MODEL + "the header gives 0 inputs (byte offset 4); a network needs at least 1"),
    (nodes_only(3, 1, -2),
     NOT_MODEL + "the header gives -2 outputs (byte offset 8); a network needs at least 1"),
    (nodes_only(2, 2, 1),
     NOT_MODEL + "the header gives 2 nodes (byte offset 0), fewer than inputs + outputs (3)"),
    (struct.pack("<iii", MOST, MOST, 1),
     NOT_MODEL + "the header gives 2147483647 nodes (byte offset 0), fewer than inputs + outputs "
     "(2147483648)"),
    (struct.pack("<iii", MOST, 1, 1),
     NOT_MODEL + "the header gives 2147483647 nodes (byte offset 0), too many: a network of "
     "2147483647 nodes with 1 input and 1 output has 2305843005992468481 possible connections, "
     "which would take 27670116106269360128 bytes; a network holds at most 2147483647 "
     "connections"),
    (b"hello, world\n", NOT_MODEL + "the header gives 1819043176 nodes (byte offset 0), fewer than "
     "inputs + outputs (3683426014)"),
    (nodes_only(3, 2, 1)[:-1],
     "the header gives 3 nodes, whose biases and activation kinds end at byte 48, but the file "
     "ends at byte 47"),
    (model_file(3, 2, 1, [0.0] * 3, [0, 1, 4], []),
     "node 2 has activation kind 4 (byte offset 44); kinds run from 0 to 3"),
    (nodes_only(3, 2, 1) + struct.pack("<iid", 0, 2, 1.0) + struct.pack("<iid", 1, 7, 1.0),
     "connection record 1 (byte offset 64) runs from node 1 to node 7, outside the nodes 0 .. 2"),
    (nodes_only(4, 1, 1) + struct.pack("<iid", 2, 1, 1.0),
     "connection record 0 (byte offset 60) runs from node 2 to node 1, but connections run only to "
     "a higher node index"),
    (nodes_only(4, 2, 1) + struct.pack("<iid", 0, 1, 1.0),
     "connection record 0 (byte offset 60) runs from node 0 to node 1, but node 1 is an input node "
     "(nodes 0 .. 1)"),
    (nodes_only(4, 1, 2) + struct.pack("<iid", 2, 3, 1.0),
     "connection record 0 (byte offset 60) runs from node 2 to node 3, but node 2 is an output "
     "node (nodes 2 .. 3)"),
    (nodes_only(3, 2, 1) + struct.pack("<iid", 0, 2, 1.0) + b"\0" * 15,
     "connection record 1 (byte offset 64) is cut off after 15 of its 16 bytes"),
]


@pytest.mark.parametrize("data, fault", MALFORMED)
def test_malformed_files_raise_value_error(tmp_path, data, fault):
    path = str(tmp_path / "bad.tsn")
    with open(path, "wb") as file:
        file.write(data)
    with pytest.raises(ValueError) as error:
        tessaron.load(path)
    assert str(error.value) == f"model file '{path}': {fault}"


def test_network_without_connections_loads_and_predicts(tmp_path):
    path = str(tmp_path / "bare.tsn")
    with open(path, "wb") as file:
        file.write(model_file(3, 2, 1, [0.5, -1.0, 2.0], [0, 0, 3], []))
    model = tessaron.load(path)
    assert model.size == 3 and model.get_connections() == []
    # The output sees nothing but its bias.
    prediction = model.predict(np.array([[1.0, 2.0], [-3.0, 4.0]]))
    np.testing.assert_array_equal(prediction, np.full((2, 1), 2.0))


def test_network_failing_the_integrity_test_cannot_be_evolved_or_exported(tmp_path):
    path = str(tmp_path / "bare.tsn")
    with open(path, "wb") as file:
        file.write(model_file(4, 2, 1, [0.5, -1.0, 2.0, 1.0], [0, 1, 2, 3], [(0, 3, 1.0)]))
    model = tessaron.load(path)
    nodes, connections = model.get_nodes(), model.get_connections()
    np.testing.assert_array_equal(model.predict(np.array([[1.0, 2.0], [3.0, 4.0]])), [[2.0], [4.0]])
    # Refused before the first generation, whatever the optimizer and the seed, naming the fault.
    fault = "^the network to evolve is not valid: input node 1 has no outgoing connection$"
    for optimizer in ("alpha", "beta"):
        model.compile(optimizer, "mse")
        with pytest.raises(ValueError, match=fault):
            model.evolve(np.zeros((8, 2)), np.zeros((8, 1)), pop_size=4, epochs=1, verbose=0)
        with pytest.raises(ValueError, match=fault):
            model.func_evolve(lambda genomes: [0.0] * len(genomes), pop_size=4, verbose=0)
        assert (model.get_nodes(), model.get_connections(), model.size) == (nodes, connections, 4)
    # Hidden node 2 has no incoming connection, so it has no layer input: refused before Keras
    # is even imported.
    with pytest.raises(ValueError, match="^cannot export the network to Keras: "):
        model.to_keras()


def test_system_failures_raise_os_error(tmp_path):
    model = tessaron.Model(2, 1)
    missing = str(tmp_path / "missing.tsn")
    cases = [
        (lambda: tessaron.load(missing), FileNotFoundError, errno.ENOENT, missing),
        (lambda: tessaron.load(str(tmp_path)), IsADirectoryError, errno.EISDIR, str(tmp_path)),
        (lambda: model.save(str(tmp_path)), IsADirectoryError, errno.EISDIR, str(tmp_path)),
        (lambda: model.save(str(tmp_path / "no" / "m.tsn")), FileNotFoundError, errno.ENOENT,
         str(tmp_path / "no" / "m.tsn")),
    ]
    for call, kind, number, filename in cases:
        with pytest.raises(kind) as error:
            call()
        assert error.value.errno == number
        assert error.value.strerror == os.strerror(number)
        assert error.value.filename == filename
    assert os.listdir(tmp_path) == []


def test_save_to_a_full_device_reports_no_space():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with pytest.raises(OSError) as error:
        tessaron.Model(2, 1).save("/dev/full")
    assert error.value.errno == errno.ENOSPC
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


def test_model_without_network_is_not_saved(tmp_path):
    empty = tessaron.Model.__new__(tessaron.Model)
    with pytest.raises(ValueError) as error:
        empty.save(str(tmp_path / "empty.tsn"))
    assert str(error.value) == (
        "cannot save a network of 0 nodes with 0 inputs and 0 outputs: a model needs at least one "
        "input, one output and inputs + outputs nodes")
    assert os.listdir(tmp_path) == []


@pytest.fixture(scope="module")
def valid_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("valid")
    files = []
    for index, (inputs, outputs, size) in enumerate([(1, 1, 2), (2, 3, 9), (3, 1, 7), (2, 2, 70)]):
        path = str(folder / f"{index}.tsn")
        tessaron.Model(inputs, outputs, size).save(path)
        files.append(open(path, "rb").read())
    return folder, files


def overwrite(data, offset, chunk):
    offset = min(offset, len(data))
    return data[:offset] + chunk + data[offset + len(chunk):]


edits = st.one_of(
    st.tuples(st.just("byte"), st.integers(0, 2000), st.binary(min_size=1, max_size=4)),
    st.tuples(st.just("int"), st.integers(0, 500), st.integers(-2**31, 2**31 - 1)),
    st.tuples(st.just("truncate"), st.integers(0, 2000), st.just(0)),
    st.tuples(st.just("append"), st.integers(0, 40), st.binary(max_size=40)),
)


@settings(max_examples=400, deadline=None)
@given(base=st.integers(0, 3), changes=st.lists(edits, max_size=4))
def test_mutated_files_load_well_formed_or_raise(valid_files, base, changes):
    folder, files = valid_files
    data = files[base]
    for kind, where, what in changes:
        if kind == "byte":
            data = overwrite(data, where, what)
        elif kind == "int":
            data = overwrite(data, 4 * where, struct.pack("<i", what))
        elif kind == "truncate":
            data = data[:where]
        else:
            data += what
    path = str(folder / "fuzz.tsn")
    # A fresh file each time: rewriting a truncated one makes some file systems flush it on close.
    if os.path.exists(path):
        os.remove(path)
    with open(path, "wb") as file:
        file.write(data)
    try:
        model = tessaron.load(path)
    except (ValueError, OSError):
        return
    size, inputs, outputs, _, kinds, records = parse(data)
    assert model.size == size == len(model.get_nodes())
    assert all(kind in range(4) for kind in kinds)
    for source, target, _ in model.get_connections():
        assert 0 <= source < target < size and target >= inputs and source < size - outputs
    assert {(source, target) for source, target, _ in records} == {
        (source, target) for source, target, _ in model.get_connections()}
    assert model.predict(np.ones((3, inputs))).shape == (3, outputs)

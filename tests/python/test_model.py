"""Model construction and introspection."""

import struct

import pytest

import tessaron
from keras_stand_ins import FakeLayer, FakeModel

ACTIVATIONS = {"sigmoid", "tanh", "relu", "linear"}


def pairs(model):
    return [(source, target) for source, target, _ in model.get_connections()]


def test_default_size_connects_every_input_to_every_output():
    model = tessaron.Model(3, 2)
    assert model.size == 5
    nodes = model.get_nodes()
    assert [index for index, _ in nodes] == [0, 1, 2, 3, 4]
    assert pairs(model) == [(0, 3), (0, 4), (1, 3), (1, 4), (2, 3), (2, 4)]


def test_explicit_size_adds_fully_connected_hidden_nodes():
    model = tessaron.Model(2, 1, 5)
    assert model.size == 5
    assert pairs(model) == [(0, 2), (0, 3), (0, 4), (1, 2), (1, 3), (1, 4), (2, 3), (2, 4), (3, 4)]
    assert pairs(tessaron.Model(2, 1, size=4)) == [(0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    assert pairs(tessaron.Model(2, 1, -1)) == pairs(tessaron.Model(2, 1))


def test_connection_count_formula_for_larger_networks():
    for inputs, outputs, size in [(1, 1, 2), (4, 3, 70), (8, 1, 33)]:
        hidden = size - inputs - outputs
        expected = inputs * (size - inputs) + hidden * (hidden - 1) // 2 + hidden * outputs
        connections = tessaron.Model(inputs, outputs, size).get_connections()
        assert len(connections) == expected
        assert connections == sorted(connections, key=lambda c: (c[0], c[1]))


def test_node_and_connection_entries_are_well_typed():
    model = tessaron.Model(2, 2, 6)
    for index, attributes in model.get_nodes():
        assert isinstance(index, int)
        assert set(attributes) == {"bias", "activation"}
        assert type(attributes["bias"]) is float
        assert attributes["activation"] in ACTIVATIONS
    for source, target, attributes in model.get_connections():
        assert isinstance(source, int) and isinstance(target, int)
        assert list(attributes) == ["weight"] and type(attributes["weight"]) is float


def test_models_are_random_and_introspection_ignores_arguments():
    a, b = tessaron.Model(2, 1, 4), tessaron.Model(2, 1, 4)
    assert a.get_connections() != b.get_connections()
    assert a.get_nodes() != b.get_nodes()
    assert a.get_nodes(1, 2) == a.get_nodes()
    assert a.get_connections("x", None) == a.get_connections()


def test_argument_parsing():
    with pytest.raises(TypeError):
        tessaron.Model(2)
    with pytest.raises(TypeError):
        tessaron.Model(2, "1")
    with pytest.raises(TypeError):
        tessaron.Model(2, 1, 3.5)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ((0, 1), "inputs must be at least 1, got 0"),
        ((-3, 1), "inputs must be at least 1, got -3"),
        ((2, 0), "outputs must be at least 1, got 0"),
        ((2, 1, 2), "size must be -1 or at least inputs + outputs (3), got 2"),
        ((2, 1, -2), "size must be -1 or at least inputs + outputs (3), got -2"),
        ((2**31 - 1, 1), "inputs + outputs (2147483647 + 1) exceeds the largest node count (2147483647)"),
    ],
)
def test_refused_counts_leave_the_model_unchanged(arguments, message):
    model = tessaron.Model(3, 2, 6)
    nodes, connections = model.get_nodes(), model.get_connections()
    with pytest.raises(ValueError) as error:
        model.__init__(*arguments)
    assert str(error.value) == message
    assert model.size == 6
    assert model.get_nodes() == nodes and model.get_connections() == connections
    with pytest.raises(ValueError):
        tessaron.Model(*arguments)


def test_impossible_size_raises_memory_error_and_keeps_the_model():
    model = tessaron.Model(2, 1)
    connections = model.get_connections()
    with pytest.raises(MemoryError):
        model.__init__(2, 1, 10**6)
    with pytest.raises(MemoryError):
        tessaron.Model(2, 1, 2**31 - 1)
    assert model.size == 3 and model.get_connections() == connections


TOO_MANY = ("a network of 100000 nodes with 3 inputs and 1 output has 4999949997 possible "
            "connections, which would take 60000999968 bytes; a network holds at most 2147483647 "
            "connections")


def test_one_bound_refuses_impossible_sizes_in_every_builder(tmp_path):
    with pytest.raises(MemoryError) as raised:
        tessaron.Model(3, 1, 10**5)
    assert str(raised.value) == "the network is too large: " + TOO_MANY
    # The file holds the node arrays the header promises; without the bound it would load.
    encoded = struct.pack("<iii", 10**5, 3, 1) + bytes(12 * 10**5)
    path = tmp_path / "huge.tsn"
    path.write_bytes(encoded)
    with pytest.raises(ValueError) as raised:
        tessaron.load(str(path))
    assert str(raised.value) == (f"model file '{path}': not a tessaron model file: the header "
                                 "gives 100000 nodes (byte offset 0), too many: " + TOO_MANY)
    state = tessaron.Model(3, 1).__getstate__() | {"network": encoded, "size": 10**5}
    with pytest.raises(ValueError) as raised:
        tessaron.Model.__new__(tessaron.Model).__setstate__(state)
    assert str(raised.value) == ("Model state 'network': the header gives 100000 nodes (byte "
                                 "offset 0), too many: " + TOO_MANY)
    layers = [FakeLayer("input_1", output_shape=[(None, 3)])]
    layers += [FakeLayer(f"node{i}") for i in range(10**5)]
    with pytest.raises(ValueError) as raised:
        tessaron.from_keras(FakeModel(layers))
    assert str(raised.value) == "the Keras model has 100000 node layers, too many: " + TOO_MANY
    plain = {"inputs": 3, "outputs": 1, "biases": [0.0] * 10**5,
             "activations": ["linear"] * 10**5, "connections": []}
    with pytest.raises(ValueError) as raised:
        tessaron.Model(3, 1).set_network(plain)
    assert str(raised.value) == "the network has 100000 nodes, too many: " + TOO_MANY


def test_reinitialising_rebuilds_the_network():
    model = tessaron.Model(2, 1)
    model.__init__(3, 2, 7)
    assert model.size == 7
    assert len(model.get_nodes()) == 7
    assert pairs(model)[0] == (0, 3)


def test_subclass_instances_work():
    class Mine(tessaron.Model):
        def __init__(self):
            super().__init__(2, 1, 4)
            self.note = "kept"

    model = Mine()
    assert model.size == 4 and model.note == "kept"


def test_introspection_survives_a_rebuild_by_a_finaliser():
    # A garbage-collection finaliser may run Python code (here, rebuilding the model) in the middle
    # of building the lists; the lists describe the network the call started with.
    import gc

    model = tessaron.Model(2, 1, 60)

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            model.__init__(1, 1)

    thresholds = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1, 1, 1)
    try:
        for _ in range(50):
            Cycle()
        nodes = model.get_nodes()
        connections = model.get_connections()
    finally:
        gc.set_threshold(*thresholds)
        gc.collect()
    assert len(nodes) in (60, 2)
    assert all(source < target for source, target, _ in connections)

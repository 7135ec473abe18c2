"""Model.to_keras and tessaron.from_keras: the Keras form of a network, and the way back."""

import os
import struct
import sys

import numpy as np
import pytest

os.environ.setdefault("KERAS_BACKEND", "jax")
keras = pytest.importorskip(
    "keras",
    reason="keras (with its jax backend) cannot be imported: the Keras interchange is untested",
)

import tessaron  # noqa: E402

# Keras's variables still implement __array__ without the copy keyword of numpy 2.
pytestmark = pytest.mark.filterwarnings("ignore:__array__ implementation doesn't accept a copy")
from oracle import forward as oracle_forward  # noqa: E402
from keras_stand_ins import Concatenate, FakeLayer, FakeModel, FakeNode, named_function, weights_getter

FROM_KERAS_DOC = (
    "Convert a Keras model to a Tessaron model. This only works for Keras models that have been "
    "exported from Tessaron using `model.to_keras()` with unmodified architecture."
)

# A sparse network of 3 inputs, hidden nodes 3 to 8 and outputs 9, 10 and 11: incoming[k] lists
# (source, weight) of node k in ascending source order. Nodes 3, 5, 7 and 9 have one source.
SPARSE_INPUTS, SPARSE_OUTPUTS = 3, 3
SPARSE_INCOMING = {
    3: [(0, 0.5)],
    4: [(1, -1.25), (2, 0.75)],
    5: [(3, 1.5)],
    6: [(0, 0.3), (4, -0.6), (5, 0.9)],
    7: [(2, 1.1)],
    8: [(6, -0.8), (7, 0.4)],
    9: [(8, 1.2)],
    10: [(1, 0.7), (5, -0.2), (8, 0.6)],
    11: [(3, -1.0), (6, 0.5), (7, 0.25)],
}
SPARSE_BIASES = {3: 0.1, 4: -0.2, 5: 0.3, 6: -0.4, 7: 0.5, 8: -0.6, 9: 0.7, 10: 0.05, 11: -0.9}
SPARSE_ACTIVATIONS = {3: "tanh", 4: "relu", 5: "sigmoid", 6: "linear", 7: "tanh", 8: "sigmoid",
                      9: "linear", 10: "relu", 11: "tanh"}


def f32(value):
    """A double rounded to the single precision in which Keras keeps weights."""
    return float(np.float32(value))


def run(keras_model, x):
    return np.asarray(keras_model(np.asarray(x, dtype=np.float32)), dtype=np.float64)


def sources_of(layer):
    """Names of the layers whose outputs a Keras 3 layer was called on, in argument order."""
    return [t._keras_history[0].name for t in layer._inbound_nodes[0].input_tensors]


def concatenates(keras_model):
    return [layer for layer in keras_model.layers if isinstance(layer, keras.layers.Concatenate)]


def keras_network(inputs, outputs, incoming, biases, activations, edit=None):
    """The exported form of a network, built here with Keras's own API.
    `edit(k, x, tensors, layer_input)` may return another input for node k's layer, to build
    malformed models."""
    size = max(incoming) + 1
    x = keras.layers.Input((inputs,))
    tensors = []
    for k in range(size):
        if k < inputs:
            tensors.append(keras.layers.Dense(1, activation="linear", name=f"node{k}",
                                              trainable=False)(x))
            continue
        feeding = [tensors[j] for j, _ in incoming[k]]
        layer_input = feeding[0] if len(feeding) == 1 else keras.layers.Concatenate()(feeding)
        if edit is not None:
            layer_input = edit(k, x, tensors, layer_input)
        layer = keras.layers.Dense(1, activation=activations[k], name=f"node{k}")
        tensors.append(layer(layer_input))
    output = tensors[-1] if outputs == 1 else keras.layers.Concatenate()(tensors[-outputs:])
    model = keras.Model(x, output)
    for k in range(size):
        layer = model.get_layer(f"node{k}")
        if k < inputs:
            kernel, bias = np.eye(inputs)[:, [k]], 0.0
        else:
            # An edited model may give the layer another width: the weights fill what fits.
            kernel, bias = np.ones(layer.get_weights()[0].shape), biases[k]
            values = [w for _, w in incoming[k]][:len(kernel)]
            kernel[:len(values), 0] = values
        layer.set_weights([kernel, np.array([bias])])
    return model


def definition_forward(inputs, outputs, incoming, biases, activations, x):
    """The oracle's forward pass of a network given by its definition (weights rounded to single
    precision, as they come back from Keras). The module computes exp and tanh itself, a few ulps
    from the math module's, hence the tolerance of the comparisons with it."""
    size = max(incoming) + 1
    nodes = [(k, {"bias": f32(biases.get(k, 0.0)), "activation": activations.get(k, "linear")})
             for k in range(size)]
    connections = [(j, k, {"weight": f32(w)}) for k in sorted(incoming) for j, w in incoming[k]]
    return np.array([oracle_forward(nodes, connections, inputs, outputs, row) for row in x])


@pytest.fixture(scope="module")
def sparse():
    """The sparse network imported from its hand-built Keras form, and its own export."""
    built = keras_network(SPARSE_INPUTS, SPARSE_OUTPUTS, SPARSE_INCOMING, SPARSE_BIASES,
                          SPARSE_ACTIVATIONS)
    model = tessaron.from_keras(built)
    return model, model.to_keras()


@pytest.fixture(scope="module")
def two_one():
    model = tessaron.Model(2, 1)
    return model, model.to_keras()


@pytest.fixture(scope="module")
def full():
    model = tessaron.Model(3, 2, 12)
    return model, model.to_keras()


@pytest.fixture(scope="module")
def exported_models(two_one, full, sparse):
    shapes = [(1, 1, -1), (4, 3, 15), (2, 2, 9)]
    built = [(m, m.to_keras()) for m in (tessaron.Model(*s) for s in shapes)]
    return [two_one, full, sparse] + built


def inputs_of(model):
    """Input nodes are the first nodes and the only ones without an incoming connection."""
    return min(k for _, k, _ in model.get_connections())


def sample(model, rows=64, seed=3):
    width = inputs_of(model)
    return np.random.default_rng(seed).normal(scale=1.5, size=(rows, width))


def test_surface():
    assert tessaron.from_keras.__doc__ == FROM_KERAS_DOC
    assert tessaron.from_keras.__text_signature__ == "(keras_model, /)"
    assert tessaron.Model.to_keras.__doc__ == "Convert the Tessaron model to a Keras model."
    assert tessaron.Model.to_keras.__text_signature__ == "(self)"
    with pytest.raises(TypeError):
        tessaron.from_keras()
    with pytest.raises(TypeError):
        tessaron.from_keras(keras_model=None)


def test_two_inputs_one_output_layer_by_layer(two_one):
    model, exported = two_one
    nodes = model.get_nodes()
    weights = {(j, k): c["weight"] for j, k, c in model.get_connections()}
    assert isinstance(exported, keras.Model)
    assert isinstance(exported.layers[0], keras.layers.InputLayer)
    assert tuple(exported.inputs[0].shape) == (None, 2)
    assert len(exported.layers) == 5
    input_name = exported.layers[0].name
    for k, one_hot in ((0, [[1.0], [0.0]]), (1, [[0.0], [1.0]])):
        layer = exported.get_layer(f"node{k}")
        kernel, bias = layer.get_weights()
        assert kernel.tolist() == one_hot and bias.tolist() == [0.0]
        assert layer.activation.__name__ == "linear" and layer.units == 1
        assert sources_of(layer) == [input_name]
        assert not layer.trainable  # the pass-through of an input is not a parameter
    [concatenate] = concatenates(exported)
    assert sources_of(concatenate) == ["node0", "node1"]
    node2 = exported.get_layer("node2")
    assert sources_of(node2) == [concatenate.name]
    kernel, bias = node2.get_weights()
    assert kernel.tolist() == [[f32(weights[0, 2])], [f32(weights[1, 2])]]
    assert bias.tolist() == [f32(nodes[2][1]["bias"])]
    assert node2.activation.__name__ == nodes[2][1]["activation"] and node2.trainable
    assert exported.outputs[0]._keras_history[0].name == "node2"


def test_every_node_layer_holds_its_node(exported_models):
    # Names of two digits (node10, node11) must not be confused with node1.
    for model, exported in exported_models:
        nodes = model.get_nodes()
        inputs = inputs_of(model)
        incoming = {k: [] for k in range(len(nodes))}
        for j, k, c in model.get_connections():
            incoming[k].append((j, c["weight"]))
        node_layers = [layer for layer in exported.layers if layer.name.startswith("node")]
        assert sorted(layer.name for layer in node_layers) == sorted(f"node{k}" for k in incoming)
        for k, feeding in incoming.items():
            layer = exported.get_layer(f"node{k}")
            kernel, bias = layer.get_weights()
            if k < inputs:
                assert kernel.tolist() == np.eye(inputs)[:, [k]].tolist() and bias.tolist() == [0.0]
                continue
            assert kernel.tolist() == [[f32(w)] for _, w in sorted(feeding)]
            assert bias.tolist() == [f32(nodes[k][1]["bias"])]
            assert layer.activation.__name__ == nodes[k][1]["activation"]
            names = [f"node{j}" for j, _ in sorted(feeding)]
            if len(names) == 1:
                assert sources_of(layer) == names
            else:
                [feeder] = sources_of(layer)
                assert sources_of(exported.get_layer(feeder)) == names


def test_single_source_nodes_are_fed_directly(sparse):
    _, exported = sparse
    for k, source in ((3, "node0"), (5, "node3"), (7, "node2"), (9, "node8")):
        layer = exported.get_layer(f"node{k}")
        assert sources_of(layer) == [source]
        assert layer.get_weights()[0].shape == (1, 1)
    # One Concatenate per node with several sources (4, 6, 8, 10, 11) and one for the outputs.
    assert len(concatenates(exported)) == 6


def test_three_outputs_in_column_order(sparse):
    model, exported = sparse
    last = exported.layers[-1]
    assert isinstance(last, keras.layers.Concatenate)
    assert sources_of(last) == ["node9", "node10", "node11"]
    assert tuple(exported.outputs[0].shape) == (None, 3)
    x = sample(model)
    columns = run(exported, x)
    for c in range(3):
        single = keras.Model(exported.inputs[0], exported.get_layer(f"node{9 + c}").output)
        np.testing.assert_allclose(columns[:, [c]], run(single, x), rtol=1e-6, atol=1e-7)


def test_exported_predictions_equal_predict(exported_models):
    for model, exported in exported_models:
        x = sample(model, rows=200)
        np.testing.assert_allclose(run(exported, x), model.predict(x), rtol=1e-4, atol=1e-5)


def test_hand_built_import_matches_its_definition(sparse):
    model, _ = sparse
    assert model.size == 12
    assert [(j, k) for j, k, _ in model.get_connections()] == sorted(
        (j, k) for k, feeding in SPARSE_INCOMING.items() for j, _ in feeding)
    x = sample(model)
    expected = definition_forward(SPARSE_INPUTS, SPARSE_OUTPUTS, SPARSE_INCOMING, SPARSE_BIASES,
                                  SPARSE_ACTIVATIONS, x)
    np.testing.assert_allclose(model.predict(x), expected, rtol=1e-9, atol=1e-12)


def test_export_then_import_restores_the_model(exported_models):
    for model, exported in exported_models:
        inputs = inputs_of(model)
        weights_before = [layer.get_weights() for layer in exported.layers]
        back = tessaron.from_keras(exported)
        assert type(back) is tessaron.Model
        assert back.size == model.size
        assert [(j, k) for j, k, _ in back.get_connections()] == [
            (j, k) for j, k, _ in model.get_connections()]
        assert [c["weight"] for _, _, c in back.get_connections()] == [
            f32(c["weight"]) for _, _, c in model.get_connections()]
        for (k, node), (_, original) in zip(back.get_nodes(), model.get_nodes()):
            if k < inputs:
                assert node == {"bias": 0.0, "activation": "sigmoid"}
            else:
                assert node == {"bias": f32(original["bias"]), "activation": original["activation"]}
        x = sample(model, rows=100)
        np.testing.assert_allclose(back.predict(x), model.predict(x), rtol=1e-4, atol=1e-5)
        # The Keras model is only read.
        for layer, before in zip(exported.layers, weights_before):
            for now, then in zip(layer.get_weights(), before):
                np.testing.assert_array_equal(now, then)


def test_weights_trained_in_keras_come_back(sparse):
    model, _ = sparse
    exported = model.to_keras()
    rng = np.random.default_rng(8)
    x = rng.normal(size=(128, 3))
    y = np.stack([np.sin(x[:, 0]), x[:, 1] * x[:, 2], np.cos(x.sum(axis=1))], axis=1)
    before = {layer.name: layer.get_weights() for layer in exported.layers}
    exported.compile(optimizer=keras.optimizers.SGD(learning_rate=0.05), loss="mse")
    exported.fit(x, y, batch_size=32, epochs=2, verbose=0)
    changed = 0
    for layer in exported.layers:
        for now, then in zip(layer.get_weights(), before[layer.name]):
            if layer.name in ("node0", "node1", "node2"):
                np.testing.assert_array_equal(now, then)  # pass-throughs are not trained
            else:
                changed += not np.array_equal(now, then)
    assert changed >= 10
    back = tessaron.from_keras(exported)
    assert [(j, k) for j, k, _ in back.get_connections()] == [
        (j, k) for j, k, _ in model.get_connections()]
    nodes = back.get_nodes()
    for j, k, c in back.get_connections():
        layer = exported.get_layer(f"node{k}")
        kernel, bias = layer.get_weights()
        row = [source for source, _ in SPARSE_INCOMING[k]].index(j)
        assert c["weight"] == float(kernel[row, 0])
        assert nodes[k][1]["bias"] == float(bias[0])
    np.testing.assert_allclose(back.predict(x), run(exported, x), rtol=1e-4, atol=1e-5)
    assert not np.allclose(back.predict(x), model.predict(x), rtol=1e-3, atol=1e-3)


def test_to_keras_leaves_the_model_unchanged_and_ignores_arguments():
    model = tessaron.Model(2, 2, 5)
    nodes, connections = model.get_nodes(), model.get_connections()
    exported = model.to_keras(1, "ignored")
    assert len([layer for layer in exported.layers if layer.name.startswith("node")]) == 5
    assert model.get_nodes() == nodes and model.get_connections() == connections


def test_to_keras_reports_a_missing_keras(monkeypatch):
    model = tessaron.Model(2, 1)
    nodes, connections = model.get_nodes(), model.get_connections()
    monkeypatch.setitem(sys.modules, "keras", None)
    with pytest.raises(ImportError):
        model.to_keras()
    assert model.get_nodes() == nodes and model.get_connections() == connections


# Keras 2 style stand-ins: layers with output_shape, nodes with inbound_layers.

def fake_network(inputs, outputs, incoming, biases, activations):
    """A stand-in for an exported model, and its layers by name."""
    size = max(incoming) + 1
    input_layer = FakeLayer("input_1", output_shape=[(None, inputs)], _inbound_nodes=[FakeNode([])])
    layers, by_name = [input_layer], {"input_1": input_layer}
    for k in range(size):
        if k < inputs:
            feeder, kernel, bias, activation = input_layer, np.eye(inputs)[:, [k]], [0.0], "linear"
        else:
            sources = [by_name[f"node{j}"] for j, _ in incoming[k]]
            feeder = sources[0]
            if len(sources) > 1:
                feeder = Concatenate(f"concatenate_{k}", _inbound_nodes=[FakeNode(sources)])
                layers.append(feeder)
                by_name[feeder.name] = feeder
            kernel, bias = [[w] for _, w in incoming[k]], [biases[k]]
            activation = activations[k]
        layer = FakeLayer(f"node{k}", _inbound_nodes=[FakeNode(feeder)],
                          activation=named_function(activation),
                          get_weights=weights_getter(kernel, bias))
        layers.append(layer)
        by_name[layer.name] = layer
    if outputs > 1:
        last = Concatenate("concatenate_out", output_shape=(None, outputs), _inbound_nodes=[
            FakeNode([by_name[f"node{k}"] for k in range(size - outputs, size)])])
        layers.append(last)
        by_name[last.name] = last
    return FakeModel(layers), by_name


def sparse_fake():
    return fake_network(SPARSE_INPUTS, SPARSE_OUTPUTS, SPARSE_INCOMING, SPARSE_BIASES,
                        SPARSE_ACTIVATIONS)


def test_keras_2_form_imports():
    fake, _ = sparse_fake()
    model = tessaron.from_keras(fake)
    x = sample(model)
    expected = definition_forward(SPARSE_INPUTS, SPARSE_OUTPUTS, SPARSE_INCOMING, SPARSE_BIASES,
                                  SPARSE_ACTIVATIONS, x)
    np.testing.assert_allclose(model.predict(x), expected, rtol=1e-9, atol=1e-12)
    # A single output: the last layer is the output node itself.
    incoming = {2: [(0, 1.5), (1, -2.0)]}
    fake, _ = fake_network(2, 1, incoming, {2: 0.25}, {2: "relu"})
    model = tessaron.from_keras(fake)
    assert model.size == 3
    assert model.predict(np.array([[3.0, 1.0], [0.0, 1.0]])).tolist() == [[2.75], [0.0]]


def raise_error():
    raise RuntimeError("weights unavailable")


def change(layer_name, **attributes):
    def apply(fake, by_name):
        by_name[layer_name].__dict__.update(attributes)
    return apply


def remove(name, attribute):
    def apply(fake, by_name):
        delattr(by_name[name], attribute)
    return apply


def replace_layers(make):
    def apply(fake, by_name):
        fake.layers = make(fake.layers, by_name)
    return apply


def feed(name, *sources):
    def apply(fake, by_name):
        layers = [by_name[s] for s in sources]
        by_name[name]._inbound_nodes = [FakeNode(layers[0] if len(layers) == 1 else layers)]
    return apply


def both(*edits):
    def apply(fake, by_name):
        for one in edits:
            one(fake, by_name)
    return apply


FAKE_REFUSALS = [
    ("layers missing", lambda f, b: delattr(f, "layers"), TypeError,
     "the Keras model has no attribute 'layers'"),
    ("layers not a sequence", replace_layers(lambda layers, b: 7), TypeError,
     "the layers of the Keras model must be a sequence, not int"),
    ("no layers", replace_layers(lambda layers, b: []), ValueError,
     "the Keras model has no layers"),
    ("name missing", remove("node4", "name"), TypeError,
     "layer 6 of the Keras model has no attribute 'name'"),
    ("name not text", change("node4", name=4), TypeError, "must be a string, not int"),
    ("first layer is a node", replace_layers(lambda layers, b: layers[1:]), ValueError,
     "the first layer of the Keras model is the node layer 'node0'"),
    ("suffix not decimal", change("node4", name="node4b"), ValueError,
     "the layer name 'node4b' does not end in a decimal node index"),
    ("empty suffix", change("node4", name="node"), ValueError,
     "the layer name 'node' does not end in a decimal node index"),
    ("index out of range", change("node4", name="node12"), ValueError,
     "the layer 'node12' names node 12, but the Keras model has only 12 node layers"),
    ("duplicated index", change("node4", name="node03"), ValueError,
     "the layers 'node3' and 'node03' both name node 3"),
    ("input width missing", remove("input_1", "output_shape"), TypeError,
     "the Keras model has no attribute 'inputs'"),
    ("input width not a shape", change("input_1", output_shape=[(None, 3, 1)]), ValueError,
     r"the output_shape of the input layer is \[\(None, 3, 1\)\]"),
    ("too few nodes", change("concatenate_out", output_shape=(None, 10)), ValueError,
     "the Keras model has 12 node layers, fewer than its 3 inputs and 10 outputs"),
    ("outputs out of order", feed("concatenate_out", "node9", "node11", "node10"), ValueError,
     "must be the node layers node9 to node11 in order, not \\['node9', 'node11', 'node10'\\]"),
    ("inbound nodes missing", remove("node6", "_inbound_nodes"), TypeError,
     "the layer 'node6' has no attribute '_inbound_nodes'"),
    ("not called", change("node6", _inbound_nodes=[]), ValueError,
     "the layer 'node6' is not called on any input"),
    ("called on two layers", feed("node5", "node3", "node4"), ValueError,
     "the layer 'node5' is called on 2 layers"),
    ("source is not a node", feed("node5", "input_1"), ValueError,
     "the layer 'input_1' feeding the layer 'node5' is neither a node layer nor a Concatenate"),
    ("source above the node", feed("concatenate_6", "node0", "node4", "node7"), ValueError,
     "the layer 'node6' is fed by 'node7'; a node can only be fed by nodes of lower index"),
    ("source is an output", feed("concatenate_11", "node3", "node6", "node9"), ValueError,
     "the layer 'node11' is fed by 'node9', an output node, which feeds no other node"),
    ("source twice", feed("concatenate_6", "node0", "node4", "node4"), ValueError,
     "the layer 'node6' is fed twice by 'node4'"),
    ("get_weights fails", change("node4", get_weights=raise_error), RuntimeError,
     "weights unavailable"),
    ("get_weights missing", remove("node4", "get_weights"), TypeError,
     "the layer 'node4' has no attribute 'get_weights'"),
    ("kernel without bias", change("node4", get_weights=lambda: [np.ones((2, 1))]), ValueError,
     "the layer 'node4' has 1 weight arrays; a kernel and a bias are needed"),
    ("kernel short", change("node4", get_weights=weights_getter([[1.0]], [0.0])), ValueError,
     r"the kernel of layer 'node4' has shape \(1, 1\); its 2 sources need shape \(2, 1\)"),
    ("kernel wide", change("node4", get_weights=weights_getter(np.ones((2, 2)), [0.0])), ValueError,
     r"the kernel of layer 'node4' has shape \(2, 2\)"),
    ("kernel flat", change("node4", get_weights=weights_getter([1.0, 2.0], [0.0])), ValueError,
     "the kernel of layer 'node4' has 1 dimensions; a node layer's has 2"),
    ("bias empty", change("node4", get_weights=weights_getter([[1.0], [2.0]], [])), ValueError,
     "the bias of layer 'node4' has 0 values; a node layer has exactly one"),
    ("activation missing", remove("node4", "activation"), TypeError,
     "the layer 'node4' has no attribute 'activation'"),
    ("activation unnamed", change("node4", activation=object()), TypeError,
     "the activation of the layer 'node4' has no attribute '__name__'"),
    ("activation unknown", change("node4", activation=named_function("softmax")), ValueError,
     "the layer 'node4' uses the activation 'softmax'"),
    ("input node trained",
     change("node1", get_weights=weights_getter([[0.0], [0.9], [0.0]], [0.0])), ValueError,
     "the input node layer 'node1' no longer passes input 1 through unchanged"),
    ("node feeds nothing",
     both(feed("concatenate_6", "node0", "node5"),
          change("node6", get_weights=weights_getter([[1.0], [1.0]], [0.0]))), ValueError,
     "the Keras model does not describe a valid network: node 4 has no outgoing connection"),
]


@pytest.mark.parametrize("edit, error, message", [case[1:] for case in FAKE_REFUSALS],
                         ids=[case[0] for case in FAKE_REFUSALS])
def test_refusals_of_malformed_models(edit, error, message):
    fake, by_name = sparse_fake()
    tessaron.from_keras(fake)  # the unedited stand-in imports
    edit(fake, by_name)
    with pytest.raises(error, match=message):
        tessaron.from_keras(fake)


def test_refusals_of_malformed_keras_models():
    two = {2: [(0, 1.0)], 3: [(0, 1.0), (1, 1.0), (2, 1.0)]}
    biases, activations = {2: 0.0, 3: 0.0}, {2: "tanh", 3: "relu"}

    def hidden_dense(k, x, tensors, layer_input):
        return keras.layers.Dense(1, name="hidden")(layer_input) if k == 2 else layer_input

    def from_input(k, x, tensors, layer_input):
        return x if k == 2 else layer_input

    with pytest.raises(ValueError, match="the layer 'hidden' feeding the layer 'node2' is neither"):
        tessaron.from_keras(keras_network(2, 1, two, biases, activations, edit=hidden_dense))
    with pytest.raises(ValueError, match="feeding the layer 'node2' is neither a node layer nor"):
        tessaron.from_keras(keras_network(2, 1, two, biases, activations, edit=from_input))
    with pytest.raises(ValueError, match="the layer 'node3' uses the activation 'softmax'"):
        tessaron.from_keras(keras_network(2, 1, two, biases, {2: "tanh", 3: "softmax"}))

    built = keras_network(2, 1, two, biases, activations)
    built.get_layer("node0").set_weights([np.array([[1.0], [0.5]]), np.zeros(1)])
    with pytest.raises(ValueError, match="the input node layer 'node0' no longer passes input 0"):
        tessaron.from_keras(built)

    x = keras.layers.Input((1,))
    node0 = keras.layers.Dense(1, name="node0")(x)
    node1 = keras.layers.Dense(1, name="node1")(node0)
    node2 = keras.layers.Dense(1, name="node2")(node0)
    swapped = keras.Model(x, keras.layers.Concatenate()([node2, node1]))
    with pytest.raises(ValueError, match=r"node1 to node2 in order, not \['node2', 'node1'\]"):
        tessaron.from_keras(swapped)
    summed = keras.Model(x, keras.layers.Add()([node1, node2]))
    with pytest.raises(ValueError, match="is neither a node layer nor a Concatenate of the output"):
        tessaron.from_keras(summed)


def test_layers_changed_while_reading_are_not_followed():
    fake, by_name = sparse_fake()
    expected = tessaron.from_keras(fake).get_connections()

    class Shrinking:
        """node3, whose name, once read, empties the model's list of layers."""

        def __init__(self, layer):
            self.__dict__.update({k: v for k, v in vars(layer).items() if k != "name"})

        @property
        def name(self):
            fake.layers.clear()
            return "node3"

    fake.layers[fake.layers.index(by_name["node3"])] = Shrinking(by_name["node3"])
    assert tessaron.from_keras(fake).get_connections() == expected


def model_file(path, inputs, outputs, size, links):
    """A model file: counts, biases, activation kinds (all linear), then one record per link."""
    data = struct.pack("<3i", size, inputs, outputs) + struct.pack(f"<{size}d", *[0.5] * size)
    data += struct.pack(f"<{size}i", *[3] * size)
    for source, target, weight in links:
        data += struct.pack("<2id", source, target, weight)
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("size, links, fault", [
    (2, [], "node 0 has no outgoing connection"),
    (3, [(0, 2, 1.0)], "node 1 has no incoming connection"),
    (3, [(0, 1, 1.0), (0, 2, 1.0)], "node 1 has no outgoing connection"),
])
def test_to_keras_refuses_broken_networks_before_building(tmp_path, monkeypatch, size, links,
                                                          fault):
    try:
        model = tessaron.load(model_file(tmp_path / "broken.tsn", 1, 1, size, links))
    except ValueError:
        pytest.skip("load refuses this network, so to_keras cannot meet it")
    # Refused before Keras is even imported.
    monkeypatch.setitem(sys.modules, "keras", None)
    with pytest.raises(ValueError, match=f"^cannot export the network to Keras: {fault}$"):
        model.to_keras()


def test_to_keras_refuses_a_model_without_a_network():
    class Unbuilt(tessaron.Model):
        def __init__(self):  # never builds its network
            pass

    with pytest.raises(ValueError, match="^cannot export the network to Keras: it has 0 inputs$"):
        Unbuilt().to_keras()


def test_a_saved_and_reloaded_keras_model_imports(sparse, tmp_path):
    model, exported = sparse
    exported.save(tmp_path / "exported.keras")
    back = tessaron.from_keras(keras.models.load_model(tmp_path / "exported.keras"))
    assert back.get_connections() == tessaron.from_keras(exported).get_connections()
    x = sample(model)
    np.testing.assert_allclose(back.predict(x), model.predict(x), rtol=1e-4, atol=1e-5)

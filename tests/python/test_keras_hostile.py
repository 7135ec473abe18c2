"""from_keras given hostile stand-ins for Keras models: attributes that raise, properties that
return junk, self-reference and recursion, and absurd node names. Each raises a Python exception
(never crashes), and a sound model still imports afterwards. Keras itself is not needed."""

import sys

import numpy as np
import pytest

import oracle
import tessaron
from keras_stand_ins import Concatenate, weights_getter
from keras_stand_ins import FakeLayer as Layer
from keras_stand_ins import FakeModel as Stand_in
from keras_stand_ins import FakeNode as Node
from keras_stand_ins import named_function as activation


class Sabotage(Exception):
    pass


def weights(kernel, bias):
    return weights_getter(kernel, bias, np.float64)


def sound_model():
    """Inputs 0 and 1, hidden node 2 fed by both, output 3 fed by 2 and 0."""
    source = Layer("input_1", output_shape=[(None, 2)], _inbound_nodes=[Node([])])
    node0 = Layer("node0", _inbound_nodes=[Node(source)], activation=activation("linear"),
                  get_weights=weights([[1.0], [0.0]], [0.0]))
    node1 = Layer("node1", _inbound_nodes=[Node(source)], activation=activation("linear"),
                  get_weights=weights([[0.0], [1.0]], [0.0]))
    join2 = Concatenate("concatenate_2", _inbound_nodes=[Node([node0, node1])])
    node2 = Layer("node2", _inbound_nodes=[Node(join2)], activation=activation("tanh"),
                  get_weights=weights([[0.5], [-1.5]], [0.25]))
    join3 = Concatenate("concatenate_3", _inbound_nodes=[Node([node0, node2])])
    node3 = Layer("node3", _inbound_nodes=[Node(join3)], activation=activation("relu"),
                  get_weights=weights([[2.0], [1.0]], [-0.5]))
    layers = [source, node0, node1, join2, node2, join3, node3]
    return Stand_in(layers), {layer.name: layer for layer in layers}


def expected_predictions(x):
    hidden = np.tanh(0.25 + 0.5 * x[:, 0] - 1.5 * x[:, 1])
    return np.maximum(-0.5 + 2.0 * x[:, 0] + hidden, 0.0)[:, None]


X = np.array([[0.5, -1.0], [2.0, 0.25], [-1.0, -1.0]])


def test_the_sound_stand_in_imports():
    model = tessaron.from_keras(sound_model()[0])
    assert model.size == 4
    np.testing.assert_allclose(model.predict(X), expected_predictions(X), rtol=1e-15)


class Raising:
    """An attribute that raises `error` when read."""

    def __init__(self, error):
        self.error = error

    def __get__(self, instance, owner):
        raise self.error


def raising_attribute(layer_name, attribute, error):
    def edit(model, by_name):
        target = model if layer_name is None else by_name[layer_name]
        target.__class__ = type("Hostile" + type(target).__name__, (type(target),),
                                {attribute: Raising(error)})
        target.__dict__.pop(attribute, None)
    return edit


def setting(layer_name, **attributes):
    def edit(model, by_name):
        target = model if layer_name is None else by_name[layer_name]
        target.__dict__.update(attributes)
    return edit


def recursive_name(model, by_name):
    """node2's name reads the model again, without end."""
    layer = by_name["node2"]

    class Recursing(Layer):
        @property
        def name(self):
            tessaron.from_keras(model)
            return "node2"

    del layer.__dict__["name"]
    layer.__class__ = Recursing


def self_fed(model, by_name):
    by_name["concatenate_3"]._inbound_nodes = [Node([by_name["concatenate_3"], by_name["node2"]])]


def cycle(model, by_name):
    by_name["node2"]._inbound_nodes = [Node(by_name["node3"])]
    by_name["node2"].get_weights = weights([[1.0]], [0.0])


def huge_width(model, by_name):
    by_name["input_1"].output_shape = [(None, 10**30)]


class Surrogate(str):
    pass


HOSTILE = [
    ("layers raise", raising_attribute(None, "layers", Sabotage("layers")), Sabotage, "layers"),
    ("layers raise AttributeError", raising_attribute(None, "layers", AttributeError("gone")),
     TypeError, "the Keras model has no attribute 'layers'"),
    ("name raises", raising_attribute("node2", "name", Sabotage("name")), Sabotage, "name"),
    ("inbound nodes raise", raising_attribute("node3", "_inbound_nodes", Sabotage("inbound")),
     Sabotage, "inbound"),
    ("activation raises", raising_attribute("node2", "activation", ZeroDivisionError("a")),
     ZeroDivisionError, "a"),
    ("output_shape raises", raising_attribute("input_1", "output_shape", MemoryError()),
     MemoryError, ""),
    ("layers a generator", setting(None, layers=(layer for layer in [])), TypeError,
     "the layers of the Keras model must be a sequence, not generator"),
    ("layers a dict", setting(None, layers={"node0": 1}), TypeError, "must be a sequence"),
    ("layers text", setting(None, layers="node0"), TypeError, "must be a sequence, not str"),
    ("layers of junk", setting(None, layers=[None, 3, "x"]), TypeError, "has no attribute 'name'"),
    ("name bytes", setting("node2", name=b"node2"), TypeError, "must be a string, not bytes"),
    ("name None", setting("node2", name=None), TypeError, "must be a string, not NoneType"),
    ("name with a surrogate", setting("node2", name="node\ud8002"), ValueError, "surrogate"),
    ("name a str subclass", setting("node2", name=Surrogate("node9")), ValueError,
     "names node 9, but the Keras model has only 4 node layers"),
    ("inbound nodes None", setting("node3", _inbound_nodes=None), TypeError,
     "must be a sequence, not NoneType"),
    ("inbound layer not a layer", setting("node3", _inbound_nodes=[Node(5)]), TypeError,
     "has no attribute 'name'"),
    ("inbound nodes of junk", setting("node3", _inbound_nodes=[object()]), TypeError,
     "has no attribute 'input_tensors'"),
    ("get_weights not callable", setting("node2", get_weights=3), TypeError, "not callable"),
    ("get_weights returns None", setting("node2", get_weights=lambda: None), TypeError,
     "must be a sequence, not NoneType"),
    ("get_weights returns a generator", setting("node2", get_weights=lambda: iter([])),
     TypeError, "must be a sequence"),
    ("get_weights returns text", setting("node2", get_weights=lambda: ["ab", "cd"]), ValueError,
     ""),
    ("weights of objects", setting("node2", get_weights=lambda: [np.array([[object()], [1]]),
                                                                  np.zeros(1)]), TypeError, ""),
    ("kernel 0-d", setting("node2", get_weights=lambda: [np.float64(1.0), np.zeros(1)]),
     ValueError, "has 0 dimensions; a node layer's has 2"),
    ("kernel of 2**31 rows", setting("node2", get_weights=lambda: [
        np.broadcast_to(np.float64(1.0), (2**31, 1)), np.zeros(1)]), ValueError,
     "at most 2147483647 rows and columns are supported"),
    ("kernel of a million rows", setting("node2", get_weights=lambda: [
        np.broadcast_to(np.float64(1.0), (10**6, 1)), np.zeros(1)]), ValueError,
     r"has shape \(1000000, 1\); its 2 sources need shape \(2, 1\)"),
    ("activation name not text", setting("node2", activation=type("F", (), {"__name__": 3})()),
     TypeError, "must be a string, not int"),
    ("width beyond any int", huge_width, OverflowError, ""),
    ("width at the 64-bit limit", setting("input_1", output_shape=[(None, 2**63 - 1)]),
     ValueError, "^the Keras model has 4 node layers, fewer than its 9223372036854775807 inputs "
                 "and 1 outputs$"),
    ("width negative", setting("input_1", output_shape=[(None, -4)]), ValueError,
     "has width -4; at least 1 input is needed"),
    ("width text", setting("input_1", output_shape=[(None, "2")]), TypeError,
     "must be an int, not str"),
    ("width float", setting("input_1", output_shape=[(None, 2.0)]), TypeError,
     "must be an int, not float"),
    ("node index beyond an int", setting("node2", name="node" + "9" * 5000), ValueError,
     "does not end in a decimal node index"),
    ("node index at the int limit", setting("node2", name="node2147483647"), ValueError,
     "names node 2147483647, but the Keras model has only 4 node layers"),
    ("node index with many leading zeros", setting("node2", name="node" + "0" * 100000 + "1"),
     ValueError, "both name node 1"),
    ("Concatenate fed by itself", self_fed, ValueError, "which is not a node layer"),
    ("a cycle of layers", cycle, ValueError, "a node can only be fed by nodes of lower index"),
    ("recursion through a property", recursive_name, RecursionError, ""),
]


@pytest.mark.parametrize("edit, error, message", [case[1:] for case in HOSTILE],
                         ids=[case[0] for case in HOSTILE])
def test_hostile_stand_ins_raise(edit, error, message):
    model, by_name = sound_model()
    edit(model, by_name)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(300)  # deep enough to recurse, shallow for the C stack of a sanitizer
    try:
        # An empty message: the exception's type is the check (its text is Python's own).
        with pytest.raises(error, match=message or None):
            tessaron.from_keras(model)
    finally:
        sys.setrecursionlimit(limit)
    # Nothing is left behind that would spoil the next import.
    np.testing.assert_allclose(tessaron.from_keras(sound_model()[0]).predict(X),
                               expected_predictions(X), rtol=1e-15)


def test_a_layer_list_that_empties_itself_while_weights_are_read():
    model, by_name = sound_model()
    original = by_name["node2"].get_weights

    def emptying():
        model.layers.clear()
        by_name.clear()
        return original()

    by_name["node2"].get_weights = emptying
    imported = tessaron.from_keras(model)
    np.testing.assert_allclose(imported.predict(X), expected_predictions(X), rtol=1e-15)


def test_nan_and_infinite_weights_import_as_data():
    model, by_name = sound_model()
    by_name["node2"].get_weights = weights([[np.nan], [np.inf]], [0.0])
    imported = tessaron.from_keras(model)
    weights_read = {(source, target): attributes["weight"]
                    for source, target, attributes in imported.get_connections()}
    assert np.isnan(weights_read[(0, 2)]) and weights_read[(1, 2)] == np.inf
    # The hidden node is NaN; the relu output passes it on as the pure-Python pass does.
    assert imported.predict(X).tolist() == oracle.predict(imported, 2, 1, X.tolist())

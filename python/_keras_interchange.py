"""The Keras form of a network: built by ``Model.to_keras`` from the export plan of the core, and
read back by ``tessaron.from_keras``.

Every node k is a single-unit Dense layer named "node<k>". An input node's layer is called on the
input tensor, with a one-hot kernel that passes its column through (and is not trainable); any
other node's layer is called on its one source or on a Concatenate of its sources in ascending
order. The output is the last node layer, or a Concatenate of the output node layers in order.

The import reads a model of that form (Keras 3, or Keras 2 with layers that have an output_shape
and nodes that name their inbound_layers) into names, numbers and arrays, trusting none of the
objects: a missing attribute or a value of the wrong type is a TypeError that says what was
expected. The core checks what was read, at the same points as it is read, and builds the network.
"""

import operator

import numpy as np

import tessaron

# Layers are recognised as node layers by this prefix of their names alone (as the core does).
_NODE_PREFIX = "node"
_MISSING = object()
_HEAP_TYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE
_LONG_LONG = 2**63
_TABLE_LIMIT = 2**31 - 1  # the rows and columns of an array that the core takes


def build_model(inputs, outputs, nodes):
    """The Keras model of the planned network. `nodes` lists, for every node in order,
    (sources, kernel, bias, activation name)."""
    import keras

    layers, activations = keras.layers, keras.activations
    dense, concatenate = layers.Dense, layers.Concatenate
    x = layers.Input((inputs,))
    tensors = []
    for k, (sources, _, _, activation) in enumerate(nodes):
        function = getattr(activations, activation)
        if k < inputs:
            layer_input = x
        else:
            feeding = [tensors[j] for j in sources]
            layer_input = feeding[0] if len(feeding) == 1 else concatenate()(feeding)
        # An input node only carries its column: training in Keras must not turn the pass-through
        # into something the network cannot hold.
        fixed = {"trainable": False} if k < inputs else {}
        layer = dense(1, activation=function, name=f"{_NODE_PREFIX}{k}", **fixed)
        tensors.append(layer(layer_input))
    output = tensors[-1] if outputs == 1 else concatenate()(tensors[len(nodes) - outputs:])
    model = keras.Model(x, output)
    _set_node_weights(model, nodes)
    return model


def _set_node_weights(model, nodes):
    """Gives every node layer of the built model its kernel and bias, finding it by name."""
    expected = {f"{_NODE_PREFIX}{k}": k for k in range(len(nodes))}
    done = set()
    for layer in tuple(model.layers):
        name = layer.name
        if not name.startswith(_NODE_PREFIX):
            continue
        k = expected.get(name)
        if k is None or k in done:
            raise RuntimeError(f"the built Keras model has an unexpected layer '{name}'")
        _, kernel, bias, _ = nodes[k]
        layer.set_weights([np.array(kernel, dtype=np.float64).reshape(-1, 1),
                           np.array([bias], dtype=np.float64)])
        done.add(k)
    for name, k in expected.items():
        if k not in done:
            raise RuntimeError(f"the built Keras model has no layer '{name}'")


def import_model(keras_model):
    """The tessaron.Model that a Keras model of the exported form describes."""
    layers = _sequence(_attribute(keras_model, "layers", "the Keras model"),
                       "the layers of the Keras model")
    if not layers:
        raise ValueError("the Keras model has no layers")
    names = [_name_of(layer, f"layer {i} of the Keras model") for i, layer in enumerate(layers)]
    indices = tessaron._keras_node_indices(names)
    nodes = sum(index >= 0 for index in indices)
    last, node_output = layers[-1], indices[-1] >= 0
    inputs = _input_width(layers[0], keras_model)
    outputs = 1 if node_output or len(layers) == 1 else _output_width(last, keras_model)
    tessaron._keras_check_counts(inputs, outputs, nodes)
    if len(layers) > 1:
        label = _quoted_layer(names[-1])
        if not node_output and not _is_concatenate(last):
            raise ValueError(f"the last layer of the Keras model, {label}, is neither a node layer "
                             "nor a Concatenate of the output node layers")
        sources = [names[-1]] if node_output else _names_of(_inbound_layers(last, label), label)
        tessaron._keras_check_outputs(sources, outputs, nodes)
    node_layers = [_read_node_layer(layer, name, index, index < inputs)
                   for layer, name, index in zip(layers, names, indices) if index >= 0]
    return tessaron._keras_network(inputs, outputs, nodes, node_layers)


def _read_node_layer(layer, name, index, input_node):
    """(name, index, kernel, bias, activation name, source names or None for an input node)."""
    label = _quoted_layer(name)
    get_weights = _attribute(layer, "get_weights", label)
    weights = _sequence(get_weights(), f"the weights of {label}")
    if len(weights) < 2:
        raise ValueError(f"{label} has {len(weights)} weight arrays; a kernel and a bias are "
                         "needed")
    kernel = _array(weights[0], f"the kernel of layer '{name}'", 2)
    bias = _array(weights[1], f"the bias of layer '{name}'", 1)
    sources = None if input_node else _source_names(layer, label)
    activation = _attribute(layer, "activation", label)
    activation_name = _text(_attribute(activation, "__name__", f"the activation of {label}"),
                            f"the activation name of {label}")
    return name, index, kernel, bias, activation_name, sources


def _source_names(layer, label):
    """The layers feeding a node layer: one node layer, or the node layers joined by the
    Concatenate that the node layer is called on."""
    inbound = _inbound_layers(layer, label)
    if len(inbound) != 1:
        raise ValueError(f"{label} is called on {len(inbound)} layers; a node layer is called on "
                         "one node layer or on one Concatenate of node layers")
    source = inbound[0]
    name = _name_of(source, f"the layer feeding {label}")
    if name.startswith(_NODE_PREFIX):
        return [name]
    if not _is_concatenate(source):
        raise ValueError(f"the layer '{name}' feeding {label} is neither a node layer nor a "
                         "Concatenate")
    source_label = _quoted_layer(name)
    return _names_of(_inbound_layers(source, source_label), source_label)


def _inbound_layers(layer, label):
    """The layers whose outputs `layer` was called on, in argument order."""
    nodes = _sequence(_attribute(layer, "_inbound_nodes", label), f"the _inbound_nodes of {label}")
    if not nodes:
        raise ValueError(f"{label} is not called on any input")
    node = nodes[0]
    # Keras 2 names the layers (one, or a list); Keras 3 keeps each in the history of a tensor.
    layers = _optional_attribute(node, "inbound_layers")
    if layers is not _MISSING:
        if isinstance(layers, (list, tuple)):
            return _sequence(layers, f"the inbound_layers of {label}")
        return (layers,)
    tensors = _sequence(_attribute(node, "input_tensors", f"the inbound node of {label}"),
                        f"the input_tensors of {label}")
    return tuple(_first_item(_attribute(tensor, "_keras_history", f"an input tensor of {label}"))
                 for tensor in tensors)


def _input_width(input_layer, keras_model):
    """The input layer's output_shape where layers have one (Keras 2), else its batch_shape, else
    the shape of the model's input."""
    shape = _optional_attribute(input_layer, "output_shape")
    if shape is not _MISSING:
        return _shape_width(shape, "the output_shape of the input layer")
    shape = _optional_attribute(input_layer, "batch_shape")
    if shape is not _MISSING:
        return _shape_width(shape, "the batch_shape of the input layer")
    return _model_width(keras_model, "inputs")


def _output_width(output_layer, keras_model):
    """The number of outputs when the last layer is the output Concatenate."""
    shape = _optional_attribute(output_layer, "output_shape")
    if shape is not _MISSING:
        return _shape_width(shape, "the output_shape of the last layer")
    return _model_width(keras_model, "outputs")


def _model_width(keras_model, tensors_name):
    """The width of model.inputs[0] or model.outputs[0]."""
    label = f"the {tensors_name} of the Keras model"
    tensors = _sequence(_attribute(keras_model, tensors_name, "the Keras model"), label)
    if not tensors:
        raise ValueError(f"{label} are empty")
    return _shape_width(_attribute(tensors[0], "shape", f"{label}[0]"), f"the shape of {label}[0]")


def _shape_width(shape, what):
    """The width W of a shape (None, W); Keras 2 input layers report a list holding one such
    shape."""
    dimensions = _sequence(shape, what)
    if len(dimensions) == 1 and isinstance(dimensions[0], (list, tuple)):
        dimensions = _sequence(dimensions[0], what)
    if len(dimensions) != 2:
        raise ValueError(f"{what} is {shape!r}; a shape (None, width) is needed")
    return _integer(dimensions[1], f"the width in {what}")


def _array(value, what, dimensions):
    array = np.asarray(value, dtype=np.float64)
    if array.ndim != dimensions:
        raise ValueError(f"{what} has {array.ndim} dimensions; a node layer's has {dimensions}")
    rows, columns = array.shape[0], array.shape[1] if dimensions == 2 else 1
    if max(rows, columns) > _TABLE_LIMIT:
        raise ValueError(f"{what} has shape ({rows}, {columns}); at most {_TABLE_LIMIT} rows and "
                         "columns are supported")
    return array


def _quoted_layer(name):
    return f"the layer '{name}'"


def _name_of(layer, what):
    return _text(_attribute(layer, "name", what), f"the name of {what}")


def _names_of(layers, label):
    return [_name_of(layer, f"a layer feeding {label}") for layer in layers]


def _is_concatenate(layer):
    """Whether the layer's class is, or derives from, one named Concatenate."""
    return any(_class_name(kind) == "Concatenate" for kind in type(layer).__mro__)


# The foreign objects are read as the C API reads them, and named by their types' full names.

def _class_name(kind):
    if kind.__flags__ & _HEAP_TYPE or kind.__module__ == "builtins":
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def _type_name(value):
    return _class_name(type(value))


def _attribute(value, name, owner):
    """value.name; a missing attribute is a TypeError naming `owner`, any other failure of the
    lookup keeps its own exception."""
    try:
        return getattr(value, name)
    except AttributeError:
        raise TypeError(f"{owner} has no attribute '{name}'") from None


def _optional_attribute(value, name):
    try:
        return getattr(value, name)
    except AttributeError:
        return _MISSING


def _has_items(value):
    """Whether value[i] reads an item, as for the C API's sequences (a dict's keys are not)."""
    return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def _sequence(value, what):
    """A tuple of the items: a snapshot that later calls into Python cannot change."""
    if isinstance(value, (str, bytes)) or not _has_items(value):
        raise TypeError(f"{what} must be a sequence, not {_type_name(value)}")
    return tuple(value)


def _first_item(value):
    if _has_items(value):
        return value[0]
    form = "{} is not a sequence" if hasattr(type(value), "__getitem__") else \
        "'{}' object does not support indexing"
    raise TypeError(form.format(_type_name(value)))


def _text(value, what):
    """A str (of any subclass) as a plain str; text that UTF-8 cannot hold is refused."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a string, not {_type_name(value)}")
    return str.encode(value, "utf-8").decode("utf-8")


def _integer(value, what):
    if not hasattr(type(value), "__index__"):
        raise TypeError(f"{what} must be an int, not {_type_name(value)}")
    number = operator.index(value)
    if not -_LONG_LONG <= number < _LONG_LONG:
        raise OverflowError("int too big to convert")
    return number

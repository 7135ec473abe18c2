"""The ONNX form of a network, built by ``Model.to_onnx`` from the export plan of the core.

The graph uses opset 17 (IR version 8) of the default domain and one element type throughout,
float64 by default or float32 (for runtimes that have no float64 kernels): the input "input" has
shape (batch, inputs), the output "output" shape (batch, outputs). Every network node k becomes a
tensor "node<k>" of shape (batch, 1):

- an input node is column k of the input (Gather);
- any other node starts from its bias and adds the product of each source with its weight, one
  Mul and one Add per connection in ascending source order, then applies its activation
  (Sigmoid, Tanh, Relu, or Identity for linear).

The sums are thus rounded one operation at a time in the order ``Model.predict`` rounds them, so
networks of relu and linear nodes give the same doubles; Sigmoid and Tanh are onnxruntime's own,
which differ from tessaron's in the last bits. A float32 graph holds every weight and bias
rounded to float32 and computes in float32, so it differs from ``predict`` by float32 rounding.

The output is the last ``outputs`` node tensors, concatenated in order.
"""

import os

from tessaron._extras import import_extra

OPSET = 17
IR_VERSION = 8

_OPERATORS = {"sigmoid": "Sigmoid", "tanh": "Tanh", "relu": "Relu", "linear": "Identity"}


_DTYPES = ("float64", "float32")


def _dtype_name(dtype):
    """"float64" or "float32" for the dtype given as a name or a numpy dtype (or type)."""
    name = dtype if isinstance(dtype, str) else getattr(dtype, "name", None)
    if name is None and isinstance(dtype, type):
        name = dtype.__name__
    if name not in _DTYPES:
        raise ValueError(f"to_onnx dtype must be 'float64' or 'float32', got {dtype!r}")
    return name


def build_model(inputs, outputs, nodes, path=None, dtype="float64"):
    """The ModelProto of the planned network; written to `path` (any path-like) when given.

    `nodes` lists, for every node in order, (sources, kernel, bias, activation name).
    """
    dtype = _dtype_name(dtype)
    target = None if path is None else os.fsdecode(path)
    onnx = import_extra("onnx", "onnx", "Model.to_onnx")
    from onnx import TensorProto, helper

    import tessaron

    # A float32 tensor stores each weight and bias rounded to the nearest float32.
    element = TensorProto.DOUBLE if dtype == "float64" else TensorProto.FLOAT

    initializers = []
    graph_nodes = []

    def constant(name, values, data_type=element, dims=()):
        initializers.append(helper.make_tensor(name, data_type, list(dims), values))
        return name

    for k, (sources, kernel, bias, activation) in enumerate(nodes):
        node = f"node{k}"
        if k < inputs:
            column = constant(f"{node}_column", [k], TensorProto.INT64, [1])
            graph_nodes.append(helper.make_node("Gather", ["input", column], [node], name=node,
                                                axis=1))
            continue
        total = constant(f"{node}_bias", [bias])
        for m, (source, weight) in enumerate(zip(sources, kernel)):
            product = f"{node}_product{m}"
            graph_nodes.append(helper.make_node(
                "Mul", [f"node{source}", constant(f"{node}_weight{m}", [weight])], [product],
                name=product))
            step = f"{node}_sum{m}"
            graph_nodes.append(helper.make_node("Add", [total, product], [step], name=step))
            total = step
        graph_nodes.append(helper.make_node(_OPERATORS[activation], [total], [node], name=node))

    size = len(nodes)
    columns = [f"node{k}" for k in range(size - outputs, size)]
    graph_nodes.append(helper.make_node("Concat", columns, ["output"], name="output", axis=1))
    graph = helper.make_graph(
        graph_nodes, "tessaron",
        [helper.make_tensor_value_info("input", element, ["batch", inputs])],
        [helper.make_tensor_value_info("output", element, ["batch", outputs])],
        initializers)
    model = helper.make_model(graph, ir_version=IR_VERSION,
                              opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="tessaron", producer_version=tessaron.__version__)
    if target is not None:
        onnx.save_model(model, target)
    return model

"""Model.to_onnx: the ONNX form of a network, run by onnxruntime against Model.predict."""

import os
import pathlib
import struct
import sys

import numpy as np
import pytest

onnx = pytest.importorskip("onnx", reason="onnx cannot be imported: the ONNX export is untested")
ort = pytest.importorskip("onnxruntime", reason="onnxruntime cannot be imported")

import tessaron  # noqa: E402

KINDS = ["sigmoid", "tanh", "relu", "linear"]


def run(proto, x):
    session = ort.InferenceSession(proto.SerializeToString(), providers=["CPUExecutionProvider"])
    return session.run(["output"], {"input": x})[0]


def with_kind(model, kind, tmp_path):
    """The model with every node's activation set to `kind`, through its model file."""
    path = tmp_path / f"{kind}.tsn"
    model.save(str(path))
    data = bytearray(path.read_bytes())
    size = struct.unpack_from("<i", data)[0]
    struct.pack_into(f"<{size}i", data, 12 + 8 * size, *[KINDS.index(kind)] * size)
    path.write_bytes(bytes(data))
    return tessaron.load(str(path))


def evolved_model():
    tessaron.seed(7)
    model = tessaron.Model(3, 2, 9)
    model.compile(loss="mse")
    x = np.random.default_rng(2).normal(size=(128, 3))
    y = np.stack([np.sin(x[:, 0]) * x[:, 1], np.tanh(x[:, 2] - x[:, 0])], axis=1)
    model.evolve(x, y, pop_size=30, epochs=40, verbose=0)
    return model


@pytest.mark.parametrize("kind", KINDS + ["mixed", "evolved"])
def test_onnxruntime_agrees_with_predict(kind, tmp_path):
    tessaron.seed(3)
    if kind == "evolved":
        model, inputs = evolved_model(), 3
    else:
        model, inputs = tessaron.Model(4, 3, 16), 4
        if kind != "mixed":
            model = with_kind(model, kind, tmp_path)
    x = np.random.default_rng(1).normal(scale=3.0, size=(256, inputs))
    exported = run(model.to_onnx(), x)
    assert exported.dtype == np.float64
    expected = model.predict(x)
    difference = np.abs(exported - expected).max()
    print(f"{kind}: {model.size} nodes, max abs difference {difference:.3g}")
    kinds = {attributes["activation"] for _, attributes in model.get_nodes()[inputs:]}
    if kinds <= {"relu", "linear"}:
        # The sums round in predict's order, one operation at a time, and max(x, 0) is exact.
        np.testing.assert_array_equal(exported, expected)
    else:
        # onnxruntime's sigmoid and tanh differ from tessaron's in the last bits only.
        np.testing.assert_allclose(exported, expected, rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_the_written_file_is_a_valid_model_of_the_network(as_path, tmp_path):
    model = tessaron.Model(2, 3, 7)
    path = tmp_path / "model.onnx"
    returned = model.to_onnx(path=as_path(str(path)))
    loaded = onnx.load(str(path))
    onnx.checker.check_model(loaded, full_check=True)
    assert loaded.SerializeToString() == returned.SerializeToString()
    assert [(o.domain, o.version) for o in loaded.opset_import] == [("", 17)]
    graph = loaded.graph
    shapes = [(v.name, v.type.tensor_type.elem_type,
               [d.dim_param or d.dim_value for d in v.type.tensor_type.shape.dim])
              for v in (*graph.input, *graph.output)]
    assert shapes == [("input", onnx.TensorProto.DOUBLE, ["batch", 2]),
                      ("output", onnx.TensorProto.DOUBLE, ["batch", 3])]
    x = np.random.default_rng(0).normal(size=(5, 2))
    np.testing.assert_allclose(run(loaded, x), model.predict(x), rtol=1e-13, atol=1e-15)


def test_invalid_networks_are_refused_before_onnx_is_imported(tmp_path, monkeypatch):
    # Node 1 (hidden) has no incoming connection: the file loads, the export must refuse it.
    path = tmp_path / "broken.tsn"
    path.write_bytes(struct.pack("<3i", 3, 1, 1) + struct.pack("<3d", 0.5, 0.5, 0.5)
                     + struct.pack("<3i", 3, 3, 3) + struct.pack("<2id", 0, 2, 1.0)
                     + struct.pack("<2id", 1, 2, 1.0))
    model = tessaron.load(str(path))
    monkeypatch.setitem(sys.modules, "onnx", None)
    with pytest.raises(ValueError,
                       match="^cannot export the network to ONNX: node 1 has no incoming connection$"):
        model.to_onnx(path=tmp_path / "never.onnx")
    with pytest.raises(ValueError, match="^cannot export the network to Keras: node 1 has no "):
        model.to_keras()
    # A valid network gets as far as the import of onnx, whose failure is the caller's to see.
    with pytest.raises(ImportError):
        tessaron.Model(1, 1).to_onnx()
    assert sorted(os.listdir(tmp_path)) == ["broken.tsn"]


@pytest.mark.parametrize("dtype", ["float32", np.float32, np.dtype("float32")])
def test_a_float32_graph_computes_in_float32_from_rounded_weights(dtype, tmp_path):
    model = with_kind(tessaron.Model(3, 2, 8), "linear", tmp_path)
    proto = model.to_onnx(dtype=dtype)
    onnx.checker.check_model(proto, full_check=True)
    graph = proto.graph
    assert {v.type.tensor_type.elem_type for v in (*graph.input, *graph.output)} == \
        {onnx.TensorProto.FLOAT}
    assert {t.data_type for t in graph.initializer if "column" not in t.name} == \
        {onnx.TensorProto.FLOAT}
    x = np.random.default_rng(4).normal(size=(64, 3)).astype(np.float32)
    exported = run(proto, x)
    assert exported.dtype == np.float32
    # The oracle: predict's sums, in its order, on float32 values rounded once each.
    nodes = [(k, dict(a, bias=float(np.float32(a["bias"])))) for k, a in model.get_nodes()]
    connections = [(s, t, {"weight": float(np.float32(a["weight"]))})
                   for s, t, a in model.get_connections()]
    values = np.zeros((64, len(nodes)), dtype=np.float32)
    values[:, :3] = x
    for k in range(3, len(nodes)):
        total = np.full(64, nodes[k][1]["bias"], dtype=np.float32)
        for source, target, attributes in sorted(connections):
            if target == k:
                total = total + np.float32(attributes["weight"]) * values[:, source]
        values[:, k] = total
    np.testing.assert_array_equal(exported, values[:, -2:])
    with pytest.raises(ValueError, match="^to_onnx dtype must be 'float64' or 'float32', got "
                                         "'float16'$"):
        model.to_onnx(dtype="float16")

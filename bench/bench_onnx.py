"""Agreement of Model.to_onnx's graph, run by onnxruntime, with Model.predict.

Prints, per activation kind (every non-input node of that kind), for random networks and for
evolved ones: the node count, the largest absolute difference over 4096 samples of the float64
graph and of the float32 graph (``to_onnx(dtype="float32")``, fed the samples rounded to float32)
from ``predict`` on the float64 samples, and the largest output magnitude for scale. Needs onnx
and onnxruntime.
"""

import argparse
import struct
import tempfile

import numpy as np
import onnxruntime as ort

import tessaron

KINDS = ["sigmoid", "tanh", "relu", "linear"]


def with_kind(model, kind, folder):
    path = f"{folder}/{kind}.tsn"
    model.save(path)
    with open(path, "rb") as file:
        data = bytearray(file.read())
    size = struct.unpack_from("<i", data)[0]
    struct.pack_into(f"<{size}i", data, 12 + 8 * size, *[KINDS.index(kind)] * size)
    with open(path, "wb") as file:
        file.write(data)
    return tessaron.load(path)


def evolved(inputs, outputs, seed):
    tessaron.seed(seed)
    model = tessaron.Model(inputs, outputs, inputs + outputs + 4)
    model.compile(loss="mse")
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(256, inputs))
    y = np.stack([np.sin(x[:, o % inputs]) * x[:, (o + 1) % inputs] for o in range(outputs)], 1)
    model.evolve(x, y, pop_size=50, epochs=60, verbose=0)
    return model


def run(model, x, dtype):
    session = ort.InferenceSession(model.to_onnx(dtype=dtype).SerializeToString(),
                                   providers=["CPUExecutionProvider"])
    return session.run(["output"], {"input": x.astype(dtype)})[0].astype(np.float64)


def differences(model, inputs, rng):
    x = rng.normal(scale=3.0, size=(4096, inputs))
    expected = model.predict(x)
    return (np.abs(run(model, x, "float64") - expected).max(),
            np.abs(run(model, x, "float32") - expected).max(), np.abs(expected).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--networks", type=int, default=5, help="networks per row")
    arguments = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"onnxruntime {ort.__version__}, opset 17")
    print(f"{'networks':<22}{'nodes':>8}{'float64 diff':>16}{'float32 diff':>16}"
          f"{'max |output|':>14}")
    with tempfile.TemporaryDirectory() as folder:
        rows = [(kind, lambda i, kind=kind: with_kind(tessaron.Model(4, 3, 12 + 4 * i), kind,
                                                      folder), 4) for kind in KINDS]
        rows.append(("mixed", lambda i: tessaron.Model(4, 3, 12 + 4 * i), 4))
        rows.append(("evolved", lambda i: evolved(3, 2, i), 3))
        for name, make, inputs in rows:
            tessaron.seed(1)
            models = [make(i) for i in range(arguments.networks)]
            figures = [differences(m, inputs, rng) for m in models]
            sizes = [m.size for m in models]
            print(f"{name:<22}{f'{min(sizes)}-{max(sizes)}':>8}"
                  f"{max(f[0] for f in figures):>16.3g}{max(f[1] for f in figures):>16.3g}"
                  f"{max(f[2] for f in figures):>14.3g}")


if __name__ == "__main__":
    main()

"""Evolve a controller-sized network and deploy it through ONNX.

    python examples/onnx_deploy.py [path.onnx]

`Model.to_onnx` writes a float64 ONNX graph (opset 17) that any ONNX runtime can serve without
tessaron installed; here onnxruntime loads the file back and its outputs are compared with
`Model.predict`. Needs onnx and onnxruntime (`pip install .[onnx]`).
"""

from __future__ import annotations

import os
import sys
import tempfile

import numpy as np
import numpy.typing as npt
import onnxruntime  # type: ignore[import-untyped, import-not-found, unused-ignore]

import tessaron

Array = npt.NDArray[np.float64]


def samples(rng: np.random.Generator, count: int) -> tuple[Array, Array]:
    x = rng.uniform(-2.0, 2.0, size=(count, 3))
    y = np.stack([np.sin(x[:, 0]) * x[:, 1], np.tanh(x[:, 2] - x[:, 0])], axis=1)
    return x, np.asarray(y, dtype=np.float64)


def main() -> None:
    tessaron.seed(5)
    rng = np.random.default_rng(5)
    x_train, y_train = samples(rng, 400)
    x_val, y_val = samples(rng, 200)
    model = tessaron.Model(3, 2, 8)
    model.compile(loss="mse")
    model.evolve(x_train, y_train, pop_size=60, batch_size=100, epochs=300, verbose=0)
    print(f"evolved: {model.size} nodes, val mse {model.evaluate(x_val, y_val)[0]:.5f}")

    with tempfile.TemporaryDirectory() as folder:
        path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(folder, "controller.onnx")
        model.to_onnx(path)
        print(f"written: {path} ({os.path.getsize(path)} bytes)")
        session = onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"])
    served = np.asarray(session.run(["output"], {"input": x_val})[0], dtype=np.float64)
    difference = float(np.abs(served - model.predict(x_val)).max())
    print(f"onnxruntime: val mse {float(np.mean((served - y_val) ** 2)):.5f}, "
          f"largest difference from predict {difference:.3g}")


if __name__ == "__main__":
    main()

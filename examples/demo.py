"""The main demo: evolve a small network to fit a curve, then look inside it.

    python examples/demo.py
"""

import numpy as np

import tessaron


def main() -> None:
    rng = np.random.default_rng(0)
    x = rng.uniform(-np.pi, np.pi, size=(256, 1))
    y = np.sin(x)
    x_val = np.linspace(-np.pi, np.pi, 64).reshape(-1, 1)
    y_val = np.sin(x_val)

    model = tessaron.Model(1, 1, 4)  # 1 input, 1 output, 2 hidden nodes to start with
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    print("mse before evolution:", model.evaluate(x_val, y_val)[0])
    history = model.evolve(x, y, pop_size=100, batch_size=64, epochs=50,
                           validation_data=(x_val, y_val), verbose=0)
    for epoch in range(0, 50, 10):
        print(f"  epoch {epoch + 1:2d}: loss {history['loss'][epoch]:.5f}, "
              f"val_loss {history['val_loss'][epoch]:.5f}, size {history['size'][epoch]}")
    print("mse after evolution: ", model.evaluate(x_val, y_val)[0])

    print(f"\nThe evolved network has {model.size} nodes:")
    for index, attributes in model.get_nodes():
        print(f"  node {index}: bias {attributes['bias']:+.4f}, {attributes['activation']}")
    for source, target, connection in model.get_connections():
        print(f"  {source} -> {target}: weight {connection['weight']:+.4f}")
    for value, prediction in zip([-2.0, 0.0, 1.0], model.predict(np.array([[-2.0], [0.0], [1.0]]))):
        print(f"  sin({value:+.1f}) = {np.sin(value):+.4f}, predicted {prediction[0]:+.4f}")


if __name__ == "__main__":
    main()

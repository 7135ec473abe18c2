"""The main demo: build a model, predict with it and look inside it.

    python examples/demo.py
"""

import numpy as np

import tessaron


def main():
    model = tessaron.Model(2, 1, 4)  # 2 inputs, 1 output, 1 hidden node
    print(f"A model of {model.size} nodes")
    for index, attributes in model.get_nodes():
        print(f"  node {index}: bias {attributes['bias']:+.4f}, {attributes['activation']}")
    for source, target, attributes in model.get_connections():
        print(f"  {source} -> {target}: weight {attributes['weight']:+.4f}")

    x = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
    print("Predictions for", x.tolist())
    print(model.predict(x))


if __name__ == "__main__":
    main()

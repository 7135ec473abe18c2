"""Pickling and copying of models: pickle.dumps / pickle.loads, copy.copy and copy.deepcopy of
compiled models of growing size, beside the bytes of the network's model file.

    python bench/bench_pickle.py
"""

import copy
import pickle

import tessaron
from timing import best_of



def main():
    print(f"{'nodes':>6} {'connections':>12} {'pickle bytes':>13} {'dumps ms':>9} {'loads ms':>9} "
          f"{'copy ms':>8} {'deepcopy ms':>12}")
    for inputs, outputs, size in [(4, 1, 10), (8, 2, 100), (16, 4, 500), (32, 8, 1500)]:
        model = tessaron.Model(inputs, outputs, size)
        model.compile(loss="mse", metrics=["mae"], monitors=["size"])
        data = pickle.dumps(model, pickle.HIGHEST_PROTOCOL)
        dumps = best_of(lambda: pickle.dumps(model, pickle.HIGHEST_PROTOCOL), 7)
        loads = best_of(lambda: pickle.loads(data), 7)
        shallow = best_of(lambda: copy.copy(model), 7)
        deep = best_of(lambda: copy.deepcopy(model), 7)
        print(f"{size:>6} {len(model.get_connections()):>12} {len(data):>13} {dumps * 1e3:>9.3f} "
              f"{loads * 1e3:>9.3f} {shallow * 1e3:>8.3f} {deep * 1e3:>12.3f}")


if __name__ == "__main__":
    main()

"""Model file throughput: Model.save (written to a temporary file, synced and renamed into place)
and tessaron.load, against the raw bytes written and read by Python alone.

    python bench/bench_model_file.py
"""

import os
import tempfile

import tessaron
from timing import best_of



def main():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.tsn")
        copy = os.path.join(folder, "copy.tsn")
        print(f"{'nodes':>6} {'connections':>12} {'bytes':>10} {'save ms':>9} {'load ms':>9} "
              f"{'raw write ms':>13} {'raw read ms':>12}")
        for inputs, outputs, size in [(4, 1, 10), (8, 2, 100), (16, 4, 500), (32, 8, 1500)]:
            model = tessaron.Model(inputs, outputs, size)
            save = best_of(lambda: model.save(path))
            load = best_of(lambda: tessaron.load(path))
            data = open(path, "rb").read()

            def raw_write():
                with open(copy, "wb") as file:
                    file.write(data)
                    file.flush()
                    os.fsync(file.fileno())

            def raw_read():
                with open(path, "rb") as file:
                    file.read()

            print(f"{size:>6} {len(model.get_connections()):>12} {len(data):>10} "
                  f"{save * 1e3:>9.3f} {load * 1e3:>9.3f} {best_of(raw_write) * 1e3:>13.3f} "
                  f"{best_of(raw_read) * 1e3:>12.3f}")


if __name__ == "__main__":
    main()

"""Arrays read where they lie and arrays converted first give the same results, and the caller's
arrays are never changed (evolve shuffles batches in a copy of its own)."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import tessaron

INPUTS, OUTPUTS, ROWS = 3, 2, 40


def unaligned(a):
    array = np.ndarray(a.shape, np.float64, np.zeros(a.nbytes + 1, np.uint8).data, 1)
    array[...] = a
    assert not array.flags.aligned
    return array


def sliding_windows(a):
    """Rows that overlap: row i is values i .. i + width - 1 of one series."""
    series = np.concatenate([a[:, 0], a[: a.shape[1] - 1, -1]])
    return sliding_window_view(series, a.shape[1])


# Views of a table of ROWS rows: read in place (the first ones) or converted. Each is checked
# against a contiguous float64 copy of itself.
LAYOUTS = {
    "contiguous": lambda a: a.copy(),
    "column slice": lambda a: np.hstack([a, a])[:, :a.shape[1]],  # rows further apart than wide
    "every other row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "read-only": lambda a: np.frombuffer(a.tobytes(), dtype=np.float64).reshape(a.shape),
    "broadcast rows": lambda a: np.broadcast_to(a[0], a.shape),  # rows 0 doubles apart
    "sliding windows": sliding_windows,  # rows 1 double apart
    "reversed rows": lambda a: a[::-1].copy()[::-1],
    "reversed columns": lambda a: a[:, ::-1].copy()[:, ::-1],
    "fortran": np.asfortranarray,
    "big-endian": lambda a: a.astype(">f8"),
    "float32": lambda a: a.astype(np.float32),
    "int32": lambda a: (a * 10).astype(np.int32),
    "unaligned": unaligned,
}


def data():
    rng = np.random.default_rng(11)
    return rng.normal(size=(ROWS, INPUTS)), rng.normal(size=(ROWS, OUTPUTS))


def evolved(x, y, batch_size, optimizer):
    tessaron.seed(12)
    model = tessaron.Model(INPUTS, OUTPUTS, 8)
    model.compile(optimizer, loss="mse", metrics=["mae"])
    history = model.evolve(x, y, pop_size=6, epochs=3, batch_size=batch_size, verbose=0,
                           validation_data=(x, y))
    return history, model.get_nodes(), model.get_connections()


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_every_layout_gives_the_results_of_a_contiguous_copy(layout):
    x_laid, y_laid = (LAYOUTS[layout](a) for a in data())
    x, y = np.ascontiguousarray(x_laid, np.float64), np.ascontiguousarray(y_laid, np.float64)
    x_before, y_before = x_laid.copy(), y_laid.copy()
    model = tessaron.Model(INPUTS, OUTPUTS, 9)
    model.compile(loss="mse", metrics=["mae", "mape"])
    assert model.predict(x_laid).tobytes() == model.predict(x).tobytes()
    assert model.predict(x_laid[:1]).tobytes() == model.predict(x[:1]).tobytes()
    assert model.evaluate(x_laid, y_laid) == model.evaluate(x, y)
    genomes = [model, tessaron.Model(INPUTS, OUTPUTS, 7)]
    x_each = np.broadcast_to(x_laid, (2, *x_laid.shape))  # the view's layout for each genome
    assert (tessaron.predict_many(genomes, x_each).tobytes() ==
            tessaron.predict_many(genomes, np.stack([x, x])).tobytes())
    for batch_size in (-1, 8):  # one batch is read in place, several are shuffled in a copy
        for optimizer in ("alpha", "beta"):  # beta reads the spread of every input column
            assert (evolved(x_laid, y_laid, batch_size, optimizer) ==
                    evolved(x, y, batch_size, optimizer))
    assert np.array_equal(x_laid, x_before) and np.array_equal(y_laid, y_before)

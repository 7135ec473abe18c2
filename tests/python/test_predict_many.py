"""tessaron.predict_many against each genome's own predict, and its refusals."""

import numpy as np
import pytest

import tessaron

INPUTS, OUTPUTS = 3, 2


def pool_genomes():
    """The Genomes of one func_evolve pool: networks of different sizes and connections."""
    tessaron.seed(5)
    captured = []

    def train(genomes):
        captured.extend(genomes)
        return np.zeros(len(genomes))

    tessaron.Model(INPUTS, OUTPUTS, 9).func_evolve(train, pop_size=6, epochs=1, verbose=0)
    return captured


def models():
    tessaron.seed(6)
    return [tessaron.Model(INPUTS, OUTPUTS, INPUTS + OUTPUTS + k) for k in range(12)]


pytestmark = pytest.mark.usefixtures("two_worker_threads")


@pytest.mark.parametrize("kind", ["Genome", "Model"])
@pytest.mark.parametrize("samples", [None, 5, 1500], ids=["2-d", "3-d", "3-d large"])
def test_rows_are_each_genomes_own_predictions_bit_for_bit(kind, samples):
    # The large case runs in several items per genome over two threads.
    genomes = pool_genomes() if kind == "Genome" else models()
    shape = (len(genomes), INPUTS + 1) if samples is None else (len(genomes), samples, INPUTS + 1)
    x = np.random.default_rng(4).normal(size=shape) * 3  # the extra column is ignored
    before = x.copy()
    result = tessaron.predict_many(genomes, x)
    if samples is None:
        expected = np.stack([g.predict(x[i:i + 1])[0] for i, g in enumerate(genomes)])
    else:
        expected = np.stack([g.predict(x[i]) for i, g in enumerate(genomes)])
    assert result.dtype == np.float64 and result.flags.c_contiguous
    assert result.shape == shape[:-1] + (OUTPUTS,)
    assert result.tobytes() == expected.tobytes()
    assert x.tobytes() == before.tobytes()


@pytest.mark.parametrize("layout", ["strided samples", "reversed genomes", "fortran", "big-endian",
                                    "float32", "broadcast"])
def test_any_layout_and_dtype_gives_the_float64_predictions(layout):
    genomes = pool_genomes()
    base = np.random.default_rng(8).normal(size=(len(genomes), 6, INPUTS)).astype(np.float32)
    x = {
        "strided samples": lambda: np.repeat(base, 2, axis=1)[:, ::2].astype(np.float64),
        "reversed genomes": lambda: base[::-1].astype(np.float64)[::-1],
        "fortran": lambda: np.asfortranarray(base, dtype=np.float64),
        "big-endian": lambda: base.astype(">f8"),
        "float32": lambda: base,
        "broadcast": lambda: np.broadcast_to(base[:, :1].astype(np.float64), base.shape),
    }[layout]()
    before = x.copy()
    expected = tessaron.predict_many(genomes, np.ascontiguousarray(x, dtype=np.float64))
    assert tessaron.predict_many(genomes, x).tobytes() == expected.tobytes()
    assert np.array_equal(x, before)


def test_refusals_name_the_argument_and_the_values():
    genomes = pool_genomes()
    count = len(genomes)
    x = np.zeros((count, INPUTS))
    cases = [
        ((genomes, x[:-1]), ValueError,
         f"the first dimension of x ({count - 1}) differs from the number of genomes ({count})"),
        ((genomes, x[:, :2]), ValueError, f"x has 2 columns, but the genomes have {INPUTS} inputs"),
        ((genomes, x[0]), ValueError,
         "x must have 2 dimensions (genomes, inputs) or 3 (genomes, samples, inputs), got 1"),
        ((genomes, x.tolist()), TypeError, "x must be a numpy array, got list"),
        ((genomes[:2] + [3.0], x[:3]), TypeError, "genomes[2] must be a Genome or a Model, got float"),
        ((3, x), TypeError, "genomes must be a sequence of Genome or Model objects, got int"),
        (([], x[:0]), ValueError, "genomes is empty: predict_many needs at least one Genome or Model"),
        ((genomes[:1] + [tessaron.Model(INPUTS, 1)], x[:2]), ValueError,
         f"genomes[1] has {INPUTS} inputs and 1 outputs, but genomes[0] has {INPUTS} inputs and "
         f"{OUTPUTS} outputs"),
        (([tessaron.Genome(INPUTS, OUTPUTS)], x[:1]), ValueError,
         "genomes[0] is empty: it has no nodes to predict with"),
    ]
    for arguments, error, message in cases:
        with pytest.raises(error) as caught:
            tessaron.predict_many(*arguments)
        assert str(caught.value) == message
    declared = pool_genomes()[0]
    declared.__init__(INPUTS, OUTPUTS + 1)  # the declared count no longer matches the network
    with pytest.raises(ValueError) as caught:
        tessaron.predict_many([declared], x[:1])
    assert str(caught.value) == (f"genomes[0]: the declared number of outputs ({OUTPUTS + 1}) "
                                 f"differs from the network's ({OUTPUTS})")

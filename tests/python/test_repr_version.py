"""repr of Model, Genome and Alpha, and tessaron.__version__."""

import math
import os
import re
import struct

import numpy as np
import pytest

import tessaron
from tessaron.optimizers import Alpha

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


class Wide(tessaron.Model):
    pass


class Sampled(tessaron.Genome):
    pass


class Gentle(Alpha):
    pass


def project_version():
    """The version line of pyproject.toml's [project] table, read without the module."""
    text = open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8").read()
    project = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return re.search(r'^version\s*=\s*"([^"]+)"', project, re.MULTILINE).group(1)


def test_version_is_the_one_of_pyproject():
    assert isinstance(tessaron.__version__, str)
    assert tessaron.__version__ == project_version() == "0.1.0"


def test_model_repr_shows_counts_and_compile_state():
    model = tessaron.Model(2, 1, 5)
    assert repr(model) == "<tessaron.Model inputs=2 outputs=1 size=5 not compiled>"
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    assert repr(model) == (
        "<tessaron.Model inputs=2 outputs=1 size=5 compiled loss='mse' metrics=['mae'] "
        "monitors=['size']>")
    model.compile(Alpha(0.1), "mae", ["mae", "mse", "mape"], ["size", "size"])
    assert repr(model) == (
        "<tessaron.Model inputs=2 outputs=1 size=5 compiled loss='mae' "
        "metrics=['mae', 'mse', 'mape'] monitors=['size', 'size']>")
    model.compile()
    assert repr(model) == (
        "<tessaron.Model inputs=2 outputs=1 size=5 compiled metrics=[] monitors=[]>")
    model.compile(metrics=["mape"])
    assert repr(model) == (
        "<tessaron.Model inputs=2 outputs=1 size=5 compiled metrics=['mape'] monitors=[]>")
    with pytest.raises(ValueError):
        model.compile(loss="mse", metrics=["unknown"])
    assert repr(model) == "<tessaron.Model inputs=2 outputs=1 size=5 not compiled>"
    # The size shown is the one the attribute reads.
    model.size = 12
    assert repr(model) == "<tessaron.Model inputs=2 outputs=1 size=12 not compiled>"
    assert str(model) == repr(model)


def test_model_repr_follows_evolution_and_subclasses():
    model = tessaron.Model(3, 2)
    model.compile(loss="mse")
    x, y = np.zeros((8, 3)), np.ones((8, 2))
    model.evolve(x, y, pop_size=10, epochs=5, verbose=0)
    assert repr(model) == (
        f"<tessaron.Model inputs=3 outputs=2 size={len(model.get_nodes())} compiled loss='mse' "
        "metrics=[] monitors=[]>")
    assert repr(Wide(4, 1, 9)) == f"<{__name__}.Wide inputs=4 outputs=1 size=9 not compiled>"
    empty = tessaron.Model.__new__(tessaron.Model)
    assert repr(empty) == "<tessaron.Model inputs=0 outputs=0 size=0 not compiled>"


def test_genome_repr_shows_its_network_size():
    genomes = []
    model = tessaron.Model(2, 3, 7)
    model.func_evolve(lambda batch: genomes.extend(batch) or np.zeros(len(batch)), pop_size=2,
                      epochs=1, verbose=0)
    for genome in genomes:
        # The node count heads the encoded network.
        size = struct.unpack_from("<i", genome.__getstate__()["network"])[0]
        assert size >= 5  # mutations may remove hidden nodes
        assert repr(genome) == f"<tessaron.Genome inputs=2 outputs=3 size={size}>"
    assert repr(tessaron.Genome(2, 1)) == "<tessaron.Genome inputs=2 outputs=1 size=0>"
    assert repr(Sampled(1, 1)) == f"<{__name__}.Sampled inputs=1 outputs=1 size=0>"


@pytest.mark.parametrize("rate, shown", [
    (0.5, "0.5"), (0.1, "0.1"), (1e-05, "1e-05"), (-3.0, "-3.0"),
    (2.0**70, "1.1805916207174113e+21"),
    (math.inf, "inf"), (math.nan, "nan"),
])
def test_alpha_repr_is_its_constructor_call(rate, shown):
    alpha = Alpha(rate)
    assert repr(alpha) == f"tessaron.optimizers.Alpha(mutation_rate={shown})"
    if math.isfinite(rate):
        again = eval(repr(alpha), {"tessaron": tessaron})
        assert type(again) is Alpha and again.__getstate__() == {"mutation_rate": rate}


def test_alpha_repr_defaults_and_subclasses():
    assert repr(Alpha()) == "tessaron.optimizers.Alpha(mutation_rate=0.5)"
    assert repr(Gentle(0.25)) == f"{__name__}.Gentle(mutation_rate=0.25)"
    model = tessaron.Model(1, 1)
    model.compile("alpha")
    assert repr(model.__getstate__()["optimizer"]) == "tessaron.optimizers.Alpha(mutation_rate=0.5)"

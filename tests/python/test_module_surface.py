"""The Python-visible surface: names, types, docstrings, signatures."""

import inspect
import sys

import pytest

import tessaron
from tessaron.optimizers import Alpha


def test_module_names_and_docstrings():
    assert tessaron.__name__ == "tessaron"
    assert tessaron.__doc__ == "Tessaron allows training models through neuro-evolution."
    assert tessaron.optimizers.__name__ == "tessaron.optimizers"
    assert tessaron.optimizers.__doc__ == "Optimizers."
    assert tessaron.optimizers.Alpha is Alpha
    for name in ("Model", "Genome", "optimizers"):
        assert hasattr(tessaron, name)


@pytest.mark.parametrize(
    "cls, qualified, doc",
    [
        (tessaron.Model, "tessaron.Model",
         "A Tessaron model that can be evolved on datasets and fitness functions."),
        (tessaron.Genome, "tessaron.Genome",
         "A lightweight Tessaron model that can only be used for predictions."),
        (Alpha, "tessaron.optimizers.Alpha", "The first optimizer in Tessaron."),
    ],
)
def test_types(cls, qualified, doc):
    assert isinstance(cls, type)
    assert f"{cls.__module__}.{cls.__qualname__}" == qualified
    assert cls.__doc__ == doc

    class Sub(cls):  # every type may be subclassed
        pass

    assert Sub.__mro__[1] is cls


MODEL_DOCS = {
    "predict": ("(self, x, /)", "Predict the the outputs for a given set of samples."),
    "get_nodes": ("(self)", "Returns a list of nodes contained in the network."),
    "get_connections": ("(self)", "Returns a list of connections contained in the network."),
}


@pytest.mark.parametrize("name", sorted(MODEL_DOCS))
def test_model_method_docstrings_and_signatures(name):
    signature, body = MODEL_DOCS[name]
    method = getattr(tessaron.Model, name)
    assert method.__doc__ == body
    assert method.__text_signature__ == signature
    assert str(inspect.signature(method)) == signature


def test_genome_predict_docstring():
    assert tessaron.Genome.predict.__doc__ == "Predict the the outputs for a given set of samples."
    assert str(inspect.signature(tessaron.Genome.predict)) == "(self, x, /)"


def test_size_member():
    descriptor = tessaron.Model.__dict__["size"]
    assert descriptor.__doc__ == "Total number of nodes in the network (including inputs and outputs)."
    model = tessaron.Model(2, 1)
    model.size = 3  # writable; the module republishes it whenever it replaces the network
    assert model.size == 3
    model.__init__(2, 1, 4)
    assert model.size == 4
    with pytest.raises(TypeError):
        model.size = "many"


def test_positional_only_methods_refuse_keywords():
    model = tessaron.Model(2, 1)
    with pytest.raises(TypeError):
        model.predict(x=None)


def test_alpha_arguments():
    assert isinstance(Alpha(), Alpha)
    Alpha(0.1)
    Alpha(mutation_rate=-3.0)  # no range check
    with pytest.raises(TypeError):
        Alpha(mutation_rate="x")
    with pytest.raises(TypeError):
        Alpha(0.1, 0.2)


def _plot_network():
    import tessaron.plot

    tessaron.plot.network(tessaron.Model(1, 1))


def _import_distributed():
    import tessaron.distributed  # noqa: F401


def _make_gym_fitness():
    import tessaron.gym

    tessaron.gym.EpisodeFitness("CartPole-v1")


@pytest.mark.parametrize("missing, extra, use, user, package", [
    ("onnx", "onnx", lambda: tessaron.Model(1, 1).to_onnx(), "Model.to_onnx", "the onnx package"),
    ("gymnasium", "gym", _make_gym_fitness, "tessaron.gym", "the gymnasium package"),
    ("matplotlib", "plot", _plot_network, "tessaron.plot.network", "the matplotlib package"),
    ("distributed", "distributed", _import_distributed, "tessaron.distributed",
     "dask.distributed"),
])
def test_a_missing_extra_is_named_with_its_install_command(missing, extra, use, user, package,
                                                           monkeypatch):
    monkeypatch.setitem(sys.modules, missing, None)
    monkeypatch.delitem(sys.modules, "tessaron.distributed", raising=False)
    with pytest.raises(ModuleNotFoundError) as raised:
        use()
    assert str(raised.value) == (f"{user} needs {package}, which is not installed: pip install "
                                 f"tessaron[{extra}]")
    assert raised.value.name == missing

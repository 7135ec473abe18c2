"""The typing stubs: shipped with the package, consistent with the module (mypy's stubtest), and
precise enough that mypy checks the examples and typical code strictly."""

import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessaron

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
STUB_FILES = ["py.typed", "__init__.pyi", "optimizers.pyi", "callbacks.pyi", "sklearn.pyi", "plot.pyi", "distributed.pyi",
              "gym.pyi"]


@pytest.fixture
def stub_path(tmp_path):
    """A folder with the stubs of the package being tested (those next to the imported module),
    for MYPYPATH: mypy reads no stubs from PYTHONPATH, and a build tree is not installed."""
    package = os.path.dirname(tessaron.__file__)
    target = tmp_path / "stubs" / "tessaron"
    target.mkdir(parents=True)
    for name in STUB_FILES:
        shutil.copy(os.path.join(package, name), target / name)
    return str(tmp_path / "stubs")


def run_mypy(arguments, stub_path, cwd):
    # stubtest imports the module: the very one under test, wherever the working folder is.
    search = [os.path.dirname(os.path.dirname(tessaron.__file__))]
    search += [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    environment = dict(os.environ, MYPYPATH=stub_path, PYTHONPATH=os.pathsep.join(search))
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, env=environment,
                          capture_output=True, text=True, timeout=600)


def test_stubs_ship_next_to_the_module():
    package = os.path.dirname(tessaron.__file__)
    for name in STUB_FILES:
        with open(os.path.join(package, name), "rb") as shipped, \
                open(os.path.join(ROOT, "python", name), "rb") as source:
            assert shipped.read() == source.read(), name


def test_stubtest_finds_the_stubs_consistent_with_the_module(stub_path, tmp_path):
    result = run_mypy(["mypy.stubtest", "tessaron", "--concise"], stub_path, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "" and result.stderr == "", result.stdout + result.stderr


def test_text_signatures_tell_what_the_calls_take(tmp_path):
    """The text signatures mark what takes no keywords, and give compile's defaults."""
    model = tessaron.Model(2, 1)
    genome = tessaron.Genome(2, 1)
    x = np.zeros((1, 2))
    calls = [
        (lambda: model.predict(x=x), tessaron.Model.predict),
        (lambda: model.evaluate(x=x, y=x), tessaron.Model.evaluate),
        (lambda: model.save(path=str(tmp_path / "m.tsn")), tessaron.Model.save),
        (lambda: genome.predict(x=x), tessaron.Genome.predict),
        (lambda: tessaron.load(path="m.tsn"), tessaron.load),
        (lambda: tessaron.from_keras(keras_model=None), tessaron.from_keras),
        (lambda: tessaron.seed(value=1), tessaron.seed),
        (lambda: tessaron.set_num_threads(n=1), tessaron.set_num_threads),
    ]
    for call, function in calls:
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            call()
        assert function.__text_signature__.endswith(", /)"), function
    assert list(tmp_path.iterdir()) == []
    assert str(inspect.signature(tessaron.Model.compile)) == \
        "(self, optimizer='alpha', loss='', metrics=None, monitors=None)"
    assert model.compile() is None
    assert model.__getstate__()["compiled"] is True
    assert model.__getstate__()["losses"] == [] and model.__getstate__()["monitors"] == []
    assert type(model.__getstate__()["optimizer"]) is tessaron.optimizers.Alpha


def test_examples_type_check_strictly(stub_path, tmp_path):
    examples = os.path.join(ROOT, "examples")
    result = run_mypy(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), examples],
                      stub_path, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_give_precise_types_and_catch_misuse(stub_path, tmp_path):
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent("""\
        import numpy as np
        import numpy.typing as npt
        import tessaron
        from tessaron.optimizers import Alpha

        model = tessaron.Model(2, 1, size=4)
        model.compile(Alpha(mutation_rate=0.1), "mse", ["mae"], monitors=["size"])
        x = np.zeros((8, 2))
        history = model.evolve(x, x[:, :1], pop_size=4, validation_data=(x, x[:, :1]))
        reveal_type(history)
        reveal_type(model.predict(x))
        reveal_type(model.evaluate(x, x))
        reveal_type(model.get_nodes()[0][1]["activation"])
        reveal_type(model.get_connections()[0][2]["weight"])
        reveal_type(tessaron.load("m.tsn"))
        reveal_type(tessaron.__version__)

        def train(genomes: list[tessaron.Genome]) -> npt.NDArray[np.float64]:
            return np.array([g.predict(x)[0, 0] for g in genomes])

        def validate(genome: tessaron.Genome) -> float:
            return float(genome.predict(x).sum())

        model.func_evolve(train, validation_func=validate)
        model.predict([[1.0, 2.0]])
        model.predict(x=x)
        model.func_evolve(validate)
        model.compile(optimizer=None)
        tessaron.Alpha
        """))
    result = run_mypy(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(usage)],
                      stub_path, tmp_path)
    # Older mypy versions name builtins in full.
    lines = [line.split(": ", 1)[1].replace("builtins.", "")
             for line in result.stdout.splitlines() if line.startswith("usage.py:")]
    expected_notes = [
        'note: Revealed type is "dict[str, list[float]]"',
        'note: Revealed type is "numpy.ndarray[tuple[Any, ...], numpy.dtype[numpy.float64]]"',
        'note: Revealed type is "list[float]"',
        "note: Revealed type is \"Literal['sigmoid'] | Literal['tanh'] | Literal['relu'] | "
        "Literal['linear']\"",
        'note: Revealed type is "float"',
        'note: Revealed type is "tessaron.Model"',
        'note: Revealed type is "str"',
    ]
    assert [line for line in lines if "Revealed type" in line] == expected_notes, result.stdout
    errors = [line for line in lines if line.startswith("error")]
    # One error per misuse, in order: a list for an array, a keyword for a positional argument,
    # a validation function as train_func, None as optimizer, Alpha outside its submodule.
    assert len(errors) == 5, result.stdout
    assert 'Argument 1 to "predict" of "Model" has incompatible type' in errors[0]
    assert 'Unexpected keyword argument "x" for "predict" of "Model"' in errors[1]
    assert 'Argument 1 to "func_evolve" of "Model" has incompatible type' in errors[2]
    assert 'Argument "optimizer" to "compile" of "Model" has incompatible type "None"' in errors[3]
    assert '"Alpha"' in errors[4] and "[attr-defined]" in errors[4]

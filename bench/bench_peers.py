"""Tessaron against neat-python, a pure-Python neuro-evolution library, on this machine in one run:

(a) the time to score a population of 150 networks of the same size on the same 1000-sample
    dataset;
(b) the wall time of whole runs that bring a sine regression (256 samples, x in [-pi, pi]) below
    an mse of 0.01, each library with its own documented defaults for population and mutation.

    python bench/bench_peers.py [--runs 5] [--cap 120] [--skip-a] [--skip-b]

neat-python is installed into a virtual environment of its own, build/bench-venv (made on first
use with `python -m venv` and pip). Tessaron is the one that the calling interpreter imports (an
installed package, or PYTHONPATH=build/<dir>/python): the script runs itself again under the
virtual environment's interpreter, with the calling interpreter's tessaron and numpy visible there
behind the environment's own packages.
"""

import argparse
import inspect
import math
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from timing import best_of

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VENV = os.path.join(ROOT, "build", "bench-venv")
CHILD_FLAG = "--in-venv"

POPULATION = 150  # part (a): networks scored
SAMPLES = 1000  # part (a): samples per network
INPUTS, NODES = 2, 20  # part (a): network shape (one output)
TARGET_MSE = 0.01  # part (b)

# neat-python's documented example configuration (the XOR example of its documentation), with
# the places that a 1-input, 1-output regression has to change left as fields:
# - num_inputs, fitness_threshold (the fitness below is minus the mse);
# - the activation: the example's sigmoid gives values in (0, 1) only, so it cannot reach a sine's
#   negative half; tanh is the one of its functions whose range covers [-1, 1].
# pop_size, the mutation rates and every other setting are the example's own.
from neat_config import NEAT_CONFIG  # noqa: E402


# ---------------------------------------------------------------------------------------------
# The calling interpreter: make the virtual environment and run the benchmark inside it.


def venv_python():
    return os.path.join(VENV, "bin", "python")


def venv_version():
    probe = subprocess.run([venv_python(), "-c", "import sys; print(sys.version_info[:2])"],
                           capture_output=True, text=True)
    return probe.stdout.strip() if probe.returncode == 0 else None


def ensure_venv():
    # The environment's interpreter must be the caller's version: it loads the caller's tessaron.
    if os.path.exists(VENV) and venv_version() != str(sys.version_info[:2]):
        print(f"Removing {VENV}: made for another Python", flush=True)
        shutil.rmtree(VENV)
    if not os.path.exists(venv_python()):
        print(f"Creating {VENV} ...", flush=True)
        made = subprocess.run([sys.executable, "-m", "venv", VENV])
        if made.returncode != 0:
            # No ensurepip (a distribution's Python): an environment without pip, filled by the
            # caller's pip.
            shutil.rmtree(VENV, ignore_errors=True)
            subprocess.run([sys.executable, "-m", "venv", "--without-pip", VENV], check=True)
    if subprocess.run([venv_python(), "-c", "import neat"], capture_output=True).returncode != 0:
        print("Installing neat-python into it ...", flush=True)
        has_pip = subprocess.run([venv_python(), "-m", "pip", "--version"],
                                 capture_output=True).returncode == 0
        installer = [venv_python(), "-m", "pip"] if has_pip else [sys.executable, "-m", "pip",
                                                                   "--python", venv_python()]
        subprocess.run(installer + ["install", "--quiet", "neat-python"], check=True)


def site_dir_of(module):
    """The folder that holds a package, for a .pth line."""
    return os.path.dirname(os.path.dirname(os.path.abspath(module.__file__)))


def run_in_venv(arguments):
    import numpy
    import tessaron

    ensure_venv()
    # A .pth file adds the caller's folders after the environment's own site-packages, so that
    # the environment's neat-python wins over any other copy.
    where = "import sysconfig; print(sysconfig.get_path('purelib'))"
    site = subprocess.run([venv_python(), "-c", where], check=True, capture_output=True,
                          text=True).stdout.strip()
    folders = dict.fromkeys([site_dir_of(tessaron), site_dir_of(numpy)])
    with open(os.path.join(site, "tessaron_bench_caller.pth"), "w") as file:
        file.write("\n".join(folders) + "\n")
    environment = dict(os.environ, TESSARON_BENCH_EXPECTED=os.path.abspath(tessaron.__file__))
    environment.pop("PYTHONPATH", None)
    command = [venv_python(), os.path.abspath(__file__), CHILD_FLAG] + arguments
    return subprocess.run(command, env=environment).returncode


# ---------------------------------------------------------------------------------------------
# Inside the virtual environment.



def neat_config(neat, folder, num_inputs, activation, fitness_threshold, pop_size=150):
    path = os.path.join(folder, f"neat-{num_inputs}-{activation}.cfg")
    with open(path, "w") as file:
        file.write(NEAT_CONFIG.format(num_inputs=num_inputs, num_outputs=1, activation=activation,
                                      activation_options=activation, activation_mutate_rate=0.0,
                                      fitness_threshold=fitness_threshold,
                                      no_fitness_termination=False, pop_size=pop_size))
    return neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                       neat.DefaultStagnation, path)


def add_tessaron_activations(config):
    """Tessaron's four functions under their own names: neat-python's sigmoid and tanh scale
    their input (by 5 and 2.5), so the copies below would otherwise compute other values."""

    def sigmoid(z):
        return 1.0 / (math.exp(-z) + 1.0) if z > -700.0 else 0.0

    def tanh(z):
        return math.tanh(z)

    def relu(z):
        return z if z > 0.0 else 0.0

    def linear(z):
        return z

    functions = {"sigmoid": sigmoid, "tanh": tanh, "relu": relu, "linear": linear}
    for name, function in functions.items():
        config.genome_config.add_activation("t_" + name, function)


def neat_genome_like(neat, config, key, model, inputs):
    """A neat-python genome with the nodes, activations, biases and weighted connections of a
    tessaron model, built through neat-python's public genome interface."""
    nodes = model.get_nodes()
    size = len(nodes)
    output = size - 1

    def neat_key(index):  # neat-python numbers inputs -1, -2, ..., outputs from 0, then hidden
        if index < inputs:
            return -(index + 1)
        return 0 if index == output else index - inputs + 1

    genome = neat.DefaultGenome(key)
    for index, attributes in nodes[inputs:]:
        node = neat.DefaultGenome.create_node(config.genome_config, neat_key(index))
        node.bias = attributes["bias"]
        node.response = 1.0
        node.aggregation = "sum"
        node.activation = "t_" + attributes["activation"]
        genome.nodes[node.key] = node
    takes_innovation = "innovation" in inspect.signature(genome.add_connection).parameters
    for number, (source, target, attributes) in enumerate(model.get_connections(), start=1):
        extra = {"innovation": number} if takes_innovation else {}
        genome.add_connection(config.genome_config, neat_key(source), neat_key(target),
                              attributes["weight"], True, **extra)
    return genome


def set_threads(tessaron, n):
    if hasattr(tessaron, "set_num_threads"):
        tessaron.set_num_threads(n)


def part_a(neat, tessaron, np, folder):
    print(f"(a) Scoring a population of {POPULATION} networks ({INPUTS} inputs, 1 output, "
          f"{NODES} nodes, every allowed\n    connection) on the same {SAMPLES} samples: "
          "outputs for every sample, then the mean squared error.")
    rng = np.random.default_rng(0)
    x = rng.uniform(-1.0, 1.0, size=(SAMPLES, INPUTS))
    y = np.sin(x[:, :1] + x[:, 1:])
    models = [tessaron.Model(INPUTS, 1, NODES) for _ in range(POPULATION)]
    for model in models:
        model.compile(loss="mse")
    connections = [len(model.get_connections()) for model in models]

    config = neat_config(neat, folder, INPUTS, "sigmoid", 0.0)
    add_tessaron_activations(config)
    genomes = [(i, neat_genome_like(neat, config, i, model, INPUTS))
               for i, model in enumerate(models)]
    data = list(zip(x.tolist(), y[:, 0].tolist()))  # neat-python takes plain Python sequences

    def neat_scoring():
        # As neat-python's documentation evaluates genomes: a network per genome, one activate
        # call per sample.
        for _, genome in genomes:
            network = neat.nn.FeedForwardNetwork.create(genome, config)
            error = 0.0
            for inputs, target in data:
                error += (network.activate(inputs)[0] - target) ** 2
            genome.fitness = -error / len(data)

    def tessaron_predict():
        return [float(np.mean((model.predict(x) - y) ** 2)) for model in models]

    def tessaron_evaluate():
        return [model.evaluate(x, y)[0] for model in models]

    # Both libraries must compute the same thing: the same networks give the same losses.
    neat_scoring()
    neat_losses = np.array([-genome.fitness for _, genome in genomes])
    predict_losses = np.array(tessaron_predict())
    evaluate_losses = np.array(tessaron_evaluate())
    np.testing.assert_allclose(neat_losses, predict_losses, rtol=1e-9)
    np.testing.assert_allclose(evaluate_losses, predict_losses, rtol=1e-12)
    counts = f"{min(connections)}" + ("" if min(connections) == max(connections)
                                      else f"-{max(connections)}")
    print(f"    Same networks in both libraries ({counts} connections each): the {POPULATION} "
          "losses agree to "
          f"{np.max(np.abs(neat_losses / predict_losses - 1)):.1e} (relative).")

    neat_time = best_of(neat_scoring, 3)
    figures = [("neat-python: FeedForwardNetwork.create + activate per sample", neat_time)]
    threads = tessaron.get_num_threads() if hasattr(tessaron, "get_num_threads") else None
    set_threads(tessaron, 1)
    figures.append(("tessaron, 1 thread: Model.predict + numpy mse per network",
                    best_of(tessaron_predict, 7)))
    figures.append(("tessaron, 1 thread: Model.evaluate per network",
                    best_of(tessaron_evaluate, 7)))
    if threads is not None and threads > 1:
        set_threads(tessaron, threads)
        figures.append((f"tessaron, {threads} threads: Model.predict + numpy mse per network",
                        best_of(tessaron_predict, 7)))
    print("    Best of several rounds; a round scores the whole population:")
    for name, seconds in figures:
        ratio = "" if name.startswith("neat") else f"  {neat_time / seconds:8.0f}x faster"
        print(f"    {name:60s} {seconds * 1e3:10.2f} ms{ratio}")
    print("    The fairest measure is the 1-thread Model.predict line: like neat-python, it goes"
          " through the\n    library's public Python interface once per network and computes the"
          " loss in Python (numpy),\n    which is what a tessaron fitness function does with the"
          " Genome objects it is given. Target: >= 200x.\n")


class StopRun(Exception):
    """Raised into a running evolution to end it."""


def tessaron_run(tessaron, x, y, cap):
    """One Model(1, 1) evolved with compile's and evolve's defaults until its loss is below the
    target or `cap` seconds have passed. Returns (reached, seconds, epochs, best loss)."""
    model = tessaron.Model(1, 1)
    model.compile(loss="mse")
    lines = []  # progress lines, appended by tessaron's console (list.append runs no Python code)

    class Console:
        write = lines.append
        flush = int

    state = {"active": True, "reached": None, "epochs": 0, "loss": math.inf}
    start = time.perf_counter()

    # A timer signal every 2 ms; tessaron runs the handler at its signal check before the next
    # generation. The handler reads the epochs' progress lines and ends the run by raising.
    def on_tick(signum, frame):
        now = time.perf_counter() - start
        for line in lines:
            match = re.search(r"Epoch (\d+)/\d+ .* loss: (\S+)", line)
            if match and state["reached"] is None:  # the figures of the first epoch on target
                state["epochs"], state["loss"] = int(match[1]), float(match[2])
                if state["loss"] < TARGET_MSE:
                    state["reached"] = now
        lines.clear()
        if state["active"] and (state["reached"] is not None or now > cap):
            state["active"] = False
            raise StopRun()

    previous_handler = signal.signal(signal.SIGALRM, on_tick)
    previous_stdout = sys.stdout
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        sys.stdout = Console()
        model.evolve(x, y, epochs=1_000_000, verbose=2)
        state["active"] = False
    except StopRun:
        pass
    finally:
        state["active"] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous_handler)
        sys.stdout = previous_stdout
    reached = state["reached"] is not None
    seconds = state["reached"] if reached else time.perf_counter() - start
    return reached, seconds, state["epochs"], state["loss"]


class OutOfTime(Exception):
    pass


def neat_run(neat, config, x, y, cap, seed):
    """One neat-python run from its documented example configuration, seeded, until its best
    genome's mse is below the target or `cap` seconds have passed."""
    random.seed(seed)
    data = list(zip(x[:, 0].tolist(), y[:, 0].tolist()))
    start = time.perf_counter()
    best = {"mse": math.inf}

    def eval_genomes(genomes, config):
        if time.perf_counter() - start > cap:
            raise OutOfTime()
        for _, genome in genomes:
            network = neat.nn.FeedForwardNetwork.create(genome, config)
            error = 0.0
            for value, target in data:
                error += (network.activate((value,))[0] - target) ** 2
            genome.fitness = -error / len(data)
            best["mse"] = min(best["mse"], error / len(data))

    population = neat.Population(config)
    try:
        population.run(eval_genomes)
    except (OutOfTime, neat.CompleteExtinctionException):
        pass
    seconds = time.perf_counter() - start
    return best["mse"] < TARGET_MSE, seconds, population.generation, best["mse"]


def median_text(results, cap):
    """Median of the run times, counting a run that missed the target as taking the cap."""
    times = sorted(seconds if reached else math.inf for reached, seconds, _, _ in results)
    median = statistics.median(times)
    return median, (f"{median:8.2f} s" if math.isfinite(median) else f"  > {cap:.0f} s")


def part_b(neat, tessaron, np, folder, runs, cap):
    print(f"(b) Sine regression, 256 samples, x in [-pi, pi]: wall time until the best network's "
          f"mse is below {TARGET_MSE},\n    {runs} run{'s' if runs != 1 else ''} per library, "
          f"each capped at {cap:.0f} s.")
    threads = tessaron.get_num_threads() if hasattr(tessaron, "get_num_threads") else 1
    seeded = "seeded by tessaron.seed(run)" if hasattr(tessaron, "seed") else "unseeded"
    print(f"    tessaron: Model(1, 1), compile(loss='mse'), evolve(x, y) with its defaults "
          f"(pop_size 100, the whole\n    dataset each generation), {threads} thread(s), {seeded};"
          " stopped at the first epoch whose\n    progress line shows the loss below the target.")
    print("    neat-python: its documented example configuration (pop_size 150 and its mutation "
          "rates) with\n    num_inputs 1 and tanh for sigmoid, fitness = -mse, fitness_threshold "
          f"-{TARGET_MSE}, seeded by random.seed(run).")
    x = np.linspace(-math.pi, math.pi, 256).reshape(-1, 1)
    y = np.sin(x)
    config = neat_config(neat, folder, 1, "tanh", -TARGET_MSE)
    results = {"tessaron": [], "neat-python": []}
    for run in range(1, runs + 1):
        if hasattr(tessaron, "seed"):
            tessaron.seed(run)
        for name in results:  # the libraries take turns, so that load changes hit both alike
            if name == "tessaron":
                outcome = tessaron_run(tessaron, x, y, cap)
                unit = "epochs"
            else:
                outcome = neat_run(neat, config, x, y, cap, run)
                unit = "generations"
            results[name].append(outcome)
            reached, seconds, steps, loss = outcome
            print(f"    run {run} {name:12s}: {'reached' if reached else 'missed '} in "
                  f"{seconds:8.2f} s, {steps:7d} {unit:11s}, best mse {loss:.6f}", flush=True)
    medians = {}
    for name, outcomes in results.items():
        reached = sum(1 for outcome in outcomes if outcome[0])
        medians[name], text = median_text(outcomes, cap)
        print(f"    {name:12s}: median {text}, {reached}/{runs} runs reached the target within "
              f"{cap:.0f} s")
    t, n = medians["tessaron"], medians["neat-python"]
    if math.isfinite(t) and math.isfinite(n):
        print(f"    neat-python / tessaron median wall time: {n / t:.0f}x")
    elif math.isfinite(t):
        print(f"    neat-python / tessaron median wall time: > {cap / t:.0f}x (neat-python's "
              "median run missed the target)")
    else:
        print("    tessaron's median run missed the target: no ratio")


def child(arguments):
    import numpy as np
    import neat
    import tessaron

    expected = os.environ.get("TESSARON_BENCH_EXPECTED")
    if expected and os.path.abspath(tessaron.__file__) != expected:
        sys.exit(f"the virtual environment imports {tessaron.__file__}, not {expected}")
    try:
        load = os.getloadavg()
    except OSError:
        load = None
    version = getattr(neat, "__version__", None)
    if version is None:
        from importlib import metadata
        version = metadata.version("neat-python")
    print(f"tessaron from {os.path.dirname(tessaron.__file__)}; neat-python {version}; "
          f"Python {sys.version.split()[0]}; {os.cpu_count()} CPUs; load average "
          f"{' '.join(f'{v:.2f}' for v in load) if load else 'unknown'}\n", flush=True)
    with tempfile.TemporaryDirectory() as folder:
        if not arguments.skip_a:
            part_a(neat, tessaron, np, folder)
        if not arguments.skip_b:
            part_b(neat, tessaron, np, folder, arguments.runs, arguments.cap)
    if load is not None:
        print(f"\nload average at the end: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per library in part (b)")
    parser.add_argument("--cap", type=float, default=120.0,
                        help="seconds a run of part (b) may take")
    parser.add_argument("--skip-a", action="store_true", help="leave out part (a)")
    parser.add_argument("--skip-b", action="store_true", help="leave out part (b)")
    parser.add_argument(CHILD_FLAG, dest="child", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.runs < 1 or arguments.cap <= 0:
        parser.error("--runs must be at least 1 and --cap positive")
    if arguments.child:
        return child(arguments)
    passed = [a for a in sys.argv[1:] if a != CHILD_FLAG]
    return run_in_venv(passed)


if __name__ == "__main__":
    sys.exit(main())

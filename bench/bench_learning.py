"""How well each optimizer learns per evaluation: tessaron's Beta and Alpha, neat-python, CMA-ES on
a linear policy, and the peers of learning_peers.py (evosax, evotorch, pycma on an MLP,
scikit-learn) with the same budgets and seeds, one thread each, medians over the seeds.

    pip install -r bench/requirements.txt
    python bench/bench_learning.py [--tasks cartpole,diabetes,friedman,xor,sine,acrobot,lunar]
                                   [--methods beta,alpha,neat,cma-linear|peers|...] [--seeds 5]
                                   [--jobs 2] [--budget cartpole=100000 --budget lunar=400000 ...]
                                   [--trace 150000] [--results FILE] [--hidden N] [--pop N]
                                   [--beta max_hidden=0 --beta search='select' ...]

Methods: beta, alpha (tessaron), neat (neat-python), cma-linear (pycma, linear policy, raw
observations), and the peers: cma (pycma on a 16-tanh MLP with observation normalisation),
evosax-cma, evosax-snes, evosax-pgpe, evosax-openes (gymnax environments), evotorch-pgpe
(GymNE); `peers` stands for all six. sklearn (LinearRegression, Ridge, MLPRegressor;
LogisticRegression, MLPClassifier) runs on the regression and classification tasks.

tessaron's control runs are what a user writes: tessaron.gym.EpisodeFitness (observations
normalised, one episode per evaluation, episode seeds shared by a generation), `Beta()` with its
defaults (or the `--beta` settings) and a population of 20, from a model without hidden nodes
(or `--hidden` of them).

Tasks and what is printed per method (median over the seeds, and how many seeds reached the goal):
- cartpole (CartPole-v1), acrobot (Acrobot-v1), mountaincar (MountainCar-v0),
  mountaincar-continuous (MountainCarContinuous-v0), lunar (LunarLander-v3), lunar-continuous
  (LunarLanderContinuous-v3), bipedal (BipedalWalker-v3): environment steps and episodes spent on
  training until the reported network (a peer's centre, tessaron's model after the generation)
  first reaches a mean return of at least the gymnasium threshold (475, -100, -110, 90, 200,
  200, 300) over 100 test episodes (test steps are not counted; a network is tested at most once
  a generation, when the generation's best training episode reached the threshold), within the
  step budget; the network's size, and the wall time per run (evosax's compile apart). pendulum
  (Pendulum-v1): the mean return of the final network over 100 test episodes, and the steps
  until a network first tested at -200 or better.
  learning_peers.py states the protocol in full.
- diabetes (scikit-learn, target scaled to [-1, 1]) and friedman1 (1000 samples, noise 1; the
  target standardised and multiplied by 0.1, 1 and 10): R^2 on a held-out 20 % after a budget
  of network evaluations, and the final network's node and connection counts.
- classification (breast cancer, wine, digits, iris; drawn per seed: two half-moons, two rings,
  three classes of which 5 of 10 features inform): accuracy and log-loss on a held-out stratified
  quarter (bench_classification.py's split, learning_peers.classification_data) of
  tessaron.sklearn.EvolvedClassifier (its default loss, a population of 50, epochs for a budget
  of network evaluations) and of LogisticRegression and MLPClassifier (sklearn), and the models'
  sizes. unseen: the same on data sets added after Beta's defaults were chosen (three Gaussian
  quantiles, 2 of 20 features informative, four blobs, noisier half-moons, an XOR of two of four
  features; learning_peers.classification_samples).
- xor and sine (256 samples of sin on [-pi, pi]): evaluations and wall time until the training
  mse is below 0.01 (time estimated as the run's time per generation times the generations
  needed).
"""

import argparse
import ast
import math
import os
import random
import statistics
import sys
import tempfile
import time

import learning_peers as peers  # first: it limits JAX's and the BLAS libraries' threads
import numpy as np

import tessaron
from tessaron.optimizers import Beta

# environment steps for the control tasks, network evaluations otherwise
DEFAULT_BUDGETS = {task: row[4] for task, row in peers.TASKS.items()}
DEFAULT_BUDGETS.update({"diabetes": 50_000, "friedman": 50_000, "xor": 100_000, "sine": 200_000,
                        "classification": 50_000, "unseen": 50_000})
# gymnasium ids, thresholds and bounds of the control tasks: learning_peers.TASKS
CONTROL = peers.TASKS
TEST_EPISODES = peers.TEST_EPISODES
TRACE_EPISODES = 30
trace_every = 0  # --trace: steps between tests of the network tessaron hands over first
start_hidden = 0  # --hidden: hidden nodes of tessaron's models on the control tasks
show_phases = False  # --phases: print where Beta's covariance search changed its structure
raw_observations = False  # --raw: tessaron's control runs without observation normalisation
FRIEDMAN_SCALES = (0.1, 1.0, 10.0)

# The optimizers' settings, the same on every task of a kind.
BETA_POP = {"control": 20, "regression": 50, "toy": 50}
ALPHA_POP = {"control": 50, "regression": 50, "toy": 50}
NEAT_POP = 150  # neat-python's documented example
# Beta runs with its defaults everywhere: the settings of a new user.
beta_settings = {}  # --beta key=value: settings for every task, to compare with the defaults

# A standard feed-forward neat-python configuration (that of its XOR example); the counts, the
# activation and, for regression, activation mutation among four functions are the only changes.
from neat_config import NEAT_CONFIG  # noqa: E402


Stop = peers.Stop
ControlRun = peers.ControlRun


def neat_config(inputs, outputs, regression):
    import neat
    text = NEAT_CONFIG.format(
        pop_size=NEAT_POP, num_inputs=inputs, num_outputs=outputs,
        activation="tanh" if regression else "sigmoid",
        activation_options="tanh sigmoid relu identity" if regression else "sigmoid",
        activation_mutate_rate=0.1 if regression else 0.0, fitness_threshold=1e300,
        no_fitness_termination=True)
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as file:
        file.write(text)
    try:
        return neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                           neat.DefaultStagnation, file.name)
    finally:
        os.unlink(file.name)


def neat_population(config, seed):
    import neat
    random.seed(seed)
    return neat.Population(config)


def neat_size(genome):
    enabled = sum(1 for c in genome.connections.values() if c.enabled)
    return len(genome.nodes), enabled


# neat-python's activation functions (as it defines them), over numpy arrays.
NEAT_NUMPY = {
    "sigmoid": lambda z: 1.0 / (1.0 + np.exp(-np.clip(5.0 * z, -60.0, 60.0))),
    "tanh": lambda z: np.tanh(np.clip(2.5 * z, -60.0, 60.0)),
    "relu": lambda z: np.maximum(z, 0.0),
    "identity": lambda z: z,
}


def neat_predict(genome, config, x):
    """neat-python's FeedForwardNetwork, evaluated over all rows of x at once."""
    import neat
    network = neat.nn.FeedForwardNetwork.create(genome, config)
    values = {key: x[:, i] for i, key in enumerate(network.input_nodes)}
    for node, _, _, bias, response, links in network.node_evals:
        total = np.zeros(len(x))
        for source, weight in links:
            total = total + values[source] * weight
        values[node] = NEAT_NUMPY[genome.nodes[node].activation](bias + response * total)
    return np.column_stack([values.get(key, np.zeros(len(x))) for key in network.output_nodes])


def tessaron_size(model):
    return len(model.get_nodes()), len(model.get_connections())


def genome_size(genome):
    """Nodes and connections of a Genome."""
    network = genome.get_network()
    return len(network["biases"]), len(network["connections"])


# ---------------------------------------------------------------------------------------------
# Control tasks.


def control_tessaron(task, seed, budget, optimizer):
    """A run as a user writes it: tessaron.gym's EpisodeFitness (one episode per evaluation,
    observations normalised), the default optimizer settings and a population of 20."""
    import tessaron.callbacks
    import tessaron.gym
    run = ControlRun(task, seed, budget)
    started = time.perf_counter()
    tessaron.set_num_threads(1)
    tessaron.seed(seed)
    fitness = tessaron.gym.EpisodeFitness(CONTROL[task][0], normalize=not raw_observations)
    model = tessaron.Model(fitness.observation_size, run.actions,
                           fitness.observation_size + run.actions + start_hidden)
    model.compile(Beta(**beta_settings) if optimizer == "beta" else "alpha")
    pop = BETA_POP["control"] if optimizer == "beta" else ALPHA_POP["control"]
    test_seed = 10_000 * (seed + 1)
    next_trace = 0
    reached = False  # whether the latest generation's best training return reached the target

    def test_mean(genome, episodes):
        return tessaron.gym.evaluate(genome, CONTROL[task][0], episodes, test_seed,
                                     normalize=fitness).mean

    def train_func(genomes):
        nonlocal next_trace, reached
        before = fitness.env_steps
        losses = fitness(genomes)
        run.count(fitness.env_steps - before, len(genomes))
        if trace_every and run.steps >= next_trace:
            next_trace += trace_every
            print(f"  trace {task} {optimizer} seed {seed}: {run.steps} steps, first network's "
                  f"mean over {TRACE_EPISODES} test episodes "
                  f"{test_mean(genomes[0], TRACE_EPISODES):.1f}", flush=True)
        reached = -min(losses) >= run.target() and not (run.solved_at or run.marked_at)
        return losses

    class Budget(tessaron.callbacks.Callback):
        # Tests the model (the network the run hands back, reading raw observations) after a
        # generation whose best training return reached the target, as the peers' centres are
        # tested. Ends the run after the generation that spent the budget, keeping its network
        # (an exception would leave the model as it was).
        def on_epoch_end(self, epoch, logs=None):
            phase = tuple(int(logs.get(key, 0)) for key in ("hidden_nodes", "restarts", "samples"))
            if show_phases and phase != getattr(self, "phase", None):
                self.phase = phase
                print(f"  phase {task} seed {seed}: from {run.steps} steps, {phase[0]} hidden "
                      f"nodes, restart {phase[1]}, {phase[2]} samples", flush=True)
            if reached:
                run.record(tessaron.gym.evaluate(self.model, CONTROL[task][0], TEST_EPISODES,
                                                 test_seed).mean, genome_size(self.model))
            if run.steps >= run.budget:
                self.model.stop_evolving = True

    train_func.tessaron_callback = fitness.tessaron_callback
    try:
        model.func_evolve(train_func, pop_size=pop, epochs=2**31 - 1, verbose=0,
                          callbacks=[Budget()])
    except Stop:
        pass
    final = None
    if run.threshold is None:  # the final network, folded, on raw observations
        final = tessaron.gym.evaluate(model, CONTROL[task][0], TEST_EPISODES, test_seed).mean
    return run.result(started, final=final)


def control_neat(task, seed, budget):
    import neat
    run = ControlRun(task, seed, budget)
    started = time.perf_counter()
    config = neat_config(run.inputs, run.actions, regression=False)
    population = neat_population(config, seed)

    def eval_genomes(genomes, config):
        best, best_return = None, -math.inf
        for _, genome in genomes:
            network = neat.nn.FeedForwardNetwork.create(genome, config)
            act = lambda observation, n=network: run.action(n.activate(observation))
            genome.fitness = run.train_return(act)
            if genome.fitness > best_return:
                best, best_return = (genome, act), genome.fitness
        run.test(best[1], neat_size(best[0]), best_return)

    try:
        population.run(eval_genomes, 10**9)
    except Stop:
        pass
    return run.result(started)


def control_cma_linear(task, seed, budget):
    """pycma on a linear policy of the raw observations, testing the generation's best member."""
    import cma
    run = ControlRun(task, seed, budget)
    started = time.perf_counter()
    shape = (run.actions, run.inputs + 1)
    strategy = cma.CMAEvolutionStrategy(np.zeros(shape[0] * shape[1]), 0.5,
                                        {"seed": seed + 1, "verbose": -9})

    def policy(parameters):
        w = np.asarray(parameters).reshape(shape)
        return lambda observation: run.action(w[:, :-1] @ observation + w[:, -1])

    try:
        while True:
            candidates = strategy.ask()
            returns = [run.train_return(policy(c)) for c in candidates]
            best = int(np.argmax(returns))
            run.test(policy(candidates[best]), (0, shape[0] * shape[1]), returns[best])
            strategy.tell(candidates, [-r for r in returns])
    except Stop:
        pass
    return run.result(started)


# ---------------------------------------------------------------------------------------------
# Regression tasks.


def regression_data(task, seed, scale):
    from sklearn.datasets import load_diabetes, make_friedman1
    from sklearn.model_selection import train_test_split
    if task == "diabetes":
        data = load_diabetes()
        x, y = data.data, data.target
    else:
        x, y = make_friedman1(n_samples=1000, noise=1.0, random_state=seed)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.2, random_state=seed)
    mean, spread = x_train.mean(0), x_train.std(0)
    x_train, x_test = (x_train - mean) / spread, (x_test - mean) / spread
    if task == "diabetes":
        low, high = y_train.min(), y_train.max()
        target = lambda v: 2.0 * (v - low) / (high - low) - 1.0
    else:
        centre, spread_y = y_train.mean(), y_train.std()
        target = lambda v: (v - centre) / spread_y * scale
    return x_train, target(y_train)[:, None], x_test, target(y_test)[:, None]


def r2(prediction, y):
    return 1.0 - float(np.mean((prediction - y) ** 2) / np.var(y))


REGRESSION_HIDDEN = {"diabetes": 0, "friedman": 8}


def regression_tessaron(task, seed, budget, optimizer, scale):
    x, y, x_test, y_test = regression_data(task, seed, scale)
    tessaron.set_num_threads(1)
    tessaron.seed(seed)
    model = tessaron.Model(x.shape[1], 1, x.shape[1] + 1 + REGRESSION_HIDDEN[task])
    if optimizer == "beta":
        beta = Beta(**beta_settings)
        pop = BETA_POP["regression"]
        epochs = 1 + (budget - pop) // (pop - 2)
        model.compile(beta, "mse")
    else:
        pop = ALPHA_POP["regression"]
        epochs = budget // (2 * pop)
        model.compile("alpha", "mse")
    model.evolve(x, y, pop_size=pop, epochs=epochs, verbose=0)
    return r2(model.predict(x_test), y_test), tessaron_size(model)


def regression_neat(task, seed, budget, scale):
    x, y, x_test, y_test = regression_data(task, seed, scale)
    config = neat_config(x.shape[1], 1, regression=True)
    population = neat_population(config, seed)
    generations = max(1, budget // NEAT_POP)

    def eval_genomes(genomes, config):
        for _, genome in genomes:
            genome.fitness = -float(np.mean((neat_predict(genome, config, x) - y) ** 2))

    winner = population.run(eval_genomes, generations)
    return r2(neat_predict(winner, config, x_test), y_test), neat_size(winner)


# ---------------------------------------------------------------------------------------------
# XOR and sine: evaluations and time to an mse below 0.01.

TARGET_MSE = 0.01


def toy_data(task):
    if task == "xor":
        x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], float)
        return x, np.array([[0], [1], [1], [0]], float), 2
    x = np.linspace(-math.pi, math.pi, 256)[:, None]
    return x, np.sin(x), 4


def toy_tessaron(task, seed, budget, optimizer):
    x, y, hidden = toy_data(task)
    tessaron.set_num_threads(1)
    tessaron.seed(seed)
    model = tessaron.Model(x.shape[1], 1, x.shape[1] + 1 + hidden)
    pop = (BETA_POP if optimizer == "beta" else ALPHA_POP)["toy"]
    per_generation = (pop - 2) if optimizer == "beta" else 2 * pop
    model.compile(Beta(**beta_settings) if optimizer == "beta" else "alpha", "mse")
    epochs = budget // per_generation
    start = time.perf_counter()
    losses = model.evolve(x, y, pop_size=pop, epochs=epochs, verbose=0)["loss"]
    seconds = time.perf_counter() - start
    hit = next((i for i, loss in enumerate(losses) if loss < TARGET_MSE), None)
    if hit is None:
        return None, None
    return (hit + 1) * per_generation, seconds * (hit + 1) / epochs


def toy_neat(task, seed, budget):
    x, y, _ = toy_data(task)
    config = neat_config(x.shape[1], 1, regression=True)
    population = neat_population(config, seed)
    state = {"evaluations": 0, "hit": None}
    start = time.perf_counter()

    def eval_genomes(genomes, config):
        for _, genome in genomes:
            if state["evaluations"] >= budget:
                raise Stop
            state["evaluations"] += 1
            mse = float(np.mean((neat_predict(genome, config, x) - y) ** 2))
            genome.fitness = -mse
            if mse < TARGET_MSE:
                state["hit"] = (state["evaluations"], time.perf_counter() - start)
                raise Stop

    try:
        population.run(eval_genomes, 10**9)
    except Stop:
        pass
    return state["hit"] or (None, None)


# ---------------------------------------------------------------------------------------------
# The table.


def run_control(task, method, budget, seed):
    if method in ("beta", "alpha"):
        return control_tessaron(task, seed, budget, method)
    if method == "neat":
        return control_neat(task, seed, budget)
    if method == "cma-linear":
        return control_cma_linear(task, seed, budget)
    return peers.run_peer(task, method, budget, seed)


def run_regression(task, method, budget, seed, scale):
    if method == "neat":
        return regression_neat(task, seed, budget, scale)
    if method == "sklearn":
        return peers.regression_sklearn(regression_data(task, seed, scale), seed)
    return regression_tessaron(task, seed, budget, method, scale)


def over_seeds(jobs, run, task, method, budget, seeds, *extra):
    """One run per seed, in `jobs` processes at once (each run still uses one thread)."""
    arguments = [(task, method, budget, seed, *extra) for seed in seeds]
    if jobs <= 1:
        return [run(*a) for a in arguments]
    import multiprocessing
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        return pool.starmap(run, arguments, chunksize=1)


def median_or_dash(values, form="{:.0f}"):
    values = [v for v in values if v is not None]
    return form.format(statistics.median(values)) if values else "—"


results_file = None  # --results: markdown rows are appended here as they come


def record(row):
    if results_file:
        with open(results_file, "a") as file:
            file.write(row + "\n")


def size_text(size):
    """Nodes/connections of a tessaron or neat-python network, parameters of a fixed MLP."""
    if size is None:
        return "—"
    return f"{size[0]}/{size[1]} nodes/connections" if isinstance(size, tuple) else f"{size} parameters"


def report_control(task, method, results, elapsed):
    ran = [r for r in results if r is not None]
    if not ran:
        print(f"  {method:14s} — (no such environment)", flush=True)
        return
    steps = [r["solved"][0] if r["solved"] else None for r in ran]
    episodes = [r["solved"][1] if r["solved"] else None for r in ran]
    sizes = [r["size"] for r in ran if r["size"] is not None]
    size = size_text(sizes[len(sizes) // 2] if sizes else None)
    wall = median_or_dash([r["seconds"] for r in ran])
    compile_text = (f", compile {median_or_dash([r['compile'] for r in ran])}s apart"
                    if any(r["compile"] for r in ran) else "")
    if CONTROL[task][2] is None:
        finals = [r["final"] for r in ran]
        marked = [r["marked"][0] if r["marked"] else None for r in ran]
        print(f"  {method:14s} final test return {median_or_dash(finals, '{:.1f}')} (per seed "
              f"{[round(f, 1) for f in finals if f is not None]}), steps to {peers.PENDULUM_MARK:g} "
              f"{median_or_dash(marked)} (per seed {marked}), {size}, {wall}s a run{compile_text}, "
              f"{elapsed:.0f}s in all", flush=True)
        record(f"| {task} | {method} | {median_or_dash(finals, '{:.1f}')} | "
               f"{[round(f, 1) for f in finals if f is not None]} | {median_or_dash(marked)} | "
               f"{marked} | {size} | {wall} | {median_or_dash([r['compile'] for r in ran])} |")
        return
    solved = [s for s in steps if s is not None]
    print(f"  {method:14s} solved {len(solved)}/{len(ran)}, median steps to solve "
          f"{median_or_dash(steps)} (per seed {steps}), episodes {median_or_dash(episodes)} "
          f"(per seed {episodes}), {size}, {wall}s a run{compile_text}, {elapsed:.0f}s in all",
          flush=True)
    record(f"| {task} | {method} | {len(solved)}/{len(ran)} | {median_or_dash(steps)} | "
           f"{median_or_dash(episodes)} | {steps} | {size} | {wall} | "
           f"{median_or_dash([r['compile'] for r in ran])} |")


def report_regression(label, method, results, elapsed):
    if method == "sklearn":
        for name in results[0]:
            scores = [r[name][0] for r in results]
            print(f"  sklearn-{name:8s} R^2 {statistics.median(scores):.3f} (per seed "
                  f"{[round(v, 3) for v in scores]}), {results[0][name][1]} parameters",
                  flush=True)
            record(f"| {label} | sklearn-{name} | {statistics.median(scores):.3f} | "
                   f"{[round(v, 3) for v in scores]} | {results[0][name][1]} |")
        return
    scores = [r[0] for r in results]
    sizes = [r[1] for r in results]
    print(f"  {method:14s} R^2 {statistics.median(scores):.3f} (per seed "
          f"{[round(v, 3) for v in scores]}), nodes/connections "
          f"{median_or_dash([s[0] for s in sizes])}/{median_or_dash([s[1] for s in sizes])}, "
          f"{elapsed:.0f}s", flush=True)
    record(f"| {label} | {method} | {statistics.median(scores):.3f} | "
           f"{[round(v, 3) for v in scores]} | {median_or_dash([s[0] for s in sizes])}/"
           f"{median_or_dash([s[1] for s in sizes])} nodes/connections |")


def classification_tessaron(task, method, budget, seed):
    """tessaron.sklearn.EvolvedClassifier as a user fits it: the optimizer and a population, the
    loss its default (categorical cross-entropy), epochs for `budget` evaluations."""
    from sklearn.metrics import accuracy_score, log_loss
    from tessaron.sklearn import EvolvedClassifier
    x, y, x_test, y_test = peers.classification_data(task, seed)
    tessaron.set_num_threads(1)
    pop = (BETA_POP if method == "beta" else ALPHA_POP)["regression"]
    optimizer = Beta(**beta_settings) if method == "beta" else "alpha"
    epochs = max(1, budget // pop)
    classifier = EvolvedClassifier(optimizer=optimizer, pop_size=pop, epochs=epochs,
                                   random_state=seed).fit(x, y)
    return (accuracy_score(y_test, classifier.predict(x_test)),
            log_loss(y_test, classifier.predict_proba(x_test), labels=classifier.classes_),
            tessaron_size(classifier.model_))


def report_classification(tasks, methods, budget, seeds, jobs):
    for task in tasks:
        print(f"\n{task}: held-out accuracy and log-loss", flush=True)
        for method in [m for m in methods if m in ("beta", "alpha")]:
            results = over_seeds(jobs, classification_tessaron, task, method, budget, seeds)
            accuracy, loss = [r[0] for r in results], [r[1] for r in results]
            print(f"  {method:14s} accuracy {statistics.median(accuracy):.3f} (per seed "
                  f"{[round(v, 3) for v in accuracy]}), log-loss {statistics.median(loss):.3f} "
                  f"(per seed {[round(v, 3) for v in loss]}), nodes/connections "
                  f"{median_or_dash([r[2][0] for r in results])}/"
                  f"{median_or_dash([r[2][1] for r in results])}", flush=True)
            record(f"| {task} | {method} | {statistics.median(accuracy):.3f} | "
                   f"{statistics.median(loss):.3f} | {[round(v, 3) for v in accuracy]} | "
                   f"{median_or_dash([r[2][1] for r in results])} |")
        if "sklearn" not in methods:
            continue
        results = [peers.classification_sklearn(task, seed) for seed in seeds]
        for name in results[0]:
            accuracy = [r[name][0] for r in results]
            loss = [r[name][1] for r in results]
            print(f"  sklearn-{name:8s} accuracy {statistics.median(accuracy):.3f} (per seed "
                  f"{[round(v, 3) for v in accuracy]}), log-loss {statistics.median(loss):.3f} "
                  f"(per seed {[round(v, 3) for v in loss]}), {results[0][name][2]} parameters",
                  flush=True)
            record(f"| {task} | sklearn-{name} | {statistics.median(accuracy):.3f} | "
                   f"{statistics.median(loss):.3f} | {[round(v, 3) for v in accuracy]} | "
                   f"{results[0][name][2]} |")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", default="cartpole,diabetes,friedman,xor,sine,acrobot,lunar")
    parser.add_argument("--methods", default="beta,alpha,neat,cma-linear",
                        help="comma-separated; 'peers' stands for " + ",".join(peers.PEER_METHODS))
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--first-seed", type=int, default=0,
                        help="run seeds FIRST_SEED, FIRST_SEED+1, ... (to add seeds to a table)")
    parser.add_argument("--jobs", type=int, default=1,
                        help="seeds run at once in separate processes (control and regression "
                             "tasks; XOR and sine stay one at a time, as they are timed)")
    parser.add_argument("--budget", action="append", default=[],
                        help="TASK=N: steps (control tasks) or evaluations (others)")
    parser.add_argument("--trace", type=int, default=0, metavar="STEPS",
                        help="control tasks, beta and alpha: every STEPS training steps, print the "
                             f"mean return of the first network handed over on {TRACE_EPISODES} "
                             "test episodes")
    parser.add_argument("--beta", action="append", default=[], metavar="KEY=VALUE",
                        help="a Beta setting for every task (a Python literal), e.g. max_hidden=0")
    parser.add_argument("--pop", type=int, metavar="N",
                        help="Beta's population on every task (default: 20 control, 50 others)")
    parser.add_argument("--hidden", type=int, default=0,
                        help="hidden nodes tessaron's control models start with (default 0: the "
                             "search grows what it needs)")
    parser.add_argument("--phases", action="store_true",
                        help="control tasks, beta: print the steps at which the covariance "
                             "search changed its hidden nodes, restarts or samples")
    parser.add_argument("--raw", action="store_true",
                        help="tessaron's control runs on raw observations (normalize=False)")
    parser.add_argument("--results", metavar="FILE",
                        help="append a markdown row per task and method to FILE as they finish")
    return parser.parse_args()


def main():
    arguments = parse_arguments()
    global trace_every, results_file, start_hidden, raw_observations, show_phases
    trace_every = arguments.trace
    show_phases = arguments.phases
    raw_observations = arguments.raw
    start_hidden = arguments.hidden
    if arguments.pop:
        BETA_POP.update({kind: arguments.pop for kind in BETA_POP})
    for setting in arguments.beta:
        key, _, value = setting.partition("=")
        beta_settings[key] = ast.literal_eval(value)
    results_file = arguments.results
    budgets = dict(DEFAULT_BUDGETS)
    for item in arguments.budget:
        name, value = item.split("=")
        budgets[name] = int(float(value))
    methods = []
    for method in arguments.methods.split(","):
        methods.extend(peers.PEER_METHODS if method == "peers" else [method])
    jobs = arguments.jobs
    seeds = range(arguments.first_seed, arguments.first_seed + arguments.seeds)
    print(f"tessaron {tessaron.__version__}, seeds {seeds.start}-{seeds.stop - 1}, "
          "one thread each; medians", flush=True)

    for task in arguments.tasks.split(","):
        budget = budgets[task]
        if task in CONTROL:
            threshold = CONTROL[task][2]
            goal = (f"solved: mean test return >= {threshold:g}" if threshold is not None
                    else "final mean test return")
            print(f"\n{task} ({CONTROL[task][0]}), {goal} over {TEST_EPISODES} episodes, budget "
                  f"{budget} steps", flush=True)
            for method in methods:
                if method == "sklearn":
                    continue
                start = time.perf_counter()
                results = over_seeds(jobs, run_control, task, method, budget, seeds)
                report_control(task, method, results, time.perf_counter() - start)
        elif task in ("diabetes", "friedman"):
            scales = FRIEDMAN_SCALES if task == "friedman" else (None,)
            for scale in scales:
                label = f"{task}" + (f", target std {scale:g}" if scale else ", target in [-1, 1]")
                print(f"\n{label}: test R^2 after {budget} evaluations", flush=True)
                for method in methods:
                    if method == "cma-linear" or method in peers.PEER_METHODS:
                        continue
                    start = time.perf_counter()
                    results = over_seeds(jobs, run_regression, task, method, budget, seeds, scale)
                    report_regression(label, method, results, time.perf_counter() - start)
        elif task == "classification":
            report_classification(peers.CLASSIFICATION_TASKS, methods, budget, seeds, jobs)
        elif task == "unseen":
            report_classification(peers.UNSEEN_CLASSIFICATION_TASKS, methods, budget, seeds, jobs)
        else:
            print(f"\n{task}: evaluations and time to a training mse below {TARGET_MSE}, "
                  f"budget {budget} evaluations", flush=True)
            for method in methods:
                if method not in ("beta", "alpha", "neat"):
                    continue
                results = [toy_neat(task, seed, budget) if method == "neat"
                           else toy_tessaron(task, seed, budget, method) for seed in seeds]
                reached = [r for r in results if r[0] is not None]
                print(f"  {method:6s} reached {len(reached)}/{len(results)}, median evaluations "
                      f"{median_or_dash([r[0] for r in results])}, median time "
                      f"{median_or_dash([r[1] for r in results], '{:.4f}')}s", flush=True)


if __name__ == "__main__":
    main()

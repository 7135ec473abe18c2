"""How well each optimizer learns per evaluation: tessaron's Beta and Alpha, neat-python and CMA-ES
(a linear policy) with the same budgets and seeds, one thread each, medians over the seeds.

    pip install -r bench/requirements.txt
    python bench/bench_learning.py [--tasks cartpole,diabetes,friedman,xor,sine,acrobot,lunar]
                                   [--methods beta,alpha,neat,cma] [--seeds 5] [--jobs 2]
                                   [--budget cartpole=100000 --budget lunar=400000 ...]
                                   [--trace 150000]

Tasks and what is printed per method (median over the seeds, and how many seeds reached the goal):
- cartpole (CartPole-v1), acrobot (Acrobot-v1), lunar (LunarLander-v3): environment steps spent
  on training until a network first reaches a mean return of at least 475 / -100 / 200 over 100
  test episodes (test steps are not counted; a network is tested when one training episode
  reaches the threshold), within the step budget.
- diabetes (scikit-learn, target scaled to [-1, 1]) and friedman1 (1000 samples, noise 1; the
  target standardised and multiplied by 0.1, 1 and 10): R^2 on a held-out 20 % after a budget
  of network evaluations, and the final network's node and connection counts.
- xor and sine (256 samples of sin on [-pi, pi]): evaluations and wall time until the training
  mse is below 0.01 (time estimated as the run's time per generation times the generations
  needed).
"""

import argparse
import math
import os
import random
import statistics
import sys
import tempfile
import time

import numpy as np

import tessaron
from tessaron.optimizers import Beta

DEFAULT_BUDGETS = {  # environment steps for the control tasks, network evaluations otherwise
    "cartpole": 100_000, "acrobot": 500_000, "lunar": 3_000_000,
    "diabetes": 50_000, "friedman": 50_000, "xor": 100_000, "sine": 200_000,
}
# gymnasium id, solved threshold, an upper bound of an episode's return (for early test stops),
# hidden nodes. A lander's return is its last shaping term (at most 20, both legs down) minus its
# first (at least about -260: 1.4 high, thrown at up to 1.1), plus 100 for coming to rest.
CONTROL = {
    "cartpole": ("CartPole-v1", 475.0, 500.0, 0),
    "acrobot": ("Acrobot-v1", -100.0, 0.0, 0),
    "lunar": ("LunarLander-v3", 200.0, 400.0, 0),
}
TEST_EPISODES = 100
TRACE_EPISODES = 30
trace_every = 0  # --trace: steps between tests of the network tessaron hands over first
FRIEDMAN_SCALES = (0.1, 1.0, 10.0)

# The optimizers' settings, the same on every task of a kind.
BETA_POP = {"control": 20, "regression": 50, "toy": 50}
ALPHA_POP = {"control": 50, "regression": 50, "toy": 50}
NEAT_POP = 150  # neat-python's documented example
# Beta's settings per task beyond its defaults. CartPole's policies want larger first steps (at
# the default 0.1, 4 of 5 seeds solved it within 100k steps); a lander's return differs so much
# from one episode to the next that selecting the best-scored networks follows luck, so there
# the gradient search estimates a direction from every episode, starting at zero with 8 hidden
# nodes.
BETA_SETTINGS = {
    "cartpole": {"step_size": 0.3},
    "lunar": {"search": "gradient", "keep_model": False},
}
BETA_TASK_POP = {"lunar": 50}
BETA_TASK_HIDDEN = {"lunar": 8}  # Beta's hidden nodes where they differ from CONTROL's

# A standard feed-forward neat-python configuration (that of its XOR example); the counts, the
# activation and, for regression, activation mutation among four functions are the only changes.
from neat_config import NEAT_CONFIG  # noqa: E402


class Stop(Exception):
    """Ends a run from inside a fitness function: the goal was reached or the budget spent."""


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
    """Nodes and connections of a Genome, read through a Model rebuilt from its state."""
    state = genome.__getstate__()
    model = tessaron.Model.__new__(tessaron.Model)
    model.__setstate__({"network": state["network"], "inputs": state["inputs"],
                        "outputs": state["outputs"], "size": 0, "compiled": False,
                        "has_loss": False, "losses": [], "monitors": [], "optimizer": None})
    return tessaron_size(model)


# ---------------------------------------------------------------------------------------------
# Control tasks.


class ControlRun:
    """Counts training steps, tests candidates, and stops the run once solved or out of steps."""

    def __init__(self, task, seed, budget):
        import gymnasium
        env_id, self.threshold, self.best_return, self.hidden = CONTROL[task]
        self.env = gymnasium.make(env_id)
        self.test_env = gymnasium.make(env_id)
        self.inputs = self.env.observation_space.shape[0]
        self.actions = self.env.action_space.n
        self.rng = np.random.default_rng(seed)
        self.test_seeds = [10_000 * (seed + 1) + i for i in range(TEST_EPISODES)]
        self.budget = budget
        self.steps = 0
        self.solved_at = None
        self.size = None

    def episode(self, act, env, seed):
        observation, _ = env.reset(seed=int(seed))
        total, steps = 0.0, 0
        while True:
            observation, reward, terminated, truncated, _ = env.step(act(observation))
            total += reward
            steps += 1
            if terminated or truncated:
                return total, steps

    def train_return(self, act):
        """One training episode; stops the run when the budget is spent."""
        if self.steps >= self.budget:
            raise Stop
        total, steps = self.episode(act, self.env, self.rng.integers(2**31))
        self.steps += steps
        return total

    def test(self, act, size):
        """Tests a candidate that reached the threshold in training; stops the run if it is
        solved. A test gives up as soon as the mean can no longer reach the threshold."""
        total = 0.0
        for i, seed in enumerate(self.test_seeds):
            total += self.episode(act, self.test_env, seed)[0]
            left = TEST_EPISODES - i - 1
            if self.best_return is not None and total + left * self.best_return < self.threshold * TEST_EPISODES:
                return
        if total / TEST_EPISODES >= self.threshold:
            self.solved_at = self.steps
            self.size = size
            raise Stop


def control_tessaron(task, seed, budget, optimizer):
    run = ControlRun(task, seed, budget)
    tessaron.set_num_threads(1)
    tessaron.seed(seed)
    hidden = BETA_TASK_HIDDEN.get(task, run.hidden) if optimizer == "beta" else run.hidden
    model = tessaron.Model(run.inputs, run.actions, run.inputs + run.actions + hidden)
    model.compile(Beta(**BETA_SETTINGS.get(task, {})) if optimizer == "beta" else "alpha")
    pop = (BETA_TASK_POP.get(task, BETA_POP["control"]) if optimizer == "beta"
           else ALPHA_POP["control"])

    def policy(genome):
        return lambda observation: int(np.argmax(genome.predict(observation[None, :])[0]))

    next_trace = 0

    def trace(genome):
        # Under reevaluate Beta hands its best-ranked member over first: how good is it?
        nonlocal next_trace
        if trace_every and run.steps >= next_trace:
            next_trace += trace_every
            returns = [run.episode(policy(genome), run.test_env, test_seed)[0]
                       for test_seed in run.test_seeds[:TRACE_EPISODES]]
            print(f"  trace {task} {optimizer} seed {seed}: {run.steps} steps, first network's "
                  f"mean over {TRACE_EPISODES} test episodes {np.mean(returns):.1f}", flush=True)

    def train_func(genomes):
        trace(genomes[0])
        returns = [run.train_return(policy(g)) for g in genomes]
        best = int(np.argmax(returns))
        if returns[best] >= run.threshold:
            run.test(policy(genomes[best]), genome_size(genomes[best]))
        return -np.array(returns)

    try:
        model.func_evolve(train_func, pop_size=pop, epochs=2**31 - 1, verbose=0)
    except Stop:
        pass
    return run.solved_at, run.steps, run.size


def control_neat(task, seed, budget):
    import neat
    run = ControlRun(task, seed, budget)
    config = neat_config(run.inputs, run.actions, regression=False)
    population = neat_population(config, seed)

    def eval_genomes(genomes, config):
        best, best_return = None, -math.inf
        for _, genome in genomes:
            network = neat.nn.FeedForwardNetwork.create(genome, config)
            act = lambda observation, n=network: int(np.argmax(n.activate(observation)))
            genome.fitness = run.train_return(act)
            if genome.fitness > best_return:
                best, best_return = (genome, act), genome.fitness
        if best_return >= run.threshold:
            run.test(best[1], neat_size(best[0]))

    try:
        population.run(eval_genomes, 10**9)
    except Stop:
        pass
    return run.solved_at, run.steps, run.size


def control_cma(task, seed, budget):
    import cma
    run = ControlRun(task, seed, budget)
    shape = (run.actions, run.inputs + 1)
    strategy = cma.CMAEvolutionStrategy(np.zeros(shape[0] * shape[1]), 0.5,
                                        {"seed": seed + 1, "verbose": -9})

    def policy(parameters):
        w = np.asarray(parameters).reshape(shape)
        return lambda observation: int(np.argmax(w[:, :-1] @ observation + w[:, -1]))

    try:
        while True:
            candidates = strategy.ask()
            returns = [run.train_return(policy(c)) for c in candidates]
            best = int(np.argmax(returns))
            if returns[best] >= run.threshold:
                run.test(policy(candidates[best]), (0, shape[0] * shape[1]))
            strategy.tell(candidates, [-r for r in returns])
    except Stop:
        pass
    return run.solved_at, run.steps, run.size


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
        beta = Beta()
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
    model.compile(Beta() if optimizer == "beta" else "alpha", "mse")
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
    return control_cma(task, seed, budget)


def run_regression(task, method, budget, seed, scale):
    if method == "neat":
        return regression_neat(task, seed, budget, scale)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", default="cartpole,diabetes,friedman,xor,sine,acrobot,lunar")
    parser.add_argument("--methods", default="beta,alpha,neat,cma")
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
    arguments = parser.parse_args()
    global trace_every
    trace_every = arguments.trace
    budgets = dict(DEFAULT_BUDGETS)
    for item in arguments.budget:
        name, value = item.split("=")
        budgets[name] = int(float(value))
    methods = arguments.methods.split(",")
    jobs = arguments.jobs
    seeds = range(arguments.first_seed, arguments.first_seed + arguments.seeds)
    print(f"tessaron {tessaron.__version__}, seeds {seeds.start}-{seeds.stop - 1}, "
          "one thread each; medians", flush=True)

    for task in arguments.tasks.split(","):
        budget = budgets[task]
        if task in CONTROL:
            print(f"\n{task} ({CONTROL[task][0]}), solved: mean test return >= {CONTROL[task][1]:g} "
                  f"over {TEST_EPISODES} episodes, budget {budget} steps", flush=True)
            for method in methods:
                start = time.perf_counter()
                results = over_seeds(jobs, run_control, task, method, budget, seeds)
                solved = [r[0] for r in results if r[0] is not None]
                sizes = [r[2] for r in results if r[2] is not None]
                print(f"  {method:6s} solved {len(solved)}/{len(results)}, median steps to solve "
                      f"{median_or_dash([r[0] for r in results])} (per seed: "
                      f"{[r[0] for r in results]}), nodes/connections of the solutions "
                      f"{median_or_dash([s[0] for s in sizes])}/{median_or_dash([s[1] for s in sizes])}, "
                      f"{time.perf_counter() - start:.0f}s", flush=True)
        elif task in ("diabetes", "friedman"):
            scales = FRIEDMAN_SCALES if task == "friedman" else (None,)
            for scale in scales:
                label = f"{task}" + (f", target std {scale:g}" if scale else ", target in [-1, 1]")
                print(f"\n{label}: test R^2 after {budget} evaluations", flush=True)
                for method in methods:
                    if method == "cma":
                        continue
                    start = time.perf_counter()
                    results = over_seeds(jobs, run_regression, task, method, budget, seeds, scale)
                    scores = [r[0] for r in results]
                    sizes = [r[1] for r in results]
                    print(f"  {method:6s} R^2 {statistics.median(scores):.3f} (per seed "
                          f"{[round(s, 3) for s in scores]}), nodes/connections "
                          f"{median_or_dash([s[0] for s in sizes])}/"
                          f"{median_or_dash([s[1] for s in sizes])}, "
                          f"{time.perf_counter() - start:.0f}s", flush=True)
        else:
            print(f"\n{task}: evaluations and time to a training mse below {TARGET_MSE}, "
                  f"budget {budget} evaluations", flush=True)
            for method in methods:
                if method == "cma":
                    continue
                results = [toy_neat(task, seed, budget) if method == "neat"
                           else toy_tessaron(task, seed, budget, method) for seed in seeds]
                reached = [r for r in results if r[0] is not None]
                print(f"  {method:6s} reached {len(reached)}/{len(results)}, median evaluations "
                      f"{median_or_dash([r[0] for r in results])}, median time "
                      f"{median_or_dash([r[1] for r in results], '{:.4f}')}s", flush=True)


if __name__ == "__main__":
    main()

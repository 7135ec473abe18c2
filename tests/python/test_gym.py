"""tessaron.gym: episodes played in vector environments against a loop stepped by hand, the
fold of the observation normalisation, refusals, failures and the stopping callback."""

import functools

import gymnasium
import numpy as np
import pytest
from gymnasium import spaces

import tessaron
import tessaron.gym as tgym

AUTORESET = gymnasium.vector.AutoresetMode


class Walk(gymnasium.Env):
    """A walk along a line: action 1 steps forward (+1), action 0 back (-0.5, reward -0.3); the
    episode ends 3 from its start, or after 9 steps. The start is drawn from the seed (or is 0).
    Observed: the position (within bounds given) and the time plus 10 (unbounded)."""

    def __init__(self, random_start=True, fail_at=None, action_space=None,
                 observation_space=None):
        high = np.float32([20.0, np.finfo(np.float32).max])  # the latter as good as none
        self.observation_space = observation_space or spaces.Box(-high, high, dtype=np.float32)
        self.action_space = action_space or spaces.Discrete(2)
        self.random_start, self.fail_at, self.steps_taken = random_start, fail_at, 0

    def reset(self, seed=None, options=None):
        super().reset(seed=seed)
        self.start = float(self.np_random.uniform(-1, 1)) if self.random_start else 0.0
        self.position, self.t = self.start, 0
        return self._observation(), {}

    def _observation(self):
        return np.array([self.position, 10.0 + self.t], dtype=np.float32)

    def step(self, action):
        self.steps_taken += 1
        if self.fail_at is not None and self.steps_taken >= self.fail_at:
            raise RuntimeError("the simulator broke down")
        forward = int(action) == 1
        self.position += 1.0 if forward else -0.5
        self.t += 1
        terminated = abs(self.position - self.start) >= 3
        return self._observation(), 1.0 if forward else -0.3, terminated, self.t >= 9, {}


def by_hand(genome, seed, make, normalize=None):
    """One episode stepped by hand: its return, its length and the observations seen."""
    env = make()
    observation, _ = env.reset(seed=int(seed))
    total, seen = 0.0, []
    while True:
        seen.append(np.asarray(observation, dtype=np.float64))
        x = seen[-1][None, :] if normalize is None else normalize(seen[-1][None, :])
        observation, reward, terminated, truncated, _ = env.step(int(np.argmax(genome.predict(x))))
        total += float(reward)
        if terminated or truncated:
            return total, len(seen), seen


def networks(inputs, outputs, count, seed=4):
    tessaron.seed(seed)
    return [tessaron.Model(inputs, outputs, inputs + outputs + 2) for _ in range(count)]


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=2, threads_per_worker=1,
                            dashboard_address=None) as client:
        yield client


@pytest.mark.parametrize("mode,autoreset,spread", [
    ("sync", AUTORESET.DISABLED, None), ("sync", AUTORESET.NEXT_STEP, None),
    ("sync", AUTORESET.SAME_STEP, None), ("async", AUTORESET.DISABLED, None),
    ("sync", AUTORESET.DISABLED, "processes"), ("sync", AUTORESET.DISABLED, "client")])
def test_episodes_and_statistics_match_a_loop_stepped_by_hand(mode, autoreset, spread, request):
    # Sub-environments that reset themselves start their later episodes where their own random
    # stream leads; there the walk starts at 0, elsewhere episode e starts from seed e.
    make = functools.partial(Walk, random_start=autoreset == AUTORESET.DISABLED)
    genomes = networks(2, 2, 5)
    where = ({"processes": 2} if spread == "processes" else
             {"client": request.getfixturevalue("dask_client")} if spread == "client" else {})
    fitness = tgym.EpisodeFitness(make, episodes=3, num_envs=4, vectorization_mode=mode, seed=11,
                                  vector_kwargs={"autoreset_mode": autoreset}, **where)
    seen, steps = [], 0
    with fitness:
        for call in range(2):
            losses = fitness(genomes)
            # The first call normalises a bounded value as a uniform draw between its bounds
            # would be, the second by the first's statistics.
            if call == 0:
                assert fitness.mean.tolist() == [0.0, 0.0]  # the middle of [-20, 20]; unbounded
                assert fitness.std.tolist() == [40.0 / np.sqrt(12.0), 1.0]
            played = [[by_hand(g, s, make, fitness.normalize) for s in fitness.last_seeds]
                      for g in genomes]
            assert fitness.last_returns.tolist() == [[p[0] for p in row] for row in played]
            assert fitness.last_lengths.tolist() == [[p[1] for p in row] for row in played]
            assert losses.tolist() == (-fitness.last_returns.mean(axis=1)).tolist()
            seen += [o for row in played for p in row for o in p[2]]
            steps += int(fitness.last_lengths.sum())
    assert fitness.env_steps == steps == len(seen)
    assert fitness.stats.count == len(seen)
    np.testing.assert_allclose(fitness.stats.mean, np.mean(seen, axis=0), rtol=1e-13)
    np.testing.assert_allclose(fitness.stats.m2 / len(seen), np.var(seen, axis=0), rtol=1e-11)


@pytest.mark.parametrize("autoreset", list(AUTORESET))
def test_raw_observations_reach_the_networks_only_from_episodes_in_play(autoreset, monkeypatch):
    # Beta's search takes the inputs' statistics from what its networks are given: the last
    # observations of idle sub-environments must not be among them.
    make = functools.partial(Walk, random_start=autoreset == AUTORESET.DISABLED)
    genomes = networks(2, 2, 5)
    given, predict_many = [], tessaron.predict_many

    def recording(pool, x):
        given.extend(map(tuple, np.asarray(x)))
        return predict_many(pool, x)

    monkeypatch.setattr(tessaron, "predict_many", recording)
    with tgym.EpisodeFitness(make, episodes=3, num_envs=4, normalize=False, seed=11,
                             vector_kwargs={"autoreset_mode": autoreset}) as fitness:
        fitness(genomes)
    seen = [tuple(o) for g in genomes for s in fitness.last_seeds for o in by_hand(g, s, make)[2]]
    assert sorted(given) == sorted(seen)


@pytest.mark.parametrize("spread", ["processes", "client"])
def test_raw_observations_played_elsewhere_reach_the_search_as_played_here(spread, request):
    # Beta's search follows the statistics of the rows its genomes are given. Genomes played in
    # other processes are copies: the rows they were given must still count, and only once.
    where = ({"processes": 2} if spread == "processes" else
             {"client": request.getfixturevalue("dask_client")})

    def losses(**kwargs):
        tessaron.seed(5)
        model = tessaron.Model(4, 2)
        model.compile(optimizer="beta")
        with tgym.EpisodeFitness("CartPole-v1", normalize=False, vectorization_mode="sync",
                                 vector_kwargs={"autoreset_mode": AUTORESET.DISABLED},
                                 **kwargs) as fitness:
            return model.func_evolve(fitness, pop_size=6, epochs=4, verbose=0)["loss"]

    assert losses(**where) == losses()


def test_folded_network_on_raw_inputs_equals_the_network_on_normalised_inputs():
    model, other = networks(5, 3, 2, seed=9)
    genome = tessaron.Genome(5, 3)
    state = other.__getstate__()
    genome.__setstate__({key: state[key] for key in ("network", "inputs", "outputs")})
    rng = np.random.default_rng(2)
    mean = rng.normal(0, 50, size=5)
    std = np.array([1e-4, 0.02, 1.0, 30.0, 400.0])  # the first as for a constant observation
    raw = mean + std * rng.normal(size=(200, 5))
    for network in (model, genome):
        before = network.predict((raw - mean) / std)
        tgym.fold_normalization(network, mean, std)
        np.testing.assert_allclose(network.predict(raw), before, rtol=1e-9, atol=1e-9)


def test_a_best_kept_from_an_earlier_generation_is_folded_with_the_statistics_it_was_scored_under():
    # The run folds its best into the model after every epoch. A best scored generations ago
    # (a search's kept mean, an elite) took observations normalised as they were then.
    kept, other = networks(2, 2, 2)
    model = tessaron.Model(2, 2)
    fitness = tgym.EpisodeFitness(Walk, episodes=3, seed=11)
    bookkeeping = fitness.tessaron_callback
    bookkeeping.set_model(model)
    raw = np.random.default_rng(0).normal(size=(30, 2)) * [5.0, 20.0]
    with fitness:
        for epoch, pool in enumerate(([kept, other], [other])):
            fitness(pool)
            if epoch == 0:
                first = fitness.mean, fitness.std
            model.set_network(kept.get_network())  # the best stays the same
            bookkeeping.on_epoch_end(epoch, {})
    assert fitness.mean.tolist() != first[0].tolist()
    np.testing.assert_allclose(model.predict(raw), kept.predict((raw - first[0]) / first[1]),
                               rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("space,outputs,expected", [
    (spaces.Discrete(3, start=-1), [[0.2, 0.9, 0.9], [np.nan, 0.0, 1.0]], [0, -1]),
    (spaces.Box(np.array([-2.0, 0.0]), np.array([2.0, 1.0]), dtype=np.float64),
     [[0.0, 0.5], [np.nan, -40.0]], [[0.0, (np.tanh(0.5) + 1) / 2], [0.0, 0.0]]),
    (spaces.Box(np.array([-np.inf, 0.0]), np.array([np.inf, np.inf]), dtype=np.float64),
     [[-7.0, -7.0]], [[-7.0, 0.0]]),
])
def test_actions_from_outputs(space, outputs, expected):
    actions = tgym._ActionMap(space, "env")(np.array(outputs, dtype=np.float64))
    np.testing.assert_allclose(np.asarray(actions, dtype=np.float64), expected, rtol=1e-7)
    assert all(space.contains(np.asarray(a, dtype=space.dtype)) for a in actions)


@pytest.mark.parametrize("env,model,message", [
    ("NoSuchEnvironment-v0", (4, 2), "cannot make the environment 'NoSuchEnvironment-v0': "),
    ("CartPole-v1", (3, 2), "CartPole-v1 gives observations of 4 values, but the model has 3 "
                            "inputs"),
    ("CartPole-v1", (4, 1), "CartPole-v1 takes Discrete(2) actions, one output per action "
                            "(the largest is taken), so it needs 2 outputs, but the model has 1 "
                            "outputs"),
    ("Pendulum-v1", (3, 2), "Pendulum-v1 takes Box actions of 1 values, one output per value, so "
                            "it needs 1 outputs, but the model has 2 outputs"),
    (functools.partial(Walk, action_space=spaces.MultiBinary(2)), (2, 2),
     "has a MultiBinary action space; only Discrete and Box actions can be driven by a network's "
     "outputs"),
    (functools.partial(Walk, observation_space=spaces.Sequence(spaces.Discrete(2))), (2, 2),
     "has a Sequence observation space, which gymnasium cannot flatten into a network's inputs"),
])
def test_refusals_come_before_any_generation(env, model, message):
    model = tessaron.Model(*model)
    before = model.__getstate__()
    with pytest.raises(ValueError) as refused:
        model.func_evolve(tgym.EpisodeFitness(env), pop_size=4, epochs=2, verbose=0)
    assert message in str(refused.value)
    assert model.__getstate__() == before


class Pick(gymnasium.Env):
    """Observes one of 3 states, drawn anew each step; action (state + 1) % 3 earns 1. Four
    steps an episode. A network of 3 inputs reads the state only one-hot."""

    observation_space = spaces.Discrete(3)
    action_space = spaces.Discrete(3)

    def reset(self, seed=None, options=None):
        super().reset(seed=seed)
        self.state, self.t = int(self.np_random.integers(3)), 0
        return self.state, {}

    def step(self, action):
        reward = 1.0 if int(action) == (self.state + 1) % 3 else 0.0
        self.state, self.t = int(self.np_random.integers(3)), self.t + 1
        return self.state, reward, False, self.t >= 4, {}


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_observations_that_are_not_a_box_reach_the_networks_flattened(mode):
    model = tessaron.Model(3, 3)
    model.set_network({"inputs": 3, "outputs": 3, "biases": [0.0] * 6,
                       "activations": ["linear"] * 6,
                       "connections": [(i, 3 + (i + 1) % 3, 1.0) for i in range(3)]})
    assert tgym.evaluate(model, Pick, episodes=6, vectorization_mode=mode).mean == 4.0
    fitness = tgym.EpisodeFitness(Pick, episodes=2, normalize=False, vectorization_mode=mode)
    with fitness:
        assert list(fitness([model])) == [-4.0]


def test_a_failing_environment_ends_the_run_and_leaves_the_model_unchanged():
    model = tessaron.Model(2, 2)
    model.compile(optimizer="beta")
    before = model.__getstate__()
    fitness = tgym.EpisodeFitness(functools.partial(Walk, fail_at=60), num_envs=3)
    with pytest.raises(RuntimeError, match="the simulator broke down"):
        model.func_evolve(fitness, pop_size=6, epochs=20, verbose=0)
    assert model.__getstate__() == before
    assert fitness._player is None  # the broken environments were closed


def run(seed, **fitness_kwargs):
    tessaron.seed(seed)
    model = tessaron.Model(4, 2)
    model.compile(optimizer="beta")
    fitness = tgym.EpisodeFitness("CartPole-v1", episodes=2, **fitness_kwargs)
    history = model.func_evolve(fitness, pop_size=6, epochs=3, verbose=0)
    return model, fitness, history


def test_runs_repeat_under_seed_and_log_their_steps():
    model, fitness, history = run(3)
    again, _, history_again = run(3)
    assert history == history_again
    assert again.__getstate__()["network"] == model.__getstate__()["network"]
    assert history["env_steps"][-1] == fitness.env_steps
    assert history["env_steps"] == sorted(history["env_steps"]) and history["env_steps"][0] > 0
    _, other, _ = run(4)
    assert other.last_seeds.tolist() != fitness.last_seeds.tolist()


def test_stop_at_return_tests_each_network_once_and_counts_apart():
    make = functools.partial(Walk, random_start=False)
    tessaron.seed(1)
    model = tessaron.Model(2, 2)
    model.compile(optimizer="beta")
    fitness = tgym.EpisodeFitness(make, normalize=False)
    steps = []

    def train(genomes):  # the steps of the training episodes alone
        losses = fitness(genomes)
        steps.append(int(fitness.last_lengths.sum()))
        return losses

    train.tessaron_callback = fitness.tessaron_callback
    stop = tgym.StopAtReturn(3.0, fitness, episodes=4)
    history = model.func_evolve(train, pop_size=10, epochs=40, verbose=0, callbacks=[stop])
    assert stop.stopped_epoch == len(history["loss"]) - 1 < 39
    last_epoch, last_return = stop.tests[-1]
    assert last_epoch == stop.stopped_epoch and last_return >= 3.0
    assert len({epoch for epoch, _ in stop.tests}) == len(stop.tests)
    assert stop.env_steps >= 3 * 4  # the last test: 4 episodes of at least 3 steps
    assert history["env_steps"][-1] == fitness.env_steps == sum(steps)
    # The walk starts at 0 every time: the model handed back walks as the network last tested.
    result = tgym.evaluate(model, make, episodes=4)
    assert (result.mean, result.std, result.returns.tolist()) == (last_return, 0.0, [last_return] * 4)
    assert result.env_steps % 4 == 0 and result.env_steps >= 12

"""Control with gymnasium environments: episodes as a fitness, observation normalisation, tests.

Needs gymnasium (the "gym" extra: ``pip install tessaron[gym]``), imported when first used.

``EpisodeFitness`` is a ``train_func`` for ``Model.func_evolve``::

    model = tessaron.Model(4, 2)
    model.compile(optimizer="beta")
    fitness = tessaron.gym.EpisodeFitness("CartPole-v1", episodes=3)
    history = model.func_evolve(fitness, pop_size=50, epochs=100)
    print(history["env_steps"][-1], tessaron.gym.evaluate(model, "CartPole-v1").mean)

Every genome's episodes of a generation are played together in one gymnasium vector
environment, with one ``tessaron.predict_many`` call per time step; the loss of a genome is minus
its mean return.

- Actions: a ``Discrete(n)`` action space needs n outputs and takes the largest (the first of
  equal ones); a ``Box`` needs one output per value, and output y becomes
  ``low + (high - low) * (tanh(y) + 1) / 2`` where both bounds are finite (y unchanged but
  clipped to a single finite bound, and passed on where there is none; NaN counts as 0). The
  squashing rather than clipping: the output activations evolve (any of sigmoid, tanh, relu and
  linear), and every output then gives its own action, with no flat region beyond the bounds in
  which changes to the network go unnoticed. Other action spaces are refused.
- Observations that are not a ``Box`` are given to the networks as ``gymnasium.spaces.flatten``
  makes them (gymnasium's ``FlattenObservation`` wrapper): a ``Discrete(n)`` observation as n
  inputs, 1 at the observed value and 0 elsewhere, tuples and dicts of spaces as their parts'
  values one after another. The model then takes those values, in ``predict`` and wherever else
  (``evaluate`` flattens as the runs do). Spaces that gymnasium cannot flatten are refused, and so
  is ``vectorization_mode="vector_entry_point"`` with such observations.
- Observation normalisation (on by default, ``normalize=False`` turns it off): the networks see
  ``(observation - mean) / std``, with the running mean and variance of every observation given
  to a network in the run so far (updated after each generation from all of that generation's
  observations, so that the genomes of one generation see the same transformation). Before any
  observation has been seen, the first generation's mean and standard deviation are those of a
  uniform draw between the observation space's bounds where both are finite (an observation in
  [low, high] becomes one in about [-1.7, 1.7]), and 0 and 1 where they are not (float32's
  largest value counts as no bound, as gymnasium sometimes writes it): a value whose
  scale the space states is not hidden from the first networks by its smallness (velocities of
  0.07 at most, say). A standard deviation below ``min_std`` counts as
  ``min_std``, so a constant observation divides by nothing small. After every epoch the run's
  best network is folded: the weights of its input connections divided by the std of their
  input, the biases of their targets lowered by weight times mean over std, with the mean and
  std of the generation that scored it (a best kept from an earlier generation was scored under
  earlier statistics). The model therefore always holds a network that takes raw observations
  (during the run, for callbacks such as ``ModelCheckpoint`` and
  ``EarlyStopping(restore_best=True)``, and at the end): ``predict``, ``save``, ``to_onnx`` and
  ``to_keras`` need nothing else. The genomes that ``train_func`` and
  ``validation_func`` receive are not folded: ``fitness.normalize(observations)`` gives what
  they take, and ``fitness.fold_into(genome)`` folds one of them. With
  ``normalize=False`` the networks get raw observations, and Beta's search centres and scales
  them in its own coordinates, from the statistics of those its networks are given.
- Episode seeds: each call draws ``episodes`` seeds, and episode e of every genome starts from
  seed e (the genomes of a generation meet the same starts, so chance favours none of them);
  new seeds each call by default, the same for the whole run with ``fixed_seeds=True``. Fresh
  seeds are the default because a network then has to handle starts it has not met to stay
  ahead, where fixed seeds reward learning a few starts by heart. The seeds come from a
  generator seeded by ``seed``, or, when ``seed`` is None, by a draw from tessaron's random
  stream at the start of each run: after ``tessaron.seed(n)`` a run repeats. A vector
  environment that resets its sub-environments itself (the classic-control implementations of
  ``vectorization_mode="vector_entry_point"``) is reset with the first seed at every call and
  each episode starts where its random stream leads.
- Steps: ``fitness.env_steps`` counts every environment step of an episode (not the resets of
  the vector environment, nor the steps of sub-environments waiting for the generation's last
  episodes), and the history of a run gets ``env_steps`` per epoch: the steps of the run so far.
  Callbacks see it in their logs.
- Parallel rollouts: ``num_envs`` sub-environments play the queue of a generation's episodes
  (a sync vector environment's are stepped one by one, only while they play an episode);
  ``vectorization_mode="async"`` steps each in a worker process of its own (gymnasium's
  AsyncVectorEnv, an exchange with every process at every time step: for simulators whose step
  takes far longer than that); ``processes=k`` splits the episodes of a call over k worker
  processes, each with its own vector environment, one exchange per call; ``client`` (a
  dask.distributed Client) splits them over the cluster's workers in the same way, the
  environments built there. Worker processes start by Python's start method; on Linux that forks
  the calling process, and a fork taken while another of its threads holds a lock (JAX's or
  TensorFlow's, once imported and run) can leave a worker waiting for ever: there, call
  ``multiprocessing.set_start_method("forkserver")`` first (the factory must then be importable,
  not defined in a notebook).

Errors: an environment that cannot be made fails when the fitness is made; an observation size
or action space that the model's inputs and outputs do not match fails when the run starts,
before any generation. An exception inside an environment ends the call with it, and
``func_evolve`` leaves the model as it was.
"""

import copy
import functools
import hashlib
import math
import os
import threading
import uuid
from concurrent.futures import ProcessPoolExecutor
from typing import NamedTuple

import numpy as np

import tessaron
from tessaron._extras import import_extra
from tessaron.callbacks import Callback

__all__ = ["EpisodeFitness", "Returns", "StopAtReturn", "evaluate", "fold_normalization"]

_SYNC_SLOTS = 32  # sub-environments of a sync vector environment unless num_envs says otherwise


def _gymnasium():
    return import_extra("gymnasium", "gym", "tessaron.gym")


def _check_count(name, value, lowest):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < lowest:
        raise ValueError(f"{name} must be an int of at least {lowest}, got {value!r}")


def _tessaron_seed():
    """A seed drawn from tessaron's random stream: repeatable after tessaron.seed(n)."""
    network = tessaron.Model(1, 1).__getstate__()["network"]  # its bias and weight are draws
    return int.from_bytes(hashlib.sha256(network).digest()[:8], "little")


# ---------------------------------------------------------------------------------------------
# Networks: folding a transformation of the inputs into the weights.

def fold_normalization(model_or_genome, mean, std):
    """Folds the input transformation ``(x - mean) / std`` into the network of a Model or
    Genome, in place: afterwards it gives on raw inputs what it gave on transformed ones, to
    rounding. Every weight of a connection from input i is divided by std[i], and the bias of
    its target lowered by that new weight times mean[i]."""
    network = model_or_genome.get_network()
    inputs = network["inputs"]
    mean = np.asarray(mean, dtype=np.float64).reshape(-1)
    std = np.asarray(std, dtype=np.float64).reshape(-1)
    if mean.shape != (inputs,) or std.shape != (inputs,):
        raise ValueError(f"mean and std must hold one value per input ({inputs}), got "
                         f"{mean.size} and {std.size}")
    if not (np.all(np.isfinite(std)) and np.all(std > 0) and np.all(np.isfinite(mean))):
        raise ValueError("std must be finite and positive, and mean finite")
    biases = np.array(network["biases"], dtype=np.float64)
    links = np.array(network["connections"], dtype=np.float64).reshape(-1, 3)
    # Connections into input nodes are never evaluated, so they stay as they are.
    folded = (links[:, 0] < inputs) & (links[:, 1] >= inputs)
    sources = links[folded, 0].astype(np.intp)
    weights = links[folded, 2] / std[sources]
    links[folded, 2] = weights
    np.subtract.at(biases, links[folded, 1].astype(np.intp), weights * mean[sources])
    model_or_genome.set_network(dict(network, biases=biases, connections=links))


class _ObservationStats:
    """Running count, mean and sum of squared deviations of observations (per value), merged
    batch by batch with the parallel update of Chan, Golub and LeVeque. Before any observation,
    the mean and spread of a uniform draw between the observation space's bounds where both are
    finite, 0 and 1 elsewhere."""

    def __init__(self, space):
        low = np.asarray(space.low, dtype=np.float64).reshape(-1)
        high = np.asarray(space.high, dtype=np.float64).reshape(-1)
        # Bounds of float32's largest magnitude are the other way of writing none.
        unbounded = np.finfo(np.float32).max
        with np.errstate(invalid="ignore", over="ignore"):
            bounded = (np.abs(low) < unbounded) & (np.abs(high) < unbounded) & (high > low)
            self.prior_mean = np.where(bounded, (low + high) / 2, 0.0)
            self.prior_std = np.where(bounded, (high - low) / math.sqrt(12.0), 1.0)
        self.count = 0
        self.mean = self.prior_mean.copy()
        self.m2 = np.zeros(low.size)

    def merge(self, count, shift, shifted_sum, shifted_squares):
        """Adds a batch given by its sums of (x - shift) and (x - shift)**2: with a shift near
        the batch's mean these lose nothing to cancellation."""
        if count == 0:
            return
        if self.count == 0:
            self.mean = np.zeros_like(self.mean)
        batch_mean = shift + shifted_sum / count
        batch_m2 = np.maximum(shifted_squares - shifted_sum * shifted_sum / count, 0.0)
        total = self.count + count
        delta = batch_mean - self.mean
        self.mean = self.mean + delta * (count / total)
        self.m2 = self.m2 + batch_m2 + delta * delta * (self.count * count / total)
        self.count = total

    def std(self, min_std):
        if self.count == 0:
            return np.maximum(self.prior_std, min_std)
        return np.maximum(np.sqrt(self.m2 / self.count), min_std)


# ---------------------------------------------------------------------------------------------
# Environments.


class _EnvSource:
    """How to make the environment: a gymnasium id or a factory of single environments, with
    the keywords for gymnasium.make (or the factory)."""

    def __init__(self, env, make_kwargs, vectorization_mode, vector_kwargs):
        if isinstance(env, EpisodeFitness):
            given = env._source
            env, make_kwargs = given.env, dict(given.make_kwargs, **make_kwargs)
            vectorization_mode = vectorization_mode or given.mode
            vector_kwargs = vector_kwargs or given.vector_kwargs
        if not (isinstance(env, str) or callable(env)):
            raise TypeError(f"env must be a gymnasium environment id or a factory that makes "
                            f"an environment, got {type(env).__name__}")
        if vectorization_mode not in (None, "sync", "async", "vector_entry_point"):
            raise ValueError("vectorization_mode must be None, 'sync', 'async' or "
                             f"'vector_entry_point', got {vectorization_mode!r}")
        self.env = env
        self.make_kwargs = dict(make_kwargs)
        self.mode = vectorization_mode
        self.vector_kwargs = dict(vector_kwargs or {})
        self.name = env if isinstance(env, str) else getattr(env, "__name__", repr(env))
        self.flatten = False  # whether observations that are not a Box are flattened

    def probe(self):
        """The observation and action spaces of one environment, made here and closed; an
        observation space that is not a Box but that gymnasium can flatten comes as the Box of
        its flattened observations, and the vector environments made later flatten them."""
        gymnasium = _gymnasium()
        try:
            single = (gymnasium.make(self.env, **self.make_kwargs) if isinstance(self.env, str)
                      else self.env(**self.make_kwargs))
        except Exception as error:
            raise ValueError(f"cannot make the environment {self.name!r}: "
                             f"{type(error).__name__}: {error}") from error
        try:
            space = single.observation_space
            if not isinstance(space, gymnasium.spaces.Box):
                try:
                    flat = gymnasium.spaces.flatten_space(space)
                except NotImplementedError:  # a space it cannot flatten: refused later
                    flat = None
                if isinstance(flat, gymnasium.spaces.Box):
                    self.flatten, space = True, flat
            return space, single.action_space
        finally:
            single.close()

    def resolved_mode(self):
        if self.mode is not None:
            return self.mode
        if isinstance(self.env, str):
            registered = _gymnasium().envs.registration.registry.get(self.env)
            if registered is not None and registered.vector_entry_point is not None:
                return "vector_entry_point"
        return "sync"

    def default_slots(self, episodes):
        mode = self.resolved_mode()
        if mode == "vector_entry_point":
            return episodes
        if mode == "async":
            cpus = (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                    else os.cpu_count() or 1)
            return min(episodes, cpus)
        return min(episodes, _SYNC_SLOTS)

    def make_vector(self, num_envs):
        gymnasium = _gymnasium()
        mode = self.resolved_mode()
        if mode == "vector_entry_point":
            if self.flatten:
                raise ValueError(f"{self.name} gives observations that are not a Box, which a "
                                 f"vector entry point cannot flatten; use "
                                 f"vectorization_mode='sync' or 'async'")
            return gymnasium.make_vec(self.env, num_envs=num_envs, vectorization_mode=mode,
                                      **self.make_kwargs)
        # We reset each finished sub-environment ourselves, with the seed of its next episode.
        vector_kwargs = dict({"copy": False,
                              "autoreset_mode": gymnasium.vector.AutoresetMode.DISABLED},
                             **self.vector_kwargs)
        if isinstance(self.env, str):
            wrappers = [gymnasium.wrappers.FlattenObservation] if self.flatten else None
            return gymnasium.make_vec(self.env, num_envs=num_envs, vectorization_mode=mode,
                                      vector_kwargs=vector_kwargs, wrappers=wrappers,
                                      **self.make_kwargs)
        factory = _Factory(self.env, self.make_kwargs, self.flatten)
        vector = gymnasium.vector
        kind = vector.AsyncVectorEnv if mode == "async" else vector.SyncVectorEnv
        return kind([factory] * num_envs, **vector_kwargs)


class _Factory:
    """The user's factory with its keywords, picklable for worker processes."""

    def __init__(self, factory, kwargs, flatten):
        self.factory, self.kwargs, self.flatten = factory, kwargs, flatten

    def __call__(self):
        env = self.factory(**self.kwargs)
        return _gymnasium().wrappers.FlattenObservation(env) if self.flatten else env


def _network_key(model_or_genome):
    """The network's encoding: equal for equal networks, whether held by a Model or a Genome."""
    return model_or_genome.__getstate__()["network"]


def _observation_size(space, name):
    gymnasium = _gymnasium()
    if not isinstance(space, gymnasium.spaces.Box):
        raise ValueError(f"{name} has a {type(space).__name__} observation space, which "
                         f"gymnasium cannot flatten into a network's inputs")
    return int(np.prod(space.shape, dtype=np.int64))


class _ActionMap:
    """Turns a (slots, outputs) array of network outputs into the vector environment's actions."""

    def __init__(self, space, name):
        gymnasium = _gymnasium()
        self.discrete = isinstance(space, gymnasium.spaces.Discrete)
        if self.discrete:
            self.outputs = int(space.n)
            self.start = int(space.start)
            self.describe = (f"{name} takes Discrete({self.outputs}) actions, one output per "
                             f"action (the largest is taken), so it needs {self.outputs} outputs")
            return
        if not isinstance(space, gymnasium.spaces.Box):
            raise ValueError(f"{name} has a {type(space).__name__} action space; only Discrete "
                             f"and Box actions can be driven by a network's outputs")
        self.shape = space.shape
        self.dtype = space.dtype
        self.outputs = int(np.prod(space.shape, dtype=np.int64))
        self.describe = (f"{name} takes Box actions of {self.outputs} values, one output per "
                         f"value, so it needs {self.outputs} outputs")
        low = np.asarray(space.low, dtype=np.float64).reshape(-1)
        high = np.asarray(space.high, dtype=np.float64).reshape(-1)
        self.squashed = np.isfinite(low) & np.isfinite(high)
        with np.errstate(invalid="ignore"):  # infinite bounds, whose results are not used
            self.centre = np.where(self.squashed, (low + high) / 2, 0.0)
            self.half = np.where(self.squashed, (high - low) / 2, 1.0)
        self.low, self.high = low, high

    def __call__(self, outputs):
        if self.discrete:
            actions = outputs.argmax(axis=1)
            return actions + self.start if self.start else actions
        values = np.nan_to_num(outputs, copy=False)
        if self.squashed.all():
            values = np.tanh(values, out=values)
            values *= self.half
            values += self.centre
        elif self.squashed.any():
            values = np.where(self.squashed, np.tanh(values) * self.half + self.centre, values)
        np.clip(values, self.low, self.high, out=values)
        return values.astype(self.dtype).reshape((len(values),) + self.shape)


def _check_model(action_map, observations, name, inputs, outputs):
    if inputs != observations:
        raise ValueError(f"{name} gives observations of {observations} values, but the model has "
                         f"{inputs} inputs")
    if outputs != action_map.outputs:
        raise ValueError(f"{action_map.describe}, but the model has {outputs} outputs")


# ---------------------------------------------------------------------------------------------
# Playing episodes.


class _WholeVector:
    """Steps a vector environment as a whole."""

    one_by_one = False

    def __init__(self, envs, size):
        autoreset = _gymnasium().vector.AutoresetMode
        mode = autoreset(envs.metadata.get("autoreset_mode", autoreset.NEXT_STEP))
        self.envs, self.size, self.slots = envs, size, envs.num_envs
        self.seeded = mode == autoreset.DISABLED  # we reset each ended sub-environment
        self.next_step = mode == autoreset.NEXT_STEP  # it resets them at their next step

    def reset(self, seeds):
        seed = [int(s) for s in seeds] if self.seeded else int(seeds[0])
        return self.envs.reset(seed=seed)[0].reshape(self.slots, self.size)

    def step(self, actions, playing):
        observations, rewards, terminated, truncated, _ = self.envs.step(actions)
        return observations.reshape(self.slots, self.size), rewards, terminated | truncated

    def restart(self, observations, seeds, ended, started):
        if not self.seeded:
            return observations  # same-step autoreset has already started the next episodes
        return self.envs.reset(seed=[int(s) for s in seeds], options={"reset_mask": ended})[
            0].reshape(self.slots, self.size)


class _EachSubEnvironment:
    """Steps the sub-environments of a SyncVectorEnv one by one, as it does, but only those
    that play an episode: those waiting for the last episodes of a call cost nothing."""

    seeded, next_step, one_by_one = True, False, True

    def __init__(self, envs, size):
        self.envs, self.size, self.slots = envs.envs, size, envs.num_envs
        self.observations = np.zeros((self.slots, size))
        self.rewards = np.zeros(self.slots)
        self.ended = np.zeros(self.slots, dtype=bool)

    def reset(self, seeds):
        for k, env in enumerate(self.envs):
            self.observations[k] = np.reshape(env.reset(seed=int(seeds[k]))[0], -1)
        return self.observations

    def step(self, actions, playing):
        observations, rewards, ended, envs = self.observations, self.rewards, self.ended, self.envs
        for k in playing:
            observation, rewards[k], terminated, truncated, _ = envs[k].step(actions[k])
            observations[k] = np.reshape(observation, -1)
            ended[k] = terminated or truncated
        return observations, rewards, ended

    def restart(self, observations, seeds, ended, started):
        self.ended[ended] = False
        for k in started:
            self.observations[k] = np.reshape(self.envs[k].reset(seed=int(seeds[k]))[0], -1)
        return self.observations


class _InputLog:
    """The inputs the networks were given, (observation - mean) * inv_std, kept by blocks of
    time steps: each step's inputs are written into the block and predicted from there. A block
    is reduced into sums of deviations from the first step's mean input, which keeps them free
    of cancellation. The rows of a step that count are given by a boolean array that the caller
    replaces rather than changes once logged."""

    def __init__(self, slots, size, block=256):
        self.inputs = np.empty((block, slots, size))
        # Reduced in place: a new block-sized temporary costs more in page faults than the sums.
        self.centred = np.empty_like(self.inputs)
        self.squares = np.empty_like(self.inputs)
        self.counted = []
        self.shift = None
        self.count = 0
        self.sums = np.zeros((2, size))

    def next_row(self):
        if len(self.counted) == len(self.inputs):
            self.reduce()
        return self.inputs[len(self.counted)]

    def reduce(self):
        if not self.counted:
            return
        weights = np.array(self.counted, dtype=np.float64)
        if self.shift is None:
            self.shift = weights[0] @ self.inputs[0] / max(1.0, weights[0].sum())
        steps = len(weights)
        centred = np.subtract(self.inputs[:steps], self.shift, out=self.centred[:steps])
        squares = np.multiply(centred, centred, out=self.squares[:steps])
        self.sums[0] += np.einsum("tn,tnd->d", weights, centred)
        self.sums[1] += np.einsum("tn,tnd->d", weights, squares)
        self.count += int(weights.sum())
        self.counted = []

    def statistics(self, mean, inv_std):
        """The count, a shift and the sums of deviations from it and of their squares, of the
        observations behind the inputs."""
        self.reduce()
        if mean is None or self.shift is None:
            return self.count, self.shift, self.sums[0], self.sums[1]
        std = 1.0 / inv_std
        return (self.count, mean + self.shift * std, self.sums[0] * std,
                self.sums[1] * (std * std))


class _Player:
    """Plays queues of episodes on one vector environment: every sub-environment takes the next
    waiting episode as soon as its own has ended."""

    def __init__(self, source, num_envs):
        self.envs = source.make_vector(num_envs)
        self.num_envs = num_envs
        self.action_map = _ActionMap(self.envs.single_action_space, source.name)
        self.size = _observation_size(self.envs.single_observation_space, source.name)
        gymnasium = _gymnasium()
        one_by_one = (isinstance(self.envs, gymnasium.vector.SyncVectorEnv)
                      and self.envs.autoreset_mode == gymnasium.vector.AutoresetMode.DISABLED)
        self.stepper = (_EachSubEnvironment if one_by_one else _WholeVector)(self.envs, self.size)

    def close(self):
        self.envs.close()

    def play(self, genomes, episode_genome, episode_seed, mean=None, inv_std=None, given=None):
        """Plays every episode (genome index and seed), the networks given (observation - mean)
        * inv_std (the observations with mean None). Returns the return and length of each
        episode and the statistics of the observations the networks saw: their count, a shift,
        and the sums of (observation - shift) and of its squares. With raw observations and a
        list `given`, appends each step's (genome indices, rows) predicted."""
        count, slots, stepper = len(episode_genome), self.num_envs, self.stepper
        returns = np.zeros(count)
        lengths = np.zeros(count, dtype=np.int64)
        log = _InputLog(slots, self.size)
        # Sub-environment k plays episode slot_episode[k], from time step slot_start[k] on, or
        # none (-1) once the queue is empty; live[k] while its observation is one of an episode.
        slot_episode = np.full(slots, -1)
        waiting = min(slots, count)
        slot_episode[:waiting] = np.arange(waiting)
        slot_start = np.zeros(slots, dtype=np.int64)
        slot_seed = np.full(slots, episode_seed[0], dtype=np.int64)
        slot_seed[:waiting] = episode_seed[:waiting]
        slot_genomes = [genomes[episode_genome[e]] if e >= 0 else genomes[0] for e in slot_episode]
        slot_return = np.zeros(slots)
        live = slot_episode >= 0
        playing = np.flatnonzero(live).tolist()  # read by a stepper that steps them one by one
        in_play = len(playing)
        restarting = []  # with next-step autoreset: the sub-environments that reset next step
        observations = stepper.reset(slot_seed)
        outputs = None
        ended_live = np.zeros(slots, dtype=bool)
        step = 0
        while in_play:
            inputs = log.next_row()
            log.counted.append(live)
            if mean is not None:
                inputs[...] = observations  # a cast first: mixed types are slower to subtract
                inputs -= mean
                inputs *= inv_std
                outputs = tessaron.predict_many(slot_genomes, inputs)
            else:
                inputs[...] = observations
                rows = np.flatnonzero(live)
                outputs = self._live_outputs(slot_genomes, inputs, rows, outputs)
                if given is not None:
                    given.append((episode_genome[slot_episode[rows]], inputs[rows]))
            actions = self.action_map(outputs)
            observations, rewards, ended = stepper.step(actions, playing)
            slot_return += rewards
            step += 1
            if restarting:
                # That step only reset them: the episodes they were given start now.
                slot_return[restarting] = 0.0
                live = live.copy()
                live[restarting] = True
                restarting = []
            # Idle sub-environments go on ending episodes that nobody plays; those that we reset
            # ourselves are reset all the same.
            np.logical_and(ended, live, out=ended_live)
            if not np.count_nonzero(ended_live) and not (stepper.seeded and ended.any()):
                continue
            ended_now = np.flatnonzero(ended_live)
            returns[slot_episode[ended_now]] = slot_return[ended_now]
            lengths[slot_episode[ended_now]] = step - slot_start[ended_now]
            started = ended_now[:count - waiting]
            live = live.copy()
            live[ended_now] = False
            slot_episode[ended_now] = -1
            if len(started):
                slot_episode[started] = np.arange(waiting, waiting + len(started))
                slot_seed[started] = episode_seed[waiting:waiting + len(started)]
                for k in started.tolist():
                    slot_genomes[k] = genomes[episode_genome[slot_episode[k]]]
                waiting += len(started)
                slot_return[started] = 0.0
                if stepper.next_step:
                    restarting = started.tolist()
                    slot_start[started] = step + 1
                else:
                    live[started] = True
                    slot_start[started] = step
            observations = stepper.restart(observations, slot_seed, ended, started)
            in_play -= len(ended_now) - len(started)
            if stepper.one_by_one:
                playing = np.flatnonzero(slot_episode >= 0).tolist()
        return (returns, lengths) + log.statistics(mean, inv_std)

    def _live_outputs(self, slot_genomes, inputs, rows, outputs):
        """The outputs of the sub-environments in an episode (`rows`), the others' left as they
        were. Raw observations reach networks whose predictions Beta's search watches for the
        inputs' statistics: the last observations of idle sub-environments are not among them."""
        if len(rows) == len(inputs):
            return tessaron.predict_many(slot_genomes, inputs)
        if outputs is None:
            outputs = np.zeros((len(inputs), self.action_map.outputs))
        if len(rows):
            outputs[rows] = tessaron.predict_many([slot_genomes[k] for k in rows], inputs[rows])
        return outputs


_WORKER_PLAYERS = {}  # in worker processes: players by the fitness's token and the thread


def _play_on_worker(token, source, num_envs, genomes, episode_genome, episode_seed, mean,
                    inv_std):
    key = (token, threading.get_ident())
    player = _WORKER_PLAYERS.get(key)
    wanted = num_envs or source.default_slots(len(episode_genome))
    if player is None or (num_envs is None and player.num_envs < wanted):
        if player is not None:
            player.close()
        player = _WORKER_PLAYERS[key] = _Player(source, wanted)
    # Raw observations: the run's genomes record the rows they are given (Beta's search follows
    # their statistics), but these are copies, which record nothing. The rows go back to the
    # caller instead, each genome's in the order given, to be given to the genomes there.
    given = [] if mean is None else None
    if given is not None:
        genomes = [copy.copy(genome) for genome in genomes]
    try:
        played = player.play(genomes, episode_genome, episode_seed, mean, inv_std, given)
    except BaseException:
        _WORKER_PLAYERS.pop(key).close()
        raise
    return played, given and _rows_by_genome(given, len(genomes))


def _rows_by_genome(given, count):
    """The rows of (genome indices, rows) steps, split by genome, in the order given."""
    owners = np.concatenate([owner for owner, _ in given])
    rows = np.concatenate([step_rows for _, step_rows in given])
    order = np.argsort(owners, kind="stable")
    bounds = np.searchsorted(owners[order], np.arange(count + 1))
    return [rows[order[a:b]] for a, b in zip(bounds[:-1], bounds[1:])]


def _close_on_worker(token):
    for key in [key for key in _WORKER_PLAYERS if key[0] == token]:
        _WORKER_PLAYERS.pop(key).close()


# ---------------------------------------------------------------------------------------------
# The fitness.


class EpisodeFitness:
    """A train_func for Model.func_evolve: the loss of each genome is minus its mean return over
    `episodes` episodes of the environment `env` (a gymnasium id, or a factory called with
    `make_kwargs` that returns an environment). `num_envs` sub-environments play the episodes
    of a call (by default: all of them at once with a vector entry point, up to 32 in one
    process, one per CPU with vectorization_mode="async"). `processes` splits the episodes of a
    call over that many worker processes, each stepping its own vector environment, with one
    exchange per call (rather than one per time step as with "async"); `client`, a
    dask.distributed Client, spreads them over the cluster's workers in the same way. See the
    module's description for the action mapping, the normalisation, the seeds and the steps
    counted."""

    def __init__(self, env, episodes=1, *, num_envs=None, vectorization_mode=None,
                 normalize=True, min_std=1e-4, seed=None, fixed_seeds=False, processes=None,
                 client=None, vector_kwargs=None, **make_kwargs):
        _check_count("episodes", episodes, 1)
        if num_envs is not None:
            _check_count("num_envs", num_envs, 1)
        if processes is not None:
            _check_count("processes", processes, 1)
            if client is not None:
                raise ValueError("give processes or client, not both")
        if not min_std > 0:
            raise ValueError(f"min_std must be positive, got {min_std!r}")
        self._source = _EnvSource(env, make_kwargs, vectorization_mode, vector_kwargs)
        observation_space, action_space = self._source.probe()
        self._observation_space = observation_space
        self.observation_size = _observation_size(observation_space, self._source.name)
        self._action_map = _ActionMap(action_space, self._source.name)
        self.episodes = episodes
        self.num_envs = num_envs
        self.normalize_observations = bool(normalize)
        self.min_std = float(min_std)
        self.seed = seed
        self.fixed_seeds = bool(fixed_seeds)
        self.processes = processes
        self.client = client
        self._executor = None
        self.env_steps = 0
        self.last_seeds = self.last_returns = self.last_lengths = None
        self.stats = _ObservationStats(self._observation_space)
        self._applied = (np.zeros(self.observation_size), np.ones(self.observation_size))
        self._scored_under = {}  # the normalisation of each network of the latest call
        self._best_under = {}  # and of the model's network at the latest epoch's end
        self._seeds = None
        self._fixed = None
        self._player = None
        self._token = uuid.uuid4().hex
        self.tessaron_callback = _RunBookkeeping(self)

    # The statistics and the fold.

    @property
    def mean(self):
        """The mean that the latest call subtracted from the observations."""
        return self._applied[0].copy()

    @property
    def std(self):
        """The standard deviation that the latest call divided them by."""
        return self._applied[1].copy()

    def normalize(self, observations):
        """Observations as the latest call's networks saw them."""
        mean, std = self._applied
        return (np.asarray(observations, dtype=np.float64) - mean) * (1.0 / std)

    def fold_into(self, model_or_genome):
        """Folds the normalisation that a network of the latest call, or the run's best, was
        scored under (the latest call's for any other) into a Model's or Genome's network, in
        place. A run does this after every epoch for the network the model shows: fold only
        networks taken from the run otherwise (the genomes handed to a function), and only
        once."""
        if self.normalize_observations:
            fold_normalization(model_or_genome, *self.scored_under(model_or_genome))

    def scored_under(self, model_or_genome):
        """The (mean, std) that the observations were normalised by when the network of this
        Model or Genome was last scored: in the latest call, or, for the run's best, when it
        was. The latest call's for a network neither scored."""
        mean, std = self._under(_network_key(model_or_genome))
        return mean.copy(), std.copy()

    def _under(self, key):
        return self._scored_under.get(key) or self._best_under.get(key) or self._applied

    def _fold_best(self, model):
        """Folds the model's network, the run's best, remembering what it was scored under: a
        best may stay the best for generations after the call that scored it."""
        if self.normalize_observations:
            key = _network_key(model)
            under = self._under(key)
            self._best_under = {key: under}
            fold_normalization(model, *under)

    def reset_statistics(self):
        """Forgets the observations seen: the next call normalises as the first did."""
        self.stats = _ObservationStats(self._observation_space)
        self._applied = (np.zeros(self.observation_size), np.ones(self.observation_size))
        self._scored_under, self._best_under = {}, {}

    # Checks, seeds and the vector environment.

    def check_model(self, model_or_genome):
        """Raises ValueError unless the network's inputs and outputs fit the environment."""
        network = model_or_genome.get_network()
        _check_model(self._action_map, self.observation_size, self._source.name,
                     network["inputs"], network["outputs"])

    def restart_seeds(self):
        """Starts the episode seeds again from `seed`, or from a draw from tessaron's stream."""
        self._seeds = np.random.default_rng(self.seed if self.seed is not None
                                            else _tessaron_seed())
        self._fixed = None

    def _episode_seeds(self):
        if self._seeds is None:
            self.restart_seeds()
        if self.fixed_seeds:
            if self._fixed is None:
                self._fixed = self._seeds.integers(0, 2**31 - 1, size=self.episodes)
            return self._fixed
        return self._seeds.integers(0, 2**31 - 1, size=self.episodes)

    def _player_for(self, count):
        wanted = self.num_envs or self._source.default_slots(count)
        if self._player is not None and (self.num_envs is not None
                                         or self._player.num_envs >= wanted):
            return self._player
        self.close()
        self._player = _Player(self._source, wanted)
        return self._player

    def close(self):
        """Closes the vector environments (and their worker processes); the next call makes
        new ones."""
        player, self._player = self._player, None
        if player is not None:
            player.close()
        executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(cancel_futures=True)
        if self.client is not None:
            self.client.run(_close_on_worker, self._token)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    # The call.

    def __call__(self, genomes):
        genomes = list(genomes)
        if not genomes:
            return np.zeros(0)
        self.check_model(genomes[0])
        seeds = self._episode_seeds()
        episode_genome = np.repeat(np.arange(len(genomes)), self.episodes)
        episode_seed = np.tile(seeds, len(genomes))
        mean = inv_std = None
        if self.normalize_observations:
            self._applied = (self.stats.mean.copy(), self.stats.std(self.min_std))
            mean, inv_std = self._applied[0], 1.0 / self._applied[1]
            self._scored_under = {_network_key(genome): self._applied for genome in genomes}
        parts = self._play(genomes, episode_genome, episode_seed, mean, inv_std)
        for _, _, seen, part_shift, shifted_sum, shifted_squares in parts:
            self.stats.merge(seen, part_shift, shifted_sum, shifted_squares)
        returns = np.concatenate([part[0] for part in parts])
        lengths = np.concatenate([part[1] for part in parts])
        self.env_steps += int(lengths.sum())
        self.last_seeds = seeds
        self.last_returns = returns.reshape(len(genomes), self.episodes)
        self.last_lengths = lengths.reshape(len(genomes), self.episodes)
        return -self.last_returns.mean(axis=1)

    def _play(self, genomes, episode_genome, episode_seed, mean, inv_std):
        """The results of Player.play for consecutive parts of the episodes."""
        try:
            if self.client is not None or self.processes:
                return self._play_elsewhere(genomes, episode_genome, episode_seed, mean,
                                            inv_std)
            player = self._player_for(len(episode_genome))
            return [player.play(genomes, episode_genome, episode_seed, mean, inv_std)]
        except BaseException:
            self.close()  # an environment that failed is not stepped again
            raise

    def _play_elsewhere(self, genomes, episode_genome, episode_seed, mean, inv_std):
        """Player.play's results for consecutive parts of the episodes, one part per worker of
        the cluster or per process, each played by that worker's own vector environment."""
        if self.client is not None:
            parts = max(1, len(self.client.nthreads()))
            submit = functools.partial(self.client.submit, pure=False)
        else:
            if self._executor is None:
                self._executor = ProcessPoolExecutor(self.processes)
            parts, submit = self.processes, self._executor.submit
        futures, users = [], []
        for part in np.array_split(np.arange(len(episode_genome)), parts):
            if len(part):
                used, index = np.unique(episode_genome[part], return_inverse=True)
                futures.append(submit(_play_on_worker, self._token, self._source, self.num_envs,
                                      [genomes[g] for g in used], index, episode_seed[part],
                                      mean, inv_std))
                users.append(used)
        results = (self.client.gather(futures) if self.client is not None
                   else [future.result() for future in futures])
        for (_, given), used in zip(results, users):
            for g, rows in zip(used, given or ()):
                if len(rows):
                    genomes[g].predict(rows)  # recorded as if given here
        return [played for played, _ in results]


class _RunBookkeeping(Callback):
    """The fitness's part in a run: checks the model before the first generation, starts the
    statistics and seeds, logs the steps and folds the best network after every epoch."""

    def __init__(self, fitness):
        super().__init__()
        self.fitness = fitness
        self.steps_at_start = 0

    @property
    def normalizes_inputs(self):
        """Read by func_evolve: Beta's search then takes the observations as the fitness
        normalises them, rather than follow the statistics of what its networks are given."""
        return self.fitness.normalize_observations

    def on_train_begin(self, logs=None):
        fitness = self.fitness
        fitness.check_model(self.model)
        fitness.reset_statistics()
        fitness.restart_seeds()
        self.steps_at_start = fitness.env_steps

    def on_epoch_end(self, epoch, logs=None):
        if logs is not None:
            logs["env_steps"] = self.fitness.env_steps - self.steps_at_start
        self.fitness._fold_best(self.model)

    def on_train_end(self, logs=None):
        self.fitness.close()


# ---------------------------------------------------------------------------------------------
# Tests of a network.


class Returns(NamedTuple):
    """The result of evaluate."""

    mean: float
    """The mean return of the episodes."""
    std: float
    """Their standard deviation."""
    returns: np.ndarray
    """The return of each episode, in the order of their seeds."""
    env_steps: int
    """The environment steps the episodes took."""


def _test_seeds(seed, episodes):
    return np.random.default_rng(seed).integers(0, 2**31 - 1, size=episodes)


def _returns(player, network, seeds, normalize):
    mean = inv_std = None
    if normalize is not None:
        mean, std = normalize.scored_under(network)
        inv_std = 1.0 / std
    returns, lengths, *_ = player.play([network], np.zeros(len(seeds), dtype=np.int64), seeds,
                                       mean, inv_std)
    return Returns(float(returns.mean()), float(returns.std()), returns, int(lengths.sum()))


def evaluate(model_or_genome, env, episodes=100, seed=0, *, num_envs=None,
             vectorization_mode=None, normalize=None, vector_kwargs=None, **make_kwargs):
    """Plays `episodes` episodes of `env` (an id, a factory or an EpisodeFitness, whose
    environment is used) with the network of a Model or Genome, the episode seeds drawn from
    `seed`, and returns their Returns (mean, std, returns, env_steps). The network takes raw
    observations, as a model trained with EpisodeFitness does; for a genome handed out during
    such a run, give the fitness as `normalize`."""
    _check_count("episodes", episodes, 1)
    source = _EnvSource(env, make_kwargs, vectorization_mode, vector_kwargs)
    size = _observation_size(source.probe()[0], source.name)
    player = _Player(source, num_envs or source.default_slots(episodes))
    try:
        network = model_or_genome.get_network()
        _check_model(player.action_map, size, source.name, network["inputs"], network["outputs"])
        return _returns(player, model_or_genome, _test_seeds(seed, episodes), normalize)
    finally:
        player.close()


class StopAtReturn(Callback):
    """Stops a run once the model's network (the best of the latest epoch) reaches a mean
    return of `threshold` over `episodes` test episodes of `env` (an id, a factory or the run's
    EpisodeFitness). A network is tested at most once per epoch, and only when the epoch's loss
    says its training return reached the threshold (the loss is minus a return, as
    EpisodeFitness gives), and never twice. The test episodes are the same at every check
    (seeds drawn from `seed`, as evaluate draws them; tests draw nothing from tessaron's random
    stream, so they leave the run as it would be without them), and their steps are counted
    apart, in `env_steps`."""

    def __init__(self, threshold, env, episodes=100, seed=0, *, num_envs=None,
                 vectorization_mode=None, vector_kwargs=None, **make_kwargs):
        super().__init__()
        _check_count("episodes", episodes, 1)
        self.threshold = float(threshold)
        self.episodes = episodes
        self.seed = seed
        self.num_envs = num_envs
        self._source = _EnvSource(env, make_kwargs, vectorization_mode, vector_kwargs)
        self._source.probe()
        self._player = None
        self.env_steps = 0
        self.tests = []  # (epoch, mean test return) of every check
        self.stopped_epoch = None
        self._tested = set()

    def on_train_begin(self, logs=None):
        self.stopped_epoch = None
        self._tested = set()
        self._seeds = _test_seeds(self.seed, self.episodes)

    def on_epoch_end(self, epoch, logs=None):
        loss = (logs or {}).get("loss", math.nan)
        if not -loss >= self.threshold:
            return
        network = hashlib.sha256(repr(self.model.get_network()).encode()).digest()
        if network in self._tested:
            return
        self._tested.add(network)
        if self._player is None:
            self._player = _Player(self._source,
                                   self.num_envs or self._source.default_slots(self.episodes))
        result = _returns(self._player, self.model, self._seeds, None)
        self.env_steps += result.env_steps
        self.tests.append((epoch, result.mean))
        if result.mean >= self.threshold:
            self.stopped_epoch = epoch
            self.model.stop_evolving = True

    def on_train_end(self, logs=None):
        player, self._player = self._player, None
        if player is not None:
            player.close()

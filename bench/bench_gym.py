"""Environment steps per second of tessaron.gym.EpisodeFitness against the rate of the same
vector environment stepping random actions (the simulator's own rate).

For each environment, in one run:
- random: the vector environment that EpisodeFitness builds (same mode, num_envs and autoreset),
  stepped with random actions drawn beforehand, ended sub-environments reset as EpisodeFitness
  resets them; the steps counted are those of episodes (not the resets of next-step autoreset);
- fitness run: Model.func_evolve(EpisodeFitness(env), pop_size, epochs) from a new model with
  Beta's defaults; the environment steps of the run over its wall time. A generation waits for
  its longest episode, so the sub-environments of a whole vector environment (the vector entry
  point) are not all busy: their busy share is printed beside it. The one-by-one stepping of a
  sync vector environment's sub-environments leaves the idle ones out;
- worker processes: the same run with vectorization_mode="async" (gymnasium's AsyncVectorEnv,
  one sub-environment per process, num_envs = --processes, an exchange with every process at
  every step) and with processes=--processes (the episodes of a generation split over the
  processes, each with its own vector environment), against the one-process run.
An entry of --envs may name the vectorization mode after a colon (CartPole-v1:sync): CartPole's
default is its vector entry point, the fastest in steps per second though its idle
sub-environments are stepped too; its sync vector environment shows the ratio where they are not.

    pip install -r bench/requirements.txt
    python bench/bench_gym.py [--envs CartPole-v1,CartPole-v1:sync,LunarLander-v3]
                              [--async-envs LunarLander-v3,BipedalWalker-v3] [--pop-size 100]
                              [--epochs 10] [--processes 2]
"""

import argparse
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

import tessaron
import tessaron.gym

SHAPES = {"CartPole-v1": (4, 2), "LunarLander-v3": (8, 4), "BipedalWalker-v3": (24, 4),
          "Acrobot-v1": (6, 3), "MountainCarContinuous-v0": (2, 1)}


def burn(count):
    total = 0
    for i in range(count):
        total += i * i
    return total


def machine_ceiling(processes, count=3_000_000):
    """What `processes` processes gain on a plain Python loop here: on a shared machine, less
    than their number."""
    start = time.perf_counter()
    for _ in range(processes):
        burn(count)
    serial = time.perf_counter() - start
    with ProcessPoolExecutor(processes) as executor:
        list(executor.map(burn, [10] * processes))
        start = time.perf_counter()
        list(executor.map(burn, [count] * processes))
        return serial / (time.perf_counter() - start)


def random_rate(fitness, episodes, seconds):
    """Episode steps per second of the fitness's own vector environment under random actions."""
    gymnasium = tessaron.gym._gymnasium()
    player = fitness._player_for(episodes)
    envs = player.envs
    autoreset = gymnasium.vector.AutoresetMode
    mode = autoreset(envs.metadata.get("autoreset_mode", autoreset.NEXT_STEP))
    rng = np.random.default_rng(0)
    actions = [envs.action_space.sample() for _ in range(64)]
    envs.reset(seed=[int(s) for s in rng.integers(2**31, size=envs.num_envs)]
               if mode == autoreset.DISABLED else 0)
    resetting = np.zeros(envs.num_envs, dtype=bool)
    steps = calls = 0
    start, cpu = time.perf_counter(), time.process_time()
    while time.perf_counter() - start < seconds:
        _, _, terminated, truncated, _ = envs.step(actions[calls % len(actions)])
        calls += 1
        steps += envs.num_envs - int(np.count_nonzero(resetting))
        ended = terminated | truncated
        if mode == autoreset.NEXT_STEP:
            resetting = ended
        elif mode == autoreset.DISABLED and ended.any():
            envs.reset(seed=[int(s) for s in rng.integers(2**31, size=envs.num_envs)],
                       options={"reset_mask": ended})
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    fitness.close()
    return steps / seconds, steps / cpu, calls


def fitness_run(env, pop_size, epochs, **fitness_kwargs):
    """Steps, seconds, the time in the vector environment and the busy share of a run."""
    tessaron.set_num_threads(1)
    tessaron.seed(5)
    model = tessaron.Model(*SHAPES[env])
    model.compile(optimizer="beta")
    fitness = tessaron.gym.EpisodeFitness(env, **fitness_kwargs)
    clock = {"calls": 0, "seconds": 0.0}
    slots = 0
    if not fitness.processes:
        # The environments are made before the clock starts, for the first generation's
        # networks too: Beta's default search also scores the model's own there.
        fitness._player_for(pop_size + 1)
        slots = fitness._player.num_envs
        stepper = fitness._player.stepper
        inner = stepper.step

        def timed_step(actions, playing):
            begin = time.perf_counter()
            result = inner(actions, playing)
            clock["seconds"] += time.perf_counter() - begin
            clock["calls"] += 1
            return result

        stepper.step = timed_step
    start, cpu = time.perf_counter(), time.process_time()
    history = model.func_evolve(fitness, pop_size=pop_size, epochs=epochs, verbose=0)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    steps = history["env_steps"][-1]
    busy = steps / max(1, clock["calls"] * slots)
    return steps, seconds, clock["seconds"], busy, -history["loss"][-1], slots, clock["calls"], cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--envs", default="CartPole-v1,CartPole-v1:sync,LunarLander-v3")
    parser.add_argument("--async-envs", default="LunarLander-v3,BipedalWalker-v3")
    parser.add_argument("--pop-size", type=int, default=100)
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--random-seconds", type=float, default=3.0)
    arguments = parser.parse_args()
    pop = arguments.pop_size
    print(f"pop {pop}, {arguments.epochs} generations of Beta, 1 episode per genome, 1 thread")
    one_process = {}
    for entry in [e for e in arguments.envs.split(",") if e]:
        env, _, mode = entry.partition(":")
        chosen = {"vectorization_mode": mode} if mode else {}
        steps, seconds, in_env, busy, best, slots, calls, cpu = fitness_run(env, pop,
                                                                           arguments.epochs,
                                                                           **chosen)
        rate = steps / seconds
        if not mode:
            one_process[env] = rate
        fitness = tessaron.gym.EpisodeFitness(env, **chosen)
        random, random_cpu, random_calls = random_rate(fitness, slots, arguments.random_seconds)
        stepped = calls * slots / seconds
        print(f"{env} ({slots} sub-environments, {fitness._source.resolved_mode()}):")
        print(f"  random actions      {random:10.0f} steps/s wall, {random_cpu:10.0f} per CPU "
              f"second ({random_calls} vector steps)")
        print(f"  EpisodeFitness run  {rate:10.0f} steps/s wall, {steps / cpu:10.0f} per CPU "
              f"second: {rate / random:6.1%} and {steps / cpu / random_cpu:6.1%} of random "
              f"({steps} steps in {seconds:.2f} s, {in_env / seconds:6.1%} of it stepping the "
              f"environment; last best return {best:.1f})")
        if fitness._source.resolved_mode() == "sync":
            print(f"  sub-environments busy {busy:6.1%} of the {calls} vector steps (the idle "
                  f"ones are not stepped)")
        else:
            print(f"  sub-environments busy {busy:6.1%} of the {calls} vector steps; all of "
                  f"them, ended ones included: {stepped / random:6.1%} of random (wall), "
                  f"{calls * slots / cpu / random_cpu:6.1%} (CPU)")
    for env in [e for e in arguments.async_envs.split(",") if e]:
        if env not in one_process:
            steps, seconds, *_ = fitness_run(env, pop, arguments.epochs)
            one_process[env] = steps / seconds
        print(f"{env}: one process {one_process[env]:.0f} steps/s; a plain Python loop gains "
              f"{machine_ceiling(arguments.processes):.2f}x on {arguments.processes} processes "
              f"here")
        k = arguments.processes
        for label, kwargs in ((f"AsyncVectorEnv, {k} sub-environments", 
                               {"vectorization_mode": "async", "num_envs": k}),
                              (f"processes={k}", {"processes": k})):
            steps, seconds, *_ = fitness_run(env, pop, arguments.epochs, **kwargs)
            rate = steps / seconds
            print(f"  {label:36s} {rate:8.0f} steps/s = {rate / one_process[env]:.2f}x "
                  f"({steps} steps in {seconds:.2f} s)")

if __name__ == "__main__":
    sys.exit(main())

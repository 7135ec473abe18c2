"""One generation of a control task, the whole pool at once against one genome at a time.

A controller is first evolved for a few generations on the cart-pole of
examples/vectorised_pole.py; the 200 genomes of its next generation's pool are then scored
(4 episodes each, up to 500 steps) three ways, side by side in one run:
- the vectorised example's train(): one tessaron.predict_many call and one numpy step per time
  step for every cart of every genome; its time is split into ours (predict_many) and the
  simulator's;
- examples/pole_balancing.py's train(): a Python loop over the genomes, one Genome.predict call
  and one numpy step per genome per time step;
- when gymnasium is installed (a benchmark-only dependency), 500 steps of
  gymnasium.make_vec("CartPole-v1", num_envs=200, vectorization_mode="vector_entry_point")
  driven by predict_many, one episode per genome, with the same split.
Wall times are the best of a few runs; CPU times of the process are printed beside them, since a
shared machine stretches wall times.

    python bench/bench_vectorised_control.py [--pop-size 100] [--warm-up-epochs 8]
"""

import argparse
import os
import sys
import time

import numpy as np

import tessaron

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

import pole_balancing  # noqa: E402
import vectorised_pole  # noqa: E402


class Clock:
    """Wall and CPU seconds spent inside `with clock:` blocks, summed."""

    def __init__(self):
        self.wall = self.cpu = 0.0

    def __enter__(self):
        self._wall, self._cpu = time.perf_counter(), time.process_time()

    def __exit__(self, *_):
        self.wall += time.perf_counter() - self._wall
        self.cpu += time.process_time() - self._cpu


def generation_pool(pop_size, warm_up_epochs):
    """The genomes of one pool, after a controller has learned for a few generations."""
    tessaron.seed(21)
    model = tessaron.Model(4, 1)
    model.compile()
    model.func_evolve(vectorised_pole.train, pop_size=pop_size, epochs=warm_up_epochs, verbose=0)
    captured = []

    def capture(genomes):
        captured.extend(genomes)
        return np.zeros(len(genomes))

    model.func_evolve(capture, pop_size=pop_size, epochs=1, verbose=0)
    return captured


def split_vectorised(genomes):
    """vectorised_pole.steps_balanced with its parts timed: (ours, simulator, iterations)."""
    ours, simulator = Clock(), Clock()
    with simulator:
        state = np.repeat(vectorised_pole.STARTS[np.newaxis], len(genomes), axis=0)
        alive = np.ones(state.shape[:2], dtype=bool)
        steps = np.zeros(state.shape[:2])
    iterations = 0
    for _ in range(vectorised_pole.MAX_STEPS):
        with ours:
            decisions = tessaron.predict_many(genomes, state)
        with simulator:
            push_right = decisions[..., 0] > 0.5
            state = np.where(alive[..., np.newaxis], vectorised_pole.step(state, push_right), state)
            alive &= ((np.abs(state[..., 0]) <= vectorised_pole.X_LIMIT)
                      & (np.abs(state[..., 2]) <= vectorised_pole.THETA_LIMIT))
            steps += alive
        iterations += 1
        if not alive.any():
            break
    return ours, simulator, iterations


def timed(function, repeats):
    """Best wall time of `repeats` calls, the CPU time of that call, and its result."""
    best = None
    for _ in range(repeats):
        clock = Clock()
        with clock:
            result = function()
        if best is None or clock.wall < best[0].wall:
            best = (clock, result)
    return best


def gymnasium_split(genomes, steps):
    """predict_many against gymnasium's vectorised CartPole step, one episode per genome."""
    try:
        import gymnasium
    except ImportError:
        print("gymnasium is not installed: its vectorised CartPole is not measured")
        return
    envs = gymnasium.make_vec("CartPole-v1", num_envs=len(genomes),
                              vectorization_mode="vector_entry_point")
    observations, _ = envs.reset(seed=0)
    ours, environment = Clock(), Clock()
    worst_gap, resets = 0.0, 0
    ended = np.zeros(len(genomes), dtype=bool)  # these restart at the next step, ignoring actions
    for _ in range(steps):
        with ours:
            actions = (tessaron.predict_many(genomes, observations)[:, 0] > 0.5).astype(np.int64)
        with environment:
            after, _, terminated, truncated, _ = envs.step(actions)
        # Where no episode restarted, the example's dynamics give gymnasium's next state.
        expected = vectorised_pole.step(observations.astype(np.float64), actions == 1)
        moved = ~ended
        if moved.any():
            worst_gap = max(worst_gap, float(np.max(np.abs(after[moved] - expected[moved]))))
        ended = terminated | truncated
        resets += int(np.count_nonzero(ended))
        observations = after
    envs.close()
    total = ours.wall + environment.wall
    print(f"gymnasium CartPole-v1 vector env, {len(genomes)} envs x {steps} steps "
          f"({resets} episode ends):")
    print(f"  predict_many           {ours.wall * 1e3:8.1f} ms wall {ours.cpu * 1e3:8.1f} ms CPU")
    print(f"  envs.step              {environment.wall * 1e3:8.1f} ms wall "
          f"{environment.cpu * 1e3:8.1f} ms CPU")
    print(f"  together               {total * 1e3:8.1f} ms wall; "
          f"largest gap to the example's dynamics {worst_gap:.1e} (float32 observations)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pop-size", type=int, default=100)
    parser.add_argument("--warm-up-epochs", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    genomes = generation_pool(arguments.pop_size, arguments.warm_up_epochs)
    count = len(genomes)
    episodes = len(vectorised_pole.STARTS)
    print(f"pool of {count} genomes, {episodes} episodes each, up to "
          f"{vectorised_pole.MAX_STEPS} steps; {tessaron.get_num_threads()} threads")

    vectorised, vector_losses = timed(lambda: vectorised_pole.train(genomes), arguments.repeats)
    ours, simulator, iterations = min((split_vectorised(genomes) for _ in range(arguments.repeats)),
                                      key=lambda split: split[0].wall + split[1].wall)
    loop, loop_losses = timed(lambda: pole_balancing.train(genomes), 1)
    balanced = int(round(float(np.sum((1 - loop_losses) * vectorised_pole.MAX_STEPS * episodes))))
    agree = int(np.count_nonzero(vector_losses == loop_losses))

    print(f"steps balanced in all: {balanced} of {count * episodes * vectorised_pole.MAX_STEPS}; "
          f"losses equal for {agree} of {count} genomes")
    print(f"whole pool at once: {iterations} time steps of {count * episodes} carts")
    print(f"  predict_many (ours)    {ours.wall * 1e3:8.1f} ms wall {ours.cpu * 1e3:8.1f} ms CPU "
          f"({ours.wall / iterations * 1e6:.1f} us per call)")
    print(f"  numpy simulator        {simulator.wall * 1e3:8.1f} ms wall "
          f"{simulator.cpu * 1e3:8.1f} ms CPU")
    print(f"  train() end to end     {vectorised.wall * 1e3:8.1f} ms wall "
          f"{vectorised.cpu * 1e3:8.1f} ms CPU")
    print(f"one genome at a time (examples/pole_balancing.py):")
    print(f"  train() end to end     {loop.wall * 1e3:8.1f} ms wall {loop.cpu * 1e3:8.1f} ms CPU")
    print(f"speed-up end to end: {loop.wall / vectorised.wall:.1f}x wall, "
          f"{loop.cpu / max(vectorised.cpu, 1e-9):.1f}x CPU")
    print()
    gymnasium_split(genomes, vectorised_pole.MAX_STEPS)


if __name__ == "__main__":
    sys.exit(main())

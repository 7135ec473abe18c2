"""Evolve a pole-balancing controller with the whole pool playing at once.

The task is that of examples/pole_balancing.py: the classic cart-pole (a 1 kg cart, a 0.1 kg pole
of half-length 0.5 m, a push of 10 N left or right every 20 ms, the episode over when the pole
tips past 12 degrees or the cart leaves the track). There, every genome plays its episodes on its
own, one predict call per genome per step. Here the cart-poles of every genome of a generation
move together: each step, one tessaron.predict_many call gives every controller's decision for
all of its episodes, and one vectorised numpy step moves every cart.

    python examples/vectorised_pole.py
"""

from __future__ import annotations

import time

import numpy as np
import numpy.typing as npt

import tessaron

Array = npt.NDArray[np.float64]

MAX_STEPS = 500
STARTS = np.random.default_rng(1).uniform(-0.05, 0.05, size=(4, 4))  # the same starts for everyone
X_LIMIT, THETA_LIMIT = 2.4, 12 * np.pi / 180


def step(state: Array, push_right: npt.NDArray[np.bool_]) -> Array:
    """Advances every cart-pole of `state` (last axis: x, x_dot, theta, theta_dot) by 20 ms."""
    gravity, cart, pole, half_length, tau = 9.8, 1.0, 0.1, 0.5, 0.02
    x, x_dot, theta, theta_dot = np.moveaxis(state, -1, 0)
    force = np.where(push_right, 10.0, -10.0)
    cos, sin = np.cos(theta), np.sin(theta)
    total = cart + pole
    temp = (force + pole * half_length * theta_dot**2 * sin) / total
    theta_acc = (gravity * sin - cos * temp) / (half_length * (4.0 / 3.0 - pole * cos**2 / total))
    x_acc = temp - pole * half_length * theta_acc * cos / total
    return np.stack([x + tau * x_dot, x_dot + tau * x_acc, theta + tau * theta_dot,
                     theta_dot + tau * theta_acc], axis=-1)


def steps_balanced(genomes: list[tessaron.Genome], starts: Array = STARTS) -> Array:
    """Mean number of steps each genome keeps the pole up, over the start states."""
    state = np.repeat(starts[np.newaxis], len(genomes), axis=0)  # (genomes, episodes, 4)
    alive = np.ones(state.shape[:2], dtype=bool)
    steps = np.zeros(state.shape[:2])
    for _ in range(MAX_STEPS):
        push_right = tessaron.predict_many(genomes, state)[..., 0] > 0.5
        # A fallen pole stays where it fell; its controller's decisions are not used.
        state = np.where(alive[..., np.newaxis], step(state, push_right), state)
        alive &= (np.abs(state[..., 0]) <= X_LIMIT) & (np.abs(state[..., 2]) <= THETA_LIMIT)
        steps += alive
        if not alive.any():
            break
    result: Array = steps.mean(axis=1)
    return result


def train(genomes: list[tessaron.Genome]) -> Array:
    """Loss of each genome: the share of the steps it did not balance (0 is perfect)."""
    losses: Array = 1.0 - steps_balanced(genomes) / MAX_STEPS
    return losses


def validate(genome: tessaron.Genome) -> float:
    """Steps balanced from ten unseen start states."""
    unseen = np.random.default_rng(7).uniform(-0.05, 0.05, size=(10, 4))
    return float(steps_balanced([genome], unseen)[0])


def main() -> None:
    model = tessaron.Model(4, 1)
    model.compile(monitors=["size"])
    start = time.perf_counter()
    history = model.func_evolve(train, pop_size=100, epochs=15, verbose=0, validation_func=validate)
    seconds = time.perf_counter() - start
    for epoch, (loss, unseen, size) in enumerate(
            zip(history["loss"], history["val_loss"], history["size"]), start=1):
        print(f"epoch {epoch:2d}: {MAX_STEPS * (1 - loss):5.1f} steps balanced "
              f"({unseen:5.1f} from unseen starts), {size} nodes")
    print(f"15 generations of 200 genomes in {seconds:.2f} s")


if __name__ == "__main__":
    main()

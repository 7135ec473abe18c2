"""Evolve a controller that balances a pole on a cart, against a fitness function.

The cart-pole is simulated in a few lines of numpy (the classic equations: a 1 kg cart, a 0.1 kg
pole of half-length 0.5 m, a push of 10 N left or right every 20 ms). A controller sees the cart's
position and speed and the pole's angle and angular speed, and pushes right when its output is
above 0.5. An episode ends when the pole tips past 12 degrees or the cart leaves the track.

    python examples/pole_balancing.py
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import tessaron

Array = npt.NDArray[np.float64]

MAX_STEPS = 500
STARTS = np.random.default_rng(1).uniform(-0.05, 0.05, size=(4, 4))  # the same starts for everyone


def step(state: Array, push_right: npt.NDArray[np.bool_]) -> Array:
    """Advances every episode of `state` (rows of x, x_dot, theta, theta_dot) by 20 ms."""
    gravity, cart, pole, half_length, tau = 9.8, 1.0, 0.1, 0.5, 0.02
    x, x_dot, theta, theta_dot = state.T
    force = np.where(push_right, 10.0, -10.0)
    cos, sin = np.cos(theta), np.sin(theta)
    total = cart + pole
    temp = (force + pole * half_length * theta_dot**2 * sin) / total
    theta_acc = (gravity * sin - cos * temp) / (half_length * (4.0 / 3.0 - pole * cos**2 / total))
    x_acc = temp - pole * half_length * theta_acc * cos / total
    return np.stack([x + tau * x_dot, x_dot + tau * x_acc, theta + tau * theta_dot,
                     theta_dot + tau * theta_acc], axis=1)


def steps_balanced(genome: tessaron.Genome, starts: Array = STARTS) -> float:
    """Mean number of steps the genome keeps the pole up, over the start states."""
    state = starts.copy()
    alive = np.ones(len(state), dtype=bool)
    steps = np.zeros(len(state))
    for _ in range(MAX_STEPS):
        push_right = genome.predict(state[alive])[:, 0] > 0.5
        state[alive] = step(state[alive], push_right)
        x, theta = state[:, 0], state[:, 2]
        alive &= (np.abs(x) <= 2.4) & (np.abs(theta) <= 12 * np.pi / 180)
        steps += alive
        if not alive.any():
            break
    return float(steps.mean())


def train(genomes: list[tessaron.Genome]) -> Array:
    """Loss of each genome: the share of the steps it did not balance (0 is perfect)."""
    return np.array([1.0 - steps_balanced(g) / MAX_STEPS for g in genomes])


def validate(genome: tessaron.Genome) -> float:
    """Steps balanced from ten unseen start states."""
    unseen = np.random.default_rng(7).uniform(-0.05, 0.05, size=(10, 4))
    return steps_balanced(genome, unseen)


def main() -> None:
    model = tessaron.Model(4, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(train, pop_size=30, epochs=15, verbose=0, validation_func=validate)
    for epoch, (loss, unseen, size) in enumerate(
            zip(history["loss"], history["val_loss"], history["size"]), start=1):
        print(f"epoch {epoch:2d}: {MAX_STEPS * (1 - loss):5.1f} steps balanced "
              f"({unseen:5.1f} from unseen starts), {size} nodes")


if __name__ == "__main__":
    main()

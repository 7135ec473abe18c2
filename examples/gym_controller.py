"""A controller for gymnasium's CartPole-v1 in a few lines: every genome's episodes are played
together in one vector environment, with the observations normalised (and folded into the
network at the end of each epoch, so the model takes raw observations).

    pip install tessaron[gym]
    python examples/gym_controller.py
"""

import tessaron
import tessaron.gym


def main() -> None:
    model = tessaron.Model(4, 2)  # CartPole: 4 observations, 2 actions (the larger output wins)
    model.compile(optimizer="beta")
    fitness = tessaron.gym.EpisodeFitness("CartPole-v1", episodes=3)
    stop = tessaron.gym.StopAtReturn(475.0, "CartPole-v1", episodes=100)
    history = model.func_evolve(fitness, pop_size=50, epochs=50, verbose=0, callbacks=[stop])
    test = tessaron.gym.evaluate(model, "CartPole-v1", episodes=100, seed=1)
    print(f"{len(history['loss'])} generations, {history['env_steps'][-1]} environment steps; "
          f"100 fresh episodes: mean return {test.mean:.1f} (std {test.std:.1f})")


if __name__ == "__main__":
    main()

"""Model.get_network and Model.set_network: the network as plain data, and back."""

import numpy as np
import pytest

import tessaron

X = np.random.default_rng(4).normal(size=(50, 3))


def evolved():
    """A network with hidden nodes, some of them cut off by evolution."""
    tessaron.seed(11)
    model = tessaron.Model(3, 2, 9)
    model.compile(loss="mse")
    model.evolve(X, X[:, :2] * X[:, 1:], pop_size=20, epochs=15, verbose=0)
    return model


def dangling():
    """Node 2 leads nowhere: the integrity test fails, but a model may hold it (as when loaded)."""
    model = tessaron.Model(1, 1)
    model.set_network(edited(connections=[(0, 2, 1.0), (1, 3, -2.0)]))
    return model


@pytest.mark.parametrize("make", [lambda: tessaron.Model(3, 2), evolved, dangling])
def test_the_plain_network_is_the_network(make):
    model = make()
    plain = model.get_network()
    # What get_nodes and get_connections say, and what the model predicts.
    assert plain["biases"] == [node["bias"] for _, node in model.get_nodes()]
    assert plain["activations"] == [node["activation"] for _, node in model.get_nodes()]
    assert plain["connections"] == [(j, k, c["weight"]) for j, k, c in model.get_connections()]
    copy = tessaron.Model(1, 1)
    copy.compile(loss="mae", metrics=["mse"])
    copy.set_network(plain)
    assert copy.get_network() == plain and copy.size == model.size
    assert copy.predict(X).tobytes() == model.predict(X).tobytes()
    assert len(copy.evaluate(X, X[:, :plain["outputs"]])) == 2  # the compile state stays
    # The connections in any order, as any sequences of numbers, give the same network.
    shuffled = dict(plain, connections=[list(c) for c in reversed(plain["connections"])],
                    biases=np.array(plain["biases"]), activations=tuple(plain["activations"]))
    copy.set_network(shuffled)
    assert copy.get_network() == plain


def test_a_genome_takes_and_gives_the_same_plain_network():
    model = evolved()
    genome = tessaron.Genome(7, 7)
    genome.set_network(model.get_network())
    assert genome.get_network() == model.get_network()
    assert genome.predict(X).tobytes() == model.predict(X).tobytes()
    assert genome.__getstate__()["inputs"] == 3  # the counts follow the network
    with pytest.raises(ValueError, match="^the network has 0 inputs; at least 1 is needed$"):
        genome.set_network(tessaron.Genome(1, 1).get_network())


def test_set_network_draws_what_setstate_draws():
    # EarlyStopping and the islands swapped networks through the pickling state: a seeded run
    # must go on drawing the same numbers.
    model = tessaron.Model(2, 1, 5)
    state, plain = model.__getstate__(), model.get_network()
    after = []
    for put in (lambda m: m.__setstate__(state), lambda m: m.set_network(plain)):
        tessaron.seed(3)
        target = tessaron.Model(2, 1)
        put(target)
        after.append(tessaron.Model(3, 2, 7).get_network())
    assert after[0] == after[1]


def edited(**changes):
    plain = {"inputs": 2, "outputs": 1, "biases": [0.0, 0.0, 0.5, -0.5],
             "activations": ["linear", "linear", "tanh", "relu"],
             "connections": [(0, 2, 1.0), (1, 2, 1.0), (2, 3, 1.0)]}
    plain.update(changes)
    return {key: value for key, value in plain.items() if value is not None}


@pytest.mark.parametrize("network, error, message", [
    ([1, 2], TypeError, "^network must be a dict, not list$"),
    (edited(biases=None), ValueError, "^network lacks the key 'biases'$"),
    (dict(edited(), weights=[]), ValueError, "^network has the unexpected key 'weights'$"),
    (edited(inputs="2"), TypeError, r"^network\['inputs'\] must be an int, not str$"),
    (edited(outputs=0), ValueError, "^the network has 0 outputs; at least 1 is needed$"),
    (edited(biases=[0.0] * 3), ValueError,
     "^the network has 3 biases and 4 activations; every node has one of each$"),
    (edited(inputs=3, outputs=2), ValueError,
     "^the network has 4 nodes, fewer than its 3 inputs and 2 outputs$"),
    (edited(activations=["linear", "linear", "tanh", "softmax"]), ValueError,
     "^node 3 has the unknown activation 'softmax'; the activations are sigmoid, tanh, relu and "
     "linear$"),
    (edited(biases=[[0.0, 1.0]] * 2, activations=["relu"] * 2), ValueError,
     r"^network\['biases'\] must be a list of numbers, not of 2 dimensions$"),
    (edited(connections=[(0, 2)]), ValueError,
     r"^the network's connections have 2 values each; a connection is \(source, target, "
     r"weight\)$"),
    (edited(connections=[(0, 2, 1.0), (0.5, 3, 1.0)]), ValueError,
     r"^connection 1 runs from 0.5 to 3, which are not both node indices \(0 .. 3\)$"),
    (edited(connections=[(3, 2, 1.0)]), ValueError,
     "^connection 0 runs from node 3 to node 2, but connections run only to a higher node index$"),
    (edited(connections=[(0, 1, 1.0)]), ValueError,
     r"^connection 0 runs from node 0 to node 1, but node 1 is an input node \(nodes 0 .. 1\)$"),
    (edited(connections=[(0, 2, 1.0), (0, 3, 1.0), (0, 2, 2.0)]), ValueError,
     "^the network has two connections from node 0 to node 2$"),
])
def test_refused_networks_leave_the_model_unchanged(network, error, message):
    model = tessaron.Model(1, 1, 3)
    before = model.get_network()
    with pytest.raises(error, match=message):
        model.set_network(network)
    assert model.get_network() == before and model.size == 3


def test_a_network_emptied_while_it_is_read():
    class Clearing:
        """A bias that empties the network it lies in when numpy reads it."""

        def __float__(self):
            network.clear()
            return 0.5

    network = edited(biases=[0.0, 0.0, Clearing(), 0.0])
    model = tessaron.Model(1, 1, 3)
    before = model.get_network()
    with pytest.raises(ValueError, match="^network lacks the key 'activations'$"):
        model.set_network(network)
    assert model.get_network() == before

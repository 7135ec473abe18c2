"""Stand-ins for Keras 2 style models (layers with output_shape, nodes with inbound_layers), for
the import tests that need no Keras."""

import numpy as np


class FakeNode:
    def __init__(self, inbound_layers):
        self.inbound_layers = inbound_layers


class FakeLayer:
    def __init__(self, name, **attributes):
        self.name = name
        self.__dict__.update(attributes)


class Concatenate(FakeLayer):
    pass


class FakeModel:
    def __init__(self, layers):
        self.layers = layers


def named_function(name):
    def function(x):
        return x
    function.__name__ = name
    return function


def weights_getter(kernel, bias, dtype=np.float32):
    return lambda: [np.array(kernel, dtype=dtype), np.array(bias, dtype=dtype)]

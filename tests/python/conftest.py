import os
import sys

# Keras (optional, for the interchange tests) runs on the jax backend unless told otherwise.
os.environ.setdefault("KERAS_BACKEND", "jax")

# Lets the helper modules of this folder (the oracle) be imported by the tests.
sys.path.insert(0, os.path.dirname(__file__))

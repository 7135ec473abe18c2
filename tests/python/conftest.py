import multiprocessing
import os
import sys

import pytest

# Keras (optional, for the interchange tests) runs on the jax backend unless told otherwise.
os.environ.setdefault("KERAS_BACKEND", "jax")

# Worker processes (of vector environments and process pools) start from a clean server process
# rather than as forks of this one: by then earlier tests have started threads (XLA's, say), and a
# fork taken while one of them holds a lock leaves the child waiting on it for ever.
multiprocessing.set_start_method("forkserver", force=True)

# Lets the helper modules of this folder (the oracle) be imported by the tests.
sys.path.insert(0, os.path.dirname(__file__))


@pytest.fixture
def two_worker_threads():
    """Two worker threads for the test, whatever the machine has; the count is restored after."""
    import tessaron
    before = tessaron.get_num_threads()
    tessaron.set_num_threads(2)
    yield
    tessaron.set_num_threads(before)

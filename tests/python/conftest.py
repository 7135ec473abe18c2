import os
import sys

# Lets the helper modules of this folder (the oracle) be imported by the tests.
sys.path.insert(0, os.path.dirname(__file__))

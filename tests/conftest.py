import os
import sys

# Tests import helpers such as reference.py from this folder.
sys.path.insert(0, os.path.dirname(__file__))

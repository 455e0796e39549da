"""Puts the test doubles of the host modules (`actions`, `modules`) on the import path first."""

import os
import sys

HOST_DIR = os.path.join(os.path.dirname(__file__), "host")
if HOST_DIR not in sys.path:
    sys.path.insert(0, HOST_DIR)

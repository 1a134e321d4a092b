"""Puts the built extension modules on sys.path and registers the record types
(circuit_records) before any test module imports the other modules."""
import os
import pathlib
import sys

_default = pathlib.Path(__file__).resolve().parents[2] / "build" / "python"
MODULE_DIR = pathlib.Path(os.environ.get("QTK_MODULE_DIR", _default))
sys.path.insert(0, str(MODULE_DIR))

import circuit_records  # noqa: E402,F401  (registers CircuitData and friends)

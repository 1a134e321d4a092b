"""The random Clifford builder module dulmire."""
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import circuit_records as cr
import dulmire

build = dulmire.build_random_clifford_data
from_indices = dulmire.build_random_clifford_from_indices
SUPPORTED = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h"
GATES_MSG = 'gates must be "all" or a list of gate name strings'
TWO_QUBIT_MSG = "Two-qubit gates require num_qubits >= 2"


def summary(c):
    return [(i.name, list(i.controls), list(i.targets)) for i in c.instructions]


def test_module_surface_seeds_and_defaults():
    assert [n for n in dir(dulmire) if not n.startswith("_")] == [
        "build_random_clifford_data", "build_random_clifford_from_indices"]
    assert build.__doc__.rstrip().endswith("Build a random Clifford circuit (CircuitData) with internal C++ RNG.")
    assert "from pre-generated gate names and qubit indices (" in from_indices.__doc__
    assert "gates: object = 'all'" in build.__doc__ and "= -1) ->" in build.__doc__
    a = build(4, 50, seed=7)
    assert isinstance(a, cr.CircuitData) and a.num_qubits == 4 and len(a.instructions) == 50
    assert summary(a) == summary(build(4, 50, "all", 7)) == summary(build(num_qubits=4, num_gates=50, seed=7))
    assert summary(build(3, 200)) != summary(build(3, 200))  # seed -1: the system random source each call
    assert build(3, 0).instructions == []


# Names are matched without regard to case, as str, bytes or bytearray, in a
# list or a tuple; every entry is one equally likely choice, so a repeat weighs double.
@pytest.mark.parametrize("gates,weights", [
    (("H", "S"), {"H": 1 / 2, "S": 1 / 2}), ([b"sdg", bytearray(b"y")], {"SDG": 1 / 2, "Y": 1 / 2}),
    (["h", "h", "CX"], {"H": 2 / 3, "CX": 1 / 3})])
def test_gate_lists_and_weights(gates, weights):
    n = 60000
    names = [i.name for i in build(3, n, gates, 3).instructions]
    assert set(names) == set(weights)
    for name, p in weights.items():  # within 8 standard deviations
        assert abs(names.count(name) / n - p) < 8 * math.sqrt(p * (1 - p) / n), name


@pytest.mark.parametrize("n", [2, 5])
def test_two_qubit_gates_on_distinct_qubits(n):
    pairs = {tuple(c + t) for _, c, t in summary(build(n, 3000, ["cx", "cz", "cy", "swap"], n))}
    assert all(len(p) == 2 and p[0] != p[1] and 0 <= min(p) and max(p) < n for p in pairs)
    assert len(pairs) == n * (n - 1)  # every ordered pair occurs


@pytest.mark.parametrize("args,message", [
    ((0, -1, None, 0), "num_qubits must be >= 1"), ((1, -1, None, 0), "num_gates must be >= 0"),
    ((1, 1, None, 0), GATES_MSG), ((2, 1, "ALL", 0), GATES_MSG), ((2, 1, b"all", 0), GATES_MSG),
    ((2, 1, {"h"}, 0), GATES_MSG), ((1, 1, [], 0), "gates list must not be empty"),
    ((1, 1, ["cx", "T"], 0), "Unsupported gate 't" + SUPPORTED),
    ((3, 1, ["all"], 0), "Unsupported gate 'all" + SUPPORTED),
    ((1, 1, ["h", "Swap"], 0), TWO_QUBIT_MSG), ((1, 1, "all", 0), TWO_QUBIT_MSG),
    ((0, ["h"], []), "num_qubits must be >= 1"),  # build_random_clifford_from_indices from here on
    ((2, ["h"], []), "gate_names and qubit_indices must have the same length"),
    ((2, ["h", "cy"], [[0], [1]]), "gate 'cy' at position 1 needs 2 qubit(s), got 1"),
    ((2, ["x"], [[]]), "gate 'x' at position 0 needs 1 qubit(s), got 0"),
])
def test_errors_in_order(args, message):
    with pytest.raises(ValueError) as e:
        (build if len(args) == 4 else from_indices)(*args)
    assert str(e.value) == message


def test_conversion_errors():
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        build(2, 1, ["h", 3], 0)
    for func, bad in [(build, (3.0, 5)), (build, (2**31, 5)), (build, ()),
                      (from_indices, (2, "cx", [[0, 1]])), (from_indices, (2, ["cx"], [["a", 1]]))]:
        with pytest.raises(TypeError):
            func(*bad)


def test_from_indices():
    c = from_indices(4, ["swap", "cx", "CX", "t"], [[2, 0, 1], [1, 3], [9], [0, 5]])
    assert summary(c) == [("SWAP", [], [2, 0, 1]), ("CX", [1], [3]), ("SDG", [], [9]), ("SDG", [], [0])]
    assert summary(from_indices(num_qubits=2, gate_names=("cx",), qubit_indices=((0, 1),))) == [("CX", [0], [1])]
    assert from_indices(1, [], []).instructions == []


@pytest.mark.parametrize("n,seed", [(1, 0), (3, 1), (6, 3)])
def test_random_clifford_gives_stabilizer_state(n, seed):
    brenvik = pytest.importorskip("brenvik")
    c = build(n, 40 * n, ["x", "y", "z", "h", "s", "sdg"] if n == 1 else "all", seed)
    amps = np.asarray(brenvik.cal_states_cpp(c)).ravel()
    # A stabilizer state has 2^k non-zero amplitudes, all of one magnitude.
    mags = np.abs(amps)[np.abs(amps) > 1e-9]
    assert amps.size == 2**n and np.isclose(np.vdot(amps, amps).real, 1.0) and (mags.size & (mags.size - 1)) == 0
    assert np.allclose(mags, mags[0], atol=1e-9)


def test_result_without_registered_type_is_type_error():
    code = ("import dulmire\ntry:\n    dulmire.build_random_clifford_data(2, 3, 'all', 0)\n"
            "except TypeError as e:\n    print(str(e).splitlines()[0], '|', e.__cause__)\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(dulmire.__file__))  # never imports circuit_records
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    assert out.strip() == ("Unable to convert function return value to a Python type! The signature was"
                           " | Unregistered type : CircuitData")

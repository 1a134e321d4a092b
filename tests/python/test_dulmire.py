"""The random Clifford builder module dulmire."""
import math

import numpy as np
import pytest

import circuit_records as cr
import dulmire

build = dulmire.build_random_clifford_data
from_indices = dulmire.build_random_clifford_from_indices
SUPPORTED = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h"
GATES_MSG = 'gates must be "all" or a list of gate name strings'
TWO_QUBIT = {"CX", "CZ", "CY", "SWAP"}


def summary(c):
    return [(i.name, list(i.controls), list(i.targets)) for i in c.instructions]


def test_module_surface():
    assert [n for n in dir(dulmire) if not n.startswith("_")] == [
        "build_random_clifford_data", "build_random_clifford_from_indices"]
    assert build.__doc__.rstrip().endswith("Build a random Clifford circuit (CircuitData) with internal C++ RNG.")
    assert "Build a random Clifford circuit (CircuitData) from pre-generated gate names and qubit indices (" \
        in from_indices.__doc__
    assert "gates: object = 'all'" in build.__doc__ and "= -1) ->" in build.__doc__


def test_seed_reproducible_and_defaults():
    a = build(4, 50, seed=7)
    assert isinstance(a, cr.CircuitData) and a.num_qubits == 4 and len(a.instructions) == 50
    assert summary(a) == summary(build(4, 50, "all", 7)) == summary(build(num_qubits=4, num_gates=50, seed=7))
    # Seed -1 (the default) draws from the system random source each call.
    assert summary(build(3, 200)) != summary(build(3, 200))
    c = build(num_qubits=3, num_gates=5, gates=["h"], seed=0)
    assert [i.name for i in c.instructions] == ["H"] * 5
    assert build(3, 0).instructions == []


@pytest.mark.parametrize("gates,names", [
    (("H", "S"), {"H", "S"}), (["CX", "H"], {"CX", "H"}), ([b"sdg", bytearray(b"y")], {"SDG", "Y"})])
def test_lists_tuples_and_case(gates, names):
    assert {i.name for i in build(3, 200, gates, 1).instructions} == names


def test_list_subclass_accepted():
    class L(list):
        pass

    class S(str):
        pass

    assert {i.name for i in build(2, 50, L(["z"]), 0).instructions} == {"Z"}
    assert len(build(2, 5, S("all"), 0).instructions) == 5


def test_frequencies_h_h_cx():
    n = 60000
    names = [i.name for i in build(3, n, ["h", "h", "cx"], 3).instructions]
    p = names.count("H") / n
    # 2/3 with a bound of 8 standard deviations.
    assert abs(p - 2 / 3) < 8 * math.sqrt(2 / 9 / n)
    assert set(names) == {"H", "CX"}


@pytest.mark.parametrize("n", [2, 3, 5])
def test_two_qubit_gates_distinct_qubits(n):
    pairs = set()
    for name, controls, targets in summary(build(n, 3000, ["cx", "cz", "cy", "swap"], n)):
        qs = controls + targets
        assert len(qs) == 2 and qs[0] != qs[1] and all(0 <= q < n for q in qs)
        pairs.add(tuple(qs))
    assert len(pairs) == n * (n - 1)  # every ordered pair occurs


def test_one_qubit_x_h_lands_on_qubit_0():
    assert {tuple(t) for _, _, t in summary(build(1, 300, ["x", "h"], 5))} == {(0,)}


@pytest.mark.parametrize("args,message", [
    ((0, -1, None, 0), "num_qubits must be >= 1"),
    ((1, -1, None, 0), "num_gates must be >= 0"),
    ((1, 1, None, 0), GATES_MSG),
    ((2, 1, "ALL", 0), GATES_MSG),
    ((2, 1, " all", 0), GATES_MSG),
    ((2, 1, b"all", 0), GATES_MSG),
    ((2, 1, {"h": 1}, 0), GATES_MSG),
    ((2, 1, {"h"}, 0), GATES_MSG),
    ((2, 1, (g for g in ["h"]), 0), GATES_MSG),
    ((2, 1, 5, 0), GATES_MSG),
    ((1, 1, [], 0), "gates list must not be empty"),
    ((1, 1, ["cx", "T"], 0), "Unsupported gate 't" + SUPPORTED),
    ((3, 1, ["all"], 0), "Unsupported gate 'all" + SUPPORTED),
    ((1, 1, ["h", "Swap"], 0), "Two-qubit gates require num_qubits >= 2"),
    ((1, 1, "all", 0), "Two-qubit gates require num_qubits >= 2"),
])
def test_build_errors_in_order(args, message):
    with pytest.raises(ValueError) as e:
        build(*args)
    assert str(e.value) == message


def test_item_cast_error_and_type_errors():
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        build(2, 1, ["h", 3], 0)
    for bad in [(3.0, 5), (3, 5.0), (3, 5, "all", 1.5), (2**31, 5), (3, 5, "all", -2**31 - 1), ()]:
        with pytest.raises(TypeError):
            build(*bad)


def test_from_indices():
    c = from_indices(4, ["swap", "cx", "CX", "t"], [[2, 0, 1], [1, 3], [9], [0, 5]])
    assert summary(c) == [("SWAP", [], [2, 0, 1]), ("CX", [1], [3]), ("SDG", [], [9]), ("SDG", [], [0])]
    assert summary(from_indices(num_qubits=2, gate_names=("cx",), qubit_indices=((0, 1),))) == [("CX", [0], [1])]
    assert from_indices(1, [], []).instructions == []


@pytest.mark.parametrize("args,message", [
    ((0, ["h"], []), "num_qubits must be >= 1"),
    ((2, ["h"], []), "gate_names and qubit_indices must have the same length"),
    ((2, ["h", "cy"], [[0], [1]]), "gate 'cy' at position 1 needs 2 qubit(s), got 1"),
    ((2, ["x"], [[]]), "gate 'x' at position 0 needs 1 qubit(s), got 0"),
])
def test_from_indices_errors(args, message):
    with pytest.raises(ValueError) as e:
        from_indices(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("args", [(2, "cx", [[0, 1]]), (2, ["cx"], [["a", 1]]), (2, [1], [[0]]), (2, ["h"], "0")])
def test_from_indices_type_errors(args):
    with pytest.raises(TypeError):
        from_indices(*args)


@pytest.mark.parametrize("n,seed", [(1, 0), (3, 1), (5, 2), (6, 3), (7, 4)])
def test_random_clifford_gives_stabilizer_state(n, seed):
    brenvik = pytest.importorskip("brenvik")
    gates = ["x", "y", "z", "h", "s", "sdg"] if n == 1 else "all"
    c = build(n, 40 * n, gates, seed)
    amps = np.asarray(brenvik.cal_states_cpp(c)).ravel()
    assert amps.size == 2**n
    assert np.isclose(np.vdot(amps, amps).real, 1.0)
    mags = np.abs(amps)
    nonzero = mags[mags > 1e-9]
    # A stabilizer state has 2^k equal non-zero magnitudes.
    assert np.allclose(nonzero, nonzero[0], atol=1e-9)
    assert (nonzero.size & (nonzero.size - 1)) == 0

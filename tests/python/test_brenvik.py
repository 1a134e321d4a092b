"""Amplitudes of brenvik.cal_states_cpp against the NumPy reference, batched
runs, the number of parameter sets and the module's Python surface."""
import importlib
import random
import sys

import numpy as np
import pytest

import circuit_records as cr
import brenvik
import reference_sim as ref
from circuits import circuit_of, g

I = cr.CircuitInstruction
FIXED, PARAM = "X Y Z H S SDG T TDG I ID SX SY".split(), "RX RY RZ P U1 R U2 U3 U".split()
SHAPES = [  # (names, targets, fewest and most controls) covering the whole vocabulary
    (FIXED + PARAM + ["Tdg"], 1, 0, 0), ("SWAP ISWAP RZZ ISINGZZ IZZ RXX RYY CX CNOT CZ".split(), 2, 0, 0),
    (FIXED + PARAM + "CX CNOT CY CZ CH CRX CRY CRZ CP CU1 CU2 CU3 CU".split(), 1, 1, 3),
    (["CCX", "TOFFOLI"], 1, 2, 2), ("CSWAP SWAP ISWAP RZZ RXX RYY".split(), 2, 1, 2)]


def random_instruction(rng, n):
    """A gate of the whole vocabulary on random qubits, with controls, open controls and dagger."""
    names, k, fewest, most = rng.choice([s for s in SHAPES if s[1] + s[2] <= n])
    name, q = rng.choice(names), rng.sample(range(n), n)
    controls = q[k:k + rng.randint(fewest, min(most, n - k))]
    ctrl_state = "".join(rng.choice("01") for _ in controls) if rng.random() < 0.5 else ""
    # "Tdg" has no dagger form, nor have the plain two-target CX, CNOT and CZ.
    dagger = rng.random() < 0.3 and name != "Tdg" and not (k == 2 and name in ("CX", "CNOT", "CZ"))
    params = [rng.uniform(-np.pi, np.pi) for _ in range(ref.param_count(name))]
    return I(name, targets=q[:k], controls=controls, params=params, dagger=dagger, ctrl_state=ctrl_state)


# Every row of the gate-application choice table: fast paths (only without
# dagger), matrix paths, multi-control launches, open controls.
ROWS = [g(name, 2) for name in FIXED + ["Tdg"]] + [
    g("H", 3, dagger=True), g("S", 0, dagger=True), g("U3", 4, params=[0.3, 0.2, -0.9]), g("CX", 3, 1),
    g("CNOT", 0, 4), g("CZ", 2, 0), g("SWAP", 4, 1), g("RXX", 3, 0, params=[0.4]), g("ISWAP", 1, 3),
    g("CX", 1, controls=[4]), g("CZ", 1, controls=[4]), g("CRY", 0, controls=[2], params=[1.1]),
    g("CX", 0, controls=[2], dagger=True), g("CCX", 0, controls=[2, 4]), g("TOFFOLI", 4, controls=[1, 0]),
    g("CCX", 0, controls=[2, 4], dagger=True), g("RX", 1, controls=[0, 3, 4], params=[0.8]),
    g("CSWAP", 3, 1, controls=[0]), g("RYY", 4, 1, controls=[0, 2], params=[0.5]),
    g("CU", 1, controls=[2], params=[0.5, 0.1, 0.2, 0.3]), g("U2", 3, controls=[0], params=[0.5, 0.1], dagger=True),
    g("CX", 0, controls=[3], ctrl_state="0"), g("CH", 2, controls=[1], ctrl_state="000"),
    g("CCX", 2, controls=[0, 4], ctrl_state="10"), g("CX", 1, 3, ctrl_state="0"),
    g("RZZ", 0, 3, controls=[2], params=[0.9], dagger=True, ctrl_state="0")]


# From 15 qubits the kernels run on every thread.
@pytest.mark.parametrize("n,gates", [(1, 20), (3, 60), (5, 120), (8, 150), (12, 80), (15, 40), (16, 40)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_circuits_match_reference(n, gates, use_float32):
    """A generic entangled state, every row of ROWS spread over the register, then random gates."""
    rng, spread = random.Random(n), (n - 1) // 4
    circuit = circuit_of(n, [g("U3", q, params=[rng.uniform(-3, 3) for _ in range(3)]) for q in range(n)]
                         + [g("CX", q + 1, controls=[q]) for q in range(n - 1)])
    for row in ROWS if n >= 5 else []:
        ins = row.__copy__()
        ins.targets, ins.controls = [q * spread for q in row.targets], [q * spread for q in row.controls]
        circuit.append(ins)
    for _ in range(gates):
        circuit.append(random_instruction(rng, n))
    got = brenvik.cal_states_cpp(circuit, use_float32)
    assert got.dtype == (np.complex64 if use_float32 else np.complex128) and got.shape == (2 ** n,)
    np.testing.assert_allclose(got, ref.simulate(circuit), rtol=0, atol=2e-5 if use_float32 else 1e-11)


@pytest.mark.parametrize("use_float32,one", [(False, 0.9999999999999998), (True, np.float32(0.99999994))])
def test_simple_states_markers_and_reset(use_float32, one):
    def run(n, instructions):
        return brenvik.cal_states_cpp(circuit_of(n, instructions), use_float32)
    assert run(0, []).tolist() == [1] and run(1, [g("H", 0)] * 2).tolist() == [one, 0]  # exact rounding of h * h
    assert run(2, [g(name, 0) for name in ("MEASURE", "BARRIER", "QIF", "QWHILE")]).tolist() == [1, 0, 0, 0]
    # RESET without targets does nothing; with {2, 5} only qubit 2 is reset.
    assert np.flatnonzero(run(6, [g("X", 2), g("X", 5), g("RESET"), g("RESET", 2, 5)])).tolist() == [32]
    # A superposed qubit: random outcome, the qubit ends at 0 and the state stays normalised.
    out = run(3, [g("H", 0), g("CX", 1, controls=[0]), g("RESET", 0)])
    assert np.all(out[1::2] == 0) and abs(np.vdot(out, out) - 1) < 1e-6
    with pytest.raises(RuntimeError, match="RESET.*qubit 3"):
        run(3, [g("RESET", 3)])


def rx_batched_circuit(n, sets, extra=()):
    rng = np.random.default_rng(n)
    layer = [[g("RX", q, params=list(rng.uniform(-3, 3, sets)), parameterized=True), g("CX", (q + 1) % n, controls=[q])]
             for q in range(n)]
    u3 = g("U3", 0, controls=[n - 1], params=list(rng.uniform(-3, 3, 3 * sets)), parameterized=True, ctrl_state="0")
    return circuit_of(n, [g("H", q) for q in range(n)] + sum(layer, []) + [u3, *extra])


@pytest.mark.parametrize("n,sets", [(4, 3), (10, 5), (15, 9)])  # from 15 qubits: sets run in parallel
@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_rows_match_reference(n, sets, use_float32):
    circuit = rx_batched_circuit(n, sets)
    out = brenvik.cal_states_cpp(circuit, use_float32)
    assert out.shape == (sets, 2 ** n) and out.flags.c_contiguous
    for b in range(sets):
        np.testing.assert_allclose(out[b], ref.simulate(circuit, b), rtol=0, atol=2e-5 if use_float32 else 1e-11)
    # RESET of a superposed qubit in every set: its 1 side is cleared, each row stays normalised.
    out = brenvik.cal_states_cpp(rx_batched_circuit(n, sets, [g("X", 3), g("RESET", 3)]), use_float32)
    assert np.all(out[:, (np.arange(2 ** n) >> 3) & 1 == 1] == 0)
    np.testing.assert_allclose(np.linalg.norm(out, axis=1), 1, atol=1e-4)


def tensor_circuit(tensor):
    c = circuit_of(2, [g("RX", 0, params=[0.1, 0.2, 0.3, 0.4], parameterized=True),
                       g("U3", 1, params=[0.1, 0.2, 0.3], parameterized=True)])
    c.use_parameter_tensor, c.parameter_tensor = True, tensor
    return c


@pytest.mark.parametrize("shape,sets", [((5, 6), 2), ((5, 3), 0), ((5, 7), 0), ((5, 4, 3), 4),
                                        ((5, 1, 3), 1), ((6,), 0), ((5, 9, 2, 2), 3), ((5, 0), 0)])
def test_parameter_tensor_shapes(shape, sets):
    torch = pytest.importorskip("torch")
    assert brenvik.cal_states_cpp(tensor_circuit(torch.zeros(shape))).shape == ((sets, 4) if sets >= 2 else (4,))


def test_module_surface_and_second_import():
    assert brenvik.__doc__ is None and {k for k in vars(brenvik) if k[:2] != "__"} == {"cal_states_cpp", "run_cpp"}
    int_ = "typing.SupportsInt | typing.SupportsIndex"
    assert brenvik.cal_states_cpp.__doc__.startswith(
        "cal_states_cpp(circuit_data: circuit_records.CircuitData, use_float32: bool = False) -> object\n")
    assert brenvik.run_cpp.__doc__.startswith(
        f"run_cpp(circuit_data: circuit_records.CircuitData, shots: {int_}, num_cbits: {int_}, seed: {int_} = -1, "
        "use_float32: bool = False) -> object\n")
    assert "C++ implementation of full amplitude simulation" in brenvik.cal_states_cpp.__doc__
    assert "Perform shots measurements with projective sampling" in brenvik.run_cpp.__doc__
    first = sys.modules.pop("brenvik")
    try:
        assert importlib.import_module("brenvik") is first
    finally:
        sys.modules["brenvik"] = first


def test_arguments_and_bad_input():
    bell = circuit_of(2, [g("H", 0), g("CX", 0, 1)])
    for flag, dtype in ((None, np.complex128), (np.bool_(True), np.complex64), (0.0, np.complex128)):
        assert brenvik.cal_states_cpp(bell, flag).dtype == dtype
    assert brenvik.cal_states_cpp(circuit_data=bell, use_float32=1).dtype == np.complex64
    for args, kwargs in (((bell, "yes"), {}), ((42,), {}), ((bell,), {"use_f32": True})):
        with pytest.raises(TypeError):
            brenvik.cal_states_cpp(*args, **kwargs)
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(None)
    assert str(err.value) == ""
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(tensor_circuit([1, 2, 3]))
    assert str(err.value) == ("Unable to cast Python instance of type <class 'list'> to C++ type '?' "
                              "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")
    empty = tensor_circuit([1, 2])  # an empty circuit never looks at the tensor
    empty.instructions = []
    assert brenvik.cal_states_cpp(empty).shape == (4,)
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.cal_states_cpp(rx_batched_circuit(4, 3, [g("FOO", 0)]))
    with pytest.raises(RuntimeError, match="CX: qubit 15"):
        brenvik.cal_states_cpp(rx_batched_circuit(15, 9, [g("CX", 0, controls=[15])]))
    for n, circuit in [(n, c) for n in (63, -1, 1000) for c in (rx_batched_circuit(3, 3), cr.CircuitData(3))]:
        circuit.num_qubits = n
        with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
            brenvik.cal_states_cpp(circuit)
    assert brenvik.cal_states_cpp(rx_batched_circuit(4, 3)).shape == (3, 16)  # the process goes on

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

I = cr.CircuitInstruction
RANGE_ERROR = "^StateVector: num_qubits out of supported range$"
FIXED_1Q = "X Y Z H S SDG T TDG I ID SX SY".split()
PARAM_1Q = "RX RY RZ P U1 R U2 U3 U".split()
PLAIN_2Q = "SWAP ISWAP RZZ ISINGZZ IZZ RXX RYY CX CNOT CZ".split()
CONTROLLED_1Q = "CX CNOT CY CZ CH CRX CRY CRZ CP CU1 CU2 CU3 CU".split()


def circuit_of(n, instructions):
    c = cr.CircuitData(n)
    for ins in instructions:
        c.append(ins)
    return c


def random_instruction(rng, n):
    """A gate of the whole vocabulary on random qubits, with controls, open controls and dagger."""
    q = rng.sample(range(n), min(n, 5))
    kind, dagger = rng.randrange(6), rng.random() < 0.3
    if kind == 0 or n < 2:
        name = rng.choice(FIXED_1Q + ["Tdg"])
        return I(name, targets=q[:1], dagger=dagger and name != "Tdg")  # "Tdg" has no dagger form
    if kind == 1:
        name, targets, controls = rng.choice(PARAM_1Q), q[:1], []
    elif kind == 2:
        name, targets, controls = rng.choice(PLAIN_2Q), q[:2], []
        dagger = dagger and name not in ("CX", "CNOT", "CZ")  # their dagger form is unsupported
    elif kind == 3 or n < 4:
        name, targets = rng.choice(CONTROLLED_1Q + FIXED_1Q + PARAM_1Q), q[:1]
        controls = q[1:1 + rng.randint(1, min(3, n - 1))]
    elif kind == 4:
        name, targets, controls = rng.choice(["CCX", "TOFFOLI"]), q[:1], q[1:3]
    else:
        name, targets = rng.choice(["CSWAP", "SWAP", "ISWAP", "RZZ", "RXX", "RYY"]), q[:2]
        controls = q[2:2 + rng.randint(1, min(2, n - 2))]
    ctrl_state = "".join(rng.choice("01") for _ in controls) if controls and rng.random() < 0.5 else ""
    params = [rng.uniform(-np.pi, np.pi) for _ in range(ref.param_count(name))]
    return I(name, targets=targets, controls=controls, params=params, dagger=dagger, ctrl_state=ctrl_state)


@pytest.mark.parametrize("n,gates,seed", [(1, 20, 1), (3, 60, 2), (5, 120, 3), (8, 150, 4), (12, 80, 5),
                                          (15, 40, 6), (16, 40, 7)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_random_circuits_match_reference(n, gates, seed, use_float32):
    rng = random.Random(seed)
    circuit = circuit_of(n, [I("H", targets=[q]) for q in range(n)])
    for _ in range(gates):
        circuit.append(random_instruction(rng, n))
    got = brenvik.cal_states_cpp(circuit, use_float32)
    assert got.dtype == (np.complex64 if use_float32 else np.complex128) and got.shape == (2 ** n,)
    np.testing.assert_allclose(got, ref.simulate(circuit), rtol=0, atol=2e-5 if use_float32 else 1e-11)


# Every row of the gate-application choice table: fast paths (only without
# dagger), matrix paths, multi-control launches, open controls.
ROWS = [I(g, targets=[2]) for g in FIXED_1Q + ["Tdg"]] + [
    I("H", targets=[3], dagger=True), I("S", targets=[0], dagger=True), I("U3", targets=[4], params=[0.3, 0.2, -0.9]),
    I("CX", targets=[3, 1]), I("CNOT", targets=[0, 4]), I("CZ", targets=[2, 0]), I("SWAP", targets=[4, 1]),
    I("RXX", targets=[3, 0], params=[0.4]), I("ISWAP", targets=[1, 3]), I("CX", targets=[1], controls=[4]),
    I("CZ", targets=[1], controls=[4]), I("CRY", targets=[0], controls=[2], params=[1.1]),
    I("CX", targets=[0], controls=[2], dagger=True), I("CCX", targets=[0], controls=[2, 4]),
    I("TOFFOLI", targets=[4], controls=[1, 0]), I("CCX", targets=[0], controls=[2, 4], dagger=True),
    I("RX", targets=[1], controls=[0, 3, 4], params=[0.8]), I("CSWAP", targets=[3, 1], controls=[0]),
    I("RYY", targets=[4, 1], controls=[0, 2], params=[0.5]),
    I("CU", targets=[1], controls=[2], params=[0.5, 0.1, 0.2, 0.3]),
    I("U2", targets=[3], controls=[0], params=[0.5, 0.1], dagger=True),
    I("CX", targets=[0], controls=[3], ctrl_state="0"), I("CH", targets=[2], controls=[1], ctrl_state="000"),
    I("RX", targets=[2], controls=[0, 4], params=[0.3], ctrl_state="0"),
    I("CCX", targets=[2], controls=[0, 4], ctrl_state="10"), I("CX", targets=[1, 3], ctrl_state="0"),
    I("RZZ", targets=[0, 3], controls=[2], params=[0.9], dagger=True, ctrl_state="0")]


@pytest.mark.parametrize("n,spread", [(5, 1), (16, 3)])  # 16 qubits: kernels on every thread
@pytest.mark.parametrize("use_float32", [False, True])
def test_every_application_row_matches_reference(n, spread, use_float32):
    rng = random.Random(n)
    start = [I("U3", targets=[q], params=[rng.uniform(-3, 3) for _ in range(3)]) for q in range(n)]
    start += [I("CX", targets=[q + 1], controls=[q]) for q in range(n - 1)]
    for row in ROWS:
        ins = row.__copy__()
        ins.targets, ins.controls = [q * spread for q in row.targets], [q * spread for q in row.controls]
        c = circuit_of(n, start + [ins])
        np.testing.assert_allclose(brenvik.cal_states_cpp(c, use_float32), ref.simulate(c), rtol=0,
                                   atol=2e-6 if use_float32 else 1e-13, err_msg=repr(ins))


def test_simple_states_qubit_order_and_reset():
    assert brenvik.cal_states_cpp(cr.CircuitData(0)).tolist() == [1]
    markers = circuit_of(2, [I(g, targets=[0]) for g in ("MEASURE", "BARRIER", "QIF", "QWHILE")])
    assert brenvik.cal_states_cpp(markers).tolist() == [1, 0, 0, 0]
    assert np.flatnonzero(brenvik.cal_states_cpp(circuit_of(3, [I("X", targets=[1])]))).tolist() == [2]
    # RESET without targets does nothing; with {2, 5} only qubit 2 is reset.
    c = circuit_of(6, [I("X", targets=[2]), I("X", targets=[5]), I("RESET"), I("RESET", targets=[2, 5])])
    assert np.flatnonzero(brenvik.cal_states_cpp(c)).tolist() == [32]
    # A superposed qubit: random outcome, the qubit ends at 0 and the state stays normalised.
    for use_float32 in (False, True):
        c = circuit_of(3, [I("H", targets=[0]), I("CX", targets=[1], controls=[0]), I("RESET", targets=[0])])
        out = brenvik.cal_states_cpp(c, use_float32)
        assert np.all(out[1::2] == 0) and abs(np.vdot(out, out) - 1) < 1e-6
    with pytest.raises(RuntimeError, match="RESET.*qubit 3"):
        brenvik.cal_states_cpp(circuit_of(3, [I("RESET", targets=[3])]))


def rx_batched_circuit(n, sets, extra=()):
    rng = np.random.default_rng(n)
    c = circuit_of(n, [I("H", targets=[q]) for q in range(n)])
    for q in range(n):
        c.append(I("RX", targets=[q], params=list(rng.uniform(-3, 3, sets)), parameterized=True))
        c.append(I("CX", targets=[(q + 1) % n], controls=[q]))
    c.append(I("U3", targets=[0], controls=[n - 1], params=list(rng.uniform(-3, 3, 3 * sets)),
               parameterized=True, ctrl_state="0"))
    for ins in extra:
        c.append(ins)
    return c


@pytest.mark.parametrize("n,sets", [(4, 3), (10, 5), (15, 9)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_rows_equal_single_runs(n, sets, use_float32):
    circuit = rx_batched_circuit(n, sets)
    out = brenvik.cal_states_cpp(circuit, use_float32)
    assert out.shape == (sets, 2 ** n) and out.flags.c_contiguous
    for b in range(sets):
        single = cr.CircuitData(n)  # every parameterized instruction cut to set b
        for ins in map(I.__copy__, circuit.instructions):  # the list holds references
            if ins.parameterized:
                ins.params, ins.parameterized = ref.param_slice(ins.params, ins.name, b), False
            single.append(ins)
        want = brenvik.cal_states_cpp(single, use_float32)
        np.testing.assert_allclose(out[b], want, rtol=0, atol=1e-6 if use_float32 else 1e-13)
    if n <= 10:
        np.testing.assert_allclose(out[1], ref.simulate(circuit, 1), atol=1e-5 if use_float32 else 1e-12)


@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_reset_from_15_qubits(use_float32):
    n, sets = 15, 16
    out = brenvik.cal_states_cpp(rx_batched_circuit(n, sets, [I("X", targets=[3]), I("RESET", targets=[3])]),
                                 use_float32)
    assert out.shape == (sets, 2 ** n)
    bit3 = (np.arange(2 ** n) >> 3) & 1 == 1
    for row in out:
        assert np.all(row[bit3] == 0) and abs(np.vdot(row, row).real - 1) < 1e-4


def test_batched_errors():
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.cal_states_cpp(rx_batched_circuit(4, 3, [I("FOO", targets=[0])]))
    with pytest.raises(RuntimeError, match="CX: qubit 15"):
        brenvik.cal_states_cpp(rx_batched_circuit(15, 9, [I("CX", targets=[0], controls=[15])]))
    for n in (63, -1, 1000):
        c = rx_batched_circuit(3, 3)
        c.num_qubits = n
        for circuit in (c, cr.CircuitData(n)):
            with pytest.raises(RuntimeError, match=RANGE_ERROR):
                brenvik.cal_states_cpp(circuit)
    assert brenvik.cal_states_cpp(rx_batched_circuit(4, 3)).shape == (3, 16)  # the process goes on


def tensor_circuit(tensor):
    c = circuit_of(2, [I("RX", targets=[0], params=[0.1, 0.2, 0.3, 0.4], parameterized=True),
                       I("U3", targets=[1], params=[0.1, 0.2, 0.3], parameterized=True)])
    c.use_parameter_tensor, c.parameter_tensor = True, tensor
    return c


@pytest.mark.parametrize("shape,sets", [((5, 6), 2), ((5, 3), 0), ((5, 7), 0), ((5, 4, 3), 4),
                                        ((5, 1, 3), 1), ((6,), 0), ((5, 9, 2, 2), 3), ((5, 0), 0)])
def test_parameter_tensor_shapes(shape, sets):
    torch = pytest.importorskip("torch")
    out = brenvik.cal_states_cpp(tensor_circuit(torch.zeros(shape)))
    assert out.shape == ((sets, 4) if sets >= 2 else (4,))


def test_parameter_tensor_not_a_tensor():
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(tensor_circuit([1, 2, 3]))
    assert str(err.value) == ("Unable to cast Python instance of type <class 'list'> to C++ type '?' "
                              "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")
    c = cr.CircuitData(2)  # an empty circuit never looks at the tensor
    c.use_parameter_tensor, c.parameter_tensor = True, [1, 2]
    assert brenvik.cal_states_cpp(c).shape == (4,)


def test_module_surface_and_second_import():
    assert brenvik.__doc__ is None
    assert {k for k in vars(brenvik) if not k.startswith("__")} == {"cal_states_cpp", "run_cpp"}
    assert brenvik.cal_states_cpp.__doc__.startswith(
        "cal_states_cpp(circuit_data: circuit_records.CircuitData, use_float32: bool = False) -> object\n")
    assert "C++ implementation of full amplitude simulation" in brenvik.cal_states_cpp.__doc__
    assert brenvik.run_cpp.__doc__.startswith(
        "run_cpp(circuit_data: circuit_records.CircuitData, shots: typing.SupportsInt | typing.SupportsIndex, "
        "num_cbits: typing.SupportsInt | typing.SupportsIndex, seed: typing.SupportsInt | typing.SupportsIndex "
        "= -1, use_float32: bool = False) -> object\n")
    assert "Perform shots measurements with projective sampling" in brenvik.run_cpp.__doc__
    first = sys.modules.pop("brenvik")
    try:
        assert importlib.import_module("brenvik") is first
    finally:
        sys.modules["brenvik"] = first


def test_cal_states_arguments():
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[0, 1])])
    np.testing.assert_allclose(brenvik.cal_states_cpp(bell), [2 ** -0.5, 0, 0, 2 ** -0.5], atol=1e-15)
    for flag, dtype in ((None, np.complex128), (np.bool_(True), np.complex64), (0.0, np.complex128)):
        assert brenvik.cal_states_cpp(bell, flag).dtype == dtype
    assert brenvik.cal_states_cpp(circuit_data=bell, use_float32=1).dtype == np.complex64
    for args, kwargs in (((bell, "yes"), {}), ((42,), {}), ((bell,), {"use_f32": True})):
        with pytest.raises(TypeError):
            brenvik.cal_states_cpp(*args, **kwargs)
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(None)
    assert str(err.value) == ""

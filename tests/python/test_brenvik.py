"""Amplitudes of brenvik.cal_states_cpp against the NumPy reference, batched
runs, the parameter-set count and the module's Python surface."""
import importlib
import random
import sys

import numpy as np
import pytest

import circuit_records as cr
import brenvik
import reference_sim as ref

I = cr.CircuitInstruction

FIXED_1Q = ["X", "Y", "Z", "H", "S", "SDG", "T", "TDG", "I", "ID", "SX", "SY"]
PARAM_1Q = ["RX", "RY", "RZ", "P", "U1", "R", "U2", "U3", "U"]
PLAIN_2Q = ["SWAP", "ISWAP", "RZZ", "ISINGZZ", "IZZ", "RXX", "RYY", "CX", "CNOT", "CZ"]
CONTROLLED_1Q = ["CX", "CNOT", "CY", "CZ", "CH", "CRX", "CRY", "CRZ", "CP", "CU1", "CU2", "CU3", "CU"]


def circuit_of(n, instructions):
    c = cr.CircuitData(n)
    for ins in instructions:
        c.append(ins)
    return c


def random_instruction(rng, n):
    params = [rng.uniform(-np.pi, np.pi) for _ in range(4)]
    qubits = rng.sample(range(n), min(n, 5))
    kind = rng.randrange(6)
    dagger = rng.random() < 0.3
    if kind == 0 or n < 2:
        return I(rng.choice(FIXED_1Q + ["Tdg"]), targets=[qubits[0]])
    if kind == 1:
        name = rng.choice(PARAM_1Q)
        return I(name, targets=[qubits[0]], params=params[:ref.param_count(name)], dagger=dagger)
    if kind == 2:
        name = rng.choice(PLAIN_2Q)
        if name in ("CX", "CNOT", "CZ"):
            dagger = False
        return I(name, targets=qubits[:2], params=params[:1], dagger=dagger)
    # Controlled forms, with open controls now and then.
    if kind == 3 or n < 4:
        nc = rng.randint(1, min(3, n - 1))
        name = rng.choice(CONTROLLED_1Q + FIXED_1Q + PARAM_1Q)
        targets, controls = qubits[:1], qubits[1:1 + nc]
    elif kind == 4:
        name, targets, controls = rng.choice(["CCX", "TOFFOLI"]), qubits[:1], qubits[1:3]
    else:
        nc = rng.randint(1, min(2, n - 2))
        name = rng.choice(["CSWAP", "SWAP", "ISWAP", "RZZ", "RXX", "RYY"])
        targets, controls = qubits[:2], qubits[2:2 + nc]
    ctrl_state = "".join(rng.choice("01") for _ in controls) if rng.random() < 0.5 else ""
    return I(name, targets=targets, controls=controls, params=params[:ref.param_count(name)],
             dagger=dagger, ctrl_state=ctrl_state)


def random_circuit(seed, n, gates):
    rng = random.Random(seed)
    circuit = circuit_of(n, [I("H", targets=[q]) for q in range(n)])
    for _ in range(gates):
        circuit.append(random_instruction(rng, n))
    return circuit


@pytest.mark.parametrize("n,gates,seed", [(1, 20, 1), (3, 60, 2), (5, 120, 3), (8, 150, 4), (12, 80, 5),
                                          (15, 40, 6), (16, 40, 7)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_random_circuits_match_reference(n, gates, seed, use_float32):
    circuit = random_circuit(seed, n, gates)
    got = brenvik.cal_states_cpp(circuit, use_float32)
    assert got.dtype == (np.complex64 if use_float32 else np.complex128)
    assert got.shape == (2 ** n,)
    want = ref.simulate(circuit)
    tol = 2e-5 if use_float32 else 1e-11
    np.testing.assert_allclose(got, want, rtol=0, atol=tol)


def test_simple_states_and_qubit_order():
    assert brenvik.cal_states_cpp(cr.CircuitData(0)).tolist() == [1]
    out = brenvik.cal_states_cpp(cr.CircuitData(3))
    assert out.tolist() == [1, 0, 0, 0, 0, 0, 0, 0]
    markers = circuit_of(2, [I(g, targets=[0]) for g in ("MEASURE", "BARRIER", "QIF", "QWHILE")])
    assert brenvik.cal_states_cpp(markers).tolist() == [1, 0, 0, 0]
    x = circuit_of(3, [I("X", targets=[1])])
    assert np.flatnonzero(brenvik.cal_states_cpp(x)).tolist() == [2]
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[1], controls=[0])])
    np.testing.assert_allclose(brenvik.cal_states_cpp(bell), [2 ** -0.5, 0, 0, 2 ** -0.5], atol=1e-15)


def test_reset_single_set():
    # RESET without targets does nothing; with {2, 5} only qubit 2 is reset.
    c = circuit_of(6, [I("X", targets=[2]), I("X", targets=[5]), I("RESET"), I("RESET", targets=[2, 5])])
    assert np.flatnonzero(brenvik.cal_states_cpp(c)).tolist() == [32]
    # A superposed qubit: outcome random, the qubit ends at 0 and the state stays normalised.
    for use_float32 in (False, True):
        c = circuit_of(3, [I("H", targets=[0]), I("CX", targets=[1], controls=[0]), I("RESET", targets=[0])])
        out = brenvik.cal_states_cpp(c, use_float32)
        assert np.all(out[1::2] == 0)
        assert abs(np.vdot(out, out) - 1) < 1e-6
    with pytest.raises(RuntimeError, match="RESET.*qubit 3"):
        brenvik.cal_states_cpp(circuit_of(3, [I("RESET", targets=[3])]))


def rx_batched_circuit(n, sets, extra=()):
    rng = np.random.default_rng(n)
    c = cr.CircuitData(n)
    for q in range(n):
        c.append(I("H", targets=[q]))
    for q in range(n):
        c.append(I("RX", targets=[q], params=list(rng.uniform(-3, 3, sets)), parameterized=True))
        c.append(I("CX", targets=[(q + 1) % n], controls=[q]))
    c.append(I("U3", targets=[0], controls=[n - 1], params=list(rng.uniform(-3, 3, 3 * sets)),
               parameterized=True, ctrl_state="0"))
    for ins in extra:
        c.append(ins)
    return c


def single_set_copy(circuit, b):
    """The circuit with every parameterized instruction cut to set b."""
    c = cr.CircuitData(circuit.num_qubits)
    for ins in circuit.instructions:
        ins = ins.__copy__()
        if ins.parameterized:
            ins.params = ref.param_slice(ins.params, ins.name, b)
            ins.parameterized = False
        c.append(ins)
    return c


@pytest.mark.parametrize("n,sets", [(4, 3), (10, 5), (15, 9)])
@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_rows_equal_single_runs(n, sets, use_float32):
    circuit = rx_batched_circuit(n, sets)
    out = brenvik.cal_states_cpp(circuit, use_float32)
    assert out.shape == (sets, 2 ** n) and out.flags.c_contiguous
    for b in range(sets):
        single = brenvik.cal_states_cpp(single_set_copy(circuit, b), use_float32)
        np.testing.assert_allclose(out[b], single, rtol=0, atol=1e-6 if use_float32 else 1e-13)
    if n <= 10:
        np.testing.assert_allclose(out[1], ref.simulate(circuit, 1), atol=1e-5 if use_float32 else 1e-12)


@pytest.mark.parametrize("use_float32", [False, True])
def test_batched_reset_from_15_qubits(use_float32):
    n, sets = 15, 16
    circuit = rx_batched_circuit(n, sets, [I("X", targets=[3]), I("RESET", targets=[3])])
    out = brenvik.cal_states_cpp(circuit, use_float32)
    assert out.shape == (sets, 2 ** n)
    bit3 = (np.arange(2 ** n) >> 3) & 1 == 1
    for row in out:
        assert np.all(row[bit3] == 0)
        assert abs(np.vdot(row, row).real - 1) < 1e-4


def test_batched_errors():
    bad = rx_batched_circuit(4, 3, [I("FOO", targets=[0])])
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.cal_states_cpp(bad)
    bad = rx_batched_circuit(15, 9, [I("CX", targets=[0], controls=[15])])
    with pytest.raises(RuntimeError, match="qubit 15"):
        brenvik.cal_states_cpp(bad)
    for n in (63, -1, 1000):
        c = rx_batched_circuit(3, 3)
        c.num_qubits = n
        with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
            brenvik.cal_states_cpp(c)
        with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
            brenvik.cal_states_cpp(cr.CircuitData(n))
    # The process goes on normally afterwards.
    assert brenvik.cal_states_cpp(rx_batched_circuit(4, 3)).shape == (3, 16)


def test_bad_qubits_raise():
    for ins in (I("X", targets=[5]), I("CX", targets=[1], controls=[-1]), I("RZZ", targets=[0, 7]),
                I("X", targets=[0], controls=[9], ctrl_state="0")):
        with pytest.raises(RuntimeError, match=f"{ins.name}.*out of range|{ins.name}.*qubit"):
            brenvik.cal_states_cpp(circuit_of(3, [ins]))
    with pytest.raises(RuntimeError, match="RXX.*qubit 1"):
        brenvik.cal_states_cpp(circuit_of(3, [I("RXX", targets=[1, 1], controls=[0], params=[0.2])]))


# --- number of parameter sets, through the shape of the result -------------------

torch = pytest.importorskip("torch")


def tensor_circuit(tensor):
    c = circuit_of(2, [I("RX", targets=[0], params=[0.1, 0.2, 0.3, 0.4], parameterized=True),
                       I("U3", targets=[1], params=[0.1, 0.2, 0.3], parameterized=True)])
    c.use_parameter_tensor = True
    c.parameter_tensor = tensor
    return c


@pytest.mark.parametrize("shape,sets", [((5, 6), 2), ((5, 3), 0), ((5, 7), 0), ((5, 4, 3), 4),
                                        ((5, 1, 3), 1), ((6,), 0), ((5, 9, 2, 2), 3), ((5, 0), 0)])
def test_parameter_tensor_shapes(shape, sets):
    out = brenvik.cal_states_cpp(tensor_circuit(torch.zeros(shape)))
    assert out.shape == ((sets, 4) if sets >= 2 else (4,))


def test_parameter_tensor_not_a_tensor():
    msg = ("Unable to cast Python instance of type <class 'list'> to C++ type '?' "
           "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(tensor_circuit([1, 2, 3]))
    assert str(err.value) == msg
    # An empty circuit never looks at the tensor.
    c = cr.CircuitData(2)
    c.use_parameter_tensor = True
    c.parameter_tensor = [1, 2]
    assert brenvik.cal_states_cpp(c).shape == (4,)


def test_parameter_shape_path():
    c = tensor_circuit(None)
    c.parameter_buffer = 12345
    c.parameter_shape = [5, 12, 2]
    assert brenvik.cal_states_cpp(c).shape == (12, 4)
    c.parameter_shape = [5, 12]
    assert brenvik.cal_states_cpp(c).shape == (4, 4)
    c.parameter_buffer = 0
    assert brenvik.cal_states_cpp(c).shape == (4,)


# --- module surface and argument conversion -------------------------------------

def test_module_surface():
    assert brenvik.__doc__ is None
    public = {k for k in vars(brenvik) if not k.startswith("__")}
    assert public == {"cal_states_cpp", "run_cpp"}
    assert brenvik.cal_states_cpp.__doc__.startswith(
        "cal_states_cpp(circuit_data: circuit_records.CircuitData, use_float32: bool = False) -> object\n")
    assert "C++ implementation of full amplitude simulation" in brenvik.cal_states_cpp.__doc__
    assert brenvik.run_cpp.__doc__.startswith(
        "run_cpp(circuit_data: circuit_records.CircuitData, shots: typing.SupportsInt | typing.SupportsIndex, "
        "num_cbits: typing.SupportsInt | typing.SupportsIndex, seed: typing.SupportsInt | typing.SupportsIndex "
        "= -1, use_float32: bool = False) -> object\n")
    assert "Perform shots measurements with projective sampling" in brenvik.run_cpp.__doc__


def test_second_import_gives_same_module():
    first = sys.modules.pop("brenvik")
    try:
        again = importlib.import_module("brenvik")
        assert again is first
        assert {k for k in vars(again) if not k.startswith("__")} == {"cal_states_cpp", "run_cpp"}
    finally:
        sys.modules["brenvik"] = first


def test_argument_conversion():
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[0, 1])])
    assert brenvik.cal_states_cpp(bell, None).dtype == np.complex128
    assert brenvik.cal_states_cpp(bell, np.bool_(True)).dtype == np.complex64
    assert brenvik.cal_states_cpp(circuit_data=bell, use_float32=1).dtype == np.complex64
    assert brenvik.cal_states_cpp(bell, 0.0).dtype == np.complex128
    with pytest.raises(TypeError):
        brenvik.cal_states_cpp(bell, "yes")
    with pytest.raises(TypeError):
        brenvik.cal_states_cpp(42)
    with pytest.raises(RuntimeError) as err:
        brenvik.cal_states_cpp(None)
    assert str(err.value) == ""
    with pytest.raises(TypeError):
        brenvik.cal_states_cpp(bell, use_f32=True)

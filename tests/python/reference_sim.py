"""Independent NumPy reference simulator for circuits of the toolkit.

``simulate(circuit, batch=0)`` takes a ``circuit_records.CircuitData`` and
returns its final state as a complex128 NumPy array of 2**n amplitudes.  It
applies every gate by tensor contraction on a (2,)*n tensor, so it shares no
code or loop structure with the native simulator; it is meant to be slow and
obviously right.

Conventions it follows (the ones of ``brenvik``):

* Qubit q is bit q of the amplitude index (qubit 0 least significant).  In the
  internal tensor, qubit q is axis n-1-q so that a C-order flatten gives that
  index.
* Gate names are compared with exact case.  Parameter counts: 1 for RX RY RZ
  P U1 CRX CRY CRZ CP CU1 ISINGZZ IZZ RXX RYY RZZ; 2 for R U2 CU2; 3 for U3 U
  CU3; 4 for CU; 0 otherwise.  Parameter k is 0.0 when missing.  Rotation
  angles are halved (c = cos(t/2), s = sin(t/2)); phase angles are not.
* One parameter set of an instruction: with k parameters and a value list of
  length L > k, set b uses values [k*b, k*b+k) if they exist, else the first
  k; with L <= k (or k == 0) the whole list is used.  A single float counts as
  a one-element list.
* Two-qubit matrices are indexed k = b0 + 2*b1, b0 the bit of targets[0].
* Names MEASURE, BARRIER, QIF, QWHILE are no-ops.  RESET is supported only when
  the qubit is (numerically) in a definite state, since the outcome is random
  otherwise; it then sets the qubit to 0.  Any other case raises ValueError.
* Fixed forms: "CX"/"CNOT"/"CZ" with two targets, no controls and no dagger act
  as control targets[0], target targets[1]; "SWAP" with two targets swaps them
  (nothing for equal targets); "Tdg" is accepted only as a plain one-qubit gate
  without dagger or controls; "CCX"/"TOFFOLI" are X on the target.
* Every other gate uses its base matrix: the controlled families (CX CNOT CY
  CZ CH CCX TOFFOLI CSWAP CRX CRY CRZ CP CU1 CU2 CU3 CU) give the matrix of the
  gate on their targets only; the instruction's ``controls`` are the controls.
  With ``dagger`` the conjugate transpose is used.  The matrix must be 2x2 for
  one target and 4x4 for two targets, else ValueError.
* Control i is active on |0> when character i of ``ctrl_state`` is '0' (only
  characters with a matching control count), otherwise on |1>.

Qubits of one instruction are assumed distinct (except the SWAP no-op).
"""
import numpy as np

_ONE = {"RX", "RY", "RZ", "P", "U1", "CRX", "CRY", "CRZ", "CP", "CU1",
        "ISINGZZ", "IZZ", "RXX", "RYY", "RZZ"}
_TWO = {"R", "U2", "CU2"}
_THREE = {"U3", "U", "CU3"}
_SKIP = {"MEASURE", "BARRIER", "QIF", "QWHILE"}


def param_count(name):
    if name in _ONE:
        return 1
    if name in _TWO:
        return 2
    if name in _THREE:
        return 3
    if name == "CU":
        return 4
    return 0


def param_slice(params, name, batch):
    values = [float(params)] if isinstance(params, float) else [float(v) for v in params]
    k, total = param_count(name), len(values)
    if k != 0 and k < total:
        if total >= k + k * batch:
            return values[k * batch:k * batch + k]
        return values[:k]
    return values


def _u3(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s],
                     [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


def gate_matrix(name, params=()):
    """Matrix of an uncontrolled gate name (row-major numpy array)."""
    p = list(params) + [0.0] * 4
    t = p[0]
    c, s = np.cos(t / 2), np.sin(t / 2)
    h = 1 / np.sqrt(2)
    one = {
        "I": [[1, 0], [0, 1]], "ID": [[1, 0], [0, 1]],
        "H": [[h, h], [h, -h]], "X": [[0, 1], [1, 0]], "Y": [[0, -1j], [1j, 0]],
        "Z": [[1, 0], [0, -1]], "S": [[1, 0], [0, 1j]], "SDG": [[1, 0], [0, -1j]],
        "T": [[1, 0], [0, np.exp(1j * np.pi / 4)]],
        "TDG": [[1, 0], [0, np.exp(-1j * np.pi / 4)]],
        "SX": [[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]],
        "SY": [[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]],
    }
    if name in one:
        return np.array(one[name], dtype=complex)
    if name == "RX":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "RY":
        return np.array([[c, -s], [s, c]], dtype=complex)
    if name == "RZ":
        return np.diag([np.exp(-1j * t / 2), np.exp(1j * t / 2)])
    if name in ("P", "U1"):
        return np.diag([1, np.exp(1j * t)])
    if name == "R":
        phi = p[1]
        return np.array([[c, -1j * np.exp(-1j * phi) * s], [-1j * np.exp(1j * phi) * s, c]])
    if name == "U2":
        return _u3(np.pi / 2, p[0], p[1])
    if name in ("U3", "U"):
        return _u3(p[0], p[1], p[2])
    if name == "SWAP":
        return np.eye(4, dtype=complex)[[0, 2, 1, 3]]
    if name == "ISWAP":
        m = np.zeros((4, 4), dtype=complex)
        m[0, 0] = m[3, 3] = 1
        m[1, 2] = m[2, 1] = 1j
        return m
    # Two-qubit rotations as exponentials of Pauli products.
    pauli = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
             "Z": np.diag([1, -1])}
    two = {"RZZ": "Z", "ISINGZZ": "Z", "IZZ": "Z", "RXX": "X", "RYY": "Y"}
    if name in two:
        pp = np.kron(pauli[two[name]], pauli[two[name]])
        return c * np.eye(4) - 1j * s * pp
    raise ValueError("Unknown gate: " + name)


_CONTROLLED = {"CX": "X", "CNOT": "X", "CY": "Y", "CZ": "Z", "CH": "H", "CCX": "X",
               "TOFFOLI": "X", "CSWAP": "SWAP", "CRX": "RX", "CRY": "RY", "CRZ": "RZ",
               "CP": "P", "CU1": "P", "CU2": "U2", "CU3": "U3"}


def base_matrix(name, params=()):
    """Matrix of the gate on its targets only (controls stripped)."""
    if name == "CU":
        p = list(params) + [0.0] * 4
        return np.exp(1j * p[3]) * _u3(p[0], p[1], p[2])
    if name in _CONTROLLED:
        return gate_matrix(_CONTROLLED[name], params)
    return gate_matrix(name, params)


def _apply(psi, n, matrix, targets, controls, active):
    """Applies `matrix` (2^k x 2^k, index bit j = targets[j]) to the qubits
    `targets`, restricted to the subspace where controls[i] == active[i]."""
    k = len(targets)
    idx = [slice(None)] * n
    for c, a in zip(controls, active):
        idx[n - 1 - c] = a
    idx = tuple(idx)
    sub = psi[idx]
    # Axes of `sub` for each target: the axes of psi without the control axes.
    kept = [ax for ax in range(n) if not isinstance(idx[ax], int)]
    tgt_axes = [kept.index(n - 1 - t) for t in targets]
    # Reshape to (out_{k-1},...,out_0, in_{k-1},...,in_0).
    u = np.asarray(matrix, dtype=complex).reshape([2] * (2 * k))
    in_axes = list(range(k, 2 * k))
    sub_axes = [tgt_axes[k - 1 - j] for j in range(k)]  # in_{k-1} ... in_0
    out = np.tensordot(u, sub, axes=(in_axes, sub_axes))
    out = np.moveaxis(out, list(range(k)), sub_axes)
    psi[idx] = out


def _reset(psi, n, q):
    ax = n - 1 - q
    one = np.take(psi, 1, axis=ax)
    zero = np.take(psi, 0, axis=ax)
    p1 = float(np.sum(np.abs(one) ** 2))
    p0 = float(np.sum(np.abs(zero) ** 2))
    if p1 < 1e-12:
        return
    if p0 < 1e-12:
        idx0 = [slice(None)] * n
        idx1 = [slice(None)] * n
        idx0[ax], idx1[ax] = 0, 1
        psi[tuple(idx0)] = one
        psi[tuple(idx1)] = 0
        return
    raise ValueError("RESET of a qubit in superposition has a random outcome")


def apply_instruction(psi, n, ins, batch=0):
    name = ins.name
    if name in _SKIP:
        return
    targets, controls = list(ins.targets), list(ins.controls)
    if name == "RESET":
        if targets:
            _reset(psi, n, targets[0])
        return
    active = [1] * len(controls)
    for i, ch in enumerate(ins.ctrl_state[:len(controls)]):
        if ch == "0":
            active[i] = 0
    if not ins.dagger and not controls and len(targets) == 2:
        if name in ("CX", "CNOT", "CZ"):
            _apply(psi, n, gate_matrix("X" if name != "CZ" else "Z"), [targets[1]], [targets[0]], [1])
            return
        if name == "SWAP":
            if targets[0] != targets[1]:
                _apply(psi, n, gate_matrix("SWAP"), targets, [], [])
            return
    if name == "Tdg" and not ins.dagger and not controls and len(targets) == 1:
        name = "TDG"
    m = base_matrix(name, param_slice(ins.params, name, batch))
    if ins.dagger:
        m = m.conj().T
    if m.shape != (2 ** len(targets),) * 2 or len(targets) not in (1, 2):
        raise ValueError("unsupported configuration for gate " + name)
    _apply(psi, n, m, targets, controls, active)


def simulate(circuit, batch=0):
    """Final amplitudes of `circuit` for parameter set `batch` (complex128)."""
    n = circuit.num_qubits
    if n == 0:
        return np.ones(1, dtype=complex)
    psi = np.zeros([2] * n, dtype=complex)
    psi.reshape(-1)[0] = 1.0
    for ins in circuit.instructions:
        apply_instruction(psi, n, ins, batch)
    return psi.reshape(-1).copy()


def probabilities(circuit, batch=0):
    return np.abs(simulate(circuit, batch)) ** 2

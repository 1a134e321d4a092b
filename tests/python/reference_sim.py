"""Independent NumPy reference simulator: ``simulate(circuit, batch=0)`` gives the
final state of a ``circuit_records.CircuitData`` as 2**n complex128 amplitudes,
each gate a tensor contraction on a (2,)*n tensor (qubit q = index bit q = axis
n-1-q): slow, obviously right, no code shared with brenvik.  It follows
brenvik's conventions (exact-case names, parameter sets, two-qubit index
b0 + 2*b1 with b0 the bit of targets[0], '0' in ctrl_state = open control,
plain two-target CX/CNOT/CZ controlled by targets[0], "Tdg" only plain); RESET
works only on a qubit in a definite state; anything else raises ValueError.
"""
import numpy as np

_COUNTS = {**dict.fromkeys("RX RY RZ P U1 CRX CRY CRZ CP CU1 ISINGZZ IZZ RXX RYY RZZ".split(), 1),
           **dict.fromkeys(["R", "U2", "CU2"], 2), **dict.fromkeys(["U3", "U", "CU3"], 3), "CU": 4}
_CONTROLLED = {"CX": "X", "CNOT": "X", "CY": "Y", "CZ": "Z", "CH": "H", "CCX": "X", "TOFFOLI": "X",
               "CSWAP": "SWAP", "CRX": "RX", "CRY": "RY", "CRZ": "RZ", "CP": "P", "CU1": "P", "CU2": "U2",
               "CU3": "U3"}
_PAULI = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]), "Z": np.diag([1, -1])}
_H, _W = 2 ** -0.5, np.exp(1j * np.pi / 4)
_FIXED = {**_PAULI, "I": np.eye(2), "ID": np.eye(2), "H": [[_H, _H], [_H, -_H]], "S": np.diag([1, 1j]),
          "SDG": np.diag([1, -1j]), "T": np.diag([1, _W]), "TDG": np.diag([1, np.conj(_W)]),
          "SX": [[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]],
          "SY": [[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]],
          "SWAP": np.eye(4)[[0, 2, 1, 3]], "ISWAP": [[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]]}
_ZZ_LIKE = {"RZZ": "Z", "ISINGZZ": "Z", "IZZ": "Z", "RXX": "X", "RYY": "Y"}


def param_count(name):
    return _COUNTS.get(name, 0)


def param_slice(params, name, batch):
    values = [float(params)] if isinstance(params, float) else [float(v) for v in params]
    k = param_count(name)
    if 0 < k < len(values):
        return values[k * batch:k * batch + k] if len(values) >= k * (batch + 1) else values[:k]
    return values


def _e(angle):
    return np.exp(1j * angle)


def _u3(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -_e(lam) * s], [_e(phi) * s, _e(phi + lam) * c]])


def base_matrix(name, params=()):
    """Matrix of the gate on its targets only (controls stripped), row-major."""
    t, phi, lam, gamma = (list(params) + [0.0] * 4)[:4]
    c, s = np.cos(t / 2), np.sin(t / 2)
    table = {**_FIXED, "RX": [[c, -1j * s], [-1j * s, c]], "RY": [[c, -s], [s, c]],
             "RZ": [[_e(-t / 2), 0], [0, _e(t / 2)]], "P": [[1, 0], [0, _e(t)]], "U1": [[1, 0], [0, _e(t)]],
             "R": [[c, -1j * _e(-phi) * s], [-1j * _e(phi) * s, c]], "U2": _u3(np.pi / 2, t, phi),
             "U3": _u3(t, phi, lam), "U": _u3(t, phi, lam), "CU": _e(gamma) * _u3(t, phi, lam),
             **{k: c * np.eye(4) - 1j * s * np.kron(_PAULI[a], _PAULI[a]) for k, a in _ZZ_LIKE.items()}}
    name = _CONTROLLED.get(name, name)
    if name not in table:
        raise ValueError("Unknown gate: " + name)
    return np.array(table[name], dtype=complex)


def _apply(psi, n, matrix, targets, controls=(), active=()):
    """Applies `matrix` (index bit j = targets[j]) where controls[i] == active[i]."""
    k = len(targets)
    idx = [slice(None)] * n
    for c, a in zip(controls, active):
        idx[n - 1 - c] = a
    idx = tuple(idx)
    kept = [ax for ax in range(n) if not isinstance(idx[ax], int)]
    sub_axes = [kept.index(n - 1 - targets[j]) for j in reversed(range(k))]  # in_{k-1} ... in_0
    u = np.asarray(matrix, dtype=complex).reshape([2] * (2 * k))
    out = np.tensordot(u, psi[idx], axes=(list(range(k, 2 * k)), sub_axes))
    psi[idx] = np.moveaxis(out, list(range(k)), sub_axes)


def _reset(psi, n, q):
    ax = n - 1 - q
    zero, one = np.take(psi, 0, axis=ax), np.take(psi, 1, axis=ax)  # copies
    if np.sum(np.abs(one) ** 2) < 1e-12:
        return
    if np.sum(np.abs(zero) ** 2) >= 1e-12:
        raise ValueError("RESET of a qubit in superposition has a random outcome")
    psi[(slice(None),) * ax + (0,)] = one
    psi[(slice(None),) * ax + (1,)] = 0


def apply_instruction(psi, n, ins, batch=0):
    name, targets, controls = ins.name, list(ins.targets), list(ins.controls)
    if name in ("MEASURE", "BARRIER", "QIF", "QWHILE"):
        return
    if name == "RESET":
        if targets:
            _reset(psi, n, targets[0])
        return
    active = [0 if i < len(ins.ctrl_state) and ins.ctrl_state[i] == "0" else 1 for i in range(len(controls))]
    if not ins.dagger and not controls and len(targets) == 2:
        if name in ("CX", "CNOT", "CZ"):
            return _apply(psi, n, base_matrix(name), [targets[1]], [targets[0]], [1])
        if name == "SWAP":
            if targets[0] != targets[1]:
                _apply(psi, n, base_matrix("SWAP"), targets)
            return
    if name == "Tdg" and not ins.dagger and not controls and len(targets) == 1:
        name = "TDG"
    m = base_matrix(name, param_slice(ins.params, name, batch))
    if ins.dagger:
        m = m.conj().T
    if len(targets) not in (1, 2) or m.shape != (2 ** len(targets),) * 2:
        raise ValueError("unsupported configuration for gate " + name)
    _apply(psi, n, m, targets, controls, active)


def simulate(circuit, batch=0):
    """Final amplitudes of `circuit` for parameter set `batch` (complex128)."""
    n = circuit.num_qubits
    psi = np.zeros([2] * n, dtype=complex)
    psi.reshape(-1)[0] = 1.0
    for ins in circuit.instructions:
        apply_instruction(psi, n, ins, batch)
    return psi.reshape(-1).copy()

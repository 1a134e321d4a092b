"""A short demonstration of the toolkit's native modules."""
import os
import pathlib
import sys

_default = pathlib.Path(__file__).resolve().parents[1] / "build" / "python"
sys.path.insert(0, os.environ.get("QTK_MODULE_DIR", str(_default)))

import numpy as np  # noqa: E402

import circuit_records as cr  # noqa: E402  (registers the record types; import it first)
import brenvik  # noqa: E402
import dulmire  # noqa: E402
import ostrevel  # noqa: E402
import taskelon  # noqa: E402

print(f"Python {sys.version.split()[0]}")

# --- brenvik: a Bell pair, as amplitudes and sampled ----------------------------
bell = cr.CircuitData(2)
bell.append(cr.CircuitInstruction("H", targets=[0]))
bell.append(cr.CircuitInstruction("CX", targets=[1], controls=[0]))
print("Bell-pair amplitudes (index = q1 q0):", np.round(brenvik.cal_states_cpp(bell), 6))
for q in range(2):
    bell.append(cr.CircuitInstruction("MEASURE", targets=[q], controls=[q]))
print("Bell pair, 1000 shots (seed 7):", brenvik.run_cpp(bell, 1000, 2, seed=7))

# --- ostrevel: an n-local circuit, then simulated with parameter values ---------
# Blocks are passed as objects whose __name__ is the gate name.
RY, CRZ = type("RY", (), {}), type("CRZ", (), {})
n_local = ostrevel.build_n_local_data(3, [RY], [CRZ], ["circular"], 1, False, "theta", True, False, "")
print("N-local circuit (RY, CRZ circular, reps 1, final rotation layer):", n_local)
print("   parameters:", [p.name for p in n_local.parameters])
for ins in n_local.instructions:
    print("  ", ins)
values = {p.name: 0.3 * (i + 1) for i, p in enumerate(n_local.parameters)}
filled = []
for ins in n_local.instructions:
    if ins.param_name:
        ins.params = [values[ins.param_name]]
    filled.append(ins)
n_local.instructions = filled
probs = np.abs(brenvik.cal_states_cpp(n_local)) ** 2
print("   probabilities with theta[i] = 0.3*(i+1):", np.round(probs, 4))

# --- dulmire: a random Clifford circuit, simulated to a stabilizer state ---------
clifford = dulmire.build_random_clifford_data(3, 8, ["h", "s", "cx", "swap"], seed=11)
print("Random Clifford circuit on 3 qubits (seed 11):", clifford)
for ins in clifford.instructions:
    print("  ", ins)
mags = np.abs(brenvik.cal_states_cpp(clifford))
print("   non-zero amplitude magnitudes:", sorted({round(float(m), 6) for m in mags if m > 1e-9}))

# --- taskelon: a quantum-volume operation list -----------------------------------
qv_qubits, qv_seed = 6, 2024
qv_ops = taskelon.build_qv_op_list(qv_qubits, 0, qv_seed)
print(f"Quantum-volume list on {qv_qubits} qubits (seed {qv_seed}): {len(qv_ops)} operations")
for op in qv_ops[:3]:
    print("  ", op)
qv_u = np.array(qv_ops[0].matrix).reshape(4, 4).T  # entries are column-major
print("   first matrix unitary:", np.allclose(qv_u @ qv_u.conj().T, np.eye(4)),
      "| qubit pairs used:", len({frozenset((op.controls[0], op.targets[0])) for op in qv_ops}))

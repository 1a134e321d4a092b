"""A short demonstration of the toolkit's native modules."""
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "build" / "python"))

import circuit_records as cr  # registers the record types; import it first

print(f"Python {sys.version.split()[0]}")

circuit = cr.CircuitData(2)
circuit.append(cr.CircuitInstruction("H", targets=[0]))
circuit.append(cr.CircuitInstruction("CX", targets=[1], controls=[0]))
print("A Bell-pair circuit:", circuit)
for ins in circuit.instructions:
    print("  ", ins)

# --- taskelon: a quantum-volume operation list -------------------------------
import numpy as np  # noqa: E402

import taskelon  # noqa: E402

qv_qubits, qv_seed = 6, 2024
qv_ops = taskelon.build_qv_op_list(qv_qubits, 0, qv_seed)
print(f"Quantum-volume list on {qv_qubits} qubits (seed {qv_seed}): {len(qv_ops)} operations")
for op in qv_ops[:3]:
    print("  ", op)
qv_u = np.array(qv_ops[0].matrix).reshape(4, 4).T  # entries are column-major
print("   first matrix unitary:", np.allclose(qv_u @ qv_u.conj().T, np.eye(4)),
      "| qubit pairs used:", len({frozenset((op.controls[0], op.targets[0])) for op in qv_ops}))

# --- brenvik: a Bell pair, sampled and as amplitudes --------------------------
import brenvik  # noqa: E402

bell = cr.CircuitData(2)
bell.append(cr.CircuitInstruction("H", targets=[0]))
bell.append(cr.CircuitInstruction("CX", targets=[1], controls=[0]))
print("Bell-pair amplitudes (index = q1 q0):", np.round(brenvik.cal_states_cpp(bell), 6))
for q in range(2):
    bell.append(cr.CircuitInstruction("MEASURE", targets=[q], controls=[q]))
print("Bell pair, 1000 shots (seed 7):", brenvik.run_cpp(bell, 1000, 2, seed=7))

# --- dulmire: a random Clifford circuit ----------------------------------------
import dulmire  # noqa: E402

clifford = dulmire.build_random_clifford_data(3, 8, ["h", "s", "cx", "swap"], seed=11)
print("Random Clifford circuit on 3 qubits (seed 11):", clifford)
for ins in clifford.instructions:
    print("  ", ins)

# --- ostrevel: an n-local circuit ----------------------------------------------
import ostrevel  # noqa: E402

# Blocks are passed as objects whose __name__ is the gate name.
RY, CRZ = type("RY", (), {}), type("CRZ", (), {})
n_local = ostrevel.build_n_local_data(3, [RY], [CRZ], ["circular"], 1, False, "theta", True, False, "")
print("N-local circuit (RY, CRZ circular, reps 1, final rotation layer):", n_local)
print("   parameters:", [p.name for p in n_local.parameters])
for ins in n_local.instructions:
    print("  ", ins)

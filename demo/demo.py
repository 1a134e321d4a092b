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

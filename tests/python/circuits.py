"""Small helpers that build circuits through the registered record types."""
import circuit_records as cr


def g(name, *targets, **kwargs):
    """One instruction on the given target qubits."""
    return cr.CircuitInstruction(name, targets=list(targets), **kwargs)


def circuit_of(n, instructions):
    """A circuit on n qubits holding the given instructions in order."""
    c = cr.CircuitData(n)
    for ins in instructions:
        c.append(ins)
    return c

"""A child forked after the modules ran multi-threaded work runs every entry
point to the end, with the parent's results (libgomp's thread pool does not
survive fork: the child must not wait for its threads)."""
import multiprocessing
import pickle

import numpy as np
import pytest

import brenvik
import dulmire
import taskelon
from circuits import circuit_of, g

CHILD_TIMEOUT = 120  # seconds; a hanging child fails the test instead of blocking the run


def _workload():
    """Every entry point once: amplitudes of 16 qubits (one set and a batch, both
    precisions), seeded shots of a circuit with a RESET, the quantum-volume
    matrices and a seeded Clifford circuit."""
    n = 16
    rng = np.random.default_rng(5)
    gates = [g("H", q) for q in range(n)] + [g("CX", (q + 1) % n, controls=[q]) for q in range(n)]
    single = circuit_of(n, gates + [g("RY", q, params=[rng.uniform(-3, 3)]) for q in range(n)])
    batched = circuit_of(n, gates + [g("RX", q, params=list(rng.uniform(-3, 3, 3)), parameterized=True)
                                     for q in range(n)])
    dynamic = circuit_of(n, gates + [g("RESET", 3), g("RY", 3, params=[0.7]), g("MEASURE", 3, controls=[0]),
                                     g("H", 5), g("MEASURE", 5, controls=[1])])
    out = {f"amplitudes {circuit} {flag}": brenvik.cal_states_cpp(c, flag)
           for circuit, c in (("single", single), ("batched", batched)) for flag in (False, True)}
    out["shots"] = brenvik.run_cpp(dynamic, 40, 2, 17)
    # Only the matrices of taskelon follow from the seed (the qubit pairs come
    # from per-thread generators that carry on across calls).
    out["qv matrices"] = [op.matrix for op in taskelon.build_qv_op_list(24, 0, 3)]
    clifford = dulmire.build_random_clifford_data(6, 40, "all", 11)
    out["clifford"] = [(ins.name, ins.targets, ins.controls) for ins in clifford.instructions]
    return out


def _child(conn):
    conn.send_bytes(pickle.dumps(_workload()))
    conn.close()


# Python warns that forking a multi-threaded process may deadlock the child:
# that is the case this test covers.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_finishes_with_the_parents_results():
    parent = _workload()  # the parent's OpenMP pool is now running
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    child = context.Process(target=_child, args=(sender,))
    child.start()
    sender.close()
    try:
        assert receiver.poll(CHILD_TIMEOUT), "forked child did not finish"
        got = pickle.loads(receiver.recv_bytes())
    finally:
        child.join(5)
        if child.is_alive():
            child.kill()
            child.join()
    assert child.exitcode == 0
    assert got.keys() == parent.keys()
    for key, value in parent.items():
        if isinstance(value, np.ndarray):
            assert value.dtype == got[key].dtype and np.array_equal(value, got[key]), key
        else:
            assert value == got[key], key

"""ostrevel.build_n_local_data: oversized requests are answered from the counts,
and which check fires first when several could."""
import pytest

import ostrevel

MOST = 2**31 - 1


def run(n, rot=(), ent=(), kinds=(), reps=1, final=False):
    blocks = lambda names: [type(g, (), {}) for g in names]
    return ostrevel.build_n_local_data(n, blocks(rot), blocks(ent), list(kinds), reps, False, "t", final, False, "")


@pytest.mark.parametrize("n, kwargs, error, message", [
    # One parameterised rotation block on 2^31 - 1 qubits, taken twice.
    (MOST, dict(rot=["RY"], final=True), ValueError, "32-bit"),
    (MOST, dict(rot=["RY"], reps=2), ValueError, "32-bit"),
    (MOST, dict(rot=["RY"], ent=["CRX"], kinds=["circular"]), ValueError, "32-bit"),
    # A layer's count overflows before a later unknown name is looked up; an earlier one fails first.
    (MOST, dict(rot=["RX", "RY", "NOPE"], reps=0), ValueError, "32-bit"),
    (MOST, dict(rot=["RX", "NOPE", "RY"], reps=0), IndexError, "^unordered_map::at$"),
    (MOST, dict(rot=["RY"], ent=["CRX", "NOPE"], kinds=["circular", "full"], reps=0), IndexError, "unordered_map"),
    (MOST, dict(ent=["CRX", "CRZ"], kinds=["circular", "linear"], reps=0), ValueError, "32-bit"),
    # The counts are checked before any layer looks at a type.
    (MOST, dict(rot=["RY"], ent=["CX"], kinds=["ring"], final=True), ValueError, "32-bit"),
    (46342, dict(ent=["CX"], kinds=["full"]), ValueError, "too large for a \"full\""),
    (46342, dict(ent=["CX", "CRX"], kinds=["linear"]), ValueError, r"entanglement has 1 entries.*block 1 \(CRX\)"),
    (46342, dict(ent=["CX", "CRX"], kinds=["full"]), ValueError, "too large for a \"full\""),
    # Zero qubits, 2^31 - 1 repetitions: counted -1 per layer, or -2 (which does not fit).
    (0, dict(ent=["CRZ"], kinds=["pairwise"], reps=MOST), RuntimeError, "^Parameters count mismatch$"),
    (0, dict(ent=["CRZ", "CRX"], kinds=["linear", "linear"], reps=MOST), ValueError, "32-bit"),
    (0, dict(ent=["CX"], kinds=["ring"], reps=MOST), RuntimeError, "^entanglement type ring not supported$")])
def test_oversized_requests_fail_with_their_error(n, kwargs, error, message):
    with pytest.raises(error, match=message):
        run(n, **kwargs)


def test_oversized_requests_that_build():
    c = run(0, rot=["RY"], ent=["CX", "RZ"], kinds=["linear"], reps=MOST, final=True)
    assert (c.num_qubits, c.instructions, c.parameters, c.num_parameters) == (0, [], [], 0)
    c = run(1, ent=["CX"], kinds=["linear"], reps=MOST)  # one qubit: no tuple, nothing placed
    assert (c.instructions, c.num_parameters) == ([], 0)
    c = run(46341, ent=["CRX"], kinds=["full"], reps=0, final=True)
    assert c.num_parameters == 0 and c.instructions == []

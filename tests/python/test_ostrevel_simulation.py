"""N-local circuits from ostrevel, with parameter values filled in, simulate in
brenvik to the state of the NumPy reference."""
import numpy as np
import pytest

import ostrevel

brenvik = pytest.importorskip("brenvik")

VALUES_PER_GATE = {"U3": 3, "U": 3, "U2": 2, "R": 2}


@pytest.mark.parametrize("n, rot, ent, kinds, reps, final", [
    (3, ["RY"], ["CRZ"], ["circular"], 1, True),
    (4, ["RX", "U3"], ["CX"], ["full"], 2, False),
    (5, ["RY", "RZ"], ["CX", "CRY"], ["linear", "pairwise"], 2, True),
    (4, ["H", "P", "U2"], ["CZ", "CRX"], ["reverse_linear", "full"], 1, True),
    (2, ["RY"], ["CRZ"], ["circular"], 2, True),
    (1, ["R"], ["CRX"], ["full"], 1, True),  # no tuples on one qubit
])
@pytest.mark.parametrize("use_float32", [False, True])
def test_filled_n_local_circuit_matches_reference(n, rot, ent, kinds, reps, final, use_float32):
    ref = pytest.importorskip("reference_sim")  # the NumPy reference, next to the tests
    rng = np.random.default_rng(n * 100 + reps)
    c = ostrevel.build_n_local_data(n, [type(g, (), {}) for g in rot], [type(g, (), {}) for g in ent], kinds, reps,
                                    False, "theta", final, False, "")
    instructions = c.instructions  # a copy: filled in, then stored back
    for ins in instructions:
        if ins.parameterized:
            ins.params = list(rng.uniform(-np.pi, np.pi, VALUES_PER_GATE.get(ins.name, 1)))
    c.instructions = instructions
    got = np.asarray(brenvik.cal_states_cpp(c, use_float32)).reshape(-1)
    np.testing.assert_allclose(got, ref.simulate(c), atol=1e-5 if use_float32 else 1e-10)

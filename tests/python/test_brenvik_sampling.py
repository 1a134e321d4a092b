"""Shot sampling of brenvik.run_cpp: statistics against exact probabilities,
seeds, static and dynamic circuits, and the argument edge cases."""
import math

import numpy as np
import pytest

import circuit_records as cr
import brenvik
import reference_sim as ref

I = cr.CircuitInstruction
NO_MEASURE = ("Circuit does not contain any MEASURE gate. Measurement requires explicit MEASURE gates "
              "in the circuit.")


def circuit_of(n, instructions):
    c = cr.CircuitData(n)
    for ins in instructions:
        c.append(ins)
    return c


def measure(q, cbit=None):
    return I("MEASURE", targets=[q], controls=[] if cbit is None else [cbit])


def chi_square_bound(df, z=7.0):
    """Upper quantile of chi-square(df) (Wilson-Hilferty) at about 1e-12 tail
    probability: a correct sampler exceeds it essentially never."""
    a = 2.0 / (9.0 * df)
    return df * (1 - a + z * math.sqrt(a)) ** 3


def assert_matches(counts, probs, shots):
    """Chi-square test of observed bitstring counts against `probs` (dict)."""
    assert sum(counts.values()) == shots
    assert set(counts) <= {k for k, p in probs.items() if p > 0}
    stat, df, pooled_obs, pooled_exp = 0.0, -1, 0, 0.0
    for key, p in probs.items():
        exp = p * shots
        obs = counts.get(key, 0)
        if exp < 5:
            pooled_obs += obs
            pooled_exp += exp
            continue
        stat += (obs - exp) ** 2 / exp
        df += 1
    if pooled_exp >= 5:
        stat += (pooled_obs - pooled_exp) ** 2 / pooled_exp
        df += 1
    assert df >= 1
    assert stat < chi_square_bound(df), (stat, df)


def exact_distribution(circuit, measured, num_cbits):
    """Bitstring probabilities for measuring `measured` (qubit -> cbit) at the end."""
    probs = ref.probabilities(circuit)
    out = {}
    for index, p in enumerate(probs):
        bits = ["0"] * num_cbits
        for q, c in measured:
            bits[num_cbits - 1 - c] = str((index >> q) & 1)
        key = "".join(bits)
        out[key] = out.get(key, 0.0) + p
    return out


def random_state_circuit(n, seed):
    rng = np.random.default_rng(seed)
    ins = [I("U3", targets=[q], params=list(rng.uniform(-3, 3, 3))) for q in range(n)]
    for q in range(n - 1):
        ins.append(I("CX", targets=[q + 1], controls=[q]))
        ins.append(I("RY", targets=[q], params=[float(rng.uniform(-3, 3))]))
    return circuit_of(n, ins)


@pytest.mark.parametrize("use_float32", [False, True])
def test_static_sampling_statistics(use_float32):
    n, shots = 6, 200_000
    c = random_state_circuit(n, 1)
    want = exact_distribution(c, [(q, q) for q in range(n)], n)
    for q in range(n):
        c.append(measure(q))
    counts = brenvik.run_cpp(c, shots, n, 1234, use_float32)
    assert list(counts) == sorted(counts)
    assert_matches(counts, want, shots)


def test_static_sampling_partial_measurement():
    n, shots = 7, 100_000
    c = random_state_circuit(n, 2)
    measured = [(5, 0), (1, 2), (3, 1)]
    want = exact_distribution(c, measured, 4)
    for q, b in measured:
        c.append(measure(q, b))
    assert_matches(brenvik.run_cpp(c, shots, 4, 99), want, shots)


@pytest.mark.parametrize("n", [17, 18])
def test_two_level_search_statistics(n):
    shots = 100_000
    c = random_state_circuit(n, 3)
    measured = [(n - 1, 0), (n - 2, 1), (16, 2), (15, 3), (0, 4)]
    want = exact_distribution(c, measured, 5)
    for q, b in measured:
        c.append(measure(q, b))
    assert_matches(brenvik.run_cpp(c, shots, 5, 5), want, shots)


@pytest.mark.parametrize("ones", [range(16), range(17), [16]])
def test_two_level_search_concentrated(ones):
    # Last index of block 0, index dim-1, and the first index of block 1.
    n = 17
    c = circuit_of(n, [I("X", targets=[q]) for q in ones] + [measure(q) for q in range(n)])
    key = "".join("1" if q in ones else "0" for q in reversed(range(n)))
    assert brenvik.run_cpp(c, 300, n, 7) == {key: 300}


def test_dynamic_sampling_statistics():
    # Mid-circuit measurement feeding later gates: exact distribution by hand.
    theta = 1.1
    c = circuit_of(2, [I("H", targets=[0]), measure(0, 0), I("RY", targets=[1], controls=[0], params=[theta]),
                       I("H", targets=[0]), measure(0, 2), measure(1, 1)])
    shots = 50_000
    p1 = math.sin(theta / 2) ** 2
    want = {}
    for m0 in (0, 1):
        for m2 in (0, 1):
            for m1 in (0, 1):
                p = 0.5 * 0.5 * ((p1 if m1 else 1 - p1) if m0 else (1.0 if m1 == 0 else 0.0))
                want[f"{m2}{m1}{m0}"] = p
    assert_matches(brenvik.run_cpp(c, shots, 3, 11), want, shots)


def test_bell_pair_and_bit_order():
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[1], controls=[0]), measure(0, 0), measure(1, 1)])
    counts = brenvik.run_cpp(bell, 1000, 2, 3)
    assert set(counts) == {"00", "11"} and list(counts)[0] == "00"
    x = circuit_of(1, [I("X", targets=[0]), measure(0, 0)])
    assert brenvik.run_cpp(x, 50, 3) == {"001": 50}
    # A later measurement into the same classical bit wins.
    c = circuit_of(2, [I("X", targets=[1]), measure(0, 1), measure(1, 1)])
    assert brenvik.run_cpp(c, 20, 2, 0) == {"10": 20}
    # Classical bit defaults to the qubit number.
    c = circuit_of(3, [I("X", targets=[2]), measure(2)])
    assert brenvik.run_cpp(c, 5, 3, 0) == {"100": 5}
    # A measured qubit beyond num_qubits (below 64) reads 0 in a static circuit.
    c = circuit_of(2, [I("X", targets=[0]), measure(0, 0), measure(40, 1)])
    assert brenvik.run_cpp(c, 5, 2, 0) == {"01": 5}


def test_measurement_checks():
    for c in (circuit_of(1, [I("H", targets=[0])]), circuit_of(1, [I("measure", targets=[0])])):
        for shots in (0, 10):
            with pytest.raises(RuntimeError) as err:
                brenvik.run_cpp(c, shots, 1)
            assert str(err.value) == NO_MEASURE
    # Bad measurement targets are rejected before any shot.
    for ins in (measure(-1, 0), measure(64, 0), measure(0, -1), I("MEASURE", targets=[-3])):
        c = circuit_of(2, [I("H", targets=[0]), ins])
        with pytest.raises(RuntimeError, match="MEASURE"):
            brenvik.run_cpp(c, 10, 2, 1)
    # A MEASURE without targets counts as a measurement but measures nothing.
    assert brenvik.run_cpp(circuit_of(1, [I("X", targets=[0]), I("MEASURE")]), 4, 1) == {"0": 4}


def test_shots_and_cbits_edges():
    static = circuit_of(2, [I("H", targets=[0]), measure(0)])
    assert brenvik.run_cpp(static, 0, 1) == {}
    assert brenvik.run_cpp(static, -5, 1) == {}
    assert brenvik.run_cpp(static, 7, 0, 1) == {"": 7}
    with pytest.raises(ValueError, match="^cannot create std::vector larger than max_size\\(\\)$"):
        brenvik.run_cpp(static, 1, -1)
    assert brenvik.run_cpp(static, 0, -1) == {}
    # A static circuit is simulated even without shots; a dynamic one is not.
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.run_cpp(circuit_of(1, [I("FOO", targets=[0]), measure(0)]), 0, 1)
    dyn = circuit_of(70, [measure(0), I("FOO", targets=[0])])
    assert brenvik.run_cpp(dyn, 0, 1) == {}
    with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
        brenvik.run_cpp(dyn, 1, 1)


def test_dynamic_edges():
    # A measurement into a dropped classical bit does not collapse the state.
    c = circuit_of(1, [I("H", targets=[0]), measure(0, 5), I("H", targets=[0]), measure(0, 0)])
    assert brenvik.run_cpp(c, 200, 1, 4) == {"0": 200}
    c = circuit_of(1, [I("H", targets=[0]), measure(0, 0), I("X", targets=[0]), measure(0, 1)])
    assert set(brenvik.run_cpp(c, 200, 2, 4)) == {"01", "10"}
    # Static circuit with a RESET before the measurement: one draw serves every shot.
    c = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[1], controls=[0]), I("RESET", targets=[0]),
                       measure(1, 0)])
    for seed in range(8):
        assert len(brenvik.run_cpp(c, 100, 1, seed)) == 1
    # Dynamic RESET: after a reset the qubit reads 0 on every shot.
    c = circuit_of(2, [I("H", targets=[0]), measure(0, 1), I("RESET", targets=[0]), measure(0, 0)])
    assert set(brenvik.run_cpp(c, 200, 2, 2)) == {"00", "10"}
    with pytest.raises(RuntimeError, match="RESET.*qubit 2"):
        brenvik.run_cpp(circuit_of(2, [measure(0), I("RESET", targets=[2])]), 1, 1)


def test_seeds():
    c = random_state_circuit(8, 4)
    for q in range(8):
        c.append(measure(q))
    a = brenvik.run_cpp(c, 500, 8, 42)
    assert a == brenvik.run_cpp(c, 500, 8, 42)
    assert a != brenvik.run_cpp(c, 500, 8, 43)
    assert brenvik.run_cpp(c, 500, 8, 42, True) == brenvik.run_cpp(c, 500, 8, 42, True)
    assert brenvik.run_cpp(c, 500, 8) != brenvik.run_cpp(c, 500, 8, -7)
    dyn = circuit_of(3, [I("H", targets=[q]) for q in range(3)] + [measure(0), I("H", targets=[1]), measure(1),
                                                                 measure(2)])
    assert brenvik.run_cpp(dyn, 300, 3, 9) == brenvik.run_cpp(dyn, 300, 3, 9)


def test_parameter_sets_give_list():
    sets = 3
    angles = [0.0, math.pi, math.pi / 2]
    c = circuit_of(1, [I("RX", targets=[0], params=angles, parameterized=True), measure(0)])
    out = brenvik.run_cpp(c, 4000, 1, 1)
    assert isinstance(out, list) and len(out) == sets
    assert out[0] == {"0": 4000} and out[1] == {"1": 4000}
    assert_matches(out[2], {"0": 0.5, "1": 0.5}, 4000)
    one = circuit_of(1, [I("RX", targets=[0], params=[math.pi], parameterized=True), measure(0)])
    assert brenvik.run_cpp(one, 10, 1, 1) == {"1": 10}
    assert brenvik.run_cpp(c, 0, 1) == [{}, {}, {}]


def test_run_arguments():
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[0, 1]), measure(0), measure(1)])
    assert sum(brenvik.run_cpp(bell, 100, 2).values()) == 100
    kw = brenvik.run_cpp(circuit_data=bell, shots=100, num_cbits=2, seed=7, use_float32=True)
    assert kw == brenvik.run_cpp(bell, 100, 2, 7, True)
    assert sum(brenvik.run_cpp(bell, np.int64(10), np.int32(2), np.int16(3)).values()) == 10
    assert sum(brenvik.run_cpp(bell, True, 2).values()) == 1
    for bad in (2 ** 31, 10.0, None, "10", -2 ** 31 - 1):
        with pytest.raises(TypeError):
            brenvik.run_cpp(bell, bad, 2)
    with pytest.raises(TypeError):
        brenvik.run_cpp(bell, 10, 2, 2 ** 31)
    assert brenvik.run_cpp(bell, 3, 2, 2 ** 31 - 1) == brenvik.run_cpp(bell, 3, 2, 2 ** 31 - 1)
    with pytest.raises(TypeError):
        brenvik.run_cpp(bell, 10)
    with pytest.raises(TypeError):
        brenvik.run_cpp(bell, 10, 2, 1, "no")
    with pytest.raises(RuntimeError) as err:
        brenvik.run_cpp(None, 10, 2)
    assert str(err.value) == ""

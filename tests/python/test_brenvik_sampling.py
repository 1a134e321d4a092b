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


def assert_matches(counts, probs, shots):
    """Chi-square test of bitstring counts against `probs` (dict); cells expecting
    fewer than 5 are pooled.  The bound is the chi-square quantile at about 1e-12
    tail probability (Wilson-Hilferty): a correct sampler exceeds it essentially never."""
    assert sum(counts.values()) == shots
    assert set(counts) <= {k for k, p in probs.items() if p > 0}
    cells = [(counts.get(key, 0), p * shots) for key, p in probs.items() if p * shots >= 5]
    pooled = [(counts.get(key, 0), p * shots) for key, p in probs.items() if p * shots < 5]
    if sum(exp for _, exp in pooled) >= 5:
        cells.append((sum(obs for obs, _ in pooled), sum(exp for _, exp in pooled)))
    df = len(cells) - 1
    assert df >= 1
    stat = sum((obs - exp) ** 2 / exp for obs, exp in cells)
    a = 2.0 / (9.0 * df)
    assert stat < df * (1 - a + 7.0 * math.sqrt(a)) ** 3, (stat, df)


def measured_circuit(n, seed, measured):
    """A random entangled state with `measured` (qubit, cbit) pairs measured at
    the end, and the exact distribution of the bitstrings over the cbits."""
    rng = np.random.default_rng(seed)
    c = circuit_of(n, [I("U3", targets=[q], params=list(rng.uniform(-3, 3, 3))) for q in range(n)])
    for q in range(n - 1):
        c.append(I("CX", targets=[q + 1], controls=[q]))
        c.append(I("RY", targets=[q], params=[float(rng.uniform(-3, 3))]))
    num_cbits, want = max(b for _, b in measured) + 1, {}
    for index, p in enumerate(np.abs(ref.simulate(c)) ** 2):
        bits = ["0"] * num_cbits
        for q, b in measured:
            bits[num_cbits - 1 - b] = str((index >> q) & 1)
        want["".join(bits)] = want.get("".join(bits), 0.0) + p
    for q, b in measured:
        c.append(measure(q, b))
    return c, num_cbits, want


# Full and partial measurement; 17 and 18 qubits use the two-level search.
@pytest.mark.parametrize("n,measured,shots,use_float32", [
    (6, [(q, q) for q in range(6)], 200_000, False), (6, [(q, q) for q in range(6)], 200_000, True),
    (7, [(5, 0), (1, 2), (3, 1)], 100_000, False),
    (17, [(16, 0), (15, 1), (0, 2), (9, 3)], 100_000, False),
    (18, [(17, 0), (16, 1), (15, 2), (0, 3)], 100_000, True)])
def test_static_sampling_statistics(n, measured, shots, use_float32):
    c, num_cbits, want = measured_circuit(n, n, measured)
    counts = brenvik.run_cpp(c, shots, num_cbits, 1234, use_float32)
    assert list(counts) == sorted(counts)
    assert_matches(counts, want, shots)


@pytest.mark.parametrize("ones", [range(16), range(17), [16]])
def test_two_level_search_concentrated(ones):
    # Last index of block 0, index dim-1, and the first index of block 1.
    c = circuit_of(17, [I("X", targets=[q]) for q in ones] + [measure(q) for q in range(17)])
    key = "".join("1" if q in ones else "0" for q in reversed(range(17)))
    assert brenvik.run_cpp(c, 300, 17, 7) == {key: 300}


def test_dynamic_sampling_statistics():
    # A mid-circuit measurement feeding later gates; exact distribution by hand.
    theta, shots = 1.1, 50_000
    c = circuit_of(2, [I("H", targets=[0]), measure(0, 0), I("RY", targets=[1], controls=[0], params=[theta]),
                       I("H", targets=[0]), measure(0, 2), measure(1, 1)])
    p1 = math.sin(theta / 2) ** 2
    want = {f"{m2}{m1}{m0}": 0.25 * ((p1 if m1 else 1 - p1) if m0 else float(m1 == 0))
            for m0 in (0, 1) for m1 in (0, 1) for m2 in (0, 1)}
    assert_matches(brenvik.run_cpp(c, shots, 3, 11), want, shots)


@pytest.mark.parametrize("n,instructions,num_cbits,want", [
    (1, [I("X", targets=[0]), measure(0, 0)], 3, "001"),  # classical bit 0 rightmost
    (2, [I("X", targets=[1]), measure(0, 1), measure(1, 1)], 2, "10"),  # the later measurement wins
    (3, [I("X", targets=[2]), measure(2)], 3, "100"),  # classical bit defaults to the qubit
    (2, [I("X", targets=[0]), measure(0, 0), measure(40, 1)], 2, "01"),  # beyond the register reads 0
    (1, [I("X", targets=[0]), I("MEASURE")], 1, "0"),  # no targets: counts as a measurement only
    (2, [I("H", targets=[0]), measure(0)], 0, ""),
    (1, [I("H", targets=[0]), measure(0, 5), I("H", targets=[0]), measure(0, 0)], 1, "0"),  # dropped: no collapse
])
def test_deterministic_bitstrings(n, instructions, num_cbits, want):
    assert brenvik.run_cpp(circuit_of(n, instructions), 20, num_cbits, 3) == {want: 20}


def test_measurement_checks_and_shot_edges():
    for c in (circuit_of(1, [I("H", targets=[0])]), circuit_of(1, [I("measure", targets=[0])])):
        for shots in (0, 10):
            with pytest.raises(RuntimeError) as err:
                brenvik.run_cpp(c, shots, 1)
            assert str(err.value) == NO_MEASURE
    for ins in (measure(-1, 0), measure(64, 0), measure(0, -1), I("MEASURE", targets=[-3])):
        with pytest.raises(RuntimeError, match="MEASURE"):  # before any shot
            brenvik.run_cpp(circuit_of(2, [I("H", targets=[0]), ins]), 10, 2, 1)
    static = circuit_of(2, [I("H", targets=[0]), measure(0)])
    assert brenvik.run_cpp(static, 0, 1) == brenvik.run_cpp(static, -5, 1) == brenvik.run_cpp(static, 0, -1) == {}
    with pytest.raises(ValueError, match="^cannot create std::vector larger than max_size\\(\\)$"):
        brenvik.run_cpp(static, 1, -1)
    # A static circuit is simulated even without shots; a dynamic one is not.
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.run_cpp(circuit_of(1, [I("FOO", targets=[0]), measure(0)]), 0, 1)
    dynamic = circuit_of(70, [measure(0), I("FOO", targets=[0])])
    assert brenvik.run_cpp(dynamic, 0, 1) == {}
    with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
        brenvik.run_cpp(dynamic, 1, 1)


def test_reset_in_static_and_dynamic_circuits():
    # Static circuit with a RESET before the measurement: one draw serves every shot.
    c = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[1], controls=[0]), I("RESET", targets=[0]),
                       measure(1, 0)])
    assert all(len(brenvik.run_cpp(c, 100, 1, seed)) == 1 for seed in range(8))
    # Dynamic RESET: the qubit reads 0 afterwards on every shot.
    c = circuit_of(2, [I("H", targets=[0]), measure(0, 1), I("RESET", targets=[0]), measure(0, 0)])
    assert set(brenvik.run_cpp(c, 200, 2, 2)) == {"00", "10"}
    with pytest.raises(RuntimeError, match="RESET.*qubit 2"):
        brenvik.run_cpp(circuit_of(2, [measure(0), I("RESET", targets=[2])]), 1, 1)


def test_seeds():
    c, _, _ = measured_circuit(8, 4, [(q, q) for q in range(8)])
    a = brenvik.run_cpp(c, 500, 8, 42)
    assert a == brenvik.run_cpp(c, 500, 8, 42) and a != brenvik.run_cpp(c, 500, 8, 43)
    assert brenvik.run_cpp(c, 500, 8, 42, True) == brenvik.run_cpp(c, 500, 8, 42, True)
    assert brenvik.run_cpp(c, 500, 8) != brenvik.run_cpp(c, 500, 8, -7)  # negative seeds are not reproducible
    dynamic = circuit_of(3, [I("H", targets=[q]) for q in range(3)] + [measure(0), I("H", targets=[1]), measure(1),
                                                                     measure(2)])
    assert brenvik.run_cpp(dynamic, 300, 3, 9) == brenvik.run_cpp(dynamic, 300, 3, 9)


def test_parameter_sets_give_list():
    c = circuit_of(1, [I("RX", targets=[0], params=[0.0, math.pi, math.pi / 2], parameterized=True), measure(0)])
    out = brenvik.run_cpp(c, 4000, 1, 1)
    assert isinstance(out, list) and out[:2] == [{"0": 4000}, {"1": 4000}] and len(out) == 3
    assert_matches(out[2], {"0": 0.5, "1": 0.5}, 4000)
    assert brenvik.run_cpp(c, 0, 1) == [{}, {}, {}]
    one = circuit_of(1, [I("RX", targets=[0], params=[math.pi], parameterized=True), measure(0)])
    assert brenvik.run_cpp(one, 10, 1, 1) == {"1": 10}


def test_run_arguments():
    bell = circuit_of(2, [I("H", targets=[0]), I("CX", targets=[0, 1]), measure(0), measure(1)])
    counts = brenvik.run_cpp(bell, 1000, 2, 3)
    assert list(counts) == ["00", "11"] and sum(counts.values()) == 1000
    kw = brenvik.run_cpp(circuit_data=bell, shots=100, num_cbits=2, seed=7, use_float32=True)
    assert kw == brenvik.run_cpp(bell, 100, 2, 7, True)
    assert sum(brenvik.run_cpp(bell, np.int64(10), np.int32(2), np.int16(3)).values()) == 10
    assert sum(brenvik.run_cpp(bell, True, 2).values()) == 1
    assert brenvik.run_cpp(bell, 3, 2, 2 ** 31 - 1) == brenvik.run_cpp(bell, 3, 2, 2 ** 31 - 1)
    for args in [(bell, bad, 2) for bad in (2 ** 31, -2 ** 31 - 1, 10.0, None, "10")] + [
            (bell, 10, 2, 2 ** 31), (bell, 10), (bell, 10, 2, 1, "no")]:
        with pytest.raises(TypeError):
            brenvik.run_cpp(*args)
    with pytest.raises(RuntimeError) as err:
        brenvik.run_cpp(None, 10, 2)
    assert str(err.value) == ""

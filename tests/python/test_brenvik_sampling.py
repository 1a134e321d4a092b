"""Shot sampling of brenvik.run_cpp: statistics against exact probabilities,
seeds, static and dynamic circuits, and the argument edge cases."""
import math

import numpy as np
import pytest

import brenvik
import reference_sim as ref
from circuits import circuit_of, g


def measure(q, cbit=None):
    return g("MEASURE", q, controls=[] if cbit is None else [cbit])


def assert_matches(counts, probs, shots):
    """Chi-square test of counts against `probs`, cells expecting fewer than 5 pooled; the bound is the
    quantile at about 1e-12 tail probability (Wilson-Hilferty), essentially never exceeded by a correct sampler."""
    assert sum(counts.values()) == shots and set(counts) <= {k for k, p in probs.items() if p > 0}
    cells = [(counts.get(key, 0), p * shots) for key, p in probs.items()]
    small = [cell for cell in cells if cell[1] < 5]
    pooled = (sum(obs for obs, _ in small), sum(exp for _, exp in small))
    cells = [cell for cell in cells if cell[1] >= 5] + ([pooled] if pooled[1] >= 5 else [])
    df, a = len(cells) - 1, 2.0 / (9.0 * (len(cells) - 1))
    stat = sum((obs - exp) ** 2 / exp for obs, exp in cells)
    assert stat < df * (1 - a + 7.0 * math.sqrt(a)) ** 3, (stat, df)


def measured_circuit(n, measured):
    """A random entangled state measured at the end into (qubit, cbit) pairs, num_cbits, exact distribution."""
    rng = np.random.default_rng(n)
    c = circuit_of(n, [g("U3", q, params=list(rng.uniform(-3, 3, 3))) for q in range(n)] + [
        ins for q in range(n - 1) for ins in (g("CX", q + 1, controls=[q]), g("RY", q, params=[rng.uniform(-3, 3)]))])
    num_cbits, qubit_of, want = max(b for _, b in measured) + 1, {b: q for q, b in measured}, {}
    for index, p in enumerate(np.abs(ref.simulate(c)) ** 2):
        key = "".join(str(index >> qubit_of[b] & 1) if b in qubit_of else "0" for b in reversed(range(num_cbits)))
        want[key] = want.get(key, 0.0) + p
    return circuit_of(n, list(c.instructions) + [measure(q, b) for q, b in measured]), num_cbits, want


# Full and partial measurement; 17 and 18 qubits use the two-level search.
@pytest.mark.parametrize("n,measured,shots,use_float32", [
    (6, [(q, q) for q in range(6)], 200_000, False), (6, [(q, q) for q in range(6)], 200_000, True),
    (7, [(5, 0), (1, 2), (3, 1)], 100_000, False), (17, [(16, 0), (15, 1), (0, 2), (9, 3)], 100_000, False),
    (18, [(17, 0), (16, 1), (15, 2), (0, 3)], 100_000, True)])
def test_static_sampling_statistics(n, measured, shots, use_float32):
    c, num_cbits, want = measured_circuit(n, measured)
    counts = brenvik.run_cpp(c, shots, num_cbits, 1234, use_float32)
    assert list(counts) == sorted(counts)
    assert_matches(counts, want, shots)


def test_dynamic_sampling_statistics():
    # A mid-circuit measurement feeding later gates; exact distribution by hand.
    theta, shots = 1.1, 50_000
    c = circuit_of(2, [g("H", 0), measure(0, 0), g("RY", 1, controls=[0], params=[theta]), g("H", 0), measure(0, 2),
                       measure(1, 1)])
    p1 = math.sin(theta / 2) ** 2
    want = {f"{m2}{m1}{m0}": 0.25 * ((p1 if m1 else 1 - p1) if m0 else float(m1 == 0))
            for m0 in (0, 1) for m1 in (0, 1) for m2 in (0, 1)}
    assert_matches(brenvik.run_cpp(c, shots, 3, 11), want, shots)


# In the two-level search, all ones hit the last index of block 0, then index dim - 1, then the first of block 1.
CONCENTRATED = [(17, [g("X", q) for q in ones] + [measure(q) for q in range(17)], 17,
                 "".join("01"[q in ones] for q in reversed(range(17)))) for ones in (range(16), range(17), [16])]


@pytest.mark.parametrize("n,instructions,num_cbits,want", CONCENTRATED + [
    (1, [g("X", 0), measure(0, 0)], 3, "001"),  # classical bit 0 rightmost
    (2, [g("X", 1), measure(0, 1), measure(1, 1)], 2, "10"),  # the later measurement wins
    (3, [g("X", 2), measure(2)], 3, "100"),  # classical bit defaults to the qubit
    (2, [g("X", 0), measure(0, 0), measure(40, 1)], 2, "01"),  # beyond the register reads 0
    (1, [g("X", 0), g("MEASURE")], 1, "0"),  # no targets: counts as a measurement only
    (2, [g("H", 0), measure(0)], 0, ""),
    (1, [g("H", 0), measure(0, 5), g("H", 0), measure(0, 0)], 1, "0"),  # dropped: no collapse
    (1, [g("X", 0), measure(0, 1), g("RESET", 0), measure(0, 0)], 2, "10"),  # mid-circuit RESET: reads 0 after
])
def test_deterministic_bitstrings(n, instructions, num_cbits, want):
    assert brenvik.run_cpp(circuit_of(n, instructions), 20, num_cbits, 3) == {want: 20}


def test_errors_and_shot_edges():
    for c, shots in ((circuit_of(1, [g("H", 0)]), 10), (circuit_of(1, [g("measure", 0)]), 0)):  # checked first
        with pytest.raises(RuntimeError) as err:
            brenvik.run_cpp(c, shots, 1)
        assert str(err.value) == ("Circuit does not contain any MEASURE gate. Measurement requires explicit "
                                  "MEASURE gates in the circuit.")
    for ins in (measure(-1, 0), measure(64, 0), measure(0, -1), g("MEASURE", -3)):
        with pytest.raises(RuntimeError, match="MEASURE"):  # before any shot
            brenvik.run_cpp(circuit_of(2, [g("H", 0), ins]), 10, 2, 1)
    static = circuit_of(2, [g("H", 0), measure(0)])
    assert brenvik.run_cpp(static, 0, 1) == brenvik.run_cpp(static, -5, 1) == brenvik.run_cpp(static, 0, -1) == {}
    with pytest.raises(ValueError, match="^cannot create std::vector larger than max_size\\(\\)$"):
        brenvik.run_cpp(static, 1, -1)
    # A static circuit is simulated even without shots; a dynamic one is not.
    with pytest.raises(RuntimeError, match="^Unknown gate: FOO$"):
        brenvik.run_cpp(circuit_of(1, [g("FOO", 0), measure(0)]), 0, 1)
    dynamic = circuit_of(70, [measure(0), g("FOO", 0)])
    assert brenvik.run_cpp(dynamic, 0, 1) == {}
    with pytest.raises(RuntimeError, match="^StateVector: num_qubits out of supported range$"):
        brenvik.run_cpp(dynamic, 1, 1)
    with pytest.raises(RuntimeError, match="RESET.*qubit 2"):
        brenvik.run_cpp(circuit_of(2, [measure(0), g("RESET", 2)]), 1, 1)


def test_seeds_and_draws():
    c, _, _ = measured_circuit(8, [(q, q) for q in range(8)])
    a = brenvik.run_cpp(c, 500, 8, 42)
    assert a == brenvik.run_cpp(c, 500, 8, 42) and a != brenvik.run_cpp(c, 500, 8, 43)
    assert brenvik.run_cpp(c, 500, 8) != brenvik.run_cpp(c, 500, 8, -7)  # negative seeds are not reproducible
    dynamic = circuit_of(3, [g("H", q) for q in range(3)] + [measure(0), g("H", 1), measure(1), measure(2)])
    assert brenvik.run_cpp(dynamic, 300, 3, 9) == brenvik.run_cpp(dynamic, 300, 3, 9)
    # A static circuit with a RESET before the measurement: one RESET draw serves every shot.
    static = circuit_of(2, [g("H", 0), g("CX", 1, controls=[0]), g("RESET", 0), measure(1, 0)])
    assert all(len(brenvik.run_cpp(static, 100, 1, seed)) == 1 for seed in range(8))


def test_parameter_sets_give_list():
    c = circuit_of(1, [g("RX", 0, params=[0.0, math.pi, math.pi / 2], parameterized=True), measure(0)])
    out = brenvik.run_cpp(c, 4000, 1, 1)
    assert isinstance(out, list) and out[:2] == [{"0": 4000}, {"1": 4000}] and len(out) == 3
    assert_matches(out[2], {"0": 0.5, "1": 0.5}, 4000)
    assert brenvik.run_cpp(c, 0, 1) == [{}, {}, {}]
    one = circuit_of(1, [g("RX", 0, params=[math.pi], parameterized=True), measure(0)])
    assert brenvik.run_cpp(one, 10, 1, 1) == {"1": 10}


def test_run_arguments():
    bell = circuit_of(2, [g("H", 0), g("CX", 0, 1), measure(0), measure(1)])
    assert list(brenvik.run_cpp(bell, 1000, 2, 3)) == ["00", "11"]
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


def engine_uniforms(seed, count):
    """The uniforms run_cpp draws for a seed: std::mt19937(seed), whose raw outputs RandomState(seed) also gives,
    two outputs per std::generate_canonical<double, 53> (the value below 1 next to it when the sum rounds up)."""
    words = np.frombuffer(np.random.RandomState(seed).bytes(8 * count), dtype="<u4")
    return [min((int(lo) + int(hi) * 2 ** 32) / 2 ** 64, 1 - 2 ** -53) for lo, hi in zip(words[0::2], words[1::2])]


@pytest.mark.parametrize("use_float32", [False, True])
def test_seeded_draws_follow_the_engine_stream(use_float32):
    # RX(pi/2) on 4 qubits, two parameter sets, every qubit measured: a static shot takes one uniform r and reads
    # index floor(16 r); a dynamic shot takes one uniform per measurement, outcome 1 when r >= 1/2; the second set
    # continues the stream of the first.  The seed keeps every draw 1e-5 away from the rounding boundaries.
    n, shots, seed = 4, 300, 2024
    rx = [g("RX", q, params=[math.pi / 2] * 2, parameterized=True) for q in range(n)]
    measured = rx + [measure(q, q) for q in range(n)]
    u = engine_uniforms(seed, 2 * shots * n)
    assert min(abs(x * 16 - round(x * 16)) for x in u) > 16e-5

    def tally(keys):
        out = {}
        for key in keys:
            out[key] = out.get(key, 0) + 1
        return dict(sorted(out.items()))

    static = [tally(format(int(16 * x), "04b") for x in u[b * shots:(b + 1) * shots]) for b in range(2)]
    dynamic = [tally("".join("01"[x >= 0.5] for x in reversed(u[k:k + n]))
                     for k in range(b * shots * n, (b + 1) * shots * n, n)) for b in range(2)]
    assert brenvik.run_cpp(circuit_of(n, measured), shots, n, seed, use_float32) == static
    assert brenvik.run_cpp(circuit_of(n, measured + [g("X", 0)]), shots, n, seed, use_float32) == dynamic


@pytest.mark.parametrize("use_float32", [False, True])
def test_first_failing_instruction_raises_on_every_path(use_float32):
    # The third instruction has an unknown name, the fifth a qubit out of range:
    # the unknown gate is what every path reports.
    def circuit(tail, sets=1):
        return circuit_of(3, [g("H", 0), g("RY", 1, params=[0.1 * k for k in range(sets)], parameterized=True),
                              g("NOPE", 0), g("X", 1), g("X", 7)] + tail)
    calls = [lambda: brenvik.cal_states_cpp(circuit([]), use_float32),
             lambda: brenvik.cal_states_cpp(circuit([], sets=4), use_float32),
             lambda: brenvik.run_cpp(circuit([measure(0)]), 10, 1, 3, use_float32),
             lambda: brenvik.run_cpp(circuit([measure(0)], sets=3), 10, 1, 3, use_float32),
             lambda: brenvik.run_cpp(circuit([measure(0), g("H", 0), measure(0)]), 10, 1, 3, use_float32)]
    batched = circuit_of(3, [g("RY", 1, params=[0.1, 0.2, 0.3, 0.4], parameterized=True)])
    assert brenvik.cal_states_cpp(batched, use_float32).shape == (4, 8)  # the flag makes four sets
    for call in calls:
        with pytest.raises(RuntimeError, match="^Unknown gate: NOPE$"):
            call()
    # A dynamic circuit without shots simulates nothing and raises nothing.
    assert brenvik.run_cpp(circuit([measure(0), g("H", 0), measure(0)]), 0, 1, 3, use_float32) == {}

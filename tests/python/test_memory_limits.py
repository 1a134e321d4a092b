"""Inside a memory-limited cgroup, an oversized request to any entry point
raises (MemoryError, or RuntimeError for a state vector) instead of getting
the interpreter killed, the interpreter carries on, and requests of about half
the limit still give correct results.

Linux overcommits: the allocation of an oversized request succeeds and the
kernel kills the process with SIGKILL once it writes more pages than the group
allows.  So the cases run in a child interpreter placed in a new memory group
(a child of this process's own one); the test asserts that the child exits
normally and reported every case.  Without root or a writable memory
controller the test is skipped."""
import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

import circuit_records
from memory_group import NoMemoryGroup
from memory_group import memory_group as limited_group

# The limit.  A child that has imported every module is charged about 70 MiB
# of anonymous memory (mostly libtorch, which brenvik links, and NumPy) and,
# when the libraries are not yet in the page cache, up to about 290 MiB more
# of file pages, which the kernel reclaims under the limit (about 100 MiB of
# them stay mapped).  Requests of half of 512 MiB then fit beside the
# interpreter without pushing out its library pages (the half-limit cases
# peak at about 330 MiB with a warm cache); the oversized requests below need
# 4 to 60 times the limit.
LIMIT_MIB = 512
# Under AddressSanitizer (preloaded by the sanitizer pass) every allocation
# carries shadow memory and red zones and freed blocks wait in a quarantine:
# the child runs without the quarantine in a group twice as large.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
if SANITIZED:
    LIMIT_MIB *= 2
CHILD_TIMEOUT = 60  # seconds

# The child runs every case in order and prints "<case>: ok" or
# "<case>: <exception type>: <message>" for each, flushing every line so that
# the parent sees how far a killed child got.
CHILD = r'''
import os
import sys

procs, module_dir, tests_dir, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with open(procs, "w") as f:  # joins the group before any module is loaded
    f.write(str(os.getpid()))
sys.path[:0] = [module_dir, tests_dir]

import numpy as np

import circuit_records  # noqa: F401  (registers the record types first)
import brenvik
import dulmire
import ostrevel
import taskelon
from circuits import circuit_of, g

half = limit // 2
# Peak bytes per returned instruction of each builder (measured with
# bench/memory_per_instruction.py), rounded up.
PEAK_PER_INSTRUCTION = {"taskelon": 900, "dulmire": 520, "ostrevel": 600}


def blocks(*names):
    return [type(name, (), {}) for name in names]


def n_local(num_qubits, reps):
    return ostrevel.build_n_local_data(num_qubits, blocks("RY"), blocks("CX"), ["linear"], reps, False, "theta",
                                       False, False, "")


def ghz_amplitudes(n):
    out = brenvik.cal_states_cpp(circuit_of(n, [g("H", 0)] + [g("CX", q + 1, controls=[q]) for q in range(n - 1)]))
    r = 2 ** -0.5
    assert out.shape == (2 ** n,) and np.count_nonzero(out) == 2, out.shape
    assert abs(out[0] - r) < 1e-12 and abs(out[-1] - r) < 1e-12, (out[0], out[-1])


def sampled(n):
    # qubit 0 is 1; qubits 1 .. n - 1 are all 0 or all 1
    measures = [g("MEASURE", 0, controls=[0]), g("MEASURE", 1, controls=[1]), g("MEASURE", n - 1, controls=[2])]
    c = circuit_of(n, [g("X", 0), g("H", 1)] + [g("CX", q + 1, controls=[q]) for q in range(1, n - 1)] + measures)
    counts = brenvik.run_cpp(c, 200, 3, 5)
    assert set(counts) == {"001", "111"} and sum(counts.values()) == 200, counts


def clifford(num_gates):
    c = dulmire.build_random_clifford_data(100, num_gates, "all", 3)
    assert repr(c) == f"CircuitData(num_qubits=100, instructions={num_gates}, num_parameters=0)", repr(c)


def n_local_fits(reps):
    c = n_local(4, reps)  # 4 RY and 3 CX per repetition
    assert repr(c) == (f"CircuitData(num_qubits=4, instructions={7 * reps}, num_parameters={4 * reps}, "
                       "parameter_prefix='theta')"), repr(c)


def quantum_volume(n):
    ops = taskelon.build_qv_op_list(n, 0, 9)
    assert len(ops) == n * (n // 2)
    # An operation's matrix follows from the seed and its position only.
    assert [op.matrix for op in ops[:8]] == [op.matrix for op in taskelon.build_qv_op_list(4, 0, 9)]
    last = np.array(ops[-1].matrix).reshape(4, 4)
    assert np.allclose(last.conj().T @ last, np.eye(4)), last
    assert all(op.targets[0] != op.controls[0] and {*op.targets, *op.controls} <= set(range(n)) for op in ops[-50:])


def largest_qubits(bytes_per_amplitude, budget):
    n = 0
    while bytes_per_amplitude * 2 ** (n + 1) <= budget:
        n += 1
    return n


# A state of n qubits in double precision: two arrays of 2^n doubles, plus
# the returned array of 2^n complex numbers for amplitudes.
big = largest_qubits(32, 4 * limit)
batched = [g("H", q) for q in range(22)] + [g("RX", 0, params=[0.1 * k for k in range(32)], parameterized=True)]
qv = int((2 * half / PEAK_PER_INSTRUCTION["taskelon"]) ** 0.5)
half_qubits = largest_qubits(32, half)
shot_qubits = largest_qubits(16, half)  # the state's two arrays
CASES = [
    (f"amplitudes of {big} qubits", lambda: brenvik.cal_states_cpp(circuit_of(big, [g("H", 0)]))),
    ("amplitudes of 32 sets of 22 qubits", lambda: brenvik.cal_states_cpp(circuit_of(22, batched))),
    (f"shots of {big} qubits, static",
     lambda: brenvik.run_cpp(circuit_of(big, [g("H", 0), g("MEASURE", 0)]), 10, 1, 1)),
    (f"shots of {big} qubits, dynamic",
     lambda: brenvik.run_cpp(circuit_of(big, [g("MEASURE", 0), g("H", 0)]), 10, 1, 1)),
    ("shots into 2**31 - 1 classical bits",
     lambda: brenvik.run_cpp(circuit_of(1, [g("H", 0), g("MEASURE", 0)]), 4, 2 ** 31 - 1, 1)),
    ("n-local circuit of 10 million repetitions", lambda: n_local(3, 10_000_000)),
    ("Clifford circuit of 30 million gates", lambda: dulmire.build_random_clifford_data(10, 30_000_000, "all", 1)),
    ("quantum volume list of 3000 qubits", lambda: taskelon.build_qv_op_list(3000, 0, 1)),
    (f"half the limit: amplitudes of {half_qubits} qubits", lambda: ghz_amplitudes(half_qubits)),
    (f"half the limit: shots of {shot_qubits} qubits", lambda: sampled(shot_qubits)),
    ("half the limit: Clifford circuit", lambda: clifford(half // PEAK_PER_INSTRUCTION["dulmire"])),
    ("half the limit: n-local circuit", lambda: n_local_fits(half // PEAK_PER_INSTRUCTION["ostrevel"] // 7)),
    (f"half the limit: quantum volume list of {qv} qubits", lambda: quantum_volume(qv)),
]
for name, run in CASES:
    try:
        run()
    except Exception as e:
        print(f"{name}: {type(e).__name__}: {e}", flush=True)
    else:
        print(f"{name}: ok", flush=True)
'''

STATE = "RuntimeError: Failed to allocate memory for StateVector"
EXPECTED = [  # one pattern per line of the child's output, in order
    rf"amplitudes of \d+ qubits: {STATE}",
    "amplitudes of 32 sets of 22 qubits: MemoryError: .*",
    rf"shots of \d+ qubits, static: {STATE}",
    rf"shots of \d+ qubits, dynamic: {STATE}",
    r"shots into 2\*\*31 - 1 classical bits: MemoryError: .*",
    "n-local circuit of 10 million repetitions: MemoryError: .*",
    "Clifford circuit of 30 million gates: MemoryError: .*",
    "quantum volume list of 3000 qubits: MemoryError: .*",
    r"half the limit: amplitudes of \d+ qubits: ok",
    r"half the limit: shots of \d+ qubits: ok",
    "half the limit: Clifford circuit: ok",
    "half the limit: n-local circuit: ok",
    r"half the limit: quantum volume list of \d+ qubits: ok",
]


@pytest.fixture
def memory_group():
    """The cgroup.procs file of a new memory group limited to LIMIT_MIB
    (without swap), removed again afterwards."""
    try:
        with limited_group(LIMIT_MIB * 2 ** 20, f"qtk-memory-limits-{os.getpid()}") as procs:
            yield procs
    except NoMemoryGroup as e:
        pytest.skip(str(e))


def test_oversized_requests_raise_and_the_interpreter_carries_on(memory_group):
    args = [sys.executable, "-c", CHILD, memory_group, str(pathlib.Path(circuit_records.__file__).parent),
            str(pathlib.Path(__file__).parent), str(LIMIT_MIB * 2 ** 20)]
    try:
        env = dict(os.environ)
        if SANITIZED:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0"
        child = subprocess.run(args, capture_output=True, text=True, timeout=CHILD_TIMEOUT, env=env)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the child did not finish in {CHILD_TIMEOUT} s; its output:\n{e.stdout}")
    lines = child.stdout.splitlines()
    killed = child.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL)
    assert child.returncode == 0, (
        ("killed (out of memory in its group)" if killed else f"exit status {child.returncode}")
        + f" after {len(lines)} case(s):\n{child.stdout}{child.stderr}")
    assert len(lines) == len(EXPECTED), child.stdout
    for line, pattern in zip(lines, EXPECTED):
        assert re.fullmatch(pattern, line), line

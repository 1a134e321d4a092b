"""One million random Clifford gates on 100 qubits: dulmire's native builder
against the same draws made in plain Python with the random module (and then
handed to build_random_clifford_from_indices).  Each case runs in its own
process so that its peak memory (ru_maxrss growth) is its own.

Run: QTK_MODULE_DIR=<build>/python python3 bench/dulmire_bench.py [num_gates] [num_qubits]
"""
import os
import resource
import subprocess
import sys
import time

GATES = ["cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"]
TWO = {"cx", "cz", "cy", "swap"}


def python_draws(num_qubits, num_gates, seed):
    import random
    rng = random.Random(seed)
    names, qubits = [], []
    for _ in range(num_gates):
        g = GATES[rng.randrange(len(GATES))]
        if g in TWO:
            q0 = rng.randrange(num_qubits)
            r = rng.randrange(num_qubits - 1)
            qubits.append([q0, r + 1 if r >= q0 else r])
        else:
            qubits.append([rng.randrange(num_qubits)])
        names.append(g)
    return names, qubits


def run_case(case, num_gates, num_qubits):
    sys.path.insert(0, os.environ.get("QTK_MODULE_DIR", "build/python"))
    import circuit_records  # noqa: F401
    import dulmire
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    if case == "native":
        c = dulmire.build_random_clifford_data(num_qubits, num_gates, "all", 1)
        t_draw = time.perf_counter() - t0
    elif case == "python-draws":
        names, qubits = python_draws(num_qubits, num_gates, 1)
        t_draw = time.perf_counter() - t0
        c = dulmire.build_random_clifford_from_indices(num_qubits, names, qubits)
    else:
        names, qubits = python_draws(num_qubits, num_gates, 1)
        t_draw = time.perf_counter() - t0
        c = None
    total = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    n = len(c.instructions) if c is not None else len(names)
    assert n == num_gates
    print(f"{case:14s} total {total:7.3f} s  {total / num_gates * 1e9:8.1f} ns/gate  "
          f"(draws {t_draw / num_gates * 1e9:8.1f} ns/gate)  peak +{peak / 1024:7.1f} MiB")


def main():
    num_gates = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    num_qubits = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    if len(sys.argv) > 3:
        run_case(sys.argv[3], num_gates, num_qubits)
        return
    print(f"{num_gates} gates on {num_qubits} qubits", flush=True)
    for case in ["native", "python-only", "python-draws"]:
        subprocess.run([sys.executable, __file__, str(num_gates), str(num_qubits), case], check=True)


if __name__ == "__main__":
    main()

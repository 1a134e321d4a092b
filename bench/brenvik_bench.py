"""Benchmarks of brenvik (not tests).  Run inside the root:

    tools/in-root.sh python3 bench/brenvik_bench.py [gates|shots|batch|memory ...]

Prints one line per measurement."""
import os
import pathlib
import random
import resource
import subprocess
import sys
import time

MODULE_DIR = os.environ.get("QTK_MODULE_DIR", str(pathlib.Path(__file__).resolve().parents[1] / "build" / "python"))
sys.path.insert(0, MODULE_DIR)

import circuit_records as cr  # noqa: E402  (registers the record types first)
import brenvik  # noqa: E402

I = cr.CircuitInstruction


def best_of(fn, repeat=3):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def random_circuit(n, gates, seed=1):
    rng = random.Random(seed)
    c = cr.CircuitData(n)
    for _ in range(gates):
        q = rng.sample(range(n), 3)
        kind = rng.randrange(6)
        if kind == 0:
            c.append(I(rng.choice(["H", "X", "S", "T", "Z"]), targets=[q[0]]))
        elif kind == 1:
            c.append(I(rng.choice(["RX", "RY", "RZ"]), targets=[q[0]], params=[rng.random()]))
        elif kind == 2:
            c.append(I("U3", targets=[q[0]], params=[rng.random() for _ in range(3)]))
        elif kind == 3:
            c.append(I("CX", targets=[q[0]], controls=[q[1]]))
        elif kind == 4:
            c.append(I("RZZ", targets=q[:2], params=[rng.random()]))
        else:
            c.append(I("CRY", targets=[q[0]], controls=[q[1]], params=[rng.random()]))
    return c


def bench_gates(n=24, gates=200):
    empty = cr.CircuitData(n)
    circuit = random_circuit(n, gates)
    for use_float32, label in ((False, "double"), (True, "float")):
        base = best_of(lambda: brenvik.cal_states_cpp(empty, use_float32))
        total = best_of(lambda: brenvik.cal_states_cpp(circuit, use_float32))
        per_gate = (total - base) / gates
        elem = 4 if use_float32 else 8
        traffic = 2 * 2 * (2 ** n) * elem  # read and write both planar arrays
        print(f"cal_states_cpp {n} qubits {gates} gates {label}: total {total:.3f} s, "
              f"state+copy {base:.3f} s, {per_gate * 1e3:.2f} ms/gate, "
              f"~{traffic / per_gate / 1e9:.1f} GB/s effective")


def bench_shots(n=20, shots=1_000_000):
    c = random_circuit(n, 60, seed=2)
    for q in range(n):
        c.append(I("MEASURE", targets=[q]))
    sim = best_of(lambda: brenvik.run_cpp(c, 0, n, 1), 2)
    total = best_of(lambda: brenvik.run_cpp(c, shots, n, 1), 2)
    print(f"run_cpp {n} qubits static, {shots} shots: total {total:.3f} s, simulation {sim:.3f} s, "
          f"{shots / (total - sim) / 1e6:.2f} M shots/s after simulation")


def bench_batch(n=16, sets=64):
    import numpy as np
    rng = np.random.default_rng(3)
    c = cr.CircuitData(n)
    for layer in range(4):
        for q in range(n):
            c.append(I("RX", targets=[q], params=list(rng.uniform(-3, 3, sets)), parameterized=True))
        for q in range(n - 1):
            c.append(I("CX", targets=[q + 1], controls=[q]))
    singles = []
    for b in range(sets):
        s = cr.CircuitData(n)
        for ins in c.instructions:
            ins = ins.__copy__()
            if ins.parameterized:
                ins.params = [ins.params[b]]
                ins.parameterized = False
            s.append(ins)
        singles.append(s)
    batched = best_of(lambda: brenvik.cal_states_cpp(c))
    single = best_of(lambda: [brenvik.cal_states_cpp(s) for s in singles])
    print(f"batched {sets} sets at {n} qubits ({len(c.instructions)} gates): {batched:.3f} s; "
          f"{sets} single calls: {single:.3f} s; speed-up {single / batched:.2f}x")


def bench_memory(n=26):
    code = f"""
import resource, sys
sys.path.insert(0, {MODULE_DIR!r})
import circuit_records as cr, brenvik, numpy
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
c = cr.CircuitData({n})
for q in range(4):
    c.append(cr.CircuitInstruction("H", targets=[q]))
out = brenvik.cal_states_cpp(c)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, after, out.nbytes)
"""
    before, after, nbytes = map(int, subprocess.check_output([sys.executable, "-c", code]).split())
    state = 2 * (2 ** n) * 8
    grew = (after - before) * 1024
    print(f"cal_states_cpp {n} qubits double: peak RSS growth {grew / 2**30:.2f} GiB, state {state / 2**30:.2f} GiB, "
          f"result {nbytes / 2**30:.2f} GiB, ratio {grew / state:.2f}x state")


if __name__ == "__main__":
    which = sys.argv[1:] or ["gates", "shots", "batch", "memory"]
    for name in which:
        globals()["bench_" + name]()

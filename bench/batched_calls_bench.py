"""Batched cal_states_cpp on 18 to 20 qubits (not a test).  Run inside the root:

    tools/in-root.sh python3 bench/batched_calls_bench.py [--rounds N] [--before <old build>/python]

Two circuits of 16 parameter sets in double: one parameterized RY (what a
batched call costs beside its gates: states, rows and the final array) and
six layers of parameterized RY, a CX chain and RZZ on random pairs.  Each
figure is the median of N rounds of 2 calls, each round in a fresh process;
with --before the rounds of the two builds alternate and the last column is
before/after (above 1: the change is faster)."""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

CHILD = r'''
import json, random, sys, time
sys.path.insert(0, sys.argv[1])
import circuit_records as cr, brenvik
I = cr.CircuitInstruction

def layers(n, sets, count):
    rng = random.Random(7)
    c = cr.CircuitData(n)
    for _ in range(count):
        for q in range(n):
            c.append(I("RY", targets=[q], params=[rng.uniform(-3, 3) for _ in range(sets)], parameterized=True))
        for q in range(n - 1):
            c.append(I("CX", targets=[q + 1], controls=[q]))
        for _ in range(n):
            a, b = rng.sample(range(n), 2)
            c.append(I("RZZ", targets=[a, b], params=[rng.uniform(-3, 3)]))
    return c

def one_gate(n, sets):
    c = cr.CircuitData(n)
    c.append(I("RY", targets=[0], params=[0.1 * s for s in range(sets)], parameterized=True))
    return c

out = {}
for n in (18, 19, 20):
    for label, c in (("one RY", one_gate(n, 16)), ("6 layers", layers(n, 16, 6))):
        brenvik.cal_states_cpp(c)
        times = []
        for _ in range(2):
            t = time.perf_counter()
            brenvik.cal_states_cpp(c)
            times.append(time.perf_counter() - t)
        out[f"{n}|{label}|{len(c.instructions)}"] = times
print(json.dumps(out))
'''


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--before")
    args = ap.parse_args()
    after = os.environ.get("QTK_MODULE_DIR", str(pathlib.Path(__file__).resolve().parents[1] / "build" / "python"))
    builds = {"after": after}
    if args.before:
        builds = {"before": args.before, "after": after}
    times = {k: {} for k in builds}
    for _ in range(args.rounds):
        for k, path in builds.items():
            for key, ts in json.loads(subprocess.check_output([sys.executable, "-c", CHILD, path])).items():
                times[k].setdefault(key, []).extend(ts)
    cols = list(builds)
    print("| n | circuit | instructions | sets | " + " | ".join(f"{k} s (min-max)" for k in cols) +
          (" | before/after |" if args.before else " |"))
    print("|---" * (4 + len(cols) + (1 if args.before else 0)) + "|")
    for key in times["after"]:
        n, label, count = key.split("|")
        med = {k: statistics.median(times[k][key]) for k in cols}
        cells = " | ".join(f"{med[k]:.4f} ({min(times[k][key]):.4f}-{max(times[k][key]):.4f})" for k in cols)
        ratio = f" | {med['before'] / med['after']:.2f} |" if args.before else " |"
        print(f"| {n} | {label} | {count} | 16 | {cells}{ratio}")


if __name__ == "__main__":
    main()

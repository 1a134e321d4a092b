"""Benchmark of ostrevel.build_n_local_data on a large n-local circuit.

Circuit: 1000 qubits, rotation blocks RY and RZ, entanglement block CX with
"full" entanglement, reps 2, final rotation layer: 2 * (2000 + 499500) + 2000
= 1,005,000 instructions, 6000 named parameters.

Every variant runs in its own child process so that its peak resident memory
(ru_maxrss) is its own; the figure reported is peak RSS minus the RSS after
the imports.  Variants:
  native   ostrevel.build_n_local_data (includes the copy of the record into
           the returned Python object)
  python   the same instruction list built in plain Python: one tuple
           (name, [target], [controls], param_name) per instruction, the
           "full" pairs from itertools.combinations in descending order
  records  the same list built in Python as circuit_records.CircuitInstruction
           objects appended to a CircuitData (the toolkit's records made from
           Python)

Oversized requests (--oversized): calls that the builder answers from its
closed-form counts before building anything, each timed in a child process
(after the imports), for the modules in $QTK_MODULE_DIR (or build/python) and,
side by side, for those of an earlier build given with --before DIR:
  ry-max       2**31-1 qubits, rotation block RY, final layer: ValueError
  empty-reps   0 qubits, RY and CX "linear", reps 2**31-1: an empty circuit
  cx-max       2**31-1 qubits, rotation block CX: MemoryError (2**30 gates)
The target is under 10 ms for each.

Usage: QTK_MODULE_DIR=<build>/python python3 bench/ostrevel_bench.py [--n 1000] [--repeat 3]
       QTK_MODULE_DIR=<build>/python python3 bench/ostrevel_bench.py --oversized [--before <old build>/python]
"""
import argparse
import itertools
import json
import os
import resource
import statistics
import subprocess
import sys
import time


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def build_native(n, reps):
    import ostrevel
    blocks = [type("RY", (), {}), type("RZ", (), {})]
    c = ostrevel.build_n_local_data(n, blocks, [type("CX", (), {})], ["full"], reps, False, "theta", True,
                                    False, "")
    return c, c.num_parameters


def python_instructions(n, reps):
    ins, p = [], 0

    def rotation():
        nonlocal p
        for name in ("RY", "RZ"):
            for q in range(n):
                ins.append((name, [q], [], f"theta[{p}]"))
                p += 1

    for _ in range(reps):
        rotation()
        for a, b in sorted(itertools.combinations(range(n), 2), reverse=True):
            ins.append(("CX", [b], [a], ""))
    rotation()
    return ins, p


def build_python(n, reps):
    return python_instructions(n, reps)


def build_records(n, reps):
    import circuit_records as cr
    c = cr.CircuitData(n, "theta")
    I = cr.CircuitInstruction
    p = 0

    def rotation():
        nonlocal p
        for name in ("RY", "RZ"):
            for q in range(n):
                c.append(I(name, targets=[q], param_name=f"theta[{p}]", parameterized=True))
                p += 1

    for _ in range(reps):
        rotation()
        for a, b in sorted(itertools.combinations(range(n), 2), reverse=True):
            c.append(I("CX", targets=[b], controls=[a]))
    rotation()
    return c, p


VARIANTS = {"native": build_native, "python": build_python, "records": build_records}


def child(variant, n, reps):
    import circuit_records  # noqa: F401
    import ostrevel  # noqa: F401
    base = rss_kib()
    t0 = time.perf_counter()
    result, params = VARIANTS[variant](n, reps)
    dt = time.perf_counter() - t0
    count = len(result.instructions) if hasattr(result, "instructions") else len(result)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": dt, "instructions": count, "parameters": params,
                      "peak_mib": (peak - base) / 1024}))


MOST = 2**31 - 1
OVERSIZED = {  # (num_qubits, rotation, entanglement, types, reps, final)
    "ry-max": (MOST, ["RY"], [], [], 1, True),
    "empty-reps": (0, ["RY"], ["CX"], ["linear"], MOST, True),
    "cx-max": (MOST, ["CX"], [], [], 1, False),
}


def oversized_child(case, repeat):
    import circuit_records  # noqa: F401
    import ostrevel
    n, rot, ent, kinds, reps, final = OVERSIZED[case]
    blocks = lambda names: [type(g, (), {}) for g in names]
    times, outcome = [], ""
    for _ in range(repeat):
        t0 = time.perf_counter()
        try:
            c = ostrevel.build_n_local_data(n, blocks(rot), blocks(ent), kinds, reps, False, "t", final, False, "")
            outcome = f"{len(c.instructions)} instructions"
        except Exception as e:  # the outcome is part of the figure
            outcome = type(e).__name__
        times.append(time.perf_counter() - t0)
    print(json.dumps({"seconds": times, "outcome": outcome}))


def oversized(a):
    dirs = [("after", os.environ.get("QTK_MODULE_DIR", "build/python"))]
    if a.before:
        dirs.insert(0, ("before", a.before))
    print(f"oversized requests: median (min..max) of {a.repeat} calls in one child process per build")
    for case in OVERSIZED:
        for label, folder in dirs:
            env = dict(os.environ, QTK_MODULE_DIR=folder)
            r = json.loads(subprocess.check_output([sys.executable, __file__, "--child", case, "--oversized",
                                                    "--repeat", str(a.repeat)], env=env))
            t = r["seconds"]
            print(f"{case:11s} {label:6s} {1e3 * statistics.median(t):12.3f} ms "
                  f"({1e3 * min(t):.3f}..{1e3 * max(t):.3f})  {r['outcome']}", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1000)
    ap.add_argument("--reps", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--variants", default="native,python,records")
    ap.add_argument("--child", default=None)
    ap.add_argument("--oversized", action="store_true")
    ap.add_argument("--before", default=None, help="module folder of an earlier build, for --oversized")
    a = ap.parse_args()
    if a.child:
        sys.path.insert(0, os.environ.get("QTK_MODULE_DIR", "build/python"))
        oversized_child(a.child, a.repeat) if a.oversized else child(a.child, a.n, a.reps)
        return
    if a.oversized:
        oversized(a)
        return
    print(f"n-local build: {a.n} qubits, RY+RZ, CX full, reps {a.reps}, final layer; best/median of {a.repeat}")
    per = {}
    for v in a.variants.split(","):
        runs = [json.loads(subprocess.check_output([sys.executable, __file__, "--child", v, "--n", str(a.n),
                                                    "--reps", str(a.reps)]))
                for _ in range(a.repeat)]
        times = [r["seconds"] for r in runs]
        count = runs[0]["instructions"]
        per[v] = min(times) / count
        print(f"{v:8s} {count} instructions, {runs[0]['parameters']} parameters: best {min(times):.3f} s, "
              f"median {statistics.median(times):.3f} s, {1e9 * per[v]:.0f} ns/instruction, "
              f"peak +{max(r['peak_mib'] for r in runs):.0f} MiB")
    if "native" in per:
        for v in per:
            if v != "native":
                print(f"native is {per[v] / per['native']:.1f}x faster per instruction than {v}")


if __name__ == "__main__":
    main()

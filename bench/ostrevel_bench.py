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

Usage: QTK_MODULE_DIR=<build>/python python3 bench/ostrevel_bench.py [--n 1000] [--repeat 3]
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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1000)
    ap.add_argument("--reps", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--variants", default="native,python,records")
    ap.add_argument("--child", default=None)
    a = ap.parse_args()
    if a.child:
        sys.path.insert(0, os.environ.get("QTK_MODULE_DIR", "build/python"))
        child(a.child, a.n, a.reps)
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

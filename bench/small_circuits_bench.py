"""What small circuits cost in brenvik (not a test; prints tables).  Run inside
the root:

    tools/in-root.sh python3 bench/small_circuits_bench.py [--repeat N] [--quick] [--before <old build>/python]

Measurements, each the median of --repeat rounds with the spread (min-max):
  per gate   cal_states_cpp on a 1000-gate circuit of one gate kind (H, RY, CX,
             RZZ, CRX) on qubits drawn with a fixed seed, at 4 and 10 qubits,
             less a call on an empty circuit of the same size, over 1000
  ansatz     an 8-qubit n-local circuit from ostrevel (RY and RZ rotation
             layers, CX linear entanglement, 3 repetitions and the final
             layer: 85 gates) with 256 parameter sets in one call (time per
             call, result 256 x 256), and with a single set
  empty 24   a call on an empty 24-qubit circuit
in double and in float, one table each.  A round of a measurement is the mean
of as many back-to-back calls as fill about --sample-ms.

The modules come from $QTK_MODULE_DIR or build/python.  With --before DIR the
same measurements also run on the modules of DIR (an earlier build); each build
runs in its own child interpreter (a module folder loads once per process),
rounds alternate between the two so that machine noise hits both alike, and
the tables show before, after and before/after (above 1: the change is faster):
the median and spread of the ratios of the rounds run side by side.  The
amplitudes of every benchmark circuit are compared between the builds
(np.array_equal and bit for bit)."""
import argparse
import gc
import json
import math
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve()
DEFAULT_MODULE_DIR = os.environ.get("QTK_MODULE_DIR", str(HERE.parents[1] / "build" / "python"))
MODULES = ("circuit_records", "brenvik", "ostrevel")

GATE_KINDS = ("H", "RY", "CX", "RZZ", "CRX")
GATE_QUBITS = (4, 10)
GATES = 1000
SETS = 256
PRECISIONS = (("double", False), ("float", True))


# ---------------------------------------------------------------- child side

def one_kind_circuit(cr, n, kind, seed):
    """GATES gates of one kind on qubits (and angles) drawn from a fixed seed."""
    rng = random.Random(seed)
    I = cr.CircuitInstruction
    c = cr.CircuitData(n)
    for _ in range(GATES):
        a, b = rng.sample(range(n), 2)
        angle = [rng.uniform(-math.pi, math.pi)]
        if kind == "H":
            c.append(I("H", targets=[a]))
        elif kind == "RY":
            c.append(I("RY", targets=[a], params=angle))
        elif kind == "CX":
            c.append(I("CX", targets=[a], controls=[b]))
        elif kind == "RZZ":
            c.append(I("RZZ", targets=[a, b], params=angle))
        elif kind == "CRX":
            c.append(I("CRX", targets=[a], controls=[b], params=angle))
    return c


def ansatz(ostrevel, sets, seed=5):
    """8 qubits, RY and RZ layers, CX linear, 3 repetitions and the final
    layer; each rotation holds `sets` angles, one per parameter set."""
    blocks = lambda *names: [type(name, (), {}) for name in names]
    c = ostrevel.build_n_local_data(8, blocks("RY", "RZ"), blocks("CX"), ["linear"], 3, False, "theta", True,
                                    False, "")
    rng = random.Random(seed)  # the same draws for any `sets`: one set is set 0 of the batch
    instructions = c.instructions  # a copy: filled in, then stored back
    for ins in instructions:
        if ins.parameterized:
            ins.params = [rng.uniform(-math.pi, math.pi) for _ in range(SETS)][:sets]
    c.instructions = instructions
    return c


def cases(cr, ostrevel, precisions):
    """name -> (circuit, baseline circuit or None, divisor, use_float32, expected shape)."""
    out = {}
    for label, f32 in precisions:
        for n in GATE_QUBITS:
            for k, kind in enumerate(GATE_KINDS):
                out[f"{label} per gate {n}q {kind}"] = (one_kind_circuit(cr, n, kind, 100 * n + k),
                                                         cr.CircuitData(n), GATES, f32, (2 ** n,))
        out[f"{label} ansatz {SETS} sets"] = (ansatz(ostrevel, SETS), None, 1, f32, (SETS, 2 ** 8))
        out[f"{label} ansatz 1 set"] = (ansatz(ostrevel, 1), None, 1, f32, (2 ** 8,))
        out[f"{label} empty 24q"] = (cr.CircuitData(24), None, 1, f32, (2 ** 24,))
    return out


def mean_call(fn, circuit, f32, calls):
    t = time.perf_counter()
    for _ in range(calls):
        fn(circuit, f32)
    return (time.perf_counter() - t) / calls


def child(module_dir, precisions):
    """Answers one JSON request per line on stdin with one JSON line on stdout."""
    sys.path.insert(0, module_dir)
    import circuit_records as cr  # registers the record types first
    import brenvik
    import numpy as np
    import ostrevel
    loaded = pathlib.Path(brenvik.__file__).resolve().parent
    if loaded != pathlib.Path(module_dir).resolve():
        raise RuntimeError(f"brenvik loaded from {loaded}, not from {module_dir}")
    table = cases(cr, ostrevel, [p for p in PRECISIONS if p[0] in precisions])
    cal = brenvik.cal_states_cpp
    gc.disable()
    for line in sys.stdin:
        req = json.loads(line)
        op = req["op"]
        if op == "cases":
            reply = list(table)
        elif op == "save":  # amplitudes of every circuit, for the comparison between builds
            for i, name in enumerate(req["cases"]):
                circuit, _, _, f32, shape = table[name]
                amplitudes = np.asarray(cal(circuit, f32))
                if amplitudes.shape != shape:
                    raise RuntimeError(f"{name}: shape {amplitudes.shape}, expected {shape}")
                np.save(os.path.join(req["dir"], f"{i}.npy"), amplitudes)
                del amplitudes
            reply = "saved"
        elif op == "time":  # one round: seconds per call (per gate for the gate circuits)
            circuit, base, divisor, f32, _ = table[req["case"]]
            # One untimed call first, so the round does not pay for what the other build's
            # round left in the caches and in the kernel's free pages.
            cal(circuit, f32)
            seconds = mean_call(cal, circuit, f32, req["calls"])
            if base is not None:
                seconds -= mean_call(cal, base, f32, req["calls"])
            reply = seconds / divisor
            gc.collect()
        else:
            raise ValueError(f"unknown request {req}")
        print(json.dumps(reply), flush=True)


# --------------------------------------------------------------- parent side

class Build:
    """One child interpreter holding the modules of one folder."""

    def __init__(self, label, module_dir, precisions):
        self.label, self.module_dir = label, module_dir
        self.proc = subprocess.Popen([sys.executable, str(HERE), "--child", module_dir, "--precisions",
                                      ",".join(precisions)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, **req):
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            self.proc.wait()
            sys.exit(f"the {self.label} build ({self.module_dir}) stopped with exit code {self.proc.returncode} "
                     f"on {req}; its messages are above")
        return json.loads(line)

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()


def check_module_dir(label, folder):
    path = pathlib.Path(folder)
    if not path.is_dir():
        sys.exit(f"{label} module folder {folder} does not exist; build it first "
                 f"(tools/in-root.sh tools/build.sh puts the modules in build/python)")
    missing = [m for m in MODULES if not list(path.glob(f"{m}*.so"))]
    if missing:
        sys.exit(f"{label} module folder {folder} has no {', '.join(missing)} module; is the build complete?")
    return str(path.resolve())


def compare(builds, names):
    import numpy as np
    with tempfile.TemporaryDirectory(prefix="small-circuits-") as tmp:
        dirs = []
        for b in builds:
            d = os.path.join(tmp, b.label)
            os.mkdir(d)
            b.ask(op="save", dir=d, cases=names)
            dirs.append(d)
        differ = []
        for i, name in enumerate(names):
            x, y = (np.load(os.path.join(d, f"{i}.npy"), mmap_mode="r") for d in dirs)
            same = x.dtype == y.dtype and np.array_equal(x, y) and np.array_equal(x.view(np.uint8), y.view(np.uint8))
            if not same:
                differ.append(name)
            del x, y
    if differ:
        print(f"AMPLITUDES DIFFER between before and after on {len(differ)} of {len(names)} circuits: "
              + "; ".join(differ))
    else:
        print(f"amplitudes identical between before and after on all {len(names)} benchmark circuits "
              f"(np.array_equal and bit for bit)")
    return not differ


def fmt(seconds, unit):
    scale = {"ns": 1e9, "us": 1e6, "ms": 1e3}[unit]
    return f"{seconds * scale:.1f}" if seconds * scale < 1000 else f"{seconds * scale:.0f}"


def unit_of(name):
    return "ns" if "per gate" in name else ("ms" if "24q" in name or f"{SETS} sets" in name else "us")


def print_tables(builds, names, samples, precisions, repeat):
    for label in precisions:
        rows = [n for n in names if n.startswith(label + " ")]
        if not rows:
            continue
        if len(builds) == 1:
            head = f"{'':26s} {'median':>9s} {'(min-max)':>17s}"
        else:
            head = (f"{'':26s} {'before':>9s} {'(min-max)':>17s} {'after':>9s} {'(min-max)':>17s} "
                    f"{'before/after':>12s} {'(min-max)':>11s}")
        print(f"\n{label}: median of {repeat} rounds")
        print(head)
        for name in rows:
            unit = unit_of(name)
            line = f"{name[len(label) + 1:] + ' [' + unit + ']':26s}"
            for b in builds:
                t = samples[b.label][name]
                line += (f" {fmt(statistics.median(t), unit):>9s} "
                         f"{'(' + fmt(min(t), unit) + '-' + fmt(max(t), unit) + ')':>17s}")
            if len(builds) == 2:
                before, after = (samples[b.label][name] for b in builds)
                ratios = [x / y for x, y in zip(before, after) if y > 0]
                if ratios:
                    line += f" {statistics.median(ratios):12.2f} {f'({min(ratios):.2f}-{max(ratios):.2f})':>11s}"
            print(line)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--before", default=None, help="module folder of an earlier build to compare with")
    ap.add_argument("--repeat", type=int, default=None, help="rounds per measurement (default 11, quick 3)")
    ap.add_argument("--quick", action="store_true", help="3 rounds of about 5 ms, double only")
    ap.add_argument("--sample-ms", type=float, default=None, help="length of one round (default 20, quick 5)")
    ap.add_argument("--precisions", default=None, help="double,float (default both; quick: double)")
    ap.add_argument("--only", default=None, help="only the measurements whose name holds this text, e.g. 24q")
    ap.add_argument("--child", default=None, help=argparse.SUPPRESS)
    a = ap.parse_args()
    precisions = (a.precisions or ("double" if a.quick else "double,float")).split(",")
    if a.child:
        child(a.child, precisions)
        return
    unknown = set(precisions) - {p[0] for p in PRECISIONS}
    if unknown:
        sys.exit(f"unknown precision {', '.join(sorted(unknown))}; use double and/or float")
    repeat = a.repeat or (3 if a.quick else 11)
    sample = (a.sample_ms or (5 if a.quick else 20)) / 1e3
    if repeat < 1:
        sys.exit("--repeat must be at least 1")

    folders = [("after", check_module_dir("after", DEFAULT_MODULE_DIR))]
    if a.before:
        folders.insert(0, ("before", check_module_dir("before", a.before)))
    builds = [Build(label, folder, precisions) for label, folder in folders]
    try:
        for b in builds:
            print(f"{b.label:6s} {b.module_dir}")
        names = [n for n in builds[0].ask(op="cases") if a.only is None or a.only in n]
        if not names:
            sys.exit(f"no measurement name holds {a.only!r}")
        if len(builds) == 2:
            compare(builds, names)
        # Calls per round: enough to fill `sample` on the slower build (one warm-up call each).
        calls = {}
        for name in names:
            single = max(b.ask(op="time", case=name, calls=1) for b in builds)
            divisor = GATES if "per gate" in name else 1
            calls[name] = max(1, min(10_000, round(sample / max(single * divisor, 1e-7))))
        samples = {b.label: {name: [] for name in names} for b in builds}
        t0 = time.perf_counter()
        for _ in range(repeat):
            for name in names:
                for b in builds:  # before, after, before, after, ...
                    samples[b.label][name].append(b.ask(op="time", case=name, calls=calls[name]))
        print_tables(builds, names, samples, precisions, repeat)
        print(f"\n{repeat} rounds in {time.perf_counter() - t0:.0f} s; per-gate figures are the circuit's call "
              f"less an empty call of the same size, over {GATES}")
    finally:
        for b in builds:
            b.close()


if __name__ == "__main__":
    main()

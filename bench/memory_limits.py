"""Requests too large for a memory cgroup, and requests that fit in it (not a
test; prints one line per request).  Each request runs in a fresh child
interpreter inside a new memory group of --limit-mib MiB, so a child that the
kernel kills does not stop the others.  Needs root and a writable memory
controller.  Run inside the root:

    tools/in-root.sh python3 bench/memory_limits.py [--limit-mib 1536] [--before <old build>/python]

Prints, per request and build, what the call gave (ok, the exception, or
"killed") and the child's time from the call to its answer."""
import argparse
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(HERE / "tests" / "python"))
from memory_group import NoMemoryGroup, memory_group  # noqa: E402

MODULE_DIR = os.environ.get("QTK_MODULE_DIR", str(HERE / "build" / "python"))

CHILD = r'''
import os, sys, time
procs, module_dir, tests_dir, request = sys.argv[1:5]
with open(procs, "w") as f:
    f.write(str(os.getpid()))
sys.path[:0] = [module_dir, tests_dir]
import circuit_records, brenvik, dulmire, ostrevel, taskelon
from circuits import circuit_of, g

def blocks(*names):
    return [type(name, (), {}) for name in names]

def n_local(reps):
    return ostrevel.build_n_local_data(3, blocks("RY"), blocks("CX"), ["linear"], reps, False, "theta", False, False, "")

def batched(n, sets):
    return circuit_of(n, [g("H", 0), g("RX", 1, params=[0.1 * k for k in range(sets)], parameterized=True)])

REQUESTS = {
    "amplitudes 27 qubits": lambda: brenvik.cal_states_cpp(circuit_of(27, [g("H", 0)])),
    "amplitudes 200 sets of 20 qubits": lambda: brenvik.cal_states_cpp(batched(20, 200)),
    "run_cpp 27 qubits static": lambda: brenvik.run_cpp(circuit_of(27, [g("H", 0), g("MEASURE", 0)]), 10, 1, 1),
    "run_cpp 27 qubits dynamic": lambda: brenvik.run_cpp(circuit_of(27, [g("MEASURE", 0), g("H", 0)]), 10, 1, 1),
    "run_cpp num_cbits 2**31-1": lambda: brenvik.run_cpp(circuit_of(1, [g("H", 0), g("MEASURE", 0)]), 4, 2**31 - 1, 1),
    "dulmire 30M gates": lambda: dulmire.build_random_clifford_data(10, 30_000_000, "all", 1),
    "taskelon 3000 qubits": lambda: taskelon.build_qv_op_list(3000, 0, 1),
    "ostrevel 10M reps": lambda: n_local(10_000_000),
    "amplitudes 25 qubits": lambda: brenvik.cal_states_cpp(circuit_of(25, [g("H", 0)])),
    "amplitudes 8 sets of 22 qubits": lambda: brenvik.cal_states_cpp(batched(22, 8)),
    "run_cpp 25 qubits static": lambda: brenvik.run_cpp(circuit_of(25, [g("H", 0), g("MEASURE", 0)]), 1000, 1, 1),
    "run_cpp 25 qubits dynamic": lambda: brenvik.run_cpp(circuit_of(25, [g("MEASURE", 0), g("H", 0)]), 2, 1, 1),
    "run_cpp num_cbits 10**8": lambda: brenvik.run_cpp(circuit_of(1, [g("H", 0), g("MEASURE", 0)]), 4, 10**8, 1),
    "dulmire 1.2M gates": lambda: dulmire.build_random_clifford_data(10, 1_200_000, "all", 1),
    "taskelon 1200 qubits": lambda: taskelon.build_qv_op_list(1200, 0, 1),
    "ostrevel 200k reps": lambda: n_local(200_000),
}
if request == "--list":
    print("\n".join(REQUESTS))
    sys.exit()
t = time.perf_counter()
try:
    REQUESTS[request]()
    outcome = "ok"
except Exception as e:
    outcome = f"{type(e).__name__}: {e}"
print(f"{outcome}\t{time.perf_counter() - t:.3f}", flush=True)
'''


def run(procs, module_dir, request):
    args = [sys.executable, "-c", CHILD, procs, module_dir, str(HERE / "tests" / "python"), request]
    child = subprocess.run(args, capture_output=True, text=True, timeout=300)
    if child.returncode != 0:
        return ("killed" if child.returncode in (-9, 137) else f"exit {child.returncode}"), ""
    return tuple(child.stdout.strip().split("\t"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit-mib", type=int, default=1536)
    ap.add_argument("--before", default=None, help="module folder of an earlier build")
    a = ap.parse_args()
    builds = ([("before", a.before)] if a.before else []) + [("after", MODULE_DIR)]
    try:
        with memory_group(a.limit_mib * 2**20, f"qtk-memory-bench-{os.getpid()}") as procs:
            requests = run(procs, MODULE_DIR, "--list")[0].splitlines()
            print(f"memory group of {a.limit_mib} MiB; one child per request and build")
            for request in requests:
                for label, module_dir in builds:
                    outcome, seconds = run(procs, module_dir, request)
                    print(f"{request:34s} {label:6s} {outcome:60.60s} {seconds and seconds + ' s'}")
    except NoMemoryGroup as e:
        sys.exit(f"no memory group: {e}")


if __name__ == "__main__":
    main()

"""Throughput of taskelon's quantum-volume list against NumPy.

For n = 512 (130,816 operations) it times, in one child process per thread
count (OMP_NUM_THREADS), taskelon.build_qv_op_list_ultra end to end (native
loop plus the conversion into a Python list of CircuitInstruction objects),
and, in the same run, generating the same number of Haar-random 4x4 unitaries
with NumPy: one complex Gaussian batch, numpy.linalg.qr on the stacked batch,
and the phase correction of the columns.  Best of --repeat runs each.
When the Google Benchmark program taskelon_native_bench is found (the build's
bench/ folder next to the module folder), it also reports the native loop
alone (no conversion to Python objects) for the same thread counts.

Usage: python3 bench/taskelon_bench.py [--module-dir DIR] [--n 512]
       [--threads 1,8] [--repeat 5]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]


def child(module_dir, n, repeat):
    sys.path.insert(0, module_dir)
    import numpy as np

    import circuit_records  # noqa: F401  (registers CircuitInstruction)
    import taskelon

    count = n * (n // 2)
    taskelon.build_qv_op_list_ultra(n, 0, 1)  # warm the thread team and allocator
    best_qv = float("inf")
    for r in range(repeat):
        t0 = time.perf_counter()
        ops = taskelon.build_qv_op_list_ultra(n, 0, r)
        best_qv = min(best_qv, time.perf_counter() - t0)
        assert len(ops) == count
        del ops

    rng = np.random.default_rng(0)
    best_np = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        a = rng.standard_normal((count, 4, 4)) + 1j * rng.standard_normal((count, 4, 4))
        q, r_ = np.linalg.qr(a)
        d = np.diagonal(r_, axis1=1, axis2=2)
        q = q * (d.conj() / np.abs(d))[:, None, :]
        best_np = min(best_np, time.perf_counter() - t0)
        del a, q, r_, d
    print(json.dumps({"count": count, "taskelon_s": best_qv, "numpy_s": best_np}))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--module-dir", default=os.environ.get("QTK_MODULE_DIR", str(ROOT / "build" / "python")))
    p.add_argument("--n", type=int, default=512)
    p.add_argument("--threads", default="1,8")
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        child(args.module_dir, args.n, args.repeat)
        return
    print(f"n = {args.n}: {args.n * (args.n // 2):,} operations; best of {args.repeat}")
    native = pathlib.Path(args.module_dir).parent / "bench" / "taskelon_native_bench"
    header = f"{'threads':>7} {'taskelon ops/s':>15} {'numpy ops/s':>13} {'ratio':>7}"
    if native.exists():
        header += f" {'native ops/s':>15} {'ratio':>7}"
    print(header)
    for t in args.threads.split(","):
        env = dict(os.environ, OMP_NUM_THREADS=t)
        out = subprocess.run([sys.executable, __file__, "--child", "--module-dir", args.module_dir,
                              "--n", str(args.n), "--repeat", str(args.repeat)],
                             env=env, check=True, capture_output=True, text=True).stdout
        res = json.loads(out)
        qv = res["count"] / res["taskelon_s"]
        ref = res["count"] / res["numpy_s"]
        line = f"{t:>7} {qv:>15,.0f} {ref:>13,.0f} {qv / ref:>6.1f}x"
        if native.exists():
            out = subprocess.run([str(native), f"--benchmark_filter=BuildQvOpList/{args.n}/",
                                  "--benchmark_format=json"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            runs = json.loads(out)["benchmarks"]  # empty when n is not one of its sizes
            if runs:
                nat = runs[0]["items_per_second"]
                line += f" {nat:>15,.0f} {nat / ref:>6.1f}x"
        print(line)


if __name__ == "__main__":
    main()

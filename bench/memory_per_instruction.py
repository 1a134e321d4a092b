"""Memory per returned instruction of the three builders (ostrevel, dulmire,
taskelon): the figures their memory checks are sized from.  Not a test.

Run inside the root:

    tools/in-root.sh python3 bench/memory_per_instruction.py [taskelon|dulmire|ostrevel ...]

Every measurement runs in a fresh process that imports the modules, warms the
builder up on a small request (code pages, the OpenMP thread team and its
stacks, malloc arenas), then records its resident size, makes one request and
reports
  peak      growth of the resident high-water mark (ru_maxrss) over the
            resident size before the call: everything alive at once during
            the call (the C++ vector being filled, the copy made when the
            result is handed to Python, the Python objects);
  retained  growth of the resident size with the result still referenced;
            for ostrevel and dulmire it includes the small heap blocks of
            the C++ original, freed after the copy but interleaved with the
            copy's, which malloc keeps.
Bytes per instruction are given per size and as the slope between the
smallest and the largest size of a case (which drops the fixed costs).

For ostrevel the same layers are built with a parameter-free rotation block
("H" instead of "RY", equally many instructions): the difference divided by
the parameter count is what a ParameterEntry (and the parameter name held by
its instruction) costs.  A long prefix pushes every name out of the string's
inline buffer into a heap block of its own.

Figures depend on the allocator (glibc malloc: 16-byte granularity, 32-byte
smallest chunk, blocks of 128 KiB and more mapped on their own) and on
sizeof(CircuitInstruction), printed first."""
import json
import os
import pathlib
import resource
import subprocess
import sys

MODULE_DIR = os.environ.get("QTK_MODULE_DIR", str(pathlib.Path(__file__).resolve().parents[1] / "build" / "python"))


def block(name):
    return type(name, (), {})


def n_local_args(n, rot, ent, kind, reps, prefix="theta"):
    """build_n_local_data's arguments with the blocks given by name (made into
    classes in the measuring process)."""
    return (n, rot, ent, [kind] * len(ent), reps, False, prefix, False, False, "")


# Each case maps a size to (builder, arguments, instructions returned, parameters).
def _qv(n):
    return ("taskelon", (n, 0, 7), n * (n // 2), 0)


def _clifford(gates):
    return lambda g: ("dulmire", (100, g, gates, 3), g, 0)


def _n_local(rot, ent, prefix="theta", n=4):
    # n - 1 "linear" tuples per entangling block, n rotations per rotation block
    per_rep = n * len(rot) + (n - 1) * len(ent)
    params = n * sum(r != "H" for r in rot) + (n - 1) * sum(e not in ("CX", "CZ") for e in ent)
    return lambda reps: ("ostrevel", n_local_args(n, rot, ent, "linear", reps, prefix), reps * per_rep,
                         reps * params)


REPS = [150_000, 300_000, 450_000, 600_000]  # 1.05M .. 4.2M instructions for 4 qubits, one block each
CASES = {
    "taskelon n": (_qv, [1000, 1500, 2000]),
    "dulmire all": (_clifford("all"), [1_000_000, 2_000_000, 3_000_000, 4_000_000]),
    "dulmire h": (_clifford(["h"]), [1_000_000, 2_000_000, 3_000_000, 4_000_000]),
    "dulmire cx": (_clifford(["cx"]), [1_000_000, 2_000_000, 3_000_000, 4_000_000]),
    "ostrevel H+CX": (_n_local(["H"], ["CX"]), REPS),
    "ostrevel RY+CX": (_n_local(["RY"], ["CX"]), REPS),
    "ostrevel RY+CRZ": (_n_local(["RY"], ["CRZ"]), REPS),
    "ostrevel RY+RZZ": (_n_local(["RY"], ["RZZ"]), REPS),
    "ostrevel RY+CX long prefix": (_n_local(["RY"], ["CX"], "a_rather_long_parameter_prefix"), REPS),
}
WARM = {"taskelon": (64, 0, 1), "dulmire": (100, 10_000, "all", 1),
        "ostrevel": n_local_args(4, ["RY"], ["CRZ"], "linear", 2000)}


def resident():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) * 1024


def child(builder, args):
    sys.path.insert(0, MODULE_DIR)
    import circuit_records  # noqa: F401  (registers the record types first)
    import dulmire
    import ostrevel
    import taskelon
    fn = {"taskelon": taskelon.build_qv_op_list, "dulmire": dulmire.build_random_clifford_data,
          "ostrevel": ostrevel.build_n_local_data}[builder]
    if builder == "ostrevel":
        fn = lambda n, rot, ent, *rest, build=fn: build(n, [block(g) for g in rot], [block(g) for g in ent], *rest)
    warm = fn(*WARM[builder])
    del warm
    try:  # reset the high-water mark to the current size where the kernel allows it
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = resident()
    hwm_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = fn(*args)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    after = resident()  # with the result still referenced
    print(json.dumps({"peak": peak - before, "retained": after - before,
                      "hwm_above_rss_before": max(0, hwm_before - before)}))
    del result


def measure(builder, args):
    out = subprocess.run([sys.executable, __file__, "--child", json.dumps([builder, args])],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main(selected):
    print("sizeof(CircuitInstruction) = 208 bytes (x86-64 libstdc++: 4 strings of 32, 3 vectors of 24, variant of 32, "
          "2 bools padded to 8); ParameterEntry = 64 bytes")
    header = f"{'case':28s} {'size':>9s} {'instructions':>12s} {'peak MiB':>9s} {'B/ins peak':>10s} " \
             f"{'retained MiB':>12s} {'B/ins kept':>10s}"
    per_param = {}
    slopes = {}
    for name, (make, sizes) in CASES.items():
        if selected and not any(name.startswith(s) for s in selected):
            continue
        print(header if not slopes else "", flush=True)
        rows = []
        for size in sizes:
            builder, args, count, params = make(size)
            m = measure(builder, list(args))
            if m["hwm_above_rss_before"] > 1 << 20:
                print(f"  (high-water mark {m['hwm_above_rss_before'] / 2**20:.1f} MiB above the baseline: "
                      "peak understated)")
            rows.append((count, params, m))
            print(f"{name:28s} {size:9d} {count:12d} {m['peak'] / 2**20:9.1f} {m['peak'] / count:10.1f} "
                  f"{m['retained'] / 2**20:12.1f} {m['retained'] / count:10.1f}", flush=True)
        (c0, p0, m0), (c1, p1, m1) = rows[0], rows[-1]
        slopes[name] = ((m1["peak"] - m0["peak"]) / (c1 - c0), (m1["retained"] - m0["retained"]) / (c1 - c0),
                        (p1 - p0) / (c1 - c0))
        per_param[name] = rows
        print(f"{name:28s} slope: {slopes[name][0]:.1f} B/instruction at the peak, {slopes[name][1]:.1f} retained")
    print()
    print("Per instruction (slope between the smallest and largest size):")
    for name, (peak, kept, params) in slopes.items():
        print(f"  {name:28s} peak {peak:7.1f} B   retained {kept:7.1f} B   ({params:.2f} parameters/instruction)")
    # ParameterEntry: the parameterised layers against the parameter-free ones of equal instruction count.
    base = per_param.get("ostrevel H+CX")
    if base:
        print("Per parameter (ostrevel, against H+CX with as many instructions):")
        for name, rows in per_param.items():
            if not name.startswith("ostrevel") or name == "ostrevel H+CX":
                continue
            extra_peak = [(r[2]["peak"] - b[2]["peak"]) / r[1] for r, b in zip(rows, base)]
            extra_kept = [(r[2]["retained"] - b[2]["retained"]) / r[1] for r, b in zip(rows, base)]
            print(f"  {name:28s} peak +{max(extra_peak):6.1f} B/parameter (largest over the sizes)   "
                  f"retained +{max(extra_kept):6.1f} B/parameter")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(*json.loads(sys.argv[2]))
    else:
        main(sys.argv[1:])

"""ostrevel.build_n_local_data: gate tables, layers, parameter naming,
argument conversion and error handling."""
import itertools
import types

import numpy as np
import pytest

import circuit_records as cr
import ostrevel

build = ostrevel.build_n_local_data


def block(name):
    """A class named after the gate, or an object carrying a non-str __name__."""
    return type(name, (), {}) if isinstance(name, str) else types.SimpleNamespace(__name__=name)


def run(n, rot=(), ent=(), kinds=(), reps=1, prefix="theta", final=False):
    return build(n, [block(g) for g in rot], [block(g) for g in ent], list(kinds), reps, False, prefix, final,
                 False, "")


def ops(circuit):  # (name, controls..., target, param_name) per instruction
    return [(i.name, *i.controls, *i.targets, i.param_name) for i in circuit.instructions]


def pairs(circuit):
    return [(*i.controls, *i.targets) for i in circuit.instructions]


TABLE = {  # name: (parameters, qubits)
    **dict.fromkeys("H I ID T SX X Y Z S SY".split(), (0, 1)), **dict.fromkeys("RX RY RZ P U1".split(), (1, 1)),
    **dict.fromkeys(["U2", "R"], (2, 1)), **dict.fromkeys(["U3", "U"], (3, 1)),
    **dict.fromkeys("SWAP ISWAP CNOT CX CZ".split(), (0, 2)),
    **dict.fromkeys("IsingZZ RXX RYY RZZ CRX CRY CRZ".split(), (1, 2))}


@pytest.mark.parametrize("name", sorted(TABLE))
def test_every_table_gate_is_placed_with_its_counts(name):
    params, qubits = TABLE[name]
    c = run(4, rot=[name], reps=0, final=True)
    assert len(c.instructions) == (4 if qubits == 1 else 2)
    assert c.num_parameters == (len(c.instructions) if params else 0)  # one index per gate, whatever its count
    assert all(i.name == name and i.parameterized == (params >= 1) for i in c.instructions)
    assert all(len(i.controls) == qubits - 1 and len(i.targets) == 1 for i in c.instructions)


@pytest.mark.parametrize("name", ["CY", "CU3", "ISINGZZ", "cx", "", "CCX"])
def test_names_without_qubit_count_raise_index_error(name):
    for kwargs in [dict(n=2, rot=[name], reps=0, final=True), dict(n=2, ent=[name], kinds=["full"]),
                   dict(n=0, ent=[name], kinds=["full"], reps=0)]:
        with pytest.raises(IndexError, match="^unordered_map::at$"):
            run(kwargs.pop("n"), **kwargs)


def test_worked_examples():
    c = run(3, rot=["RY"], ent=["CRZ"], kinds=["circular"], reps=1, final=True)
    assert c.num_parameters == 9 and c.num_qubits == 3 and c.parameter_prefix == "theta"
    assert ops(c) == [("RY", q, f"theta[{q}]") for q in range(3)] + [
        ("CRZ", 2, 0, "theta[3]"), ("CRZ", 0, 1, "theta[4]"), ("CRZ", 1, 2, "theta[5]")] + [
        ("RY", q, f"theta[{q + 6}]") for q in range(3)]
    c = run(4, rot=["RX", "U3"], ent=["CX"], kinds=["full"], reps=2)
    full = [("CX", a, b, "") for a, b in [(2, 3), (1, 3), (1, 2), (0, 3), (0, 2), (0, 1)]]
    rotations = [(g, q) for g in ("RX", "U3") for q in range(4)]
    rep = [[(g, q, f"theta[{8 * r + p}]") for p, (g, q) in enumerate(rotations)] + full for r in range(2)]
    assert c.num_parameters == 16 and ops(c) == rep[0] + rep[1]


def reference_tuples(kind, n):
    lin = [(s, s + 1) for s in range(n - 1)]
    return {"full": sorted(itertools.combinations(range(n), 2), reverse=True), "linear": lin,
            "reverse_linear": lin[::-1], "pairwise": lin[0::2] + (lin[1::2] if n > 2 else []),
            "circular": [(n - 1, 0)] + lin if n >= 2 else [(0, 0)]}[kind]


@pytest.mark.parametrize("kind", ["full", "linear", "reverse_linear", "pairwise", "circular"])
@pytest.mark.parametrize("n", range(1, 7))
def test_entanglement_tuples_against_independent_construction(kind, n):
    expected = reference_tuples(kind, n)
    assert pairs(run(n, ent=["CX"], kinds=[kind])) == expected
    # A parameterised block takes one index per tuple, in tuple order.
    c = run(n, ent=["CRX"], kinds=[kind])
    assert [i.param_name for i in c.instructions] == [f"theta[{i}]" for i in range(len(expected))]


def test_layers_place_blocks_in_order():
    # One-qubit entanglement blocks ignore their type, even an unknown one.
    assert ops(run(3, ent=["CX", "RY", "CZ"], kinds=["linear", "whatever", "reverse_linear"])) == [
        ("CX", 0, 1, ""), ("CX", 1, 2, ""), ("RY", 0, "theta[0]"), ("RY", 1, "theta[1]"),
        ("RY", 2, "theta[2]"), ("CZ", 1, 2, ""), ("CZ", 0, 1, "")]
    assert ops(run(4, rot=["RY", "RXX"], reps=1)) == [("RY", q, f"theta[{q}]") for q in range(4)] + [
        ("RXX", 0, 1, "theta[4]"), ("RXX", 2, 3, "theta[5]")]
    assert pairs(run(5, rot=["CX"])) == [(0, 1), (2, 3)]  # qubit 4 gets no gate
    # Entries beyond the blocks are converted but unused.
    assert pairs(run(3, ent=["CX"], kinds=["linear", "circular", "bogus"])) == [(0, 1), (1, 2)]
    with pytest.raises(RuntimeError):
        run(3, ent=["CX"], kinds=["linear", 5])
    for bad in ["ring", "Full", ""]:  # checked when a layer runs, not before
        with pytest.raises(RuntimeError, match=f"^entanglement type {bad} not supported$"):
            run(3, rot=["RY"], ent=["CX"], kinds=[bad])
        assert run(3, rot=["RY"], ent=["CX"], kinds=[bad], reps=0, final=True).num_parameters == 3


def test_parameter_names_and_their_use():
    c = run(3, rot=["RY", "CX"], ent=["CRZ"], kinds=["circular"], reps=2, prefix="φ x")  # 2 * (3 + 3)
    names = [p.name for p in c.parameters]
    assert names == [f"φ x[{i}]" for i in range(12)] and c.num_parameters == 12 and c.parameter_prefix == "φ x"
    assert [i.param_name for i in c.instructions if i.parameterized] == names
    assert c.opaque_ptr != 0 and c.opaque_int == 0
    empty = run(3, rot=["RY"], ent=["CX"], kinds=["full"], reps=0)
    assert empty.instructions == [] and empty.parameters == [] and empty.num_qubits == 3


def test_sizes_at_the_edges():
    assert len(run(3, ent=["RY", "RZ"], kinds=[]).instructions) == 6  # one-qubit blocks need no type
    assert run(46341, ent=["CRX"], kinds=["full"], reps=0).num_parameters == 0  # largest C(n, 2) that fits
    assert run(0, rot=["NOT_A_GATE"], reps=2, final=True).instructions == []
    assert run(0, ent=["CRZ"], kinds=["full"], reps=2).num_parameters == 0
    with pytest.raises(RuntimeError, match="^Parameters count mismatch$"):
        run(0, ent=["CRZ"], kinds=["linear"])
    for kind in ["full", "linear", "reverse_linear", "pairwise"]:
        assert run(1, rot=["CX", "IsingZZ"], ent=["CRX"], kinds=[kind], final=True).instructions == []
    c = run(1, rot=["RY"], ent=["CRZ"], kinds=["circular"], final=True)
    assert ops(c) == [("RY", 0, "theta[0]"), ("CRZ", 0, 0, "theta[1]"), ("RY", 0, "theta[2]")]


@pytest.mark.parametrize("args, message", [
    (dict(n=-1, rot=["RY"]), "num_qubits must not be negative"),
    (dict(n=3, rot=["RY"], reps=-1, final=True), "reps must not be negative"),
    (dict(n=3, ent=["RY", "CX"], kinds=["linear"]), r"entanglement has 1 entries.*block 1 \(CX\)"),
    (dict(n=46342, ent=["CX"], kinds=["full"], reps=0), "too large for a \"full\" entanglement block"),
    (dict(n=1000, rot=["RY"], reps=2**31 - 1), "32-bit"),
    (dict(n=2, rot=["RY"], reps=2**30 - 1, final=True), "32-bit"),
    (dict(n=46341, ent=["CRX"], kinds=["full"], reps=3), "32-bit"),
])
def test_rejected_input_raises_value_error(args, message):
    with pytest.raises(ValueError, match=message):
        run(args.pop("n"), **args)


def args10(**over):
    base = [3, [block("RY")], [block("CX")], ["linear"], 1, False, "t", False, False, ""]
    for k, v in over.items():
        base[int(k[1:])] = v
    return base


def test_module_surface_and_accepted_conversions():
    assert isinstance(build(*args10()), cr.CircuitData)
    assert build.__doc__.strip().endswith("Build n-local circuit data in C++")
    assert [k for k in vars(ostrevel) if not k.startswith("__")] == ["build_n_local_data"]
    with pytest.raises(TypeError):  # keywords are not accepted
        build(*args10()[:9], arg9="")
    assert build(*args10(a6=b"phi", a9=bytearray(b"x"))).parameters[0].name == "phi[0]"
    assert build(3, [block(b"RX")], [block(bytearray(b"CZ"))], [b"circular"], 1, 0, "p", 0, 0, b"").num_parameters == 3
    assert len(build(*args10(a0=np.int32(3), a4=np.int64(2))).instructions) == 10  # __index__ objects
    for value, truth in [(None, False), (0.0, False), (2, True), (np.True_, True), (np.False_, False)]:
        assert len(build(*args10(a5=value, a7=value, a8=value)).instructions) == (8 if truth else 5)


@pytest.mark.parametrize("args, error", [
    (args10()[:9], TypeError), (args10() + ["extra"], TypeError),  # arity
    (args10(a1=(block("RY"),)), TypeError), (args10(a5="yes"), TypeError),  # a tuple; not a bool
    (args10(a0=4.0), TypeError), (args10(a4=2**31), TypeError), (args10(a6=5), TypeError),  # not int32; not str
    (args10(a1=[object()]), AttributeError),  # an instance has no __name__
    (args10(a2=[block(7)]), RuntimeError),  # __name__ is not a string
])
def test_rejected_conversions(args, error):
    with pytest.raises(error):
        build(*args)


def test_list_changed_by_name_lookup_is_read_safely():
    rot = []

    class Meta(type):
        @property
        def __name__(cls):
            rot.clear()  # the caller's list itself, as the module receives it
            return "RY"

    rot.extend([Meta("A", (), {}), Meta("B", (), {}), Meta("C", (), {})])
    assert [i.name for i in build(2, rot, [], [], 1, False, "t", False, False, "").instructions] == ["RY", "RY"]

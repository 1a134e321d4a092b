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


def ops(circuit, names=True):  # (name, controls..., targets..., param_name) per instruction, or the qubits only
    return [(i.name, *i.controls, *i.targets, i.param_name) if names else (*i.controls, *i.targets)
            for i in circuit.instructions]


TABLE = {name: (params, qubits) for params, qubits, names in [  # the whole vocabulary
    (0, 1, "H I ID T SX X Y Z S SY"), (1, 1, "RX RY RZ P U1"), (2, 1, "U2 R"), (3, 1, "U3 U"),
    (0, 2, "SWAP ISWAP CNOT CX CZ"), (1, 2, "IsingZZ RXX RYY RZZ CRX CRY CRZ")] for name in names.split()}


@pytest.mark.parametrize("name", sorted(TABLE))
def test_every_table_gate_is_placed_with_its_counts(name):
    params, qubits = TABLE[name]
    c = run(4, rot=[name], reps=0, final=True)
    assert len(c.instructions) == (4 if qubits == 1 else 2)
    assert c.num_parameters == (len(c.instructions) if params else 0)  # one index per gate, whatever its count
    assert all(i.name == name and i.parameterized == (params >= 1) and len(i.targets) == 1
               and len(i.controls) == qubits - 1 for i in c.instructions)


@pytest.mark.parametrize("name", ["CY", "CU3", "ISINGZZ", "cx", "", "CCX"])
def test_names_without_qubit_count_raise_index_error(name):
    for n, kwargs in [(2, dict(rot=[name], reps=0, final=True)), (2, dict(ent=[name], kinds=["full"])),
                      (0, dict(ent=[name], kinds=["full"], reps=0))]:
        with pytest.raises(IndexError, match="^unordered_map::at$"):
            run(n, **kwargs)


def test_worked_examples_and_parameter_names():
    c = run(3, rot=["RY"], ent=["CRZ"], kinds=["circular"], reps=1, prefix="φ x", final=True)
    p = [f"φ x[{i}]" for i in range(9)]
    assert (c.num_qubits, c.parameter_prefix, c.num_parameters, [e.name for e in c.parameters]) == (3, "φ x", 9, p)
    assert ops(c) == [("RY", q, p[q]) for q in range(3)] + [
        ("CRZ", 2, 0, p[3]), ("CRZ", 0, 1, p[4]), ("CRZ", 1, 2, p[5])] + [("RY", q, p[q + 6]) for q in range(3)]
    assert c.opaque_ptr != 0 and c.opaque_int == 0
    c = run(4, rot=["RX", "U3"], ent=["CX"], kinds=["full"], reps=2)
    full = [("CX", a, b, "") for a, b in [(2, 3), (1, 3), (1, 2), (0, 3), (0, 2), (0, 1)]]
    rotations = [(g, q) for g in ("RX", "U3") for q in range(4)]
    assert c.num_parameters == 16 and ops(c) == [op for r in range(2) for op in [
        (g, q, f"theta[{8 * r + p}]") for p, (g, q) in enumerate(rotations)] + full]
    empty = run(3, rot=["RY"], ent=["CX"], kinds=["full"], reps=0)
    assert empty.instructions == [] and empty.parameters == [] and empty.num_qubits == 3


@pytest.mark.parametrize("kind", ["full", "linear", "reverse_linear", "pairwise", "circular"])
@pytest.mark.parametrize("n", range(1, 7))
def test_entanglement_tuples_against_independent_construction(kind, n):
    lin = [(s, s + 1) for s in range(n - 1)]
    expected = {"full": sorted(itertools.combinations(range(n), 2), reverse=True), "linear": lin,
                "reverse_linear": lin[::-1], "pairwise": lin[0::2] + (lin[1::2] if n > 2 else []),
                "circular": [(n - 1, 0)] + lin if n >= 2 else [(0, 0)]}[kind]
    assert ops(run(n, ent=["CX"], kinds=[kind]), names=False) == expected
    # A parameterised block takes one index per tuple, in tuple order.
    c = run(n, ent=["CRX"], kinds=[kind])
    assert [i.param_name for i in c.instructions] == [f"theta[{i}]" for i in range(len(expected))]


def test_layers_place_blocks_in_order():
    # One-qubit entanglement blocks ignore their type, even an unknown one.
    assert ops(run(3, ent=["CX", "RY", "CZ"], kinds=["linear", "whatever", "reverse_linear"])) == [
        ("CX", 0, 1, ""), ("CX", 1, 2, ""), ("RY", 0, "theta[0]"), ("RY", 1, "theta[1]"),
        ("RY", 2, "theta[2]"), ("CZ", 1, 2, ""), ("CZ", 0, 1, "")]
    assert ops(run(5, rot=["RY", "RXX"], reps=1)) == [("RY", q, f"theta[{q}]") for q in range(5)] + [
        ("RXX", 0, 1, "theta[5]"), ("RXX", 2, 3, "theta[6]")]  # qubit 4 gets no pair
    # Entries beyond the blocks are converted (see test_rejected_conversions) but unused.
    assert ops(run(3, ent=["CX"], kinds=["linear", "circular", "bogus"]), names=False) == [(0, 1), (1, 2)]
    for bad in ["ring", "Full", ""]:  # checked when a layer runs, not before
        with pytest.raises(RuntimeError, match=f"^entanglement type {bad} not supported$"):
            run(3, rot=["RY"], ent=["CX"], kinds=[bad])
        assert run(3, rot=["RY"], ent=["CX"], kinds=[bad], reps=0, final=True).num_parameters == 3


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


@pytest.mark.parametrize("n, kwargs, message", [
    (-1, dict(rot=["RY"]), "num_qubits must not be negative"),
    (3, dict(rot=["RY"], reps=-1, final=True), "reps must not be negative"),
    (3, dict(ent=["RY", "CX"], kinds=["linear"]), r"entanglement has 1 entries.*block 1 \(CX\)"),
    (46342, dict(ent=["CX"], kinds=["full"], reps=0), "too large for a \"full\" entanglement block"),
    (1000, dict(rot=["RY"], reps=2**31 - 1), "32-bit"), (2, dict(rot=["RY"], reps=2**30 - 1, final=True), "32-bit"),
    (46341, dict(ent=["CRX"], kinds=["full"], reps=3), "32-bit")])
def test_rejected_input_raises_value_error(n, kwargs, message):
    with pytest.raises(ValueError, match=message):
        run(n, **kwargs)


def args10(**over):  # the ten positional arguments, argument i replaced by a<i>=value
    base = [3, [block("RY")], [block("CX")], ["linear"], 1, False, "t", False, False, ""]
    return [over.get(f"a{i}", value) for i, value in enumerate(base)]


def test_module_surface_and_accepted_conversions():
    assert isinstance(build(*args10()), cr.CircuitData)
    assert build.__doc__.strip().endswith("Build n-local circuit data in C++")
    assert [k for k in vars(ostrevel) if not k.startswith("__")] == ["build_n_local_data"]
    assert build(*args10(a6=b"phi", a9=bytearray(b"x"))).parameters[0].name == "phi[0]"
    assert build(3, [block(b"RX")], [block(bytearray(b"CZ"))], [b"circular"], 1, 0, "p", 0, 0, b"").num_parameters == 3
    assert len(build(*args10(a0=np.int32(3), a4=np.int64(2))).instructions) == 10  # __index__ objects
    for value, truth in [(None, False), (0.0, False), (2, True), (np.True_, True), (np.False_, False)]:
        assert len(build(*args10(a5=value, a7=value, a8=value)).instructions) == (8 if truth else 5)


@pytest.mark.parametrize("args, kwargs, error", [
    (args10()[:9], {}, TypeError), (args10() + ["extra"], {}, TypeError), (args10()[:9], {"arg9": ""}, TypeError),
    (args10(a1=(block("RY"),)), {}, TypeError), (args10(a5="yes"), {}, TypeError),  # a tuple; not a bool
    (args10(a0=4.0), {}, TypeError), (args10(a4=2**31), {}, TypeError), (args10(a6=5), {}, TypeError),
    (args10(a1=[object()]), {}, AttributeError),  # an instance has no __name__
    (args10(a2=[block(7)]), {}, RuntimeError), (args10(a3=["linear", 5]), {}, RuntimeError)])  # not a string
def test_rejected_conversions(args, kwargs, error):
    with pytest.raises(error):
        build(*args, **kwargs)


def test_list_changed_by_name_lookup_is_read_safely():
    rot = []  # the module receives the caller's list itself; looking up a name empties it
    meta = type("Meta", (type,), {"__name__": property(lambda cls: rot.clear() or "RY")})
    rot.extend(meta(k, (), {}) for k in "ABC")
    assert [i.name for i in build(2, rot, [], [], 1, False, "t", False, False, "").instructions] == ["RY", "RY"]

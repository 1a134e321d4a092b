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
    """A block object the way callers pass them: a class named after the gate
    (or, for a non-str name, an object carrying that __name__)."""
    if isinstance(name, str):
        return type(name, (), {})
    return types.SimpleNamespace(__name__=name)


def run(n, rot=(), ent=(), types=(), reps=1, prefix="theta", final=False):
    return build(n, [block(g) for g in rot], [block(g) for g in ent], list(types), reps, False, prefix, final,
                 False, "")


def ops(circuit):
    """(name, controls..., target, param_name) per instruction."""
    return [(i.name, *i.controls, *i.targets, i.param_name) for i in circuit.instructions]


def pairs(circuit):
    return [(*i.controls, *i.targets) for i in circuit.instructions]


# ---------------------------------------------------------------- gate tables
TABLE = {  # name: (parameters, qubits)
    "H": (0, 1), "I": (0, 1), "ID": (0, 1), "T": (0, 1), "SX": (0, 1), "X": (0, 1), "Y": (0, 1), "Z": (0, 1),
    "S": (0, 1), "SY": (0, 1), "RX": (1, 1), "RY": (1, 1), "RZ": (1, 1), "P": (1, 1), "U1": (1, 1),
    "U2": (2, 1), "R": (2, 1), "U3": (3, 1), "U": (3, 1), "SWAP": (0, 2), "ISWAP": (0, 2), "CNOT": (0, 2),
    "CX": (0, 2), "CZ": (0, 2), "IsingZZ": (1, 2), "RXX": (1, 2), "RYY": (1, 2), "RZZ": (1, 2),
    "CRX": (1, 2), "CRY": (1, 2), "CRZ": (1, 2),
}
UNPLACEABLE = ["CY", "CU1", "CU2", "CU3", "ISINGZZ", "cx", "Rx", "", "CCX"]


@pytest.mark.parametrize("name", sorted(TABLE))
def test_every_table_gate_is_placed_with_its_counts(name):
    params, qubits = TABLE[name]
    c = run(4, rot=[name], reps=0, final=True)
    assert len(c.instructions) == (4 if qubits == 1 else 2)
    assert c.num_parameters == (len(c.instructions) if params else 0)
    for ins in c.instructions:
        assert ins.name == name and ins.parameterized == (params >= 1)
        assert len(ins.controls) == qubits - 1 and len(ins.targets) == 1


@pytest.mark.parametrize("name", UNPLACEABLE)
@pytest.mark.parametrize("where", ["rotation", "entanglement", "entanglement_zero_qubits"])
def test_names_without_qubit_count_raise_index_error(name, where):
    with pytest.raises(IndexError, match="^unordered_map::at$"):
        if where == "rotation":
            run(2, rot=[name], reps=0, final=True)
        elif where == "entanglement":
            run(2, ent=[name], types=["full"])
        else:
            run(0, ent=[name], types=["full"], reps=0)


# ------------------------------------------------------------ worked examples
def test_worked_example_circular_crz_with_final_layer():
    c = run(3, rot=["RY"], ent=["CRZ"], types=["circular"], reps=1, final=True)
    assert c.num_parameters == 9 and c.num_qubits == 3 and c.parameter_prefix == "theta"
    assert ops(c) == [
        ("RY", 0, "theta[0]"), ("RY", 1, "theta[1]"), ("RY", 2, "theta[2]"),
        ("CRZ", 2, 0, "theta[3]"), ("CRZ", 0, 1, "theta[4]"), ("CRZ", 1, 2, "theta[5]"),
        ("RY", 0, "theta[6]"), ("RY", 1, "theta[7]"), ("RY", 2, "theta[8]"),
    ]


def test_worked_example_rx_u3_full_cx_two_reps():
    c = run(4, rot=["RX", "U3"], ent=["CX"], types=["full"], reps=2)
    assert c.num_parameters == 16 and len(c.instructions) == 28
    expected, p = [], 0
    for _ in range(2):
        for g in ("RX", "U3"):
            for q in range(4):
                expected.append((g, q, f"theta[{p}]"))
                p += 1
        expected += [("CX", a, b, "") for a, b in [(2, 3), (1, 3), (1, 2), (0, 3), (0, 2), (0, 1)]]
    assert ops(c) == expected


# --------------------------------------------------------- entanglement tuples
def reference_tuples(kind, n):
    lin = [(s, s + 1) for s in range(n - 1)]
    if kind == "full":
        return sorted(itertools.combinations(range(n), 2), reverse=True)
    if kind == "linear":
        return lin
    if kind == "reverse_linear":
        return lin[::-1]
    if kind == "pairwise":
        return lin[0::2] + (lin[1::2] if n > 2 else [])
    if kind == "circular":
        return [(n - 1, 0)] + lin if n >= 2 else [(0, 0)]


KINDS = ["full", "linear", "reverse_linear", "pairwise", "circular"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", range(1, 7))
def test_entanglement_tuples_against_independent_construction(kind, n):
    expected = reference_tuples(kind, n)
    assert pairs(run(n, ent=["CX"], types=[kind])) == expected
    # A parameterised block takes one index per tuple, in tuple order.
    c = run(n, ent=["CRX"], types=[kind])
    assert c.num_parameters == len(expected)
    assert [i.param_name for i in c.instructions] == [f"theta[{i}]" for i in range(len(expected))]


def test_entanglement_table_for_four_and_five_qubits():
    table = {
        "full": ("(2,3) (1,3) (1,2) (0,3) (0,2) (0,1)",
                 "(3,4) (2,4) (2,3) (1,4) (1,3) (1,2) (0,4) (0,3) (0,2) (0,1)"),
        "linear": ("(0,1) (1,2) (2,3)", "(0,1) (1,2) (2,3) (3,4)"),
        "reverse_linear": ("(2,3) (1,2) (0,1)", "(3,4) (2,3) (1,2) (0,1)"),
        "pairwise": ("(0,1) (2,3) (1,2)", "(0,1) (2,3) (1,2) (3,4)"),
        "circular": ("(3,0) (0,1) (1,2) (2,3)", "(4,0) (0,1) (1,2) (2,3) (3,4)"),
    }
    for kind, texts in table.items():
        for n, text in zip((4, 5), texts):
            got = " ".join(f"({a},{b})" for a, b in pairs(run(n, ent=["SWAP"], types=[kind])))
            assert got == text, (kind, n)


@pytest.mark.parametrize("kind", KINDS + ["no such type", ""])
def test_one_qubit_entanglement_block_ignores_its_type(kind):
    c = run(4, ent=["RZ"], types=[kind], reps=2)
    assert [i.targets[0] for i in c.instructions] == [0, 1, 2, 3] * 2
    assert c.num_parameters == 8 and all(not i.controls for i in c.instructions)


def test_blocks_are_placed_in_list_order_with_own_types():
    c = run(3, ent=["CX", "RY", "CZ"], types=["linear", "whatever", "reverse_linear"])
    assert ops(c) == [("CX", 0, 1, ""), ("CX", 1, 2, ""), ("RY", 0, "theta[0]"), ("RY", 1, "theta[1]"),
                      ("RY", 2, "theta[2]"), ("CZ", 1, 2, ""), ("CZ", 0, 1, "")]


# ------------------------------------------------------------ rotation layers
def test_rotation_layer_one_and_two_qubit_blocks():
    assert ops(run(4, rot=["RY", "RXX"], reps=1)) == [
        ("RY", 0, "theta[0]"), ("RY", 1, "theta[1]"), ("RY", 2, "theta[2]"), ("RY", 3, "theta[3]"),
        ("RXX", 0, 1, "theta[4]"), ("RXX", 2, 3, "theta[5]")]
    assert pairs(run(5, rot=["CX"])) == [(0, 1), (2, 3)]  # qubit 4 gets no gate
    assert run(1, rot=["CX", "IsingZZ"], final=True).instructions == []


def test_multi_parameter_gates_take_one_index_each():
    c = run(3, rot=["U3", "R"], reps=0, final=True)
    assert c.num_parameters == 6
    assert [(i.name, i.param_name) for i in c.instructions] == [
        ("U3", "theta[0]"), ("U3", "theta[1]"), ("U3", "theta[2]"),
        ("R", "theta[3]"), ("R", "theta[4]"), ("R", "theta[5]")]


# ------------------------------------------------------------------ parameters
def test_parameter_names_and_their_use():
    c = run(3, rot=["RY", "CX"], ent=["CRZ"], types=["circular"], reps=2)  # 2 * (3 + 3) = 12
    names = [p.name for p in c.parameters]
    assert names == [f"theta[{i}]" for i in range(12)] and c.num_parameters == 12
    used = [i.param_name for i in c.instructions if i.parameterized]
    assert used == names
    for ins in c.instructions:
        assert ins.params == [] and ins.dagger is False and ins.ctrl_state == "" and ins.matrix == []
        assert ins.parameterized == (ins.param_name != "")
    assert all(p.value == [] for p in c.parameters)
    assert c.parameter_tensor is None and c.use_parameter_tensor is False and c.parameter_shape == []
    assert c.opaque_ptr != 0 and c.opaque_int == 0


def test_prefix_is_used_verbatim():
    c = run(2, rot=["RX"], reps=0, final=True, prefix="φ x")
    assert [p.name for p in c.parameters] == ["φ x[0]", "φ x[1]"] and c.parameter_prefix == "φ x"
    assert [p.name for p in run(1, rot=["RX"], reps=0, final=True, prefix="").parameters] == ["[0]"]


# ------------------------------------------------------- reps and final layer
def test_reps_and_final_layer():
    empty = run(3, rot=["RY"], ent=["CX"], types=["full"], reps=0)
    assert empty.instructions == [] and empty.num_parameters == 0 and empty.parameters == []
    assert empty.num_qubits == 3 and empty.parameter_prefix == "theta"
    only_final = run(3, rot=["RY"], ent=["CRX"], types=["full"], reps=0, final=True)
    assert only_final.num_parameters == 3 and [i.name for i in only_final.instructions] == ["RY"] * 3


def test_unknown_type_raises_only_when_a_layer_runs():
    for bad in ["ring", "Full", " full", "full ", ""]:
        with pytest.raises(RuntimeError, match=f"^entanglement type {bad} not supported$"):
            run(3, rot=["RY"], ent=["CX"], types=[bad])
        assert run(3, rot=["RY"], ent=["CX"], types=[bad], reps=0, final=True).num_parameters == 3


def test_extra_entanglement_entries_are_converted_but_unused():
    assert pairs(run(3, ent=["CX"], types=["linear", "circular", "bogus"])) == [(0, 1), (1, 2)]
    with pytest.raises(RuntimeError):
        run(3, ent=["CX"], types=["linear", 5])


# ------------------------------------------------------------ zero/one qubits
def test_zero_qubits():
    assert run(0, rot=["NOT_A_GATE"], reps=2, final=True).instructions == []
    c = run(0, rot=["RY"], ent=["CX"], types=["linear"], reps=3, final=True)
    assert c.instructions == [] and c.num_parameters == 0 and c.num_qubits == 0
    with pytest.raises(RuntimeError, match="^Parameters count mismatch$"):
        run(0, ent=["CRZ"], types=["linear"])
    with pytest.raises(RuntimeError, match="not supported"):
        run(0, ent=["CX"], types=["bogus"])
    assert run(0, ent=["CRZ"], types=["full"], reps=2).num_parameters == 0


def test_one_qubit():
    assert run(1, ent=["CRX"], types=["full"]).instructions == []
    for kind in ["linear", "reverse_linear", "pairwise"]:
        assert run(1, ent=["CX"], types=[kind]).instructions == []
    c = run(1, rot=["RY"], ent=["CRZ"], types=["circular"], final=True)
    assert ops(c) == [("RY", 0, "theta[0]"), ("CRZ", 0, 0, "theta[1]"), ("RY", 0, "theta[2]")]


# ------------------------------------------------------------------ bad input
@pytest.mark.parametrize("args, message", [
    (dict(n=-1, rot=["RY"]), "num_qubits must not be negative"),
    (dict(n=3, rot=["RY"], reps=-1), "reps must not be negative"),
    (dict(n=3, rot=["RY"], reps=-5, final=True), "reps must not be negative"),
    (dict(n=3, ent=["RY", "CX"], types=["linear"]), r"entanglement has 1 entries.*block 1 \(CX\)"),
    (dict(n=3, ent=["CX"], types=[], reps=0), r"entanglement has 0 entries.*block 0 \(CX\)"),
    (dict(n=46342, ent=["CX"], types=["full"], reps=0), "too large for a \"full\" entanglement block"),
    (dict(n=1000, rot=["RY"], reps=2**31 - 1), "32-bit"),
    (dict(n=2, rot=["RY"], reps=2**30 - 1, final=True), "32-bit"),
    (dict(n=46341, ent=["CRX"], types=["full"], reps=3), "32-bit"),
])
def test_rejected_input_raises_value_error(args, message):
    with pytest.raises(ValueError, match=message):
        run(args.pop("n"), **args)


def test_short_entanglement_list_is_fine_for_one_qubit_blocks():
    assert len(run(3, ent=["RY", "RZ"], types=[]).instructions) == 6


def test_largest_full_count_that_fits_is_accepted():
    assert run(46341, ent=["CRX"], types=["full"], reps=0).num_parameters == 0


# ----------------------------------------------------------- Python conversion
def args10(**over):
    base = [3, [block("RY")], [block("CX")], ["linear"], 1, False, "t", False, False, ""]
    for k, v in over.items():
        base[int(k[1:])] = v
    return base


def test_returns_registered_record_and_has_documented_surface():
    assert isinstance(build(*args10()), cr.CircuitData)
    assert build.__doc__.strip().endswith("Build n-local circuit data in C++")
    assert [k for k in vars(ostrevel) if not k.startswith("__")] == ["build_n_local_data"]


def test_keywords_and_wrong_arity_are_rejected():
    with pytest.raises(TypeError):
        build(*args10()[:9], arg9="")
    with pytest.raises(TypeError):
        build(*args10()[:9])
    with pytest.raises(TypeError):
        build(*args10(), "extra")


@pytest.mark.parametrize("pos", [1, 2, 3])
def test_lists_must_be_lists(pos):
    a = args10()
    a[pos] = tuple(a[pos])
    with pytest.raises(TypeError):
        build(*a)

    class Sub(list):
        pass

    a[pos] = Sub(a[pos])
    assert len(build(*a).instructions) == 5


def test_bytes_and_bytearray_strings():
    c = build(*args10(a6=b"phi", a9=bytearray(b"x")))
    assert c.parameter_prefix == "phi" and c.parameters[0].name == "phi[0]"
    assert build(3, [block(b"RX")], [block(bytearray(b"CZ"))], [b"circular"], 1, 0, "p", 0, 0, b"").num_parameters == 3


@pytest.mark.parametrize("value, truth", [(None, False), (0, False), (0.0, False), (False, False),
                                          (2, True), (np.True_, True), (np.False_, False), (1.5, True)])
def test_bool_positions(value, truth):
    c = build(*args10(a5=value, a7=value, a8=value))
    assert len(c.instructions) == (8 if truth else 5)


@pytest.mark.parametrize("pos", [5, 7, 8])
@pytest.mark.parametrize("value", ["yes", [1], ""])
def test_non_bool_rejected(pos, value):
    with pytest.raises(TypeError):
        build(*args10(**{f"a{pos}": value}))


@pytest.mark.parametrize("pos", [0, 4])
@pytest.mark.parametrize("value", [4.0, 2**31, -2**31 - 1, "3", None])
def test_int_positions_reject_non_int32(pos, value):
    with pytest.raises(TypeError):
        build(*args10(**{f"a{pos}": value}))


def test_int_positions_accept_index_objects():
    class Three:
        def __index__(self):
            return 3

    assert len(build(*args10(a0=Three(), a4=np.int64(2))).instructions) == 10


@pytest.mark.parametrize("pos", [6, 9])
def test_string_positions_reject_non_strings(pos):
    with pytest.raises(TypeError):
        build(*args10(**{f"a{pos}": 5}))


def test_block_name_errors():
    class NoName:
        pass

    with pytest.raises(AttributeError):
        build(*args10(a1=[NoName()]))  # an instance has no __name__
    with pytest.raises(RuntimeError):
        build(*args10(a2=[block(7)]))


def test_list_changed_by_name_lookup_is_read_safely():
    rot = []

    class Meta(type):
        @property
        def __name__(cls):
            rot.clear()  # the caller's list itself, as the module receives it
            return "RY"

    rot.extend([Meta("A", (), {}), Meta("B", (), {}), Meta("C", (), {})])
    c = build(2, rot, [], [], 1, False, "t", False, False, "")
    assert [i.name for i in c.instructions] == ["RY", "RY"]

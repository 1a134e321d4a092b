"""The registered Python types of the circuit records."""
import copy
import sys

import pytest

import circuit_records as cr


def test_circuit_data_defaults_and_round_trips():
    c = cr.CircuitData(3, "theta")
    assert (c.num_qubits, c.parameter_prefix, c.num_parameters, c.instructions, c.parameters) == (3, "theta", 0, [], [])
    assert (c.opaque_ptr, c.parameter_buffer, c.parameter_tensor, c.parameter_shape) == (0, 0, None, [])
    assert c.opaque_int == 0 and c.use_parameter_tensor is False
    values = dict(num_qubits=5, parameter_shape=[4, 6, 2], parameter_buffer=0x1000, opaque_ptr=0xDEADBEEF,
                  opaque_int=-7, use_parameter_tensor=True)
    for name, value in values.items():
        setattr(c, name, value)
    assert {name: getattr(c, name) for name in values} == values and c.use_parameter_tensor is True
    c.parameters = [cr.ParameterEntry("theta[0]", 0.5), cr.ParameterEntry("theta[1]", [1.0, 2.0])]
    assert [(p.name, p.value) for p in c.parameters] == [("theta[0]", 0.5), ("theta[1]", [1.0, 2.0])]
    assert "num_qubits=5" in repr(c)


def test_instruction_members_and_params_alternatives():
    assert cr.CircuitInstruction().params == []  # the vector alternative, not 0.0
    ins = cr.CircuitInstruction("CRX", targets=[1], controls=[0], params=0.3,
                                parameterized=True, ctrl_state="0", dagger=True)
    assert (ins.name, ins.targets, ins.controls, ins.ctrl_state) == ("CRX", [1], [0], "0")
    assert isinstance(ins.params, float) and ins.params == 0.3 and ins.parameterized and ins.dagger
    ins.params = [0.1, 0.2]
    ins.matrix = [1, 1j, -1j, 0.5]
    assert ins.params == [0.1, 0.2] and ins.matrix == [1 + 0j, 1j, -1j, 0.5 + 0j]
    assert "CRX" in repr(ins)


def test_append_and_copies_are_independent_and_keep_the_opaque_pointer():
    c = cr.CircuitData(2)
    c.opaque_ptr = 0xFFFF_FFFF_FFFF_FFF0  # bit for bit, top bit set
    c.append(cr.CircuitInstruction("H", targets=[0]))
    c.instructions = c.instructions + [cr.CircuitInstruction("RZ", targets=[1], params=[0.1, 0.2])]
    copies = [c.copy(), copy.copy(c), copy.deepcopy(c)]
    c.num_qubits = 9
    c.instructions = []
    for x in copies:
        assert (x.num_qubits, x.opaque_ptr) == (2, 0xFFFF_FFFF_FFFF_FFF0)
        assert [(i.name, i.params) for i in x.instructions] == [("H", []), ("RZ", [0.1, 0.2])]


def test_parameter_tensor_reference_counts():
    obj = object()
    base = sys.getrefcount(obj)
    c = cr.CircuitData(1)
    c.parameter_tensor = obj
    assert c.parameter_tensor is obj
    assert sys.getrefcount(obj) == base + 1
    copies = [c.copy() for _ in range(3)]
    assert sys.getrefcount(obj) == base + 4
    del copies
    assert sys.getrefcount(obj) == base + 1
    c.parameter_tensor = obj  # re-assigning the same object keeps one reference
    assert sys.getrefcount(obj) == base + 1
    c.parameter_tensor = None
    assert sys.getrefcount(obj) == base
    c.parameter_tensor = obj
    del c
    assert sys.getrefcount(obj) == base


# The two record types have disjoint member names, so each case picks its own.
@pytest.mark.parametrize("attr,value", [
    ("num_qubits", "3"), ("num_qubits", 2**31), ("num_qubits", 1.5), ("parameter_shape", ["a"]),
    ("parameter_shape", 5), ("parameter_buffer", -1), ("opaque_ptr", "x"), ("parameter_prefix", 5),
    ("instructions", [1, 2]), ("parameters", ["p"]), ("opaque_int", None),
    ("targets", [0.5]), ("controls", "01"), ("params", "x"), ("params", [1, "a"]), ("matrix", ["z"]),
    ("name", 3), ("ctrl_state", 1),
])
def test_bad_values_raise_type_error(attr, value):
    record = next(r for r in (cr.CircuitData(1), cr.CircuitInstruction()) if hasattr(r, attr))
    with pytest.raises(TypeError):
        setattr(record, attr, value)

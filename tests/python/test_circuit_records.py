"""The registered Python types of the circuit records."""
import copy
import sys

import pytest

import circuit_records as cr


def test_circuit_data_defaults_and_round_trips():
    c = cr.CircuitData(3, "theta")
    assert (c.num_qubits, c.parameter_prefix, c.num_parameters) == (3, "theta", 0)
    assert c.instructions == [] and c.parameters == []
    assert c.opaque_ptr == 0 and c.parameter_buffer == 0 and c.parameter_tensor is None
    assert c.use_parameter_tensor is False and c.parameter_shape == [] and c.opaque_int == 0

    c.num_qubits = 5
    c.parameter_shape = [4, 6, 2]
    c.parameter_buffer = 0x1000
    c.opaque_ptr = 0xDEADBEEF
    c.opaque_int = -7
    c.use_parameter_tensor = True
    c.parameters = [cr.ParameterEntry("theta[0]", 0.5), cr.ParameterEntry("theta[1]", [1.0, 2.0])]
    assert c.num_qubits == 5 and c.parameter_shape == [4, 6, 2]
    assert c.parameter_buffer == 0x1000 and c.opaque_ptr == 0xDEADBEEF and c.opaque_int == -7
    assert c.use_parameter_tensor is True
    assert [p.name for p in c.parameters] == ["theta[0]", "theta[1]"]
    assert c.parameters[0].value == 0.5 and c.parameters[1].value == [1.0, 2.0]
    assert "num_qubits=5" in repr(c)


def test_instruction_members_and_params_alternatives():
    ins = cr.CircuitInstruction()
    assert ins.params == [] and isinstance(ins.params, list)  # vector alternative, not 0.0
    ins = cr.CircuitInstruction("CRX", targets=[1], controls=[0], params=0.3,
                                parameterized=True, ctrl_state="0", dagger=True)
    assert (ins.name, ins.targets, ins.controls) == ("CRX", [1], [0])
    assert isinstance(ins.params, float) and ins.params == 0.3
    assert ins.parameterized and ins.dagger and ins.ctrl_state == "0"
    ins.params = [0.1, 0.2]
    assert ins.params == [0.1, 0.2]
    ins.matrix = [1, 1j, -1j, 0.5]
    assert ins.matrix == [1 + 0j, 1j, -1j, 0.5 + 0j]
    assert "CRX" in repr(ins)


def test_append_and_copies_are_independent():
    c = cr.CircuitData(2)
    c.append(cr.CircuitInstruction("H", targets=[0]))
    c.instructions = c.instructions + [cr.CircuitInstruction("RZ", targets=[1], params=[0.1, 0.2])]
    d = c.copy()
    e = copy.copy(c)
    f = copy.deepcopy(c)
    c.num_qubits = 9
    c.instructions = []
    for x in (d, e, f):
        assert x.num_qubits == 2
        assert [i.name for i in x.instructions] == ["H", "RZ"]
        assert x.instructions[1].params == [0.1, 0.2]


def test_copy_keeps_opaque_pointer_bit_for_bit():
    c = cr.CircuitData(1)
    c.opaque_ptr = 0xFFFF_FFFF_FFFF_FFF0
    assert c.copy().opaque_ptr == 0xFFFF_FFFF_FFFF_FFF0


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


@pytest.mark.parametrize("attr,value", [
    ("num_qubits", "3"), ("num_qubits", 2**31), ("num_qubits", 1.5),
    ("parameter_shape", ["a"]), ("parameter_shape", 5),
    ("parameter_buffer", -1), ("opaque_ptr", "x"), ("parameter_prefix", 5),
    ("instructions", [1, 2]), ("parameters", ["p"]), ("opaque_int", None),
])
def test_bad_circuit_data_values_raise_type_error(attr, value):
    c = cr.CircuitData(1)
    with pytest.raises(TypeError):
        setattr(c, attr, value)


@pytest.mark.parametrize("attr,value", [
    ("targets", [0.5]), ("controls", "01"), ("params", "x"), ("params", [1, "a"]),
    ("matrix", ["z"]), ("name", 3), ("ctrl_state", 1),
])
def test_bad_instruction_values_raise_type_error(attr, value):
    ins = cr.CircuitInstruction()
    with pytest.raises(TypeError):
        setattr(ins, attr, value)

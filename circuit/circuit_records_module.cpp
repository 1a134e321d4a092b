// The module `circuit_records`: registers the Python types of the circuit
// records (global pybind11 classes, shared through pybind11's process-wide
// registry), so that the simulator and the builders can take and return them.
// It must be imported before any other module of the toolkit passes a record.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <sstream>

#include "circuit_data.h"

namespace py = pybind11;

namespace {

// Python view of an untyped pointer: its address as an integer, 0 for null.
std::uintptr_t address_of(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
void* pointer_from(std::uintptr_t a) { return reinterpret_cast<void*>(a); }

std::string repr_params(const ParamValue& v) {
    std::ostringstream os;
    if (const double* d = std::get_if<double>(&v)) {
        os << *d;
    } else {
        const auto& vec = std::get<std::vector<double>>(v);
        os << '[';
        for (size_t i = 0; i < vec.size(); ++i) os << (i ? ", " : "") << vec[i];
        os << ']';
    }
    return os.str();
}

template <class T>
std::string repr_ints(const std::vector<T>& v) {
    std::ostringstream os;
    os << '[';
    for (size_t i = 0; i < v.size(); ++i) os << (i ? ", " : "") << v[i];
    os << ']';
    return os.str();
}

std::string repr_instruction(const CircuitInstruction& ins) {
    std::ostringstream os;
    os << "CircuitInstruction(name='" << ins.name << "', targets=" << repr_ints(ins.targets)
       << ", controls=" << repr_ints(ins.controls);
    if (!ins.param_name.empty()) os << ", param_name='" << ins.param_name << "'";
    const auto* vec = std::get_if<std::vector<double>>(&ins.params);
    if (!vec || !vec->empty()) os << ", params=" << repr_params(ins.params);
    if (ins.parameterized) os << ", parameterized=True";
    if (ins.dagger) os << ", dagger=True";
    if (!ins.ctrl_state.empty()) os << ", ctrl_state='" << ins.ctrl_state << "'";
    if (!ins.matrix.empty()) os << ", matrix=<" << ins.matrix.size() << " entries>";
    os << ')';
    return os.str();
}

}  // namespace

PYBIND11_MODULE(circuit_records, m) {
    m.doc() = "Python types of the circuit records CircuitData, CircuitInstruction and ParameterEntry.";

    py::class_<ParameterEntry>(m, "ParameterEntry")
        .def(py::init([](std::string name, ParamValue value) {
                 return ParameterEntry{std::move(name), std::move(value)};
             }),
             py::arg("name") = std::string(), py::arg("value") = ParamValue{std::vector<double>{}})
        .def_readwrite("name", &ParameterEntry::name)
        .def_readwrite("value", &ParameterEntry::value)
        .def("__copy__", [](const ParameterEntry& e) { return e; })
        .def("__deepcopy__", [](const ParameterEntry& e, py::dict) { return e; }, py::arg("memo"))
        .def("__repr__", [](const ParameterEntry& e) {
            return "ParameterEntry(name='" + e.name + "', value=" + repr_params(e.value) + ")";
        });

    py::class_<CircuitInstruction>(m, "CircuitInstruction")
        .def(py::init([](std::string name, std::vector<int> targets, std::vector<int> controls,
                         ParamValue params, std::string param_name, bool parameterized, bool dagger,
                         std::string ctrl_state, std::vector<std::complex<double>> matrix) {
                 CircuitInstruction ins;
                 ins.name = std::move(name);
                 ins.matrix = std::move(matrix);
                 ins.targets = std::move(targets);
                 ins.controls = std::move(controls);
                 ins.param_name = std::move(param_name);
                 ins.params = std::move(params);
                 ins.parameterized = parameterized;
                 ins.dagger = dagger;
                 ins.ctrl_state = std::move(ctrl_state);
                 return ins;
             }),
             py::arg("name") = std::string(), py::arg("targets") = std::vector<int>{},
             py::arg("controls") = std::vector<int>{},
             py::arg("params") = ParamValue{std::vector<double>{}}, py::arg("param_name") = std::string(),
             py::arg("parameterized") = false, py::arg("dagger") = false,
             py::arg("ctrl_state") = std::string(),
             py::arg("matrix") = std::vector<std::complex<double>>{})
        .def_readwrite("name", &CircuitInstruction::name)
        .def_readwrite("matrix", &CircuitInstruction::matrix)
        .def_readwrite("targets", &CircuitInstruction::targets)
        .def_readwrite("controls", &CircuitInstruction::controls)
        .def_readwrite("param_name", &CircuitInstruction::param_name)
        .def_readwrite("params", &CircuitInstruction::params)
        .def_readwrite("parameterized", &CircuitInstruction::parameterized)
        .def_readwrite("dagger", &CircuitInstruction::dagger)
        .def_readwrite("ctrl_state", &CircuitInstruction::ctrl_state)
        .def("__copy__", [](const CircuitInstruction& i) { return i; })
        .def("__deepcopy__", [](const CircuitInstruction& i, py::dict) { return i; }, py::arg("memo"))
        .def("__repr__", &repr_instruction);

    py::class_<CircuitData>(m, "CircuitData")
        .def(py::init<int32_t, std::string>(), py::arg("num_qubits") = 0,
             py::arg("parameter_prefix") = std::string())
        .def_readwrite("num_qubits", &CircuitData::num_qubits)
        .def_readwrite("instructions", &CircuitData::instructions)
        .def_readwrite("parameter_prefix", &CircuitData::parameter_prefix)
        .def_readwrite("num_parameters", &CircuitData::num_parameters)
        .def_readwrite("parameters", &CircuitData::parameters)
        .def_property(
            "opaque_ptr", [](const CircuitData& c) { return address_of(c.opaque_ptr); },
            [](CircuitData& c, std::uintptr_t a) { c.opaque_ptr = pointer_from(a); })
        .def_property(
            "parameter_tensor",
            [](const CircuitData& c) -> py::object {
                if (!c.parameter_tensor) return py::none();
                return py::reinterpret_borrow<py::object>(c.parameter_tensor);
            },
            // The record owns exactly one reference while the pointer is set.
            [](CircuitData& c, py::object obj) {
                PyObject* fresh = obj.is_none() ? nullptr : obj.release().ptr();
                PyObject* old = c.parameter_tensor;
                c.parameter_tensor = fresh;
                Py_XDECREF(old);
            })
        .def_readwrite("use_parameter_tensor", &CircuitData::use_parameter_tensor)
        .def_property(
            "parameter_buffer", [](const CircuitData& c) { return address_of(c.parameter_buffer); },
            [](CircuitData& c, std::uintptr_t a) { c.parameter_buffer = pointer_from(a); })
        .def_readwrite("parameter_shape", &CircuitData::parameter_shape)
        .def_readwrite("opaque_int", &CircuitData::opaque_int)
        .def("append", [](CircuitData& c, const CircuitInstruction& i) { c.instructions.push_back(i); },
             py::arg("instruction"), "Append a copy of an instruction to the circuit.")
        .def("copy", [](const CircuitData& c) { return c; }, "A copy made by the record's copy constructor.")
        .def("__copy__", [](const CircuitData& c) { return c; })
        .def("__deepcopy__", [](const CircuitData& c, py::dict) { return c; }, py::arg("memo"))
        .def("__repr__", [](const CircuitData& c) {
            std::ostringstream os;
            os << "CircuitData(num_qubits=" << c.num_qubits << ", instructions=" << c.instructions.size()
               << ", num_parameters=" << c.num_parameters;
            if (!c.parameter_prefix.empty()) os << ", parameter_prefix='" << c.parameter_prefix << "'";
            os << ')';
            return os.str();
        });
}

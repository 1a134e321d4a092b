// Circuit records shared by every module of the toolkit.
//
// The member lists below, in this order and with these types, are a layout
// contract with every module that is built from this header (the simulator,
// the builders and the module that registers the Python types): no member may
// be added, dropped, reordered or retyped, and the records have no base
// classes and no virtual functions.
#pragma once

#include <Python.h>

#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// Parameter values of one gate or one named parameter: a single value, or the
// values of every parameter set one after another.  A new value holds the
// vector alternative, empty.
using ParamValue = std::variant<double, std::vector<double>>;

struct ParameterEntry {
    std::string name;
    ParamValue value{std::vector<double>{}};
};

class CircuitInstruction {
public:
    std::string name;
    std::vector<std::complex<double>> matrix;  // column-major; only QV ops fill it
    std::vector<int> targets;
    std::vector<int> controls;  // for MEASURE, element 0 is the classical bit
    std::string param_name;
    ParamValue params{std::vector<double>{}};
    bool parameterized = false;
    bool dagger = false;
    std::string ctrl_state;  // one character per control; '0' = open control
};

// Copies a range of instructions, in order, into new storage.  If a copy
// throws, the vector destroys the instructions already made before the
// exception passes on.
inline std::vector<CircuitInstruction> copy_instructions(const std::vector<CircuitInstruction>& src) {
    return std::vector<CircuitInstruction>(src.begin(), src.end());
}

class CircuitData {
public:
    int32_t num_qubits = 0;
    std::vector<CircuitInstruction> instructions;
    std::string parameter_prefix;
    int32_t num_parameters = 0;
    std::vector<ParameterEntry> parameters;
    void* opaque_ptr = nullptr;           // carried, never dereferenced
    PyObject* parameter_tensor = nullptr;  // one owned reference while non-null
    bool use_parameter_tensor = false;
    void* parameter_buffer = nullptr;  // not owned; only tested for null
    std::vector<int64_t> parameter_shape;
    int32_t opaque_int = 0;

    CircuitData() = default;
    explicit CircuitData(int32_t qubits, std::string prefix = std::string())
        : num_qubits(qubits), parameter_prefix(std::move(prefix)) {}

    // Member-wise copy; the reference to parameter_tensor is added only once
    // every member has been copied, so a failed copy adds none.  Must run on a
    // thread that holds the interpreter lock when parameter_tensor is set.
    CircuitData(const CircuitData& other)
        : num_qubits(other.num_qubits),
          instructions(copy_instructions(other.instructions)),
          parameter_prefix(other.parameter_prefix),
          num_parameters(other.num_parameters),
          parameters(other.parameters),
          opaque_ptr(other.opaque_ptr),
          parameter_tensor(other.parameter_tensor),
          use_parameter_tensor(other.use_parameter_tensor),
          parameter_buffer(other.parameter_buffer),
          parameter_shape(other.parameter_shape),
          opaque_int(other.opaque_int) {
        Py_XINCREF(parameter_tensor);
    }

    // The records are never assigned; a move is a copy (no move constructor).
    CircuitData& operator=(const CircuitData&) = delete;

    // Releases the tensor reference first, then the members in reverse order.
    ~CircuitData() { Py_XDECREF(parameter_tensor); }
};

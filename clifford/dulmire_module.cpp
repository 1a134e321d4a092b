// The module `dulmire`: random Clifford circuits as CircuitData records, whose
// Python type circuit_records registers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "clifford/clifford_builder.h"

namespace py = pybind11;

PYBIND11_MODULE(dulmire, m) {
    m.def("build_random_clifford_data", &build_random_clifford_data, py::arg("num_qubits"), py::arg("num_gates"),
          py::arg("gates") = py::str("all"), py::arg("seed") = py::int_(-1),
          "Build a random Clifford circuit (CircuitData) with internal C++ RNG.");
    m.def("build_random_clifford_from_indices", &build_random_clifford_from_indices, py::arg("num_qubits"),
          py::arg("gate_names"), py::arg("qubit_indices"),
          "Build a random Clifford circuit (CircuitData) from pre-generated gate names and qubit indices "
          "(for reproducibility when the gate and qubit draws are made outside, e.g. by a Python RNG).");
}

// The module `brenvik`: full state-vector simulation of circuit records.
#include <pybind11/pybind11.h>

#include <stdexcept>

#include "circuit/circuit_data.h"
#include "simulator/amplitudes.h"
#include "simulator/sampling.h"

namespace py = pybind11;

namespace {

// The record is taken by pointer into the caller's object (no copy).  None
// arrives as null and fails like a reference cast: RuntimeError with an empty
// message.  (pybind11 3.1 turns a failed reference cast during dispatch into
// its TypeError for incompatible arguments instead, hence the explicit test.)
CircuitData& record_of(CircuitData* circuit_data) {
    if (!circuit_data) throw std::runtime_error("");
    return *circuit_data;
}

py::object cal_states_cpp(CircuitData* circuit_data, bool use_float32) {
    CircuitData& circuit = record_of(circuit_data);
    if (use_float32) return cal_states_impl<float>(circuit);
    return cal_states_impl<double>(circuit);
}

py::object run_cpp(CircuitData* circuit_data, int shots, int num_cbits, int seed, bool use_float32) {
    CircuitData& circuit = record_of(circuit_data);
    if (use_float32) return run_impl<float>(circuit, shots, num_cbits, seed);
    return run_impl<double>(circuit, shots, num_cbits, seed);
}

}  // namespace

PYBIND11_MODULE(brenvik, m) {
    m.def("cal_states_cpp", &cal_states_cpp, py::arg("circuit_data"), py::arg("use_float32") = false,
          "C++ implementation of full amplitude simulation");
    m.def("run_cpp", &run_cpp, py::arg("circuit_data"), py::arg("shots"), py::arg("num_cbits"),
          py::arg("seed") = -1, py::arg("use_float32") = false, "Perform shots measurements with projective sampling");
}

// The n-local circuit builder behind ostrevel.build_n_local_data.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "circuit/circuit_data.h"

// The gate name of a block object: its __name__ attribute as a string.
std::string gate_name_of(pybind11::handle block);

// Builds `reps` times (rotation layer, entanglement layer), then optionally a
// final rotation layer, with one named parameter prefix[i] per parameterised
// gate.  Arguments 6, 9 and 10 are accepted for compatibility and not read.
CircuitData build_n_local_data(int num_qubits, pybind11::list rotation_blocks, pybind11::list entanglement_blocks,
                               pybind11::list entanglement, int reps, bool unused_flag,
                               std::string parameter_prefix, bool add_final_rotation_layer, bool unused_flag2,
                               std::string unused_text);

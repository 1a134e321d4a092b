// The n-local circuit builder behind ostrevel.build_n_local_data.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "circuit/circuit_data.h"
#include "nlocal/counting.h"

// The gate name of a block object: its __name__ attribute as a string.
std::string gate_name_of(pybind11::handle block);

// Throws std::invalid_argument for a negative qubit count or reps: the layers
// are defined for neither.
void reject_negative_counts(int num_qubits, int reps);

// Builds `reps` times (rotation layer, entanglement layer), then optionally a
// final rotation layer, with one named parameter prefix[i] per parameterised
// gate.  The totals are counted first, so a request that cannot be built fails
// before any instruction exists.
CircuitData build_n_local(const NLocalRequest& request, const std::string& parameter_prefix);

// The Python entry: converts the block lists to names, then build_n_local.
// Arguments 6, 9 and 10 are accepted for compatibility and not read.
CircuitData build_n_local_data(int num_qubits, pybind11::list rotation_blocks, pybind11::list entanglement_blocks,
                               pybind11::list entanglement, int reps, bool unused_flag,
                               std::string parameter_prefix, bool add_final_rotation_layer, bool unused_flag2,
                               std::string unused_text);

// Rotation and entanglement layers of an n-local circuit.
#pragma once

#include <string>
#include <vector>

#include "circuit/circuit_data.h"

// Where one rotation gate goes: its qubit tuple (last element the target),
// whether it is skipped for lack of qubits, and the next start qubit.
struct Placement {
    bool skip = false;
    int next = 0;
    std::vector<int> qubits;
};

Placement place_rotation_gate(const std::string& name, int q, int n);

// Qubit tuples of one entanglement block of k qubits (k >= 2) for the given
// type, stored one after another (k entries each); throws std::runtime_error
// for an unknown type.
std::vector<int> entanglement_tuples(const std::string& type, int k, int n);

// Both layers append to data.instructions, take one entry of data.parameters
// per placed parameterised gate starting at param_index, and return the next
// unused index.
int append_rotation_layer(CircuitData& data, const std::vector<std::string>& names, int param_index);
int append_entanglement_layer(CircuitData& data, const std::vector<std::string>& names,
                              const std::vector<std::string>& types, int param_index);

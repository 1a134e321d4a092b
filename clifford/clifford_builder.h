// Random Clifford circuit builders: the gate vocabulary, the mapping from a
// lower-case gate name to a CircuitInstruction, and the two builders that the
// module `dulmire` offers to Python.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "circuit/circuit_data.h"

// The ten gate names, in the order in which "all" draws them.
extern std::vector<std::string> all_gate_names;
// The subset of all_gate_names that act on two qubits.
extern std::unordered_set<std::string> two_qubit_gate_names;

// Fills both tables; runs once when the library is loaded.
void init_clifford_tables();

bool is_two_qubit_gate(const std::string& name);

// Number of qubit-list entries make_instruction takes for this name.
std::size_t qubits_taken(const std::string& name);

// One instruction for a lower-case gate name; every name outside the
// vocabulary becomes "SDG".  Throws std::invalid_argument when the list holds
// fewer qubits than the gate takes.
CircuitInstruction make_instruction(const std::string& name, const std::vector<int>& qubits);

// Draws num_gates gates from `gates` ("all" or a list/tuple of names) and their
// qubits from a std::mt19937 seeded with `seed` (negative: the system random
// source).
CircuitData build_random_clifford_data(int num_qubits, int num_gates, pybind11::object gates, int seed);

// Turns gates and qubits drawn by the caller into a circuit.
CircuitData build_random_clifford_from_indices(int num_qubits, const std::vector<std::string>& gate_names,
                                               const std::vector<std::vector<int>>& qubit_indices);

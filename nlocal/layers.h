// Rotation and entanglement layers of an n-local circuit, and the number of
// gates each places, which the builder counts before anything is built.
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

// Gates a rotation layer places for one block of k qubits on n qubits: one per
// qubit, or one per even-aligned pair (the last qubit of an odd n gets none).
int rotation_placement_count(int k, int n);

// How the tuples of an entanglement block are formed: one per qubit for a
// one-qubit block (its type is never read), else by its type.
enum class Entanglement { per_qubit, full, linear, reverse_linear, pairwise, circular, unknown };

// The entanglement of block i (`name`, k qubits): per_qubit when k is 1, else
// the type types[i] names, compared byte for byte.  A block of two or more
// qubits without an entry in `types` throws std::invalid_argument.
Entanglement block_entanglement(const std::vector<std::string>& types, size_t i, const std::string& name, int k);

// Tuple count of a block of k qubits on n qubits, as the builder counts it:
// n for per_qubit and circular, C(n, k) for full (in 32-bit steps; a step that
// overflows throws std::invalid_argument), n - k + 1 for linear,
// reverse_linear and pairwise (negative when n < k - 1, where no tuple
// exists), 0 for unknown.
int entanglement_tuple_count(Entanglement kind, int k, int n);

// Qubit tuples of one entanglement block of k qubits, stored one after another
// (k entries each); none for unknown, which the layer rejects beforehand.
std::vector<int> entanglement_tuples(Entanglement kind, int k, int n);

// Both layers append to data.instructions, take one entry of data.parameters
// per placed parameterised gate starting at param_index, and return the next
// unused index.  The entanglement layer throws std::runtime_error for an
// unknown type of a block of two qubits.
int append_rotation_layer(CircuitData& data, const std::vector<std::string>& names, int param_index);
int append_entanglement_layer(CircuitData& data, const std::vector<std::string>& names,
                              const std::vector<std::string>& types, int param_index);

// Parameter and instruction totals of an n-local circuit, in closed form from
// the block names, types and sizes, before anything is built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the builder is asked for, with the block objects reduced to names.
struct NLocalRequest {
    int num_qubits = 0;
    std::vector<std::string> rotation_names;
    std::vector<std::string> entanglement_names;
    std::vector<std::string> entanglement_types;  // entry i pairs with entanglement block i
    int reps = 0;
    bool final_rotation_layer = false;
};

// Named parameters one layer takes (signed 32-bit, negative only for the
// window types on zero qubits) and the instructions it appends.
struct LayerCount {
    int parameters = 0;
    uint64_t instructions = 0;
};

// One rotation layer: per block, placements × (1 if the gate has parameters).
// Looks up no name when num_qubits is 0; an unknown name throws
// std::out_of_range.
LayerCount count_rotation_layer(const std::vector<std::string>& names, int num_qubits);

// One entanglement layer: per block, its tuple count × (1 if the gate has
// parameters).  Every name is looked up (std::out_of_range), a block of two
// qubits without a type and a "full" count beyond 32 bits throw
// std::invalid_argument; an unknown type counts 0 (the layer rejects it).
LayerCount count_entanglement_layer(const std::vector<std::string>& names, const std::vector<std::string>& types,
                                    int num_qubits);

// The whole circuit: reps × (rotation + entanglement), plus a final rotation
// layer on request.  A parameter total beyond 32 bits throws
// std::invalid_argument; the instruction total saturates at UINT64_MAX.
// num_qubits and reps are not negative (the builder rejects them first).
LayerCount count_n_local(const NLocalRequest& request);

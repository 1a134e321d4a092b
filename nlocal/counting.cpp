#include "nlocal/counting.h"

#include <stdexcept>

#include "circuit/memory_need.h"
#include "nlocal/gate_tables.h"
#include "nlocal/layers.h"

namespace {

[[noreturn]] void throw_count_overflow() {
    throw std::invalid_argument("the circuit needs more parameters than fit in a signed 32-bit count");
}

int checked_add(int a, int b) {
    int r;
    if (__builtin_add_overflow(a, b, &r)) throw_count_overflow();
    return r;
}

int checked_mul(int a, int b) {
    int r;
    if (__builtin_mul_overflow(a, b, &r)) throw_count_overflow();
    return r;
}

// Adds a block that places `gates` gates (the count may be negative, placing
// none) of the named gate: each takes one parameter when the gate has any.
void add_block(LayerCount& count, const std::string& name, int gates) {
    if (table_param_count(name) >= 1) count.parameters = checked_add(count.parameters, gates);
    count.instructions = saturating_add(count.instructions, gates > 0 ? static_cast<uint64_t>(gates) : 0);
}

}  // namespace

LayerCount count_rotation_layer(const std::vector<std::string>& names, int num_qubits) {
    LayerCount count;
    if (num_qubits <= 0) return count;
    for (const std::string& name : names)
        add_block(count, name, rotation_placement_count(table_qubit_count(name), num_qubits));
    return count;
}

LayerCount count_entanglement_layer(const std::vector<std::string>& names, const std::vector<std::string>& types,
                                    int num_qubits) {
    LayerCount count;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const int k = table_qubit_count(name);
        add_block(count, name, entanglement_tuple_count(block_entanglement(types, i, name, k), k, num_qubits));
    }
    return count;
}

LayerCount count_n_local(const NLocalRequest& request) {
    const LayerCount rotation = count_rotation_layer(request.rotation_names, request.num_qubits);
    const LayerCount entanglement =
        count_entanglement_layer(request.entanglement_names, request.entanglement_types, request.num_qubits);
    LayerCount total;
    total.parameters = checked_mul(request.reps, checked_add(rotation.parameters, entanglement.parameters));
    total.instructions = saturating_mul(static_cast<uint64_t>(request.reps),
                                        saturating_add(rotation.instructions, entanglement.instructions));
    if (request.final_rotation_layer) {
        total.parameters = checked_add(total.parameters, rotation.parameters);
        total.instructions = saturating_add(total.instructions, rotation.instructions);
    }
    return total;
}

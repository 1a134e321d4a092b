#include "nlocal/layers.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "nlocal/gate_tables.h"

namespace {

// Appends one instruction for `qubits` (controls first, target last).
// `param_count` is the gate's parameter count; a parameterised gate takes the
// entry at param_index whatever its count.
int emit(CircuitData& data, const std::string& name, int param_count, const int* qubits, int k,
         int param_index) {
    CircuitInstruction& ins = data.instructions.emplace_back();
    ins.name = name;
    ins.targets.assign(1, qubits[k - 1]);
    ins.controls.assign(qubits, qubits + k - 1);
    if (param_count >= 1) {
        // The builder creates exactly the entries the layers use; the check
        // keeps a disagreement from reading past the vector.
        if (param_index < 0 || static_cast<size_t>(param_index) >= data.parameters.size())
            throw std::runtime_error("Parameters count mismatch");
        const ParameterEntry& entry = data.parameters[static_cast<size_t>(param_index)];
        ins.param_name = entry.name;
        ins.params = entry.value;
        ins.parameterized = true;
        ++param_index;
    }
    return param_index;
}

}  // namespace

Placement place_rotation_gate(const std::string& name, int q, int n) {
    const int k = table_qubit_count(name);
    Placement p;
    if (k == 1) {
        p.qubits = {q};
    } else {
        const int first = q - q % 2;
        p.qubits = {first, first + 1};
    }
    p.skip = std::any_of(p.qubits.begin(), p.qubits.end(), [n](int x) { return x >= n; });
    p.next = p.skip ? q + 1 : q + k;
    return p;
}

int append_rotation_layer(CircuitData& data, const std::vector<std::string>& names, int param_index) {
    const int n = data.num_qubits;
    if (n == 0) return param_index;
    for (const std::string& name : names) {
        int q = 0;
        while (q < n) {
            Placement p = place_rotation_gate(name, q, n);
            if (!p.skip) {
                const int k = static_cast<int>(p.qubits.size());
                param_index = emit(data, name, table_param_count(name), p.qubits.data(), k, param_index);
            }
            q = p.next;
        }
    }
    return param_index;
}

std::vector<int> entanglement_tuples(const std::string& type, int k, int n) {
    std::vector<int> flat;  // the tuples one after another, k qubits each
    if (type == "full") {
        if (k < 1 || k > n) return flat;
        // Flags with the last k set, stepped by next_permutation: the tuples
        // come out in descending lexicographic order.
        std::vector<char> flags(static_cast<size_t>(n), 0);
        std::fill(flags.end() - k, flags.end(), 1);
        const char* base = flags.data();
        const char* end = base + n;
        do {
            // k set flags; memchr finds each one quickly even on long rows.
            const char* at = base;
            for (int j = 0; j < k; ++j) {
                at = static_cast<const char*>(std::memchr(at, 1, static_cast<size_t>(end - at)));
                flat.push_back(static_cast<int>(at - base));
                ++at;
            }
        } while (std::next_permutation(flags.begin(), flags.end()));
    } else if (type == "linear") {
        for (int s = 0; s + k <= n; ++s)
            for (int j = 0; j < k; ++j) flat.push_back(s + j);
    } else if (type == "reverse_linear") {
        for (int s = n - k; s >= 0; --s)
            for (int j = 0; j < k; ++j) flat.push_back(s + j);
    } else if (type == "pairwise") {
        if (n > 1)
            for (int s = 0; s + 1 < n; s += 2) flat.insert(flat.end(), {s, s + 1});
        if (n > 2)
            for (int s = 1; s + 1 < n; s += 2) flat.insert(flat.end(), {s, s + 1});
    } else if (type == "circular") {
        for (int i = 0; i < n; ++i) {
            const int start = (((n - k + 1 + i) % n) + n) % n;
            for (int j = 0; j < k; ++j) flat.push_back((start + j) % n);
        }
    } else {
        throw std::runtime_error("entanglement type " + type + " not supported");
    }
    return flat;
}

int append_entanglement_layer(CircuitData& data, const std::vector<std::string>& names,
                              const std::vector<std::string>& types, int param_index) {
    const int n = data.num_qubits;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const int k = table_qubit_count(name);
        if (k == 1) {
            // The type is not consulted for one-qubit blocks.
            const int params = n > 0 ? table_param_count(name) : 0;
            for (int q = 0; q < n; ++q) param_index = emit(data, name, params, &q, 1, param_index);
            continue;
        }
        if (i >= types.size())
            throw std::invalid_argument("entanglement block " + std::to_string(i) + " (" + name +
                                        ") acts on two qubits but has no entanglement type");
        const std::vector<int> tuples = entanglement_tuples(types[i], k, n);
        if (tuples.empty()) continue;
        const int params = table_param_count(name);
        for (size_t t = 0; t < tuples.size(); t += static_cast<size_t>(k))
            param_index = emit(data, name, params, tuples.data() + t, k, param_index);
    }
    return param_index;
}

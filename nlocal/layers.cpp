#include "nlocal/layers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

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

// C(n, k) computed as d = d * (n - j) / (j + 1) in signed 32-bit integers
// (every division exact for n >= 0, 0 when k > n); a step that overflows is
// rejected rather than wrapped.
int full_tuple_count(int n, int k) {
    int d = 1;
    for (int j = 0; j < k; ++j) {
        int product;
        if (__builtin_mul_overflow(d, n - j, &product))
            throw std::invalid_argument("num_qubits " + std::to_string(n) +
                                        " is too large for a \"full\" entanglement block: its tuple count "
                                        "overflows 32-bit arithmetic");
        d = product / (j + 1);
    }
    return d;
}

// The window (s, s + 1, ..., s + k - 1).
void append_window(std::vector<int>& flat, int s, int k) {
    for (int j = 0; j < k; ++j) flat.push_back(s + j);
}

// Every k-subset of 0 .. n - 1 (none when k > n), ascending within a tuple: flags with
// the last k set, stepped by next_permutation, so the tuples come out in
// descending lexicographic order.
void append_full_tuples(std::vector<int>& flat, int k, int n) {
    if (k < 1 || k > n) return;
    std::string flags(static_cast<size_t>(n), 0);
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

int rotation_placement_count(int k, int n) { return n <= 0 ? 0 : k == 1 ? n : n / 2; }

Entanglement block_entanglement(const std::vector<std::string>& types, size_t i, const std::string& name, int k) {
    if (k == 1) return Entanglement::per_qubit;
    if (i >= types.size())
        throw std::invalid_argument("entanglement has " + std::to_string(types.size()) +
                                    " entries, but entanglement block " + std::to_string(i) + " (" + name +
                                    ") acts on two qubits and needs an entanglement type at that position");
    const std::string& type = types[i];
    if (type == "full") return Entanglement::full;
    if (type == "linear") return Entanglement::linear;
    if (type == "reverse_linear") return Entanglement::reverse_linear;
    if (type == "pairwise") return Entanglement::pairwise;
    if (type == "circular") return Entanglement::circular;
    return Entanglement::unknown;
}

int entanglement_tuple_count(Entanglement kind, int k, int n) {
    switch (kind) {
        case Entanglement::per_qubit:
        case Entanglement::circular:
            return n;
        case Entanglement::full:
            return full_tuple_count(n, k);
        case Entanglement::linear:
        case Entanglement::reverse_linear:
        case Entanglement::pairwise:
            return n - k + 1;
        case Entanglement::unknown:
            break;
    }
    return 0;
}

std::vector<int> entanglement_tuples(Entanglement kind, int k, int n) {
    const int count = entanglement_tuple_count(kind, k, n);
    std::vector<int> flat;  // the tuples one after another, k qubits each
    if (count <= 0) return flat;
    flat.reserve(static_cast<size_t>(count) * static_cast<size_t>(k));
    switch (kind) {
        case Entanglement::per_qubit:
            for (int q = 0; q < n; ++q) flat.push_back(q);
            break;
        case Entanglement::full:
            append_full_tuples(flat, k, n);
            break;
        case Entanglement::linear:
            for (int s = 0; s < count; ++s) append_window(flat, s, k);
            break;
        case Entanglement::reverse_linear:
            for (int s = count - 1; s >= 0; --s) append_window(flat, s, k);
            break;
        case Entanglement::pairwise:  // the even-aligned pairs, then the odd-aligned ones
            for (int s = 0; s + 1 < n; s += 2) append_window(flat, s, 2);
            for (int s = 1; s + 1 < n; s += 2) append_window(flat, s, 2);
            break;
        case Entanglement::circular:
            for (int i = 0; i < n; ++i) {
                // In 64 bits: n - k + 1 + i would overflow int near 2^31 qubits.
                const int64_t shifted = int64_t{n} - k + 1 + i;
                const int start = static_cast<int>((shifted % n + n) % n);
                for (int j = 0; j < k; ++j) flat.push_back(static_cast<int>((int64_t{start} + j) % n));
            }
            break;
        case Entanglement::unknown:
            break;
    }
    return flat;
}

int append_entanglement_layer(CircuitData& data, const std::vector<std::string>& names,
                              const std::vector<std::string>& types, int param_index) {
    const int n = data.num_qubits;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const int k = table_qubit_count(name);
        const Entanglement kind = block_entanglement(types, i, name, k);
        if (kind == Entanglement::unknown) throw std::runtime_error("entanglement type " + types[i] + " not supported");
        const std::vector<int> tuples = entanglement_tuples(kind, k, n);
        if (tuples.empty()) continue;
        const int params = table_param_count(name);
        for (size_t t = 0; t < tuples.size(); t += static_cast<size_t>(k))
            param_index = emit(data, name, params, tuples.data() + t, k, param_index);
    }
    return param_index;
}

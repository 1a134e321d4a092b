#include "nlocal/n_local.h"

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "nlocal/gate_tables.h"
#include "nlocal/layers.h"

namespace py = pybind11;

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

// Saturating unsigned arithmetic for the instruction count.
uint64_t sat_add(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}
uint64_t sat_mul(uint64_t a, uint64_t b) {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<uint64_t>::max() : r;
}

// Items of a list, converted one by one.  The size is re-read on every step
// and each item is held by a new reference, so a __name__ lookup that changes
// the list cannot make this read freed memory.
template <typename Convert>
std::vector<std::string> convert_items(const py::list& list, Convert convert) {
    std::vector<std::string> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
        out.push_back(convert(item));
    }
    return out;
}

// C(n, k) computed as d = d * (n - j) / (j + 1) in signed 32-bit integers; a
// step that overflows is rejected rather than wrapped.
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

}  // namespace

std::string gate_name_of(py::handle block) { return py::cast<std::string>(block.attr("__name__")); }

CircuitData build_n_local_data(int num_qubits, py::list rotation_blocks, py::list entanglement_blocks,
                               py::list entanglement, int reps, bool /*unused_flag*/, std::string parameter_prefix,
                               bool add_final_rotation_layer, bool /*unused_flag2*/, std::string /*unused_text*/) {
    // The layers are defined for n >= 0 and reps >= 0 only.
    if (num_qubits < 0)
        throw std::invalid_argument("num_qubits must not be negative (got " + std::to_string(num_qubits) + ")");
    if (reps < 0) throw std::invalid_argument("reps must not be negative (got " + std::to_string(reps) + ")");

    const std::vector<std::string> rotation_names = convert_items(rotation_blocks, gate_name_of);
    const std::vector<std::string> entanglement_names = convert_items(entanglement_blocks, gate_name_of);
    const std::vector<std::string> types =
        convert_items(entanglement, [](py::handle item) { return py::cast<std::string>(item); });

    const int n = num_qubits;

    // Parameters and instructions of one rotation layer.
    int rotation_params = 0;
    uint64_t rotation_instructions = 0;
    if (n > 0) {
        for (const std::string& name : rotation_names) {
            int q = 0;
            while (q < n) {
                Placement p = place_rotation_gate(name, q, n);
                if (!p.skip) {
                    ++rotation_instructions;
                    if (table_param_count(name) >= 1) rotation_params = checked_add(rotation_params, 1);
                }
                q = p.next;
            }
        }
    }

    // Parameters and instructions of one entanglement layer.
    int entanglement_params = 0;
    uint64_t entanglement_instructions = 0;
    for (size_t i = 0; i < entanglement_names.size(); ++i) {
        const std::string& name = entanglement_names[i];
        const int k = table_qubit_count(name);
        int d = 0;
        uint64_t tuples = 0;
        if (k == 1) {
            d = n;
            tuples = static_cast<uint64_t>(n);
        } else {
            if (i >= types.size())
                throw std::invalid_argument("entanglement has " + std::to_string(types.size()) +
                                            " entries, but entanglement block " + std::to_string(i) + " (" + name +
                                            ") acts on two qubits and needs an entanglement type at that position");
            const std::string& type = types[i];
            if (type == "full") {
                d = full_tuple_count(n, k);
                tuples = static_cast<uint64_t>(d);
            } else if (type == "linear" || type == "reverse_linear" || type == "pairwise") {
                d = n - k + 1;  // -1 for zero qubits: no tuples, and the final check fails
                tuples = d > 0 ? static_cast<uint64_t>(d) : 0;
            } else if (type == "circular") {
                d = n;
                tuples = static_cast<uint64_t>(n);
            }  // an unknown type counts 0; the layer rejects it
        }
        if (table_param_count(name) >= 1) entanglement_params = checked_add(entanglement_params, d);
        entanglement_instructions = sat_add(entanglement_instructions, tuples);
    }

    int total = checked_mul(reps, checked_add(rotation_params, entanglement_params));
    if (add_final_rotation_layer) total = checked_add(total, rotation_params);

    uint64_t instruction_count =
        sat_mul(static_cast<uint64_t>(reps), sat_add(rotation_instructions, entanglement_instructions));
    if (add_final_rotation_layer) instruction_count = sat_add(instruction_count, rotation_instructions);

    CircuitData data(num_qubits, parameter_prefix);
    data.num_parameters = total;
    data.opaque_ptr = &data;
    if (total > 0) {
        data.parameters.reserve(static_cast<size_t>(total));
        for (int i = 0; i < total; ++i) {
            ParameterEntry& entry = data.parameters.emplace_back();
            entry.name = parameter_prefix + "[" + std::to_string(i) + "]";
        }
    }
    // One allocation for every instruction; an impossible size fails here,
    // before any work, instead of exhausting memory step by step.
    if (instruction_count > data.instructions.max_size()) throw std::bad_alloc();
    data.instructions.reserve(static_cast<size_t>(instruction_count));

    int index = 0;
    for (int r = 0; r < reps; ++r) {
        index = append_rotation_layer(data, rotation_names, index);
        index = append_entanglement_layer(data, entanglement_names, types, index);
    }
    if (add_final_rotation_layer) index = append_rotation_layer(data, rotation_names, index);

    if (index != data.num_parameters) throw std::runtime_error("Parameters count mismatch");
    return data;
}

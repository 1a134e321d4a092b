#include "nlocal/n_local.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "circuit/memory_need.h"
#include "nlocal/layers.h"

namespace py = pybind11;

namespace {

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

// Entries prefix[0] .. prefix[total - 1], each with an empty value; none when
// the total is 0 or less.
void add_parameter_entries(CircuitData& data, const std::string& prefix, int total) {
    if (total <= 0) return;
    data.parameters.reserve(static_cast<size_t>(total));
    for (int i = 0; i < total; ++i) {
        ParameterEntry& entry = data.parameters.emplace_back();
        const std::string index = std::to_string(i);
        entry.name.reserve(prefix.size() + index.size() + 2);  // no spare capacity kept in every name
        entry.name.append(prefix).append("[").append(index).append("]");
    }
}

// Runs the repetitions and the final layer; returns the next parameter index.
// A repetition that placed nothing leaves the index as it was, so every
// further one would place nothing too: they are skipped, which makes a huge
// `reps` on an empty circuit cost one repetition.  The first still runs, as
// it rejects an unknown entanglement type.
int append_layers(CircuitData& data, const NLocalRequest& request) {
    int index = 0;
    for (int r = 0; r < request.reps; ++r) {
        const size_t before = data.instructions.size();
        index = append_rotation_layer(data, request.rotation_names, index);
        index = append_entanglement_layer(data, request.entanglement_names, request.entanglement_types, index);
        if (data.instructions.size() == before) break;
    }
    if (request.final_rotation_layer) index = append_rotation_layer(data, request.rotation_names, index);
    return index;
}

// Peak memory of a circuit with these totals: every instruction (one target
// and, for blocks of two or more qubits, a control list) and every named
// parameter, in the built record and in the copy that Python receives.  A
// parameterised instruction carries its parameter's name.
uint64_t n_local_bytes(const LayerCount& total, const std::string& prefix) {
    const uint64_t parameters = total.parameters > 0 ? static_cast<uint64_t>(total.parameters) : 0;
    // prefix + "[" + index + "]", for the longest index
    const uint64_t name_length = prefix.size() + 2 + std::to_string(parameters).size();
    const uint64_t name_heap = name_length > 15 ? heap_block_bytes(name_length + 1) : 0;
    uint64_t bytes = saturating_mul(total.instructions, instruction_bytes(1, 1));
    bytes = saturating_add(bytes, saturating_mul(parameters, saturating_add(sizeof(ParameterEntry), 2 * name_heap)));
    return saturating_mul(bytes, returned_record_copies);
}

}  // namespace

std::string gate_name_of(py::handle block) { return py::cast<std::string>(block.attr("__name__")); }

void reject_negative_counts(int num_qubits, int reps) {
    if (num_qubits < 0)
        throw std::invalid_argument("num_qubits must not be negative (got " + std::to_string(num_qubits) + ")");
    if (reps < 0) throw std::invalid_argument("reps must not be negative (got " + std::to_string(reps) + ")");
}

CircuitData build_n_local(const NLocalRequest& request, const std::string& parameter_prefix) {
    reject_negative_counts(request.num_qubits, request.reps);
    const LayerCount total = count_n_local(request);
    // What the process cannot obtain fails before anything is made.
    require_memory(n_local_bytes(total, parameter_prefix));

    CircuitData data(request.num_qubits, parameter_prefix);
    data.num_parameters = total.parameters;
    // Deliberately the address of this record itself: an identifying value
    // for the toolkit outside, carried and copied unchanged and never
    // dereferenced by any module.  The copy that Python receives keeps this
    // address after the local record is gone, which is harmless for that
    // reason.
    data.opaque_ptr = &data;
    add_parameter_entries(data, parameter_prefix, total.parameters);
    // One allocation for every instruction; an impossible size fails here,
    // before any work, instead of exhausting memory step by step.
    if (total.instructions > data.instructions.max_size()) throw std::bad_alloc();
    data.instructions.reserve(static_cast<size_t>(total.instructions));

    if (append_layers(data, request) != data.num_parameters) throw std::runtime_error("Parameters count mismatch");
    return data;
}

CircuitData build_n_local_data(int num_qubits, py::list rotation_blocks, py::list entanglement_blocks,
                               py::list entanglement, int reps, bool /*unused_flag*/, std::string parameter_prefix,
                               bool add_final_rotation_layer, bool /*unused_flag2*/, std::string /*unused_text*/) {
    // Before the lists are converted: a negative count is reported first.
    reject_negative_counts(num_qubits, reps);
    NLocalRequest request;
    request.num_qubits = num_qubits;
    request.rotation_names = convert_items(rotation_blocks, gate_name_of);
    request.entanglement_names = convert_items(entanglement_blocks, gate_name_of);
    request.entanglement_types =
        convert_items(entanglement, [](py::handle item) { return py::cast<std::string>(item); });
    request.reps = reps;
    request.final_rotation_layer = add_final_rotation_layer;
    return build_n_local(request, parameter_prefix);
}

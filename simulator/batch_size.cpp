#include "simulator/batch_size.h"

#include <pybind11/pybind11.h>
#include <torch/csrc/utils/pybind.h>

#include <variant>

#include "simulator/gate_library.h"

namespace {

// Sets from the two leading facts of a parameter array: its number of
// dimensions d and its second extent s.
int32_t sets_from_extent(int64_t d, int64_t s, int largest) {
    if (d == 3) return static_cast<int32_t>(s);
    if (largest < s && s % largest == 0) return static_cast<int32_t>(s / largest);
    return 0;
}

}  // namespace

int32_t circuit_batch_size(const CircuitData& circuit) {
    if (circuit.instructions.empty()) return 0;
    int first = 0, largest = 0;
    for (const CircuitInstruction& ins : circuit.instructions) {
        if (!ins.parameterized) continue;
        const int k = gate_param_count(ins.name);
        if (k == 0) continue;
        if (first == 0) first = k;
        largest = std::max(largest, k);
    }
    if (first == 0) return 0;

    if (!circuit.use_parameter_tensor) {
        for (const CircuitInstruction& ins : circuit.instructions) {
            if (!ins.parameterized) continue;
            const int64_t n = std::holds_alternative<double>(ins.params)
                                  ? 1
                                  : static_cast<int64_t>(std::get<std::vector<double>>(ins.params).size());
            if (n > first && n % first == 0) return static_cast<int32_t>(n / first);
            return 0;
        }
        return 0;
    }

    if (circuit.parameter_tensor) {
        int64_t d = 0, s = 0;
        {
            pybind11::gil_scoped_acquire gil;
            // PyTorch's own caster; a non-tensor raises pybind11's cast error.
            at::Tensor tensor = pybind11::handle(circuit.parameter_tensor).cast<at::Tensor>();
            d = tensor.dim();
            if (d > 1) s = tensor.size(1);
        }
        if (d <= 1) return 0;
        return sets_from_extent(d, s, largest);
    }
    if (circuit.parameter_buffer && circuit.parameter_shape.size() >= 2)
        return sets_from_extent(static_cast<int64_t>(circuit.parameter_shape.size()), circuit.parameter_shape[1],
                                largest);
    return 0;
}

// Planning of cache-blocked passes over a large state.  A chunk is an
// aligned run of 2^chunk_bits amplitudes of the physical index; a layout maps
// each logical qubit to its physical bit.  Gates run chunk by chunk while the
// qubits they pair on sit physically below chunk_bits; between such runs an
// exchange step swaps pairs of physical positions (exchange_index_bits) to
// bring the next gates' qubits in.  Positions 0..2 never move.  The plan
// starts and ends with the identity layout.  Pure planning: no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Logical-qubit masks of one gate: the qubits it pairs on (targets of
// non-diagonal gates; they must sit below chunk_bits) and those that only
// select chunks (controls, qubits of diagonal gates).  A qubit in both pairs.
struct GateFootprint {
    uint64_t pairs;
    uint64_t selects;
};

struct PlanStep {
    enum class Kind { chunk_run, exchange } kind;
    size_t first = 0, last = 0;                  // chunk_run: gates [first, last)
    std::vector<int> layout;                     // chunk_run: physical position of each logical qubit
    std::vector<std::pair<int, int>> exchanges;  // exchange: disjoint physical positions, all >= 3
};

// The passes for `gates` on num_qubits qubits with chunks of 2^chunk_bits
// amplitudes: every gate in exactly one chunk run, in order, each run's gates
// pairing only on qubits its layout puts below chunk_bits; the layout is the
// identity at the start and again after the last step.  The runs are as few
// as in any plan, or one or two more when that saves exchanges; each change
// of layout is one exchange step, and the return to the identity is folded
// into them where possible (else it takes two steps after the last run).
// Unless 3 < chunk_bits < num_qubits: one run of all gates in the identity
// layout.  Throws std::invalid_argument when a gate names a
// qubit outside the register or pairs on more qubits above 2 than
// chunk_bits - 3.
std::vector<PlanStep> plan_chunk_passes(const std::vector<GateFootprint>& gates, int num_qubits, int chunk_bits);

struct PlanCounts {
    size_t chunk_runs, exchanges;
};

PlanCounts count_passes(const std::vector<PlanStep>& plan);

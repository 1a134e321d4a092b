// The operation list of a quantum-volume circuit: n*floor(n/2) "su4"
// operations, each with a random 4x4 unitary and two distinct qubits.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "circuit/circuit_data.h"

// Spacing of the matrix seeds of consecutive operations.
inline constexpr uint64_t kOpSeedStep = 0x9e3779b97f4a7c15ULL;
// Offset of the per-thread qubit generator's seed from the call's seed.
inline constexpr uint64_t kThreadSeedOffset = 0xbf58476d1ce4e5b9ULL;
// Largest n whose operation count n*(n/2) fits in a signed 32-bit int.
inline constexpr int kMaxQvQubits = 65535;

// Body of the parallel loop: every thread of the enclosing region calls it.
// Operation i gets the matrix of seed + i*kOpSeedStep and a qubit pair from
// the calling thread's own generator.  Never throws: an allocation failure
// sets `failed` and the remaining operations are skipped.
void fill_qv_ops(std::vector<CircuitInstruction>& ops, int n, int seed, int count,
                 std::atomic<bool>& failed) noexcept;

// n must lie in 0..65535 (std::invalid_argument otherwise); the second
// argument is not read.  std::bad_alloc when any allocation fails.
std::vector<CircuitInstruction> build_qv_op_list_ultra(int n, int unused, int seed);
// Same behaviour; forwards to build_qv_op_list_ultra.
std::vector<CircuitInstruction> build_qv_op_list(int n, int unused, int seed);

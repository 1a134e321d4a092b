#include "quantum_volume/qv_op_list.h"

#include <new>
#include <stdexcept>

#include "circuit/memory_need.h"
#include "quantum_volume/qv_random.h"
#include "statevector/thread_team.h"

namespace {

// Qubit generator of one thread: seeded at the first operation the thread
// processes in any call, then carried on from call to call.
struct ThreadRng {
    XorShift128Plus gen;
    bool seeded = false;
};
thread_local ThreadRng thread_rng;

// Peak memory of one operation of the returned list: its record in the
// vector with a 16-entry matrix, one control and one target; then, while the
// list is made, the Python object that takes it over (the object, the
// binding layer's record of it, the heap copy it owns) and the list's slot.
uint64_t qv_op_bytes() {
    constexpr uint64_t python_object_bytes = 64 + 48 + 8;
    return instruction_bytes(1, 1, 16) + heap_block_bytes(sizeof(CircuitInstruction)) + python_object_bytes;
}

}  // namespace

void fill_qv_ops(std::vector<CircuitInstruction>& ops, int n, int seed, int count,
                 std::atomic<bool>& failed) noexcept {
    const uint64_t base = static_cast<uint64_t>(static_cast<int64_t>(seed));
    const uint64_t modulus = static_cast<uint64_t>(n);
#pragma omp for schedule(nonmonotonic : dynamic, 128)
    for (int i = 0; i < count; ++i) {
        if (failed.load(std::memory_order_relaxed)) continue;
        // Nothing may leave the parallel region: failures are only recorded.
        try {
            CircuitInstruction& op = ops[static_cast<std::size_t>(i)];
            random_su4_unitary(base + static_cast<uint64_t>(i) * kOpSeedStep, op.matrix);
            op.name = "su4";
            ThreadRng& rng = thread_rng;
            if (!rng.seeded) {
                rng.gen = XorShift128Plus(base + kThreadSeedOffset);
                rng.seeded = true;
            }
            const int q0 = static_cast<int>(rng.gen.next() % modulus);
            int q1;
            do {
                q1 = static_cast<int>(rng.gen.next() % modulus);
            } while (q1 == q0);
            op.controls.assign(1, q0);
            op.targets.assign(1, q1);
        } catch (...) {
            failed.store(true, std::memory_order_relaxed);
        }
    }
}

std::vector<CircuitInstruction> build_qv_op_list_ultra(int n, int /*unused*/, int seed) {
    if (n < 0 || n > kMaxQvQubits)
        throw std::invalid_argument("number of qubits must lie in 0..65535");
    const int count = n * (n / 2);
    require_memory(saturating_mul(static_cast<uint64_t>(count), qv_op_bytes()));
    std::vector<CircuitInstruction> ops(static_cast<std::size_t>(count));
    std::atomic<bool> failed{false};
    run_parallel_region(0, [&]() { fill_qv_ops(ops, n, seed, count, failed); });
    if (failed.load()) throw std::bad_alloc();
    return ops;
}

std::vector<CircuitInstruction> build_qv_op_list(int n, int unused, int seed) {
    return build_qv_op_list_ultra(n, unused, seed);
}

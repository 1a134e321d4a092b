// The parallel operation list: matrices by index, qubit pairs, the per-thread
// generators, argument checks and allocation failures inside the loop.
#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "quantum_volume/qv_op_list.h"
#include "quantum_volume/qv_random.h"

// Allocation hook for this test program: counts allocations while `counting`
// is set, and fails the allocation of size `fail_size` once `countdown`
// further allocations of that size have succeeded.
namespace hook {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0}, countdown{-1};
std::atomic<std::size_t> fail_size{0};
}  // namespace hook

void* operator new(std::size_t size) {
    if (hook::counting.load(std::memory_order_relaxed)) hook::allocations.fetch_add(1);
    const std::size_t fs = hook::fail_size.load();
    if (fs != 0 && size == fs && hook::countdown.fetch_sub(1) == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// GCC sees free() on memory from operator new; here both ends are malloc/free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

void check_ops(const std::vector<CircuitInstruction>& ops, int n, int seed) {
    ASSERT_EQ(ops.size(), static_cast<std::size_t>(n * (n / 2)));
    std::vector<std::complex<double>> expected;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const CircuitInstruction& op = ops[i];
        random_su4_unitary(static_cast<uint64_t>(static_cast<int64_t>(seed)) + i * kOpSeedStep, expected);
        ASSERT_EQ(op.matrix, expected) << i;
        ASSERT_TRUE(op.name == "su4" && op.controls.size() == 1 && op.targets.size() == 1);
        const int c = op.controls[0], t = op.targets[0];
        ASSERT_TRUE(c != t && c >= 0 && c < n && t >= 0 && t < n) << c << " " << t;
        ASSERT_FALSE(op.parameterized || op.dagger || !op.param_name.empty());
    }
}

TEST(QvOpList, CountsMatricesAndQubitPairs) {
    for (int n = 0; n <= 6; ++n) check_ops(build_qv_op_list_ultra(n, 0, 7), n, 7);
    check_ops(build_qv_op_list(40, 3, -1), 40, -1);  // several chunks, so several threads
    check_ops(build_qv_op_list_ultra(23, 0, INT_MIN), 23, INT_MIN);
}

// Qubit counts outside 0..65535 are refused before allocating anything but the
// exception.  Failed allocations become bad_alloc: the list itself (65535
// qubits, about 2.1e9 records), and inside the loop a 16-entry matrix or a
// one-element qubit vector; the next call is unaffected.
TEST(QvOpList, ArgumentChecksAndAllocationFailures) {
    for (int n : {-1, INT_MIN, 65536, INT_MAX}) {
        hook::allocations = 0, hook::counting = true;
        EXPECT_THROW(build_qv_op_list_ultra(n, 0, 1), std::invalid_argument) << n;
        hook::counting = false;
        EXPECT_LE(hook::allocations.load(), 1) << n;
    }
    const auto expect_bad_alloc = [](std::size_t size, long after, int n) {
        hook::fail_size = size, hook::countdown = after;
        EXPECT_THROW(build_qv_op_list_ultra(n, 0, 3), std::bad_alloc) << size << " " << after;
        hook::fail_size = 0;
    };
    expect_bad_alloc(static_cast<std::size_t>(65535) * 32767 * sizeof(CircuitInstruction), 0, 65535);
    for (std::size_t size : {16 * sizeof(std::complex<double>), sizeof(int)})
        for (long after : {0L, 700L}) expect_bad_alloc(size, after, 40);
    check_ops(build_qv_op_list_ultra(12, 0, 3), 12, 3);
}

// With one thread in the region, a fresh thread's qubit pairs follow the
// generator seeded from its first call's seed; a second call, even with
// another seed, continues that stream.
TEST(QvOpList, ThreadGeneratorIsSeededOnceAndContinues) {
    std::vector<CircuitInstruction> ops;
    std::thread([&] {
        omp_set_num_threads(1);
        ops = build_qv_op_list_ultra(5, 0, 11);
        for (CircuitInstruction& op : build_qv_op_list_ultra(5, 0, 999)) ops.push_back(op);
    }).join();
    ASSERT_EQ(ops.size(), 20u);
    XorShift128Plus g(static_cast<uint64_t>(11) + kThreadSeedOffset);
    for (const CircuitInstruction& op : ops) {
        const int q0 = static_cast<int>(g.next() % 5);
        int q1 = q0;
        while (q1 == q0) q1 = static_cast<int>(g.next() % 5);
        ASSERT_EQ(std::make_pair(op.controls[0], op.targets[0]), std::make_pair(q0, q1));
    }
}

}  // namespace

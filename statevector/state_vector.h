// State vector of an n-qubit register (planar real/imag arrays), the thread
// rule shared by every kernel and the block partition each kernel body uses.
#pragma once

#include <omp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "statevector/thread_team.h"

// Number of hardware threads, read once while the library is loaded.
extern int hardware_threads;

// Threads a kernel region asks for: 1 up to 14 qubits, else hardware_threads
// (a non-positive count counts as 1).  Regions open through
// run_parallel_region, which applies the forked-child rule.
int kernel_team_size(int num_qubits);

struct BlockShare {
    int64_t first;  // first block of the thread
    int64_t count;  // number of consecutive blocks
};

// Splits `count` blocks over `threads` threads: the first count % threads
// threads take one block more; shares are contiguous and in thread order.
BlockShare static_block_partition(int64_t count, int64_t threads, int64_t thread);

// Throws std::runtime_error when qubit lies outside [0, num_qubits).
void check_qubit_index(const std::string& gate, int qubit, int num_qubits);

// Runs body(first_block, block_count) on every thread of one parallel region.
// team > 0 asks for that many threads; team <= 0 takes the runtime's default
// team.  Each thread computes its own share of the `blocks` blocks, so the
// body needs no work-sharing construct; the region's end is the only barrier.
template <typename Body>
inline void run_kernel_region(int team, int64_t blocks, const Body& body) {
    run_parallel_region(team, [&]() {
        const BlockShare share = static_block_partition(blocks, omp_get_num_threads(), omp_get_thread_num());
        body(share.first, share.count);
    });
}

// Opens the region of one gate kernel on a state of num_qubits qubits: the
// thread count is kernel_team_size, and every thread runs
// body(first_site, site_count) on its contiguous share of the `sites`.
template <typename Body>
inline void launch_kernel(int num_qubits, int64_t sites, const Body& body) {
    run_kernel_region(kernel_team_size(num_qubits), sites, body);
}

// The qubit counts a state vector supports: 0 to 62.  Callers that must
// reject a count before allocating anything use it too.
inline bool num_qubits_in_range(int n) { return static_cast<uint32_t>(n) <= 62u; }
inline void check_num_qubits_range(int n) {
    if (!num_qubits_in_range(n)) throw std::runtime_error("StateVector: num_qubits out of supported range");
}

// Bytes of the two arrays of a state of n qubits (0 to 62), each rounded up to
// a multiple of 64 for aligned_alloc; UINT64_MAX when that does not fit in 64
// bits (float with 62 qubits, double with 61 or 62).
template <typename T>
uint64_t state_vector_bytes(int n) {
    constexpr uint64_t max_bytes = UINT64_MAX - 63;
    const uint64_t dim = uint64_t{1} << (static_cast<uint32_t>(n) & 63u);
    if (dim > max_bytes / sizeof(T)) return UINT64_MAX;
    const uint64_t array = (dim * sizeof(T) + 63) & ~uint64_t{63};
    return array > UINT64_MAX / 2 ? UINT64_MAX : 2 * array;
}

[[noreturn]] inline void throw_state_allocation_failure() {
    throw std::runtime_error("Failed to allocate memory for StateVector");
}

template <typename T>
class StateVector {
public:
    int32_t num_qubits;
    uint64_t dim;
    T* real = nullptr;
    T* imag = nullptr;
    bool owns;

    // The state |0...0> on num_qubits qubits (0 to 62).
    explicit StateVector(int n) : num_qubits(n), dim(uint64_t{1} << (static_cast<uint32_t>(n) & 63u)), owns(true) {
        check_num_qubits_range(n);
        // A byte size that does not fit in 64 bits is an allocation failure.
        const uint64_t both = state_vector_bytes<T>(n);
        if (both == UINT64_MAX) throw_state_allocation_failure();
        const uint64_t bytes = both / 2;
        real = static_cast<T*>(std::aligned_alloc(64, bytes));
        imag = static_cast<T*>(std::aligned_alloc(64, bytes));
        if (real == nullptr || imag == nullptr) {
            std::free(real);
            std::free(imag);
            real = imag = nullptr;
            throw_state_allocation_failure();
        }
        std::memset(real, 0, dim * sizeof(T));
        std::memset(imag, 0, dim * sizeof(T));
        real[0] = T(1);
    }

    ~StateVector() {
        if (!owns) return;
        if (real != nullptr) std::free(real);
        if (imag != nullptr) std::free(imag);
    }

    StateVector(const StateVector&) = delete;
    StateVector& operator=(const StateVector&) = delete;
};

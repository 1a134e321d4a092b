// State vector of an n-qubit register (planar real/imag arrays), the thread
// rule shared by every kernel and the block partition each kernel body uses.
#pragma once

#include <omp.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
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
// When the team asked for would have one thread (team 1, a forked child, or a
// launch inside an active region, where a nested region gets one thread under
// the runtime's default of one active level), the body runs on the calling
// thread with the whole range, the share static_block_partition gives the one
// thread of such a region, and no region is opened.  The default team
// (team <= 0) always opens its region.
template <typename Body>
inline void run_kernel_region(int team, int64_t blocks, const Body& body) {
    if (team > 0 && (team == 1 || region_team(team) == 1 || omp_in_parallel())) {
        body(int64_t{0}, blocks);
        return;
    }
    run_parallel_region(team, [&]() {
        const BlockShare share = static_block_partition(blocks, omp_get_num_threads(), omp_get_thread_num());
        body(share.first, share.count);
    });
}

// Opens the region of one gate kernel on a state of num_qubits qubits: the
// thread count is kernel_team_size, and every thread runs
// body(first_site, site_count) on its contiguous share of the `sites` (on the
// calling thread alone when that team has one thread; see run_kernel_region).
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

// Bytes of one array of a state of n qubits (0 to 62), rounded up to a
// multiple of 64 for aligned_alloc; UINT64_MAX when that does not fit in 64
// bits.
template <typename T>
uint64_t state_array_bytes(int n) {
    constexpr uint64_t max_bytes = UINT64_MAX - 63;
    const uint64_t dim = uint64_t{1} << (static_cast<uint32_t>(n) & 63u);
    if (dim > max_bytes / sizeof(T)) return UINT64_MAX;
    return (dim * sizeof(T) + 63) & ~uint64_t{63};
}

// Where the imaginary array starts inside its allocation.  Large arrays are
// mapped page by page, so real[i] and imag[i] would sit at the same offset
// within a 4 KiB page, in the same set of the core's first-level cache, where
// on some processors (AMD Zen, whose way predictor tags lines by a hash of
// their address) the two lines evict each other on every access: kernels on
// states held in the caches then run up to 3x slower.  Eleven lines put every
// line a kernel touches in one imaginary array apart from those it touches in
// the real one at the same time: 11 is neither 0 nor a sum or difference of
// two powers of two modulo the 64 line offsets of a page.
inline constexpr uint64_t kImagShiftBytes = 11 * 64;
inline uint64_t imag_shift_bytes(uint64_t array_bytes) { return array_bytes >= (uint64_t{64} << 10) ? kImagShiftBytes : 0; }

// Bytes a state of n qubits (0 to 62) allocates: its two arrays (and the
// shift of the imaginary one); UINT64_MAX when that does not fit in 64 bits
// (float with 62 qubits, double with 61 or 62).
template <typename T>
uint64_t state_vector_bytes(int n) {
    const uint64_t array = state_array_bytes<T>(n);
    if (array > (UINT64_MAX - kImagShiftBytes) / 2) return UINT64_MAX;
    return 2 * array + imag_shift_bytes(array);
}

// Asks the kernel for transparent huge pages (2 MiB) on the whole 2 MiB pages
// that lie inside [p, p + bytes), before they are first touched: a state's
// kernels stream its arrays, and with 4 KiB pages a large state costs a TLB
// miss every 4 KiB of each stream.  The arrays keep their allocation as it is
// (64-byte aligned, the bytes state_vector_bytes counts), so the pages they
// touch stay the same; the head and tail of an array that are not a whole
// aligned 2 MiB page keep 4 KiB pages.  Where the kernel refuses (THP
// disabled, or memory it cannot advise) the array simply keeps 4 KiB pages.
inline void advise_huge_pages(void* p, uint64_t bytes) {
    constexpr uintptr_t huge = uintptr_t{1} << 21;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t begin = (start + huge - 1) & ~(huge - 1);
    const uintptr_t end = (start + bytes) & ~(huge - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

[[noreturn]] inline void throw_state_allocation_failure() {
    throw std::runtime_error("Failed to allocate memory for StateVector");
}

template <typename T>
class StateVector;

// Sets the state to |0...0>, zeroed by the team the kernels will use, each
// thread its own share, so that each page of a new state is first touched by
// the thread that works on it.
template <typename T>
void reset_to_zero_state(StateVector<T>& sv) {
    T* const re = sv.real;
    T* const im = sv.imag;
    launch_kernel(sv.num_qubits, static_cast<int64_t>(sv.dim), [re, im](int64_t first, int64_t count) {
        std::memset(re + first, 0, static_cast<size_t>(count) * sizeof(T));
        std::memset(im + first, 0, static_cast<size_t>(count) * sizeof(T));
    });
    re[0] = T(1);
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
        if (state_vector_bytes<T>(n) == UINT64_MAX) throw_state_allocation_failure();
        const uint64_t bytes = state_array_bytes<T>(n);
        const uint64_t shift = imag_shift_bytes(bytes);
        real = static_cast<T*>(std::aligned_alloc(64, bytes));
        char* const imag_block = static_cast<char*>(std::aligned_alloc(64, bytes + shift));
        if (real == nullptr || imag_block == nullptr) {
            std::free(real);
            std::free(imag_block);
            real = nullptr;
            throw_state_allocation_failure();
        }
        imag = reinterpret_cast<T*>(imag_block + shift);
        advise_huge_pages(real, bytes);
        advise_huge_pages(imag, bytes);
        reset_to_zero_state(*this);
    }

    // A view of n qubits on arrays owned elsewhere (a chunk of a larger
    // state): nothing is allocated, zeroed or freed.
    StateVector(int n, T* re, T* im) : num_qubits(n), dim(uint64_t{1} << n), real(re), imag(im), owns(false) {}

    ~StateVector() {
        if (!owns) return;
        if (real != nullptr) std::free(real);
        if (imag != nullptr) std::free(reinterpret_cast<char*>(imag) - imag_shift_bytes(state_array_bytes<T>(num_qubits)));
    }

    StateVector(const StateVector&) = delete;
    StateVector& operator=(const StateVector&) = delete;
};

// The state |0...0> on n qubits held in `slot`: made there on first use,
// reset for each further one, so that a loop of runs allocates it once.
template <typename T>
StateVector<T>& fresh_zero_state(std::optional<StateVector<T>>& slot, int n) {
    if (slot) reset_to_zero_state(*slot);
    else slot.emplace(n);
    return *slot;
}

// Software prefetch of the kernel loops: the cache sizes it depends on, the
// states whose kernels use it, the distance ahead of each stream and the
// helpers that fetch one register's line.
#pragma once

#include <immintrin.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

// Bytes of one core's own cache (L2), read once on first use; 256 KiB when
// the system does not say.
inline uint64_t core_cache_bytes() {
    static const uint64_t bytes = [] {
        const long level2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
        if (level2 > 0) return static_cast<uint64_t>(level2);
        uint64_t size = 0;
        char unit = 0;
        if (FILE* f = std::fopen("/sys/devices/system/cpu/cpu0/cache/index2/size", "r")) {
            unsigned long long value = 0;
            if (std::fscanf(f, "%llu%c", &value, &unit) >= 1)
                size = value << (unit == 'K' ? 10 : unit == 'M' ? 20 : 0);
            std::fclose(f);
        }
        return size > 0 ? size : uint64_t{256} << 10;
    }();
    return bytes;
}

// Bytes of the last-level cache, read once on first use; 0 when the system
// does not say.
inline uint64_t shared_cache_bytes() {
    static const uint64_t bytes = [] {
        const long level3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
        return level3 > 0 ? static_cast<uint64_t>(level3) : uint64_t{0};
    }();
    return bytes;
}

// States of the enclosing region that run at once, one per thread: 1
// outside a region.
inline uint64_t running_states() {
    return omp_in_parallel() ? static_cast<uint64_t>(omp_get_num_threads()) : 1;
}

// True when the last-level cache holds `states` states whose arrays (two
// each) take array_bytes.
inline bool last_level_holds(uint64_t array_bytes, uint64_t states) {
    return array_bytes <= shared_cache_bytes() / (2 * states);
}

// True when the kernels on a state of dim amplitudes of T fetch ahead of
// their loads: when its arrays stream from memory.  They do not when the
// core's own cache holds them, nor when the last-level cache holds them with
// the states of the other threads of the enclosing region (a batch region):
// there the hardware prefetchers keep up, and the prefetches only take load
// slots (13- to 18-qubit states ran their kernels 10-25 % faster without).
// prefetch_override, set by tests, decides instead: 1, every walk
// prefetches; -1, none does; 0, as above.
inline int prefetch_override = 0;

template <typename T>
bool streams_from_memory(uint64_t dim) {
    if (prefetch_override != 0) return prefetch_override > 0;
    const uint64_t array_bytes = dim * sizeof(T);
    if (2 * array_bytes <= core_cache_bytes()) return false;
    return !last_level_holds(array_bytes, running_states());
}

namespace sv_detail {

// Software prefetch.  The last-level cache of a large processor is far away:
// with only two to eight streams per kernel, the hardware prefetchers alone
// leave the loads waiting, so the loops fetch the lines they will read this
// many bytes ahead in each stream.
inline constexpr uint64_t kPrefetchBytes = 8192;

template <typename T>
[[gnu::always_inline]] inline void prefetch_register(const T* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
}

// Elements of T in a 64-byte line, and the prefetch distance in elements.
template <typename T>
inline constexpr uint64_t kLine = 64 / sizeof(T);
template <typename T>
inline constexpr uint64_t kPrefetchAhead = kPrefetchBytes / sizeof(T);

// Prefetches p[j + kPrefetchAhead] when it lies before p[n], the end of the
// range the loop walks (nothing beyond it is fetched).
template <typename T>
[[gnu::always_inline]] inline void prefetch_within(const T* p, uint64_t j, uint64_t n) {
    if (j + kPrefetchAhead<T> < n) prefetch_register(p + j + kPrefetchAhead<T>);
}

}  // namespace sv_detail

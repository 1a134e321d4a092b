// Software prefetch of the kernel loops: the distance ahead of each stream
// and the helpers that fetch one register's line.
#pragma once

#include <immintrin.h>

#include <cstdint>

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

// Index runs and work units: the runs of indices whose fixed bits match,
// the pair loop over such runs, and the aligned work units of the reset
// kernels split over a team.
#pragma once

#include <immintrin.h>
#include <omp.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "statevector/prefetch.h"
#include "statevector/state_vector.h"

namespace sv_detail {

// The per-amplitude loops below (and those of the dense and reset kernels)
// are marked flatten: the element operation is always inlined into the loop,
// so it vectorises even in large translation units where the inliner's
// budget would otherwise leave a call per amplitude.

// op(x0, y0, x1, y1) on the n pairs (r0[j] + i i0[j], r1[j] + i i1[j]).  The four
// runs never overlap, which lets the loop vectorise without alias checks.
template <typename T, typename Op>
[[gnu::flatten]]
inline void pair_run(T* __restrict r0, T* __restrict i0, T* __restrict r1, T* __restrict i1, uint64_t n,
                     const Op& op) {
    constexpr uint64_t line = kLine<T>, ahead = kPrefetchAhead<T>;
    uint64_t j = 0;
    while (j + ahead < n) {  // a line at a time, prefetching ahead within the run
        prefetch_register(r0 + j + ahead);
        prefetch_register(i0 + j + ahead);
        prefetch_register(r1 + j + ahead);
        prefetch_register(i1 + j + ahead);
        for (uint64_t e = j + line; j < e; ++j) op(r0[j], i0[j], r1[j], i1[j]);
    }
    for (; j < n; ++j) op(r0[j], i0[j], r1[j], i1[j]);
}

// Calls fn(start, length) for the maximal runs of [base, base + len) whose
// indices have every bit of `controls` set, in increasing order.  base is a
// multiple of len (a power of two), so bits at or above len are constant
// over the range and are tested once.
template <typename Fn>
inline void for_each_controlled_run(uint64_t base, uint64_t len, uint64_t controls, const Fn& fn) {
    const uint64_t high = controls & ~(len - 1);
    if ((base & high) != high) return;
    const uint64_t low = controls & (len - 1);
    if (low == 0) {
        fn(base, len);
        return;
    }
    const uint64_t run = low & (~low + 1);  // lowest control bit: the run length
    const uint64_t free_bits = (len - 1) & ~low & ~(run - 1);
    const uint64_t runs = uint64_t{1} << std::popcount(free_bits);
    for (uint64_t k = 0; k < runs; ++k) fn(base + (_pdep_u64(k, free_bits) | low), run);
}

// OR of the control masks when each is a single bit (the usual form 1 << c);
// returns false when some mask is zero or has several bits, which the callers
// then test index by index.
inline bool combine_single_bit_masks(const std::vector<uint64_t>& masks, uint64_t& combined) {
    combined = 0;
    for (uint64_t m : masks) {
        if (!std::has_single_bit(m)) return false;
        combined |= m;
    }
    return true;
}

inline bool all_masks_set(uint64_t i, const std::vector<uint64_t>& masks) {
    for (uint64_t m : masks)
        if ((i & m) == 0) return false;
    return true;
}

// Calls fn(start, length) for the maximal runs of indices of the aligned range
// [base, base + len) that have every bit of `clear` clear and every bit of
// `set` set, in increasing order.
template <typename Fn>
inline void for_each_run(uint64_t base, uint64_t len, uint64_t clear, uint64_t set, const Fn& fn) {
    if (clear == 0) {
        for_each_controlled_run(base, len, set, fn);
        return;
    }
    const uint64_t top = uint64_t{1} << (63 - std::countl_zero(clear));
    const uint64_t rest = clear & ~top;
    if (len <= top) {
        if ((base & top) == 0) for_each_run(base, len, rest, set, fn);
    } else {
        for (uint64_t s = base; s < base + len; s += 2 * top) for_each_run(s, top, rest, set, fn);
    }
}

// Work units of a kernel region: aligned ranges of `unit` amplitudes.  Only
// the units whose index bits at or above the unit size match the kernel's
// fixed bits (`clear` clear, `set` set) can hold work, so only those are
// counted and split over the team: a high target or control then does not
// leave threads idle.  The kernels enumerate their pairs and groups inside a
// unit from index bits alone (for_each_run), so the unit size changes which
// thread updates a pair, never how it is updated.
struct UnitSpace {
    uint64_t unit;      // amplitudes per unit (a power of two)
    uint64_t free_high; // index bits at or above the unit that vary between active units
    uint64_t set_high;  // index bits at or above the unit set in every active unit
    int64_t count;      // number of active units
    // First amplitude of active unit a (increasing in a).
    uint64_t base(int64_t a) const { return _pdep_u64(static_cast<uint64_t>(a), free_high) | set_high; }
};

inline UnitSpace unit_space_of(uint64_t dim, uint64_t unit, uint64_t clear, uint64_t set) {
    const uint64_t high = ~(unit - 1) & (dim - 1);
    const uint64_t fixed = (clear | set) & high;
    UnitSpace s{unit, high & ~fixed, set & high, 0};
    if ((clear & set) == 0) s.count = static_cast<int64_t>((dim / unit) >> std::popcount(fixed));
    return s;
}

// Units of at least `block` amplitudes (and at least 4096), halved while
// there are too few active units to keep the team busy.
inline UnitSpace unit_space(uint64_t dim, uint64_t block, int team, uint64_t clear, uint64_t set) {
    constexpr uint64_t min_unit = 4096;
    uint64_t unit = block < min_unit ? min_unit : block;
    if (unit > dim) unit = dim;
    UnitSpace s = unit_space_of(dim, unit, clear, set);
    if (team > 1)
        while (s.count < 8 * static_cast<int64_t>(team) && s.unit > min_unit)
            s = unit_space_of(dim, s.unit / 2, clear, set);
    return s;
}

// The region body that runs per_unit(start, length) on a thread's share
// (first, count) of the active units of `space`, in increasing index order.
template <typename Fn>
inline auto unit_share_body(const UnitSpace& space, const Fn& per_unit) {
    return [&space, &per_unit](int64_t first, int64_t count) {
        for (int64_t u = first; u < first + count; ++u) per_unit(space.base(u), space.unit);
    };
}

// Runs per_unit(start, length) for every active work unit of the state on one
// region of `team` threads (team <= 0: the runtime's default team), each
// thread taking a contiguous share of the active units from
// static_block_partition.
template <typename Fn>
inline void run_units(int team, uint64_t dim, uint64_t block, uint64_t clear, uint64_t set, const Fn& per_unit) {
    const UnitSpace space = unit_space(dim, block, team > 0 ? team : omp_get_max_threads(), clear, set);
    run_kernel_region(team, space.count, unit_share_body(space, per_unit));
}

// Pair updates of a one-qubit operation without controls (pairs i, i + half
// with bit `half` of i clear) over the unit [start, start + len).  Targets
// below the vector width take a path with the pair layout fixed at compile
// time, which the compiler vectorises across pairs.
template <int H, typename T, typename Op>
[[gnu::flatten]]
inline void small_pairs(T* __restrict re, T* __restrict im, uint64_t len, const Op& op) {
    constexpr uint64_t line = kLine<T>;
    for (uint64_t b = 0; b < len; b += line) {  // a line at a time, prefetching ahead within the unit
        prefetch_within(re, b, len);
        prefetch_within(im, b, len);
        for (uint64_t c = b; c < b + line && c < len; c += 2 * H)
            for (int j = 0; j < H; ++j) op(re[c + j], im[c + j], re[c + H + j], im[c + H + j]);
    }
}

template <typename T, typename Op>
inline void unit_pairs(T* re, T* im, uint64_t start, uint64_t len, uint64_t half, const Op& op) {
    if (len >= 2 * half) {
        switch (half) {
            case 1: return small_pairs<1>(re + start, im + start, len, op);
            case 2: return small_pairs<2>(re + start, im + start, len, op);
            case 4: return small_pairs<4>(re + start, im + start, len, op);
            default: break;
        }
    }
    for_each_run(start, len, half, 0, [&](uint64_t i, uint64_t n) {
        pair_run(re + i, im + i, re + i + half, im + i + half, n, op);
    });
}

}  // namespace sv_detail

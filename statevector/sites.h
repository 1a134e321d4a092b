// The site index of the gate kernels: the registers a kernel visits as a
// compressed index, the walk over a thread's share of it that prefetches the
// registers ahead, the padded copy of states smaller than one register, and
// the launch of a record over its sites.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "statevector/prefetch.h"
#include "statevector/simd.h"
#include "statevector/state_vector.h"

namespace sv_detail {

// The registers a kernel visits, as a compressed index.  Bits of the
// amplitude index at or above the lane bits that a kernel fixes (a target
// bit clear, control bits set) are left out; site k of the compressed space
// is the register starting at amplitude (pdep(k, free) | set) * W.  The sites
// are numbered in increasing amplitude order, and runs of `run` consecutive
// sites are registers `step` apart: consecutive registers (step 1), or, where
// the lowest register bit is fixed, every 2^c-th register (c the fixed bits
// at the bottom), so that a walk does not restart at every site.  Walks
// prefetch ahead only where the state streams from memory.
struct SiteSpace {
    uint64_t free;  // register-index bits that vary
    uint64_t set;   // register-index bits set in every site
    uint64_t run;   // consecutive sites that are registers `step` apart
    uint64_t step;  // registers between the sites of a run
    int64_t count;  // number of sites
    bool prefetch;  // streams_from_memory of the state
};

// Sites of a state of dim >= W amplitudes whose index has the bits of
// `clear` clear and those of `set` set; lane bits of both masks are ignored
// (the kernels handle them inside the registers).
template <typename T>
inline SiteSpace site_space(uint64_t dim, uint64_t clear, uint64_t set) {
    constexpr int lane_bits = std::countr_zero(Simd<T>::lanes);
    const uint64_t regs = dim >> lane_bits;
    const uint64_t c = (clear >> lane_bits) & (regs - 1), s = (set >> lane_bits) & (regs - 1);
    const uint64_t fixed = c | s;
    SiteSpace sp{(regs - 1) & ~fixed, s, 0, 1, 0, streams_from_memory<T>(dim)};
    if ((c & s) != 0) return sp;  // a bit both clear and set: no site
    sp.count = static_cast<int64_t>(regs >> std::popcount(fixed));
    sp.run = fixed == 0 ? regs : (fixed & (~fixed + 1));
    if (sp.run == 1 && sp.free != 0) {  // bit 0 fixed: the free bits above the lowest fixed ones
        sp.step = sp.free & (~sp.free + 1);
        const uint64_t above = fixed & ~(sp.step - 1);  // fixed bits above the step (it is free)
        const uint64_t stop = above == 0 ? regs : (above & (~above + 1));
        sp.run = stop / sp.step;
    }
    return sp;
}

// How far ahead a loop over sites prefetches, in sites (registers of 32
// bytes): kPrefetchBytes of each stream for steps of a few instructions (the
// fixed and 2x2 kernels), a quarter of that for the 4x4 steps, which take
// ten times as long.
inline constexpr uint64_t kPrefetchSites = kPrefetchBytes / 32;
inline constexpr uint64_t kPrefetchSites4x4 = kPrefetchSites / 4;

// Prefetch of the registers one step reads: the register at a and at a plus
// each further offset, in both arrays, `ahead` sites before the step.
template <typename T, int N, uint64_t Ahead = kPrefetchSites>
struct SitePrefetch {
    static constexpr uint64_t ahead = Ahead;
    const T* re;
    const T* im;
    uint64_t offset[N];  // offset[0] is 0
    [[gnu::always_inline]] void operator()(uint64_t a) const {
        for (int j = 0; j < N; ++j) {
            prefetch_register(re + a + offset[j]);
            prefetch_register(im + a + offset[j]);
        }
    }
};

struct NoPrefetch {
    static constexpr uint64_t ahead = 0;
    void operator()(uint64_t) const {}
};

template <typename T, uint64_t Ahead = kPrefetchSites>
inline SitePrefetch<T, 1, Ahead> prefetch_at(const T* re, const T* im) {
    return {re, im, {0}};
}

// The register at a and its partner at a + partner.
template <typename T, uint64_t Ahead = kPrefetchSites>
inline SitePrefetch<T, 2, Ahead> prefetch_pairs(const T* re, const T* im, uint64_t partner) {
    return {re, im, {0, partner}};
}

// fn(a) for the sites first .. first + count - 1, a being the register's
// first amplitude index.  Where the space prefetches, prefetch(b) is called
// before each step for the site d = prefetch.ahead further on, while that
// site lies in the range and starts a 64-byte line (two consecutive
// registers share a line; sites further apart, or a run of one register, are
// lines of their own), so only lines the loop will visit are fetched.
// Within a run the target is a fixed distance ahead; the last steps of a run
// take theirs from the following runs through a second cursor.
template <typename T, typename Prefetch, typename Fn>
[[gnu::always_inline]] inline void for_each_site(const SiteSpace& sp, int64_t first, int64_t count,
                                                 const Prefetch& prefetch, const Fn& fn) {
    constexpr uint64_t W = Simd<T>::lanes;
    static_assert(W * sizeof(T) == 32, "two registers per 64-byte line");
    const uint64_t run = sp.run;
    const uint64_t stride = sp.step * W;  // amplitudes between the sites of a run
    const uint64_t line_sites = sp.step == 1 && run > 1 ? 2 : 1;  // sites whose registers share a line
    const auto address = [&sp](uint64_t k) { return (_pdep_u64(k, sp.free) | sp.set) * W; };
    uint64_t k = static_cast<uint64_t>(first);
    const uint64_t end = k + static_cast<uint64_t>(count);
    if (Prefetch::ahead == 0 || !sp.prefetch) {
        while (k < end) {
            const uint64_t run_end = std::min(end, (k | (run - 1)) + 1);
            for (uint64_t a = address(k); k < run_end; ++k, a += stride) fn(a);
        }
    } else {
        constexpr uint64_t d = Prefetch::ahead;
        uint64_t p = 0, pa = 0, p_run_end = 0;  // the cross-run cursor: site, register, end of its run
        while (k < end) {
            const uint64_t run_end = std::min(end, (k | (run - 1)) + 1);
            uint64_t a = address(k);
            for (; k + d < run_end; ++k, a += stride) {  // runs longer than d only: their lines start at even k
                if ((k & (line_sites - 1)) == 0) prefetch(a + d * stride);
                fn(a);
            }
            if (p != k + d) {
                p = k + d;
                pa = address(p);
                p_run_end = (p | (run - 1)) + 1;
            }
            for (; k < run_end; ++k, a += stride) {
                if (p < end) {
                    if ((p & (line_sites - 1)) == 0) prefetch(pa);
                    ++p;
                    pa += stride;
                    if (p == p_run_end) {
                        pa = address(p);
                        p_run_end = p + run;
                    }
                }
                fn(a);
            }
        }
    }
}

// Runs fn(real, imag, dim) on the state's arrays, or, for a state smaller
// than one register, on a zero-padded register-sized copy that is copied
// back afterwards.  Every qubit of such a state lies in the lane bits and no
// lane at or above dim pairs with one below it, so the padding never mixes
// into the result.
template <typename T, typename Fn>
inline void on_registers(StateVector<T>& sv, const Fn& fn) {
    constexpr uint64_t W = Simd<T>::lanes;
    if (sv.dim >= W) {
        fn(sv.real, sv.imag, sv.dim);
        return;
    }
    alignas(32) T re[W] = {}, im[W] = {};
    std::memcpy(re, sv.real, sv.dim * sizeof(T));
    std::memcpy(im, sv.imag, sv.dim * sizeof(T));
    fn(re, im, W);
    std::memcpy(sv.real, re, sv.dim * sizeof(T));
    std::memcpy(sv.imag, im, sv.dim * sizeof(T));
}

// Runs kernel(record, first, count) on one region over the record's sites.
template <typename T, typename Record, typename Kernel>
inline void launch_sites(const StateVector<T>& sv, const Record& rec, const Kernel& kernel) {
    launch_kernel(sv.num_qubits, rec.sites.count,
                  [&rec, &kernel](int64_t first, int64_t count) { kernel(rec, first, count); });
}

}  // namespace sv_detail

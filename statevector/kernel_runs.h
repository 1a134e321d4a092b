// Building blocks shared by the kernel bodies: the work units and runs of
// the reset kernels, and the registers, site index (with its prefetching)
// and bodies of the gate kernels.
#pragma once

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "statevector/state_vector.h"

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


// ---------------------------------------------------------------------------
// Register-level kernels.  A 256-bit register holds W = 8 floats or 4 doubles
// of one array: the amplitudes of an aligned run of W indices, whose qubits
// 0 .. log2(W) - 1 (the lane bits) vary inside the register.

template <typename T>
struct Simd;

template <>
struct Simd<float> {
    using V = __m256;
    static constexpr uint64_t lanes = 8;
    static V load(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, V v) { _mm256_store_ps(p, v); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }  // a b + c, one rounding
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_ps(a, b, c); }  // a b - c, one rounding
    static V bxor(V a, V b) { return _mm256_xor_ps(a, b); }
    static V blend(V a, V b, V take_b) { return _mm256_blendv_ps(a, b, take_b); }
    static V permute(V v, __m256i idx) { return _mm256_permutevar8x32_ps(v, idx); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load_lanes(const float* p) { return _mm256_loadu_ps(p); }
};

template <>
struct Simd<double> {
    using V = __m256d;
    static constexpr uint64_t lanes = 4;
    static V load(const double* p) { return _mm256_load_pd(p); }
    static void store(double* p, V v) { _mm256_store_pd(p, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }
    static V bxor(V a, V b) { return _mm256_xor_pd(a, b); }
    static V blend(V a, V b, V take_b) { return _mm256_blendv_pd(a, b, take_b); }
    // A double is two 32-bit lanes: the index moves both halves together.
    static V permute(V v, __m256i idx) { return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), idx)); }
    static V set1(double x) { return _mm256_set1_pd(x); }
    static V load_lanes(const double* p) { return _mm256_loadu_pd(p); }
};

// Register whose lane k holds f(k).
template <typename T, typename F>
inline typename Simd<T>::V lane_values(const F& f) {
    T v[Simd<T>::lanes];
    for (uint64_t k = 0; k < Simd<T>::lanes; ++k) v[k] = static_cast<T>(f(k));
    return Simd<T>::load_lanes(v);
}

// All bits set in the lanes k where on(k) holds, zero elsewhere (a blend
// selector), or -0 there (a sign flip for xor).
template <typename T, typename F>
inline typename Simd<T>::V lane_mask(const F& on) {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    T v[Simd<T>::lanes];
    for (uint64_t k = 0; k < Simd<T>::lanes; ++k) {
        const U bits = on(k) ? ~U{0} : U{0};
        std::memcpy(&v[k], &bits, sizeof bits);
    }
    return Simd<T>::load_lanes(v);
}

template <typename T, typename F>
inline typename Simd<T>::V lane_sign(const F& on) {
    return lane_values<T>([&](uint64_t k) { return on(k) ? T(-0.0) : T(0.0); });
}

// Permutation index for Simd<T>::permute: lane k takes lane from(k).
template <typename T, typename F>
inline __m256i lane_permutation(const F& from) {
    alignas(32) int32_t idx[8];
    for (int j = 0; j < 8; ++j) {
        idx[j] = Simd<T>::lanes == 8 ? static_cast<int32_t>(from(j))
                                     : static_cast<int32_t>(2 * from(static_cast<uint64_t>(j / 2)) + j % 2);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
}

// The registers a kernel visits, as a compressed index.  Bits of the
// amplitude index at or above the lane bits that a kernel fixes (a target
// bit clear, control bits set) are left out; site k of the compressed space
// is the register starting at amplitude (pdep(k, free) | set) * W.  The sites
// are numbered in increasing amplitude order, and runs of `run` consecutive
// sites are consecutive registers.
struct SiteSpace {
    uint64_t free;  // register-index bits that vary
    uint64_t set;   // register-index bits set in every site
    uint64_t run;   // consecutive sites that are consecutive registers
    int64_t count;  // number of sites
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
    SiteSpace sp{(regs - 1) & ~fixed, s, 0, 0};
    if ((c & s) != 0) return sp;  // a bit both clear and set: no site
    sp.count = static_cast<int64_t>(regs >> std::popcount(fixed));
    sp.run = fixed == 0 ? regs : (fixed & (~fixed + 1));
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
// first amplitude index.  Before each step, prefetch(b) is called for the
// site d = prefetch.ahead further on, while that site lies in the range and
// starts a 64-byte line (two registers share a line; a run of one register
// is a line of its own), so only lines the loop will visit are fetched.
// Within a run the target is a fixed distance ahead; the last steps of a run
// take theirs from the following runs through a second cursor.
template <typename T, typename Prefetch, typename Fn>
[[gnu::always_inline]] inline void for_each_site(const SiteSpace& sp, int64_t first, int64_t count,
                                                 const Prefetch& prefetch, const Fn& fn) {
    constexpr uint64_t W = Simd<T>::lanes;
    static_assert(W * sizeof(T) == 32, "two registers per 64-byte line");
    const uint64_t run = sp.run;
    const auto address = [&sp](uint64_t k) { return (_pdep_u64(k, sp.free) | sp.set) * W; };
    uint64_t k = static_cast<uint64_t>(first);
    const uint64_t end = k + static_cast<uint64_t>(count);
    if constexpr (Prefetch::ahead == 0) {
        while (k < end) {
            const uint64_t run_end = std::min(end, (k | (run - 1)) + 1);
            for (uint64_t a = address(k); k < run_end; ++k, a += W) fn(a);
        }
    } else {
        constexpr uint64_t d = Prefetch::ahead;
        uint64_t p = 0, pa = 0, p_run_end = 0;  // the cross-run cursor: site, register, end of its run
        while (k < end) {
            const uint64_t run_end = std::min(end, (k | (run - 1)) + 1);
            uint64_t a = address(k);
            for (; k + d < run_end; ++k, a += W) {  // runs longer than d only: k even starts a line
                if ((k & 1) == 0) prefetch(a + d * W);
                fn(a);
            }
            if (p != k + d) {
                p = k + d;
                pa = address(p);
                p_run_end = (p | (run - 1)) + 1;
            }
            for (; k < run_end; ++k, a += W) {
                if (p < end) {
                    if (run == 1 || (p & 1) == 0) prefetch(pa);
                    ++p;
                    pa += W;
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

// Launch record of a one-target kernel: the pairs (i, i + target) with the
// target bit of i clear and every control bit set.  Controls at or above the
// lane bits are fixed bits of the sites; those below (lane_controls) select
// lanes inside the registers.
template <typename T, typename Op>
struct TargetRecord {
    T* real;
    T* imag;
    uint64_t target;         // 2^t
    uint64_t lane_controls;  // control bits below the lane width
    SiteSpace sites;
    Op op;
    typename Simd<T>::V controlled;  // lanes whose lane_controls are all set
};

// The record for target mask `target` and control bits `controls` (none
// equal to the target), with `op` built for the target.  Operations on
// single amplitudes pass target 0 and every bit they require as controls.
template <typename T, typename Op>
inline TargetRecord<T, Op> target_record(T* re, T* im, uint64_t dim, uint64_t target, uint64_t controls,
                                         const Op& op) {
    constexpr uint64_t W = Simd<T>::lanes;
    const uint64_t lane_controls = controls & (W - 1);
    const SiteSpace sites = site_space<T>(dim, target, controls);
    return {re, im, target, lane_controls, sites, op,
            lane_mask<T>([lane_controls](uint64_t k) { return (k & lane_controls) == lane_controls; })};
}

// Body of an operation on single registers: op.lanes(r, i) on every site,
// kept in the lanes whose low control bits are all set.  Operations on single
// amplitudes (records with target 0) and low targets use it.
template <typename T, typename RecordOp, typename Op>
[[gnu::always_inline]] inline void single_body(const TargetRecord<T, RecordOp>& rec, int64_t first, int64_t count,
                                               const Op& op) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    const V on = rec.controlled;
    const bool all = rec.lane_controls == 0;
    for_each_site<T>(rec.sites, first, count, prefetch_at(re, im), [&](uint64_t a) {
        const V r = S::load(re + a), i = S::load(im + a);
        V nr = r, ni = i;
        op.lanes(nr, ni);
        if (!all) {
            nr = S::blend(r, nr, on);
            ni = S::blend(i, ni, on);
        }
        S::store(re + a, nr);
        S::store(im + a, ni);
    });
}

// Pair body of a one-target operation.  A target at or above the lane bits
// pairs register a with register a + target: op.pair(r0, i0, r1, i1).  A
// target below pairs lanes of one register: op.lanes(r, i).  Lanes whose
// low controls are not all set keep their old values.
template <typename T, typename RecordOp, typename Op>
[[gnu::always_inline]] inline void pair_body(const TargetRecord<T, RecordOp>& rec, int64_t first, int64_t count,
                                             const Op& op) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    const V on = rec.controlled;
    const bool all = rec.lane_controls == 0;
    if (rec.target >= S::lanes) {
        const uint64_t t = rec.target;
        for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
            const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
            V nr0 = r0, ni0 = i0, nr1 = r1, ni1 = i1;
            op.pair(nr0, ni0, nr1, ni1);
            if (!all) {
                nr0 = S::blend(r0, nr0, on);
                ni0 = S::blend(i0, ni0, on);
                nr1 = S::blend(r1, nr1, on);
                ni1 = S::blend(i1, ni1, on);
            }
            S::store(re + a, nr0);
            S::store(im + a, ni0);
            S::store(re + a + t, nr1);
            S::store(im + a + t, ni1);
        });
    } else {
        single_body(rec, first, count, op);
    }
}

// Exchange of the pairs of a one-target record (X, CX, CCX).  A high target
// swaps registers, in the controlled lanes only; a low target permutes each
// register, the low controls folded into the permutation.
template <typename T>
struct ExchangeOp {
    __m256i perm;  // lane k takes lane k ^ target where the low controls are set
};

template <typename T>
inline ExchangeOp<T> exchange_op(uint64_t target, uint64_t controls) {
    const uint64_t low = controls & (Simd<T>::lanes - 1);
    return {lane_permutation<T>([=](uint64_t k) { return (k & low) == low && target < Simd<T>::lanes ? k ^ target : k; })};
}

template <typename T>
[[gnu::always_inline]] inline void exchange_body(const TargetRecord<T, ExchangeOp<T>>& rec, int64_t first,
                                                 int64_t count) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    if (rec.target >= S::lanes) {
        const uint64_t t = rec.target;
        const V on = rec.controlled;
        if (rec.lane_controls == 0) {
            for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
                const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
                S::store(re + a, r1);
                S::store(im + a, i1);
                S::store(re + a + t, r0);
                S::store(im + a + t, i0);
            });
        } else {
            for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
                const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
                S::store(re + a, S::blend(r0, r1, on));
                S::store(im + a, S::blend(i0, i1, on));
                S::store(re + a + t, S::blend(r1, r0, on));
                S::store(im + a + t, S::blend(i1, i0, on));
            });
        }
    } else {
        const __m256i perm = rec.op.perm;
        for_each_site<T>(rec.sites, first, count, prefetch_at(re, im), [&](uint64_t a) {
            // Both loads before the stores: the arrays share their page offsets, and a
            // load behind a store to the same offset in the other array would wait.
            const V r = S::load(re + a), i = S::load(im + a);
            S::store(re + a, S::permute(r, perm));
            S::store(im + a, S::permute(i, perm));
        });
    }
}

// Runs kernel(record, first, count) on one region over the record's sites.
template <typename T, typename Record, typename Kernel>
inline void launch_sites(const StateVector<T>& sv, const Record& rec, const Kernel& kernel) {
    launch_kernel(sv.num_qubits, rec.sites.count,
                  [&rec, &kernel](int64_t first, int64_t count) { kernel(rec, first, count); });
}

// One-target launch: record for `target` under `controls`, kernel on it.
template <typename T, typename Op, typename Kernel>
inline void launch_target(StateVector<T>& sv, uint64_t target, uint64_t controls, const Op& op, const Kernel& kernel) {
    if ((controls & target) != 0) return;  // a control on the target: no pair qualifies
    on_registers(sv, [&](T* re, T* im, uint64_t dim) {
        launch_sites(sv, target_record(re, im, dim, target, controls, op), kernel);
    });
}

// Single-amplitude launch: op on the amplitudes with every bit of `bits` set.
template <typename T, typename Op, typename Kernel>
inline void launch_single(StateVector<T>& sv, uint64_t bits, const Op& op, const Kernel& kernel) {
    launch_target(sv, 0, bits, op, kernel);
}

}  // namespace sv_detail

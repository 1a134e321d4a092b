// Dense 4x4 matrices on two targets, without or under a list of controls,
// accumulated in double for both amplitude types.
//
// Each group of four amplitudes (bits lo and hi of its first index g clear)
// is updated in 256-bit registers of four doubles.  Where the targets lie at
// or above the register width, a register holds the same group position of
// four neighbouring groups.  Targets below it (lo in 0..2 for float, 0..1 for
// double) are handled inside the registers: lane permutes gather each lane's
// group members and a matrix expanded per lane, built once per launch, gives
// every lane its own row.  The steps run over the compressed site index of
// sites.h: target bits at or above the register width are clear in every
// site and control bits there are set, so registers outside the gate are
// never read; control bits below it keep the old values of their lanes with
// a blend.  A diagonal matrix (RZZ) skips its products by zero where they
// cannot change a bit: on registers whose amplitudes are all finite.
//
// The row arithmetic, the lane-expanded matrix and the register layouts are
// in matrix_4x4.h; here are the record, the steps over the sites, the kernel
// bodies and the launches.
#pragma once

#include <immintrin.h>

#include <complex>
#include <cstdint>
#include <vector>

#include "statevector/index_runs.h"
#include "statevector/matrix_4x4.h"
#include "statevector/simd.h"
#include "statevector/sites.h"
#include "statevector/state_vector.h"

using GateMatrix = std::vector<std::complex<double>>;  // row-major, 4 or 16 entries

namespace sv_detail {

template <typename T>
struct Matrix2qRecord {
    T* real;
    T* imag;
    uint64_t lo, hi;                     // 2^lo, 2^hi
    SiteSpace sites;                     // registers of the steps: bits lo, hi clear, high controls set
    uint64_t controls;                   // OR of the single-bit control masks
    const std::vector<uint64_t>* masks;  // non-null: some mask is not a single bit, tested per group
    bool fuse_mim_xr;                    // targets (0, 1), (0, 2): see row_4x4
    bool diagonal;                       // every entry off the diagonal is zero
    Layout4x4 layout;
    alignas(32) int64_t keep[2][4];      // per half and lane: all ones where the low control bits are set
    Matrix4x4 m;
    LaneMatrix4x4 lanes;
    // Diagonal entries per lane where a register's lanes hold different group
    // positions: set 0 for the register with positions 0 and 1 (or, targets
    // 0 and 1, all four), set 1 for the one with 2 and 3.
    alignas(32) double diag_re[2][4];
    alignas(32) double diag_im[2][4];
};

// Where the results of one half are stored: the blend keeps the old values
// of the lanes whose low control bits are clear.
template <typename T, bool Blend>
[[gnu::always_inline]] inline void store_half(const Matrix2qRecord<T>& rec, T* re, T* im, uint64_t at, int h,
                                              __m256d xr, __m256d xi, __m256d yr, __m256d yi) {
    if constexpr (Blend) {
        const __m256d keep = _mm256_castsi256_pd(_mm256_load_si256(reinterpret_cast<const __m256i*>(rec.keep[h])));
        yr = _mm256_blendv_pd(xr, yr, keep);
        yi = _mm256_blendv_pd(xi, yi, keep);
    }
    Wide<T>::store_half(re + at, h, yr);
    Wide<T>::store_half(im + at, h, yi);
}

// A diagonal matrix on registers whose amplitudes are all finite: each
// register x, with its per-lane diagonal entries (er, ei), becomes its own
// row (diagonal_row_4x4), stored back where it was read.
template <typename T, bool F, bool Blend>
[[gnu::always_inline]] inline void diagonal_half(const Matrix2qRecord<T>& rec, T* re, T* im, uint64_t at, int h,
                                                 __m256d er, __m256d ei, __m256d xr, __m256d xi) {
    __m256d yr, yi;
    diagonal_row_4x4<F>(er, ei, xr, xi, yr, yi);
    store_half<T, Blend>(rec, re, im, at, h, xr, xi, yr, yi);
}

// One step: the groups whose members lie in the registers at g (and at
// g + 2^lo, g + 2^hi, g + 2^lo + 2^hi as the layout needs), one half of four
// doubles after the other.  Each half's inputs stay in registers while its
// rows are formed, so every row is stored as soon as it is done.  Diag: the
// matrix is diagonal, and registers whose amplitudes are surely finite take
// the diagonal rows (the same bits without the products by zero).
template <typename T, Layout4x4 L, int D, bool F, bool Blend, bool Diag = false>
[[gnu::always_inline]] inline void step_4x4(const Matrix2qRecord<T>& rec, T* re, T* im, uint64_t g) {
    using W = Wide<T>;
    constexpr int H = W::halves;
    const LaneMatrix4x4& e = rec.lanes;
    __m256d xr[4], xi[4], yr, yi;
    if constexpr (L == Layout4x4::across) {
        const uint64_t at[4] = {g, g + rec.lo, g + rec.hi, g + rec.lo + rec.hi};
        for (int h = 0; h < H; ++h) {
            for (int k = 0; k < 4; ++k) xr[k] = W::load_half(re + at[k], h), xi[k] = W::load_half(im + at[k], h);
            if constexpr (Diag) {
                if (surely_finite<4>(xr, xi)) {
                    for (int r = 0; r < 4; ++r)
                        diagonal_half<T, F, Blend>(rec, re, im, at[r], h, _mm256_load_pd(e.re[r][r]),
                                                   _mm256_load_pd(e.im[r][r]), xr[r], xi[r]);
                    continue;
                }
            }
            for (int r = 0; r < 4; ++r) {
                row_set<F>(e, r, xr, xi, yr, yi);
                store_half<T, Blend>(rec, re, im, at[r], h, xr[r], xi[r], yr, yi);
            }
        }
    } else if constexpr (L == Layout4x4::halves) {  // float: half h of a register is position h
        const uint64_t at[2] = {g, g + rec.hi};
        for (int k = 0; k < 4; ++k) xr[k] = W::load_half(re + at[k / 2], k % 2), xi[k] = W::load_half(im + at[k / 2], k % 2);
        if constexpr (Diag) {
            if (surely_finite<4>(xr, xi)) {
                for (int r = 0; r < 4; ++r)
                    diagonal_half<T, F, Blend>(rec, re, im, at[r / 2], r % 2, _mm256_load_pd(e.re[r][r]),
                                               _mm256_load_pd(e.im[r][r]), xr[r], xi[r]);
                return;
            }
        }
        for (int r = 0; r < 4; ++r) {
            row_set<F>(e, r, xr, xi, yr, yi);
            store_half<T, Blend>(rec, re, im, at[r / 2], r % 2, xr[r], xi[r], yr, yi);
        }
    } else if constexpr (L == Layout4x4::pair_across || L == Layout4x4::pair_halves) {
        // P: positions 0 and 1 of two groups, Q: positions 2 and 3; every
        // lane gathers its group's members and takes its own row.
        constexpr bool across = L == Layout4x4::pair_across;
        const uint64_t at[2] = {g, across ? g + rec.hi : g};
        for (int h = 0; h < (across ? H : 1); ++h) {
            const int hp = across ? h : 0, hq = across ? h : H - 1;
            const __m256d pr = W::load_half(re + at[0], hp), pi = W::load_half(im + at[0], hp);
            const __m256d qr = W::load_half(re + at[1], hq), qi = W::load_half(im + at[1], hq);
            if constexpr (Diag) {
                const __m256d loaded_re[2] = {pr, qr}, loaded_im[2] = {pi, qi};
                if (surely_finite<2>(loaded_re, loaded_im)) {
                    diagonal_half<T, F, Blend>(rec, re, im, at[0], hp, _mm256_load_pd(rec.diag_re[0]),
                                               _mm256_load_pd(rec.diag_im[0]), pr, pi);
                    diagonal_half<T, F, Blend>(rec, re, im, at[1], hq, _mm256_load_pd(rec.diag_re[1]),
                                               _mm256_load_pd(rec.diag_im[1]), qr, qi);
                    continue;
                }
            }
            xr[0] = lanes_lo_clear<D>(pr), xr[1] = lanes_lo_set<D>(pr), xr[2] = lanes_lo_clear<D>(qr), xr[3] = lanes_lo_set<D>(qr);
            xi[0] = lanes_lo_clear<D>(pi), xi[1] = lanes_lo_set<D>(pi), xi[2] = lanes_lo_clear<D>(qi), xi[3] = lanes_lo_set<D>(qi);
            row_set<F>(e, 0, xr, xi, yr, yi);
            store_half<T, Blend>(rec, re, im, at[0], hp, pr, pi, yr, yi);
            row_set<F>(e, 1, xr, xi, yr, yi);
            store_half<T, Blend>(rec, re, im, at[1], hq, qr, qi, yr, yi);
        }
    } else {  // targets 0 and 1: a half is one group, lane k its position k
        for (int h = 0; h < H; ++h) {
            const __m256d vr = W::load_half(re + g, h), vi = W::load_half(im + g, h);
            if constexpr (Diag) {
                if (surely_finite<1>(&vr, &vi)) {
                    diagonal_half<T, F, Blend>(rec, re, im, g, h, _mm256_load_pd(rec.diag_re[0]),
                                               _mm256_load_pd(rec.diag_im[0]), vr, vi);
                    continue;
                }
            }
            xr[0] = _mm256_permute4x64_pd(vr, 0x00), xi[0] = _mm256_permute4x64_pd(vi, 0x00);
            xr[1] = _mm256_permute4x64_pd(vr, 0x55), xi[1] = _mm256_permute4x64_pd(vi, 0x55);
            xr[2] = _mm256_permute4x64_pd(vr, 0xAA), xi[2] = _mm256_permute4x64_pd(vi, 0xAA);
            xr[3] = _mm256_permute4x64_pd(vr, 0xFF), xi[3] = _mm256_permute4x64_pd(vi, 0xFF);
            row_set<F>(e, 0, xr, xi, yr, yi);
            store_half<T, Blend>(rec, re, im, g, h, vr, vi, yr, yi);
        }
    }
}

// The registers one step at g reads and writes, prefetched ahead of it.
template <typename T, Layout4x4 L>
inline auto prefetch_4x4(const Matrix2qRecord<T>& rec) {
    constexpr uint64_t d = kPrefetchSites4x4;
    if constexpr (L == Layout4x4::across)
        return SitePrefetch<T, 4, d>{rec.real, rec.imag, {0, rec.lo, rec.hi, rec.lo + rec.hi}};
    else if constexpr (L == Layout4x4::halves || L == Layout4x4::pair_across)
        return prefetch_pairs<T, d>(rec.real, rec.imag, rec.hi);
    else
        return prefetch_at<T, d>(rec.real, rec.imag);
}

// The steps of the sites first .. first + count - 1.
template <typename T, Layout4x4 L, int D, bool F, bool Blend, bool Diag>
[[gnu::flatten]] inline void site_steps_4x4(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    T* re = rec.real;
    T* im = rec.imag;
    for_each_site<T>(rec.sites, first, count, prefetch_4x4<T, L>(rec),
                     [&](uint64_t g) { step_4x4<T, L, D, F, Blend, Diag>(rec, re, im, g); });
}

// Diagonal matrices take their own rows.
template <typename T, Layout4x4 L, int D, bool F, bool Blend>
inline void site_diagonal_4x4(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    if (rec.diagonal) site_steps_4x4<T, L, D, F, Blend, true>(rec, first, count);
    else site_steps_4x4<T, L, D, F, Blend, false>(rec, first, count);
}

template <typename T, Layout4x4 L, int D, bool F>
inline void site_blend_4x4(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    if ((rec.controls & (Simd<T>::lanes - 1)) != 0) site_diagonal_4x4<T, L, D, F, true>(rec, first, count);
    else site_diagonal_4x4<T, L, D, F, false>(rec, first, count);
}

template <typename T, Layout4x4 L, int D>
inline void site_rounding_4x4(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    if (rec.fuse_mim_xr) site_blend_4x4<T, L, D, true>(rec, first, count);
    else site_blend_4x4<T, L, D, false>(rec, first, count);
}

// One group at g, one amplitude at a time (masks tested per group).
template <typename T, bool F>
inline void group_4x4(const Matrix2qRecord<T>& rec, uint64_t g) {
    const uint64_t at[4] = {g, g + rec.lo, g + rec.hi, g + rec.lo + rec.hi};
    double xr[4], xi[4], yr[4], yi[4];
    for (int k = 0; k < 4; ++k) {
        xr[k] = double(rec.real[at[k]]);
        xi[k] = double(rec.imag[at[k]]);
    }
    for (int r = 0; r < 4; ++r) row_4x4<F>(rec.m.re + 4 * r, rec.m.im + 4 * r, xr, xi, yr[r], yi[r]);
    for (int r = 0; r < 4; ++r) {
        rec.real[at[r]] = static_cast<T>(yr[r]);
        rec.imag[at[r]] = static_cast<T>(yi[r]);
    }
}

// Body of the 4x4 kernel: the steps of the sites first .. first + count - 1,
// updating the groups whose control bits (rec.controls) are all set.
template <typename T>
void kernel_matrix_2q(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    const int d = rec.lo == 1 ? 1 : 2;
    switch (rec.layout) {
        case Layout4x4::across: return site_rounding_4x4<T, Layout4x4::across, 1>(rec, first, count);
        case Layout4x4::halves: return site_rounding_4x4<T, Layout4x4::halves, 1>(rec, first, count);
        case Layout4x4::pair_across:
            return d == 1 ? site_rounding_4x4<T, Layout4x4::pair_across, 1>(rec, first, count)
                          : site_rounding_4x4<T, Layout4x4::pair_across, 2>(rec, first, count);
        case Layout4x4::pair_halves:
            return d == 1 ? site_rounding_4x4<T, Layout4x4::pair_halves, 1>(rec, first, count)
                          : site_rounding_4x4<T, Layout4x4::pair_halves, 2>(rec, first, count);
        case Layout4x4::in_half: return site_rounding_4x4<T, Layout4x4::in_half, 1>(rec, first, count);
    }
}

// Body of the multi-controlled 4x4 kernel: masks that are single bits were
// folded into rec.controls; otherwise every group of the sites' registers
// is tested against each mask.
template <typename T>
void kernel_multi_controlled_matrix_2q(const Matrix2qRecord<T>& rec, int64_t first, int64_t count) {
    if (rec.masks == nullptr) return kernel_matrix_2q(rec, first, count);
    const uint64_t targets = rec.lo | rec.hi;
    for_each_site<T>(rec.sites, first, count, NoPrefetch{}, [&](uint64_t a) {
        for (uint64_t g = a; g < a + Simd<T>::lanes; ++g)
            if ((g & targets) == 0 && all_masks_set(g, *rec.masks)) group_4x4<T, false>(rec, g);
    });
}

// The launch record for targets lo < hi (masks 2^lo, 2^hi) on the arrays of
// dim >= W amplitudes, the split matrix (bit 0 of its index belonging to lo)
// and the control masks (null: none).
template <typename T>
Matrix2qRecord<T> matrix_2q_record(T* re, T* im, uint64_t dim, uint64_t lo, uint64_t hi, const double* mre,
                                   const double* mim, const std::vector<uint64_t>* masks) {
    Matrix2qRecord<T> rec{};
    rec.real = re, rec.imag = im;
    rec.lo = lo, rec.hi = hi;
    rec.masks = nullptr;
    if (masks != nullptr && !combine_single_bit_masks(*masks, rec.controls)) {
        rec.controls = 0;
        rec.masks = masks;
    }
    rec.sites = site_space<T>(dim, lo | hi, rec.controls);
    rec.fuse_mim_xr = rec.masks == nullptr && lo == 1 && hi <= 4 && (rec.controls & (2 * hi - 1)) == 0;
    for (int k = 0; k < 16; ++k) rec.m.re[k] = mre[k], rec.m.im[k] = mim[k];
    rec.diagonal = true;
    for (int k = 0; k < 16; ++k)
        if (k % 5 != 0 && !(is_zero_bits(mre[k]) && is_zero_bits(mim[k]))) rec.diagonal = false;

    constexpr uint64_t width = Simd<T>::lanes;
    if (lo >= width) rec.layout = Layout4x4::across;
    else if (lo == 4) rec.layout = Layout4x4::halves;  // float only: width 8
    else if (hi >= width) rec.layout = Layout4x4::pair_across;
    else if (hi == 4) rec.layout = Layout4x4::pair_halves;  // float, lo in 0..1
    else rec.layout = Layout4x4::in_half;                   // lo = 0, hi = 1
    const bool pairs = rec.layout == Layout4x4::pair_across || rec.layout == Layout4x4::pair_halves;
    for (int s = 0; s < 4; ++s)
        for (int k = 0; k < 4; ++k)
            for (int l = 0; l < 4; ++l) {
                const int row = pairs ? 2 * (s & 1) + ((l & lo) != 0) : rec.layout == Layout4x4::in_half ? l : s;
                rec.lanes.re[s][k][l] = mre[4 * row + k];
                rec.lanes.im[s][k][l] = mim[4 * row + k];
            }
    for (int s = 0; s < 2; ++s)
        for (int l = 0; l < 4; ++l) {
            const int row = rec.layout == Layout4x4::in_half ? l : 2 * s + ((l & lo) != 0);
            rec.diag_re[s][l] = mre[5 * row];
            rec.diag_im[s][l] = mim[5 * row];
        }
    const uint64_t fine = rec.controls & (width - 1);
    for (uint64_t h = 0; h < 2; ++h)
        for (uint64_t l = 0; l < 4; ++l) rec.keep[h][l] = ((4 * h + l) & fine) == fine ? -1 : 0;
    return rec;
}

// Runs a 4x4 body for targets lo < hi over the sites of its record in one
// kernel region.  A control on a target leaves no group to update.
template <typename T, typename Body>
void launch_matrix_2q(StateVector<T>& sv, uint64_t lo, uint64_t hi, const double* mre, const double* mim,
                      const std::vector<uint64_t>* masks, const Body& body) {
    on_registers(sv, [&](T* re, T* im, uint64_t dim) {
        const auto rec = matrix_2q_record(re, im, dim, lo, hi, mre, mim, masks);
        if ((rec.controls & (lo | hi)) != 0) return;
        launch_sites(sv, rec, body);
    });
}

}  // namespace sv_detail

// Row-major 4x4 matrix on qubits (q0, q1), index k = b0 + 2 b1 with b0 the
// bit of q0, split into double parts in the kernels' order, where bit 0 of
// the index is the lower qubit: with q1 < q0 rows and columns 1 and 2 are
// exchanged.
inline void split_4x4_lower_first(const GateMatrix& m, int q0, int q1, double* mre, double* mim) {
    const auto p = [q1, q0](int i) { return (q1 < q0 && (i == 1 || i == 2)) ? 3 - i : i; };
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            mre[4 * r + c] = m[4 * p(r) + p(c)].real();
            mim[4 * r + c] = m[4 * p(r) + p(c)].imag();
        }
}

// 4x4 matrix on qubits lo < hi, split into double with bit 0 of the index
// belonging to lo (split_4x4_lower_first).
template <typename T>
void launch_split_matrix_2q(StateVector<T>& sv, int lo, int hi, const double* mre, const double* mim) {
    sv_detail::launch_matrix_2q(sv, uint64_t{1} << lo, uint64_t{1} << hi, mre, mim, nullptr,
                                sv_detail::kernel_matrix_2q<T>);
}

// 4x4 matrix on qubits (q0, q1): index k = b0 + 2 b1 with b0 the bit of q0 and
// b1 the bit of q1.  q0 == q1: nothing changes.
template <typename T>
void apply_matrix_2q(StateVector<T>& sv, int q0, int q1, const GateMatrix& m) {
    if (q0 == q1) return;
    double mre[16], mim[16];
    split_4x4_lower_first(m, q0, q1, mre, mim);
    launch_split_matrix_2q(sv, q0 < q1 ? q0 : q1, q0 < q1 ? q1 : q0, mre, mim);
}

// 4x4 matrix (split into double, permuted so that bit 0 of the index is lo)
// on the groups whose first index has a bit of every control mask set.
// Requires lo_mask < hi_mask; block is 2 hi_mask (the group span follows from
// the masks, so the last argument, 2^(hi-lo-1), is not needed).
template <typename T>
void launch_multi_controlled_matrix_2q(StateVector<T>& sv, const double* mre, const double* mim,
                                       const std::vector<uint64_t>& control_masks, uint64_t lo_mask,
                                       uint64_t hi_mask, [[maybe_unused]] uint64_t block,
                                       [[maybe_unused]] uint64_t inner) {
    if (lo_mask >= hi_mask) return;  // equal targets: no group
    sv_detail::launch_matrix_2q(sv, lo_mask, hi_mask, mre, mim, &control_masks,
                                sv_detail::kernel_multi_controlled_matrix_2q<T>);
}

// Arithmetic of the dense 4x4 kernels in registers of four doubles: the
// row sums and their rounding, the matrix split into double and expanded per
// lane, how the members of the groups sit in the registers of one step, and
// the halves a register of T is widened into.
#pragma once

#include <immintrin.h>

#include <cmath>

namespace sv_detail {

// Arithmetic of one output row, the same for a register of four doubles and
// for one double: y_r = sum over k = 0..3, in this order, starting from 0.0,
// of (Mre[r][k] xr_k - Mim[r][k] xi_k) for the real part and of the two
// products Mre[r][k] xi_k and Mim[r][k] xr_k for the imaginary part.  One
// product of each term is fused: Mre xr in the real part; Mre xi in the
// imaginary part, except for the targets (0, 1) and (0, 2) without a control
// below the higher target, which have always fused Mim xr there.  The two
// choices round differently, so each keeps its own.

inline __m256d v_add(__m256d a, __m256d b) { return _mm256_add_pd(a, b); }
inline __m256d v_mul(__m256d a, __m256d b) { return _mm256_mul_pd(a, b); }
inline __m256d v_fmadd(__m256d a, __m256d b, __m256d c) { return _mm256_fmadd_pd(a, b, c); }
inline __m256d v_fmsub(__m256d a, __m256d b, __m256d c) { return _mm256_fmsub_pd(a, b, c); }
inline double v_add(double a, double b) { return a + b; }
inline double v_mul(double a, double b) { return a * b; }
inline double v_fmadd(double a, double b, double c) { return std::fma(a, b, c); }
inline double v_fmsub(double a, double b, double c) { return std::fma(a, b, -c); }

template <bool kFuseMimXr, typename V>
[[gnu::always_inline]] inline void row_4x4(const V* er, const V* ei, const V* xr, const V* xi, V& yr, V& yi) {
    V sr = V{}, si = V{};
    for (int k = 0; k < 4; ++k) {
        sr = v_add(sr, v_fmsub(er[k], xr[k], v_mul(ei[k], xi[k])));
        si = v_add(si, kFuseMimXr ? v_fmadd(ei[k], xr[k], v_mul(er[k], xi[k]))
                                  : v_fmadd(er[k], xi[k], v_mul(ei[k], xr[k])));
    }
    yr = sr;
    yi = si;
}

// Row r of a diagonal matrix, with every amplitude of the row finite: the
// terms k != r of row_4x4 are then zeros (a zero entry times a finite value),
// and a sum that starts from 0.0 and adds zeros to the term t_r is exactly
// t_r + 0.0: t_r where it is not zero, +0.0 where it is.  So this is row_4x4
// bit for bit, without the products by zero.
template <bool kFuseMimXr, typename V>
[[gnu::always_inline]] inline void diagonal_row_4x4(V er, V ei, V xr, V xi, V& yr, V& yi) {
    yr = v_add(v_fmsub(er, xr, v_mul(ei, xi)), V{});
    yi = v_add(kFuseMimXr ? v_fmadd(ei, xr, v_mul(er, xi)) : v_fmadd(er, xi, v_mul(ei, xr)), V{});
}

// True when no lane of the n registers can be an infinity or a NaN: the
// exponent field of the OR of all their bits is not all ones.  That is a
// conservative test, one OR a register: a lane with every exponent bit set
// sets them all, and amplitudes of magnitude below 2 (exponent fields up to
// 0x3FF) never do together.  Larger values may give false, which only sends
// the step to the dense rows.  Tested on the bits, so that no floating-point
// assumption of the compiler can remove it.
template <int N>
[[gnu::always_inline]] inline bool surely_finite(const __m256d* a, const __m256d* b) {
    const __m256i exponent = _mm256_set1_epi64x(0x7FF0000000000000);
    __m256i bits = _mm256_setzero_si256();
    for (int k = 0; k < N; ++k) {
        bits = _mm256_or_si256(bits, _mm256_castpd_si256(a[k]));
        bits = _mm256_or_si256(bits, _mm256_castpd_si256(b[k]));
    }
    return _mm256_movemask_epi8(_mm256_cmpeq_epi64(_mm256_and_si256(bits, exponent), exponent)) == 0;
}

// Row-major 4x4 matrix in double, bit 0 of the index belonging to lo.
struct Matrix4x4 {
    double re[16];
    double im[16];
};

// Coefficient rows for the register updates: row set s, position k, lane l.
// Targets at or above the register width: set r holds Mre[r][k] in every
// lane.  lo below it, hi at or above: set 0 is for the register holding the
// group positions 0 and 1 (lane l takes row bit lo of l), set 1 for the one
// holding 2 and 3.  Both in one register of four doubles (targets 0 and 1):
// lane l takes row l.
struct LaneMatrix4x4 {
    alignas(32) double re[4][4][4];
    alignas(32) double im[4][4][4];
};

// How the members of the groups sit in the registers of one step.
enum class Layout4x4 {
    across,       // lo >= register width: four registers, one per group position
    halves,       // float, lo = 2: the two halves of a register are positions 0 and 1
    pair_across,  // lo below a half, hi >= register width: registers at g and g + 2^hi
    pair_halves,  // float, lo in 0..1, hi = 2: the two halves hold positions 0/1 and 2/3
    in_half,      // targets 0 and 1: one half of four doubles is one group
};

// One 256-bit register of T as halves of four doubles: float widens eight
// values into two halves and rounds each result to float once when storing.
template <typename T>
struct Wide;

template <>
struct Wide<double> {
    static constexpr int halves = 1;
    static __m256d load_half(const double* p, int) { return _mm256_loadu_pd(p); }
    static void store_half(double* p, int, __m256d v) { _mm256_storeu_pd(p, v); }
};

template <>
struct Wide<float> {
    static constexpr int halves = 2;
    static __m256d load_half(const float* p, int h) { return _mm256_cvtps_pd(_mm_loadu_ps(p + 4 * h)); }
    static void store_half(float* p, int h, __m256d v) { _mm_storeu_ps(p + 4 * h, _mm256_cvtpd_ps(v)); }
};

// Lane l of the result takes lane (l & ~D) (position with bit lo clear) or
// lane (l | D) (bit lo set) of v, D = 2^lo within a half.
template <int D>
inline __m256d lanes_lo_clear(__m256d v) {
    if constexpr (D == 1) return _mm256_movedup_pd(v);
    else return _mm256_permute2f128_pd(v, v, 0x00);
}
template <int D>
inline __m256d lanes_lo_set(__m256d v) {
    if constexpr (D == 1) return _mm256_permute_pd(v, 0xF);
    else return _mm256_permute2f128_pd(v, v, 0x11);
}

template <bool F>
[[gnu::always_inline]] inline void row_set(const LaneMatrix4x4& e, int s, const __m256d* xr, const __m256d* xi,
                                           __m256d& yr, __m256d& yi) {
    __m256d er[4], ei[4];
    for (int k = 0; k < 4; ++k) {
        er[k] = _mm256_load_pd(e.re[s][k]);
        ei[k] = _mm256_load_pd(e.im[s][k]);
    }
    row_4x4<F>(er, ei, xr, xi, yr, yi);
}

}  // namespace sv_detail

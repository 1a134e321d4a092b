// Probability of reading 0 on a qubit, and the random RESET of a qubit to |0>.
// The three regions here take the OpenMP runtime's default team.
#pragma once

#include <atomic>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <random>

#include "statevector/index_runs.h"
#include "statevector/prefetch.h"
#include "statevector/simd.h"
#include "statevector/state_vector.h"

// Below this probability an outcome counts as impossible.
inline constexpr double kImpossibleOutcome = 1e-15;

namespace sv_detail {

template <typename T>
struct ZeroProbabilityRecord {
    uint64_t dim, half;
    T* real;
    T* imag;
    double sum;
};

template <typename T>
struct ZeroStateRecord {
    uint64_t dim;
    T* real;
    T* imag;
};

template <typename T>
struct ResetCollapseRecord {
    uint64_t dim, half;
    T* real;
    T* imag;
    double scale;
    int32_t outcome;
};

// Adds x^2 + y^2 of the n amplitudes to s one after another (index order, so
// one thread gives the plain sum in block order).
template <typename T>
[[gnu::flatten]]
inline void add_half_norm_run(const T* __restrict r, const T* __restrict i, uint64_t n, double& sum) {
    double s = sum;
    for (uint64_t j = 0; j < n; ++j) {
        const double x = r[j], y = i[j];
        s += x * x + y * y;
    }
    sum = s;
}

// The same over a unit whose qubit lies below the vector width: pairs of runs
// of H amplitudes, the first of each pair added, still in index order.
template <int H, typename T>
[[gnu::flatten]]
inline void add_small_half_norm(const T* __restrict r, const T* __restrict i, uint64_t len, double& sum) {
    double s = sum;
    for (uint64_t b = 0; b < len; b += 2 * H)
        for (int j = 0; j < H; ++j) {
            const double x = r[b + j], y = i[b + j];
            s += x * x + y * y;
        }
    sum = s;
}

// Four doubles, widened from T.
using Lanes4 = double __attribute__((vector_size(32)));

template <typename T>
inline Lanes4 load_lanes4(const T* p) {
    if constexpr (std::is_same_v<T, double>) {
        Lanes4 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return _mm256_cvtps_pd(_mm_loadu_ps(p));  // one widening instruction from memory
    }
}

// Sum of x^2 + y^2 over the indices j of [0, len) with j & half clear
// (half < 8, or 0 for every index), in eight partial sums held in vector
// lanes.  Used when several threads share the total, whose order is not
// fixed anyway.  len is a multiple of 8.
template <typename T>
[[gnu::flatten]]
inline void add_half_norm_lanes(const T* __restrict r, const T* __restrict i, uint64_t len, uint64_t half,
                                double& sum) {
    Lanes4 keep0, keep1;
    for (int j = 0; j < 4; ++j) {
        keep0[j] = (j & half) ? 0.0 : 1.0;
        keep1[j] = ((j + 4) & half) ? 0.0 : 1.0;
    }
    Lanes4 acc0 = {0, 0, 0, 0}, acc1 = {0, 0, 0, 0};
    for (uint64_t b = 0; b < len; b += 8) {
        prefetch_within(r, b, len);
        prefetch_within(i, b, len);
        const Lanes4 x0 = load_lanes4(r + b), y0 = load_lanes4(i + b);
        const Lanes4 x1 = load_lanes4(r + b + 4), y1 = load_lanes4(i + b + 4);
        acc0 += (x0 * x0 + y0 * y0) * keep0;
        acc1 += (x1 * x1 + y1 * y1) * keep1;
    }
    const Lanes4 t = acc0 + acc1;
    sum += (t[0] + t[1]) + (t[2] + t[3]);
}

// The collapse of a unit of at least one register when the qubit lies inside
// the registers (half below the register width): in each register the lanes
// with the bit clear take the scaled value of their own lane (outcome 0) or
// of the lane across the bit (outcome 1), the others become 0.  The value is
// widened to double, multiplied by the scale and rounded once, as in the
// pair loops.
template <typename T>
[[gnu::flatten]] inline void collapse_in_registers(T* re, T* im, uint64_t start, uint64_t len, uint64_t half,
                                                   double scale, int32_t outcome) {
    using S = Simd<T>;
    using V = typename S::V;
    const V keep = lane_mask<T>([half](uint64_t k) { return (k & half) == 0; });
    const __m256i from = lane_permutation<T>([half, outcome](uint64_t k) { return outcome == 1 ? k | half : k; });
    const __m256d s = _mm256_set1_pd(scale);
    const auto scaled = [&s](V v) {
        if constexpr (std::is_same_v<T, double>) {
            return _mm256_mul_pd(v, s);
        } else {
            const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), s));
            const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), s));
            return _mm256_set_m128(hi, lo);
        }
    };
    const V zero = S::set1(T(0));
    for (uint64_t a = start; a < start + len; a += S::lanes) {
        if ((a & (kLine<T> - 1)) == 0) {  // once per line
            prefetch_within(re, a, start + len);
            prefetch_within(im, a, start + len);
        }
        const V r = S::permute(S::load(re + a), from), i = S::permute(S::load(im + a), from);
        S::store(re + a, S::blend(zero, scaled(r), keep));
        S::store(im + a, S::blend(zero, scaled(i), keep));
    }
}

}  // namespace sv_detail

// Probability that qubit q reads 0: the sum of |a|^2 over the amplitudes with
// bit q clear, in double.  Each thread adds its partial sum once, with a
// compare-and-swap on the shared total.
template <typename T>
double zero_probability(StateVector<T>& sv, uint32_t q) {
    sv_detail::ZeroProbabilityRecord<T> rec{sv.dim, uint64_t{1} << q, sv.real, sv.imag, 0.0};
    // Work units as in the other kernels.  On one thread the sum runs in index
    // order (the plain sum in block order); on several, each thread sums its
    // units in vector lanes.
    const sv_detail::UnitSpace space = sv_detail::unit_space(rec.dim, 2 * rec.half, omp_get_max_threads(), rec.half, 0);
    run_kernel_region(0, space.count, [&rec, &space](int64_t first, int64_t count) {
        double s = 0.0;
        const bool lanes = omp_get_num_threads() > 1 && space.unit >= 8;
        for (int64_t u = first; u < first + count; ++u) {
            const uint64_t base = space.base(u);
            if (lanes) {
                if (rec.half < 8) {  // every line holds both halves: stream the unit
                    sv_detail::add_half_norm_lanes(rec.real + base, rec.imag + base, space.unit, rec.half, s);
                } else {
                    sv_detail::for_each_run(base, space.unit, rec.half, 0, [&](uint64_t i, uint64_t n) {
                        sv_detail::add_half_norm_lanes(rec.real + i, rec.imag + i, n, 0, s);
                    });
                }
                continue;
            }
            if (space.unit >= 2 * rec.half && rec.half <= 4) {
                const T* r = rec.real + base;
                const T* i = rec.imag + base;
                if (rec.half == 1) sv_detail::add_small_half_norm<1>(r, i, space.unit, s);
                else if (rec.half == 2) sv_detail::add_small_half_norm<2>(r, i, space.unit, s);
                else sv_detail::add_small_half_norm<4>(r, i, space.unit, s);
                continue;
            }
            sv_detail::for_each_run(base, space.unit, rec.half, 0, [&](uint64_t i, uint64_t n) {
                sv_detail::add_half_norm_run(rec.real + i, rec.imag + i, n, s);
            });
        }
        std::atomic_ref<double> total(rec.sum);
        double old = total.load(std::memory_order_relaxed);
        while (!total.compare_exchange_weak(old, old + s, std::memory_order_relaxed)) {
        }
    });
    return rec.sum;
}

// Sets every amplitude to 0 + 0i (blocks of single amplitudes).
template <typename T>
void zero_state(StateVector<T>& sv) {
    const sv_detail::ZeroStateRecord<T> rec{sv.dim, sv.real, sv.imag};
    run_kernel_region(0, static_cast<int64_t>(rec.dim), [rec](int64_t first, int64_t count) {
        for (int64_t j = first; j < first + count; ++j) {
            rec.real[j] = T(0);
            rec.imag[j] = T(0);
        }
    });
}

// Keeps the amplitudes of `outcome` on qubit q, scaled, on the bit-0 side and
// clears the bit-1 side.
template <typename T>
void reset_collapse(StateVector<T>& sv, uint32_t q, double scale, int32_t outcome) {
    const sv_detail::ResetCollapseRecord<T> rec{sv.dim, uint64_t{1} << q, sv.real, sv.imag, scale, outcome};
    sv_detail::run_units(0, rec.dim, 2 * rec.half, rec.half, 0, [rec](uint64_t start, uint64_t len) {
        const double scale = rec.scale;
        const auto keep = [scale](T& x0, T& y0, T& x1, T& y1) {
            x0 = static_cast<T>(static_cast<double>(x0) * scale);
            y0 = static_cast<T>(static_cast<double>(y0) * scale);
            x1 = T(0);
            y1 = T(0);
        };
        const auto move = [scale](T& x0, T& y0, T& x1, T& y1) {
            x0 = static_cast<T>(static_cast<double>(x1) * scale);
            y0 = static_cast<T>(static_cast<double>(y1) * scale);
            x1 = T(0);
            y1 = T(0);
        };
        if (rec.half < sv_detail::Simd<T>::lanes && len >= sv_detail::Simd<T>::lanes)
            sv_detail::collapse_in_registers(rec.real, rec.imag, start, len, rec.half, scale, rec.outcome);
        else if (rec.outcome == 0)
            sv_detail::unit_pairs(rec.real, rec.imag, start, len, rec.half, keep);
        else
            sv_detail::unit_pairs(rec.real, rec.imag, start, len, rec.half, move);
    });
}

// RESET of qubit q: measures it with one draw of the distribution, collapses
// onto the outcome and leaves the qubit in |0>.  When the drawn outcome has
// probability below 1e-15 the other outcome (probability at least 1 - 1e-15)
// is taken instead, so the state never becomes all zero.
template <typename T>
void reset_qubit(StateVector<T>& sv, uint32_t qubit, std::mt19937& engine,
                 std::uniform_real_distribution<double>& distribution) {
    const double p0 = zero_probability(sv, qubit);
    const double u = distribution(engine);
    int32_t outcome = u > p0 ? 1 : 0;
    double p = outcome == 1 ? 1.0 - p0 : p0;
    if (p < kImpossibleOutcome) {
        outcome = 1 - outcome;
        p = outcome == 1 ? 1.0 - p0 : p0;
    }
    reset_collapse(sv, qubit, 1.0 / std::sqrt(p), outcome);
}

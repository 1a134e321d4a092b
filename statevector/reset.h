// Probability of reading 0 on a qubit, and the random RESET of a qubit to |0>.
// The three regions here take the OpenMP runtime's default team.
#pragma once

#include <atomic>
#include <cmath>
#include <random>

#include "statevector/kernel_runs.h"
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
inline void add_half_norm_run(const T* __restrict r, const T* __restrict i, uint64_t n, double& sum) {
    double s = sum;
    for (uint64_t j = 0; j < n; ++j) {
        const double x = r[j], y = i[j];
        s += x * x + y * y;
    }
    sum = s;
}

}  // namespace sv_detail

// Probability that qubit q reads 0: the sum of |a|^2 over the amplitudes with
// bit q clear, in double.  Each thread adds its partial sum once, with a
// compare-and-swap on the shared total.
template <typename T>
double zero_probability(StateVector<T>& sv, uint32_t q) {
    sv_detail::ZeroProbabilityRecord<T> rec{sv.dim, uint64_t{1} << q, sv.real, sv.imag, 0.0};
    // Work units as in the other kernels (whole blocks, or aligned parts of a
    // block when there are fewer blocks than threads); within a thread the
    // sum runs in index order.
    const uint64_t unit = sv_detail::work_unit(rec.dim, 2 * rec.half, omp_get_max_threads());
    run_kernel_region(0, sv_detail::block_count(rec.dim, unit), [&rec, unit](int64_t first, int64_t count) {
        double s = 0.0;
        for (int64_t u = first; u < first + count; ++u)
            sv_detail::for_each_run(static_cast<uint64_t>(u) * unit, unit, rec.half, 0, [&](uint64_t i, uint64_t n) {
                sv_detail::add_half_norm_run(rec.real + i, rec.imag + i, n, s);
            });
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
    sv_detail::run_units(0, rec.dim, 2 * rec.half, [rec](uint64_t start, uint64_t len) {
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
        if (rec.outcome == 0)
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

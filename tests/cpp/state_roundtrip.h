// Kernel tests' way in and out of a state vector: amplitudes as complex
// doubles (exact for both amplitude types), and bitwise comparison.
#pragma once

#include <bit>
#include <complex>
#include <cstring>
#include <type_traits>
#include <vector>

#include "statevector/state_vector.h"

using C = std::complex<double>;
using Amps = std::vector<C>;

// Runs f on a state holding `in` and reads it back (exactly: T widens to double).
template <typename T, typename F>
Amps run(const Amps& in, const F& f) {
    StateVector<T> sv(std::countr_zero(in.size()));
    for (uint64_t i = 0; i < sv.dim; ++i) sv.real[i] = T(in[i].real()), sv.imag[i] = T(in[i].imag());
    f(sv);
    Amps out(sv.dim);
    for (uint64_t i = 0; i < sv.dim; ++i) out[i] = C(sv.real[i], sv.imag[i]);
    return out;
}

inline bool same_bits(const Amps& a, const Amps& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(C)) == 0;
}

// An infinity and a NaN, and the NaN test, made from the bits: the build
// assumes finite math, so std::isnan and literal infinities may fold away.
inline const double kInf = std::bit_cast<double>(uint64_t{0x7FF} << 52);
inline const double kNaN = std::bit_cast<double>(uint64_t{0xFFF8} << 48);
inline bool is_nan_bits(double x) { return (std::bit_cast<uint64_t>(x) << 1) > (uint64_t{0x7FF} << 53); }

// Both parts the same bits, or NaNs of any payload.
inline bool same_value_bits(C a, C b) {
    const auto same = [](double x, double y) {
        return (is_nan_bits(x) && is_nan_bits(y)) || std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
    };
    return same(a.real(), b.real()) && same(a.imag(), b.imag());
}

// How far a kernel's amplitude may lie from a dense reference computed in
// double, relative to 1 + |want| (float rounds every product and sum).
template <typename T>
inline constexpr double kReferenceTolerance = std::is_same_v<T, float> ? 2e-5 : 1e-13;

// Index of the first amplitude of got farther than tol (1 + |want|) from
// want; got.size() when every one is within.
inline size_t first_outside(const Amps& got, const Amps& want, double tol) {
    for (size_t i = 0; i < got.size(); ++i)
        if (!(std::abs(got[i] - want[i]) <= tol * (1 + std::abs(want[i])))) return i;
    return got.size();
}

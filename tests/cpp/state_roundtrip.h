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

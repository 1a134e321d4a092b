// The 256-bit registers of the gate kernels.  A register holds W = 8 floats
// or 4 doubles of one array: the amplitudes of an aligned run of W indices,
// whose qubits 0 .. log2(W) - 1 (the lane bits) vary inside the register.
// Simd<T> wraps the instructions on it; the lane helpers build, once per
// launch, registers of per-lane constants, blend selectors and permutations.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace sv_detail {

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
    // a b rounded on its own: the empty asm hides it from the compiler, which
    // would otherwise fuse it into the add it feeds (one rounding less).
    static V product(V a, V b) {
        V p = _mm256_mul_ps(a, b);
        asm("" : "+x"(p));
        return p;
    }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }  // a b + c, one rounding
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_ps(a, b, c); }  // a b - c, one rounding
    static V bxor(V a, V b) { return _mm256_xor_ps(a, b); }
    static V blend(V a, V b, V take_b) { return _mm256_blendv_ps(a, b, take_b); }
    static V permute(V v, __m256i idx) { return _mm256_permutevar8x32_ps(v, idx); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V load_lanes(const float* p) { return _mm256_loadu_ps(p); }
    static __m256i bits(V v) { return _mm256_castps_si256(v); }
    static __m256i exponent_top() { return _mm256_set1_epi32(1 << 30); }  // the highest exponent bit, per lane
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
    static V product(V a, V b) {
        V p = _mm256_mul_pd(a, b);
        asm("" : "+x"(p));
        return p;
    }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static V fmsub(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }
    static V bxor(V a, V b) { return _mm256_xor_pd(a, b); }
    static V blend(V a, V b, V take_b) { return _mm256_blendv_pd(a, b, take_b); }
    // A double is two 32-bit lanes: the index moves both halves together.
    static V permute(V v, __m256i idx) { return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), idx)); }
    static V set1(double x) { return _mm256_set1_pd(x); }
    static V load_lanes(const double* p) { return _mm256_loadu_pd(p); }
    static __m256i bits(V v) { return _mm256_castpd_si256(v); }
    static __m256i exponent_top() { return _mm256_set1_epi64x(int64_t{1} << 62); }
};

// True when x is a zero of either sign, tested on the bits (a NaN is not a
// zero, and no floating-point assumption of the compiler applies).
template <typename T>
inline bool is_zero_bits(T x) {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    return static_cast<U>(std::bit_cast<U>(x) << 1) == 0;
}

// True when every lane of the n registers has a magnitude in the window
// [2^-63, 2) for float, [2^-511, 2) for double: the highest exponent bit
// clear and the next one set, tested on the AND and the OR of their bits.
// Shifting the AND left by one moves each lane's next bit onto its highest
// (the bit shifted in across a float lane boundary is a sign bit, never
// tested).  The product of two values of the window is a normal number.
template <typename T, int N>
[[gnu::always_inline]] inline bool in_window(const typename Simd<T>::V (&v)[N]) {
    using S = Simd<T>;
    __m256i all = S::bits(v[0]), any = all;
    for (int k = 1; k < N; ++k) {
        all = _mm256_and_si256(all, S::bits(v[k]));
        any = _mm256_or_si256(any, S::bits(v[k]));
    }
    const __m256i next_set_top_clear = _mm256_andnot_si256(any, _mm256_slli_epi64(all, 1));
    return _mm256_testc_si256(next_set_top_clear, S::exponent_top()) != 0;
}

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

}  // namespace sv_detail

// Element operations and records of the fixed gates: the H and Y pair
// operations, the single-amplitude operations of Z, S, SDG, T and TDG, and
// the SWAP record, with the constants they multiply by.  The kernels and
// launches that run them are in fixed_kernels.h.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "statevector/simd.h"
#include "statevector/sites.h"

template <typename T>
struct FixedGateConstants;

template <>
struct FixedGateConstants<double> {
    static constexpr double h = 0.7071067811865475;   // 0x3FE6A09E667F3BCC
    static constexpr double kc = 0.7071067811865476;  // cos(pi/4), 0x3FE6A09E667F3BCD
    static constexpr double ks = 0.7071067811865475;  // sin(pi/4), 0x3FE6A09E667F3BCC
};

template <>
struct FixedGateConstants<float> {
    static constexpr float h = 0.70710677f;  // 0x3F3504F3
    static constexpr float kc = 0.70710677f;
    static constexpr float ks = 0.70710677f;
};

namespace sv_detail {

// Lane permutation that pairs each lane with the lane across target bit t
// (a target below the lane width).
template <typename T>
inline __m256i across(uint64_t target) {
    return lane_permutation<T>([target](uint64_t k) { return target < Simd<T>::lanes ? k ^ target : k; });
}

// H: a0' = (a0 + a1) h, a1' = (a0 - a1) h.  Inside a register the lanes with
// the target bit set form partner - own, the others own + partner.
template <typename T>
struct HOp {
    using S = Simd<T>;
    using V = typename S::V;
    __m256i perm;
    V upper_sign;  // -0 in the lanes with the target bit set
    void pair(V& r0, V& i0, V& r1, V& i1) const {
        const V h = S::set1(FixedGateConstants<T>::h);
        const V sr = S::add(r0, r1), si = S::add(i0, i1), dr = S::sub(r0, r1), di = S::sub(i0, i1);
        r0 = S::mul(sr, h);
        i0 = S::mul(si, h);
        r1 = S::mul(dr, h);
        i1 = S::mul(di, h);
    }
    void lanes(V& r, V& i) const {
        const V h = S::set1(FixedGateConstants<T>::h);
        const V pr = S::permute(r, perm), pi = S::permute(i, perm);
        r = S::mul(S::add(pr, S::bxor(r, upper_sign)), h);
        i = S::mul(S::add(pi, S::bxor(i, upper_sign)), h);
    }
};

template <typename T>
inline HOp<T> h_op(uint64_t target) {
    return {across<T>(target), lane_sign<T>([target](uint64_t k) { return (k & target) != 0; })};
}

// Y: a0' = -i a1, a1' = i a0.
template <typename T>
struct YOp {
    using S = Simd<T>;
    using V = typename S::V;
    __m256i perm;
    V upper_sign, lower_sign;
    void pair(V& r0, V& i0, V& r1, V& i1) const {
        const V neg = S::set1(T(-0.0));
        const V nr0 = i1, ni0 = S::bxor(r1, neg), nr1 = S::bxor(i0, neg), ni1 = r0;
        r0 = nr0;
        i0 = ni0;
        r1 = nr1;
        i1 = ni1;
    }
    void lanes(V& r, V& i) const {
        const V pr = S::permute(r, perm), pi = S::permute(i, perm);
        r = S::bxor(pi, upper_sign);
        i = S::bxor(pr, lower_sign);
    }
};

template <typename T>
inline YOp<T> y_op(uint64_t target) {
    return {across<T>(target), lane_sign<T>([target](uint64_t k) { return (k & target) != 0; }),
            lane_sign<T>([target](uint64_t k) { return (k & target) == 0; })};
}

// Operations on single amplitudes: a' = f(a).
template <typename T>
struct NegateOp {  // Z, CZ: -a
    using S = Simd<T>;
    void lanes(typename S::V& r, typename S::V& i) const {
        const auto neg = S::set1(T(-0.0));
        r = S::bxor(r, neg);
        i = S::bxor(i, neg);
    }
};

template <typename T>
struct TimesIOp {  // S: i a
    using S = Simd<T>;
    void lanes(typename S::V& r, typename S::V& i) const {
        const auto nr = S::bxor(i, S::set1(T(-0.0))), ni = r;
        r = nr;
        i = ni;
    }
};

template <typename T>
struct TimesMinusIOp {  // SDG: -i a
    using S = Simd<T>;
    void lanes(typename S::V& r, typename S::V& i) const {
        const auto nr = i, ni = S::bxor(r, S::set1(T(-0.0)));
        r = nr;
        i = ni;
    }
};

// T: a e^(i pi/4); TDG: a e^(-i pi/4).  Double: (x kc - y ks, x ks + y kc) and
// (x kc + y ks, y kc - x ks), the first product of each fused with the sum;
// float, whose two constants are equal: ((x - y) c, (x + y) c) and
// ((x + y) c, y c - x c).
template <typename T>
struct PhaseTOp {
    using S = Simd<T>;
    void lanes(typename S::V& r, typename S::V& i) const {
        const auto x = r, y = i;
        if constexpr (std::is_same_v<T, float>) {
            const auto c = S::set1(FixedGateConstants<float>::kc);
            r = S::mul(S::sub(x, y), c);
            i = S::mul(S::add(x, y), c);
        } else {
            const auto kc = S::set1(FixedGateConstants<T>::kc), ks = S::set1(FixedGateConstants<T>::ks);
            r = S::fmsub(x, kc, S::mul(y, ks));
            i = S::fmadd(x, ks, S::mul(y, kc));
        }
    }
};

// TDG's imaginary part fuses the product of y, except on qubits 1 and 2,
// where the loops these kernels replace fused that of x (second_im).
template <typename T>
struct PhaseTdgOp {
    bool second_im;
};

template <typename T, bool SecondIm>
struct PhaseTdgForm {
    using S = Simd<T>;
    void lanes(typename S::V& r, typename S::V& i) const {
        const auto x = r, y = i;
        const auto neg = S::set1(T(-0.0));
        if constexpr (std::is_same_v<T, float>) {
            const auto c = S::set1(FixedGateConstants<float>::kc);
            r = S::mul(S::add(x, y), c);
            i = SecondIm ? S::fmadd(S::bxor(x, neg), c, S::mul(y, c)) : S::fmsub(y, c, S::mul(x, c));
        } else {
            const auto kc = S::set1(FixedGateConstants<T>::kc), ks = S::set1(FixedGateConstants<T>::ks);
            r = S::fmadd(x, kc, S::mul(y, ks));
            i = SecondIm ? S::fmadd(S::bxor(x, neg), ks, S::mul(y, kc)) : S::fmsub(y, kc, S::mul(x, ks));
        }
    }
};

// SWAP of qubits lo < hi: amplitudes with bit lo set and bit hi clear
// exchange with those with bit lo clear and bit hi set.
template <typename T>
struct SwapRecord {
    T* real;
    T* imag;
    uint64_t lo, hi;
    SiteSpace sites;
    __m256i perm;                  // both qubits in the lanes: the exchange; else across lo
    typename Simd<T>::V lo_lanes;  // lanes with bit lo set
};

template <typename T>
inline SwapRecord<T> swap_record(T* re, T* im, uint64_t dim, uint64_t lo, uint64_t hi) {
    constexpr uint64_t W = Simd<T>::lanes;
    const SiteSpace sites = lo >= W ? site_space<T>(dim, hi, lo) : site_space<T>(dim, hi, 0);
    const __m256i perm =
        hi < W ? lane_permutation<T>([=](uint64_t k) { return ((k & lo) != 0) != ((k & hi) != 0) ? k ^ (lo | hi) : k; })
               : across<T>(lo);
    return {re, im, lo, hi, sites, perm, lane_mask<T>([lo](uint64_t k) { return (k & lo) != 0; })};
}

}  // namespace sv_detail

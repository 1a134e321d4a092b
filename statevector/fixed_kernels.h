// Kernels of the twelve fixed gates (H S SDG T TDG X Y Z SWAP CX CZ CCX):
// exchanges, sign flips and constant multiplications, no matrix.  Each launch
// fills a record and runs the gate's kernel body on one region
// (launch_kernel); the bodies work register by register over the sites of
// the record (sites.h, one_target.h).
#pragma once

#include <type_traits>
#include <utility>

#include "statevector/one_target.h"
#include "statevector/simd.h"
#include "statevector/sites.h"
#include "statevector/state_vector.h"

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

template <typename T>
using ExchangeRecord = sv_detail::TargetRecord<T, sv_detail::ExchangeOp<T>>;

// Kernel bodies: each thread of a launch runs its gate's body on its share
// [first, first + count) of the record's sites.
template <typename T>
void kernel_x(const ExchangeRecord<T>& rec, int64_t first, int64_t count) {
    sv_detail::exchange_body(rec, first, count);
}
template <typename T>
void kernel_cx(const ExchangeRecord<T>& rec, int64_t first, int64_t count) {
    sv_detail::exchange_body(rec, first, count);
}
template <typename T>
void kernel_ccx(const ExchangeRecord<T>& rec, int64_t first, int64_t count) {
    sv_detail::exchange_body(rec, first, count);
}
template <typename T>
void kernel_h(const sv_detail::TargetRecord<T, sv_detail::HOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::pair_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_y(const sv_detail::TargetRecord<T, sv_detail::YOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::pair_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_z(const sv_detail::TargetRecord<T, sv_detail::NegateOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::single_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_cz(const sv_detail::TargetRecord<T, sv_detail::NegateOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::single_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_s(const sv_detail::TargetRecord<T, sv_detail::TimesIOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::single_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_sdg(const sv_detail::TargetRecord<T, sv_detail::TimesMinusIOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::single_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_t(const sv_detail::TargetRecord<T, sv_detail::PhaseTOp<T>>& rec, int64_t first, int64_t count) {
    sv_detail::single_body(rec, first, count, rec.op);
}
template <typename T>
void kernel_tdg(const sv_detail::TargetRecord<T, sv_detail::PhaseTdgOp<T>>& rec, int64_t first, int64_t count) {
    if (rec.op.second_im) sv_detail::single_body(rec, first, count, sv_detail::PhaseTdgForm<T, true>{});
    else sv_detail::single_body(rec, first, count, sv_detail::PhaseTdgForm<T, false>{});
}

// Both qubits at or above the lane bits: register a (bit lo set, bit hi
// clear) with register a - lo + hi.  Only lo below: registers a and a + hi,
// each taking the other's lanes across lo where its own bit lo differs.
// Both below: one permutation per register.
template <typename T>
void kernel_swap(const sv_detail::SwapRecord<T>& rec, int64_t first, int64_t count) {
    using S = sv_detail::Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    const __m256i perm = rec.perm;
    if (rec.lo >= S::lanes) {
        const uint64_t d = rec.hi - rec.lo;
        sv_detail::for_each_site<T>(rec.sites, first, count, sv_detail::prefetch_pairs(re, im, d), [&](uint64_t a) {
            const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + d), i1 = S::load(im + a + d);
            S::store(re + a, r1);
            S::store(im + a, i1);
            S::store(re + a + d, r0);
            S::store(im + a + d, i0);
        });
    } else if (rec.hi >= S::lanes) {
        const uint64_t d = rec.hi;
        const V lo_set = rec.lo_lanes;
        sv_detail::for_each_site<T>(rec.sites, first, count, sv_detail::prefetch_pairs(re, im, d), [&](uint64_t a) {
            const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + d), i1 = S::load(im + a + d);
            S::store(re + a, S::blend(r0, S::permute(r1, perm), lo_set));
            S::store(im + a, S::blend(i0, S::permute(i1, perm), lo_set));
            S::store(re + a + d, S::blend(S::permute(r0, perm), r1, lo_set));
            S::store(im + a + d, S::blend(S::permute(i0, perm), i1, lo_set));
        });
    } else {
        sv_detail::for_each_site<T>(rec.sites, first, count, sv_detail::prefetch_at(re, im), [&](uint64_t a) {
            // Both loads before the stores: the arrays share their page offsets, and a
            // load behind a store to the same offset in the other array would wait.
            const V r = S::load(re + a), i = S::load(im + a);
            S::store(re + a, S::permute(r, perm));
            S::store(im + a, S::permute(i, perm));
        });
    }
}

template <typename T>
void apply_x(StateVector<T>& sv, int q) {
    const uint64_t t = uint64_t{1} << q;
    sv_detail::launch_target(sv, t, 0, sv_detail::exchange_op<T>(t, 0), kernel_x<T>);
}

template <typename T>
void apply_y(StateVector<T>& sv, int q) {
    const uint64_t t = uint64_t{1} << q;
    sv_detail::launch_target(sv, t, 0, sv_detail::y_op<T>(t), kernel_y<T>);
}

template <typename T>
void apply_h(StateVector<T>& sv, int q) {
    const uint64_t t = uint64_t{1} << q;
    sv_detail::launch_target(sv, t, 0, sv_detail::h_op<T>(t), kernel_h<T>);
}

// Z, S, SDG, T, TDG read and write only the amplitudes with bit q set.
template <typename T>
void apply_z(StateVector<T>& sv, int q) {
    sv_detail::launch_single(sv, uint64_t{1} << q, sv_detail::NegateOp<T>{}, kernel_z<T>);
}

template <typename T>
void apply_s(StateVector<T>& sv, int q) {
    sv_detail::launch_single(sv, uint64_t{1} << q, sv_detail::TimesIOp<T>{}, kernel_s<T>);
}

template <typename T>
void apply_sdg(StateVector<T>& sv, int q) {
    sv_detail::launch_single(sv, uint64_t{1} << q, sv_detail::TimesMinusIOp<T>{}, kernel_sdg<T>);
}

template <typename T>
void apply_t(StateVector<T>& sv, int q) {
    sv_detail::launch_single(sv, uint64_t{1} << q, sv_detail::PhaseTOp<T>{}, kernel_t<T>);
}

template <typename T>
void apply_tdg(StateVector<T>& sv, int q) {
    sv_detail::launch_single(sv, uint64_t{1} << q, sv_detail::PhaseTdgOp<T>{q == 1 || q == 2}, kernel_tdg<T>);
}

// Exchanges the amplitudes whose bits a and b differ.  a == b: nothing.
template <typename T>
void apply_swap(StateVector<T>& sv, int a, int b) {
    if (a == b) return;
    const uint64_t lo = uint64_t{1} << (a < b ? a : b), hi = uint64_t{1} << (a < b ? b : a);
    sv_detail::on_registers(sv, [&](T* re, T* im, uint64_t dim) {
        sv_detail::launch_sites(sv, sv_detail::swap_record(re, im, dim, lo, hi), kernel_swap<T>);
    });
}

// Exchanges amplitudes i and i + 2^target for every i with the control bit set
// and the target bit clear.  control == target: nothing.
template <typename T>
void apply_cx(StateVector<T>& sv, int control, int target) {
    const uint64_t c = uint64_t{1} << control, t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, c, sv_detail::exchange_op<T>(t, c), kernel_cx<T>);
}

// Negates every amplitude with both the control and the target bit set
// (control == target: Z).
template <typename T>
void apply_cz(StateVector<T>& sv, int control, int target) {
    sv_detail::launch_single(sv, (uint64_t{1} << control) | (uint64_t{1} << target), sv_detail::NegateOp<T>{},
                             kernel_cz<T>);
}

// Exchanges amplitudes i and i + 2^t for every i with both control bits set
// and the target bit clear.
template <typename T>
void apply_ccx(StateVector<T>& sv, int c0, int c1, int target) {
    const uint64_t c = (uint64_t{1} << c0) | (uint64_t{1} << c1), t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, c, sv_detail::exchange_op<T>(t, c), kernel_ccx<T>);
}

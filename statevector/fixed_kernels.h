// Kernels of the twelve fixed gates (H S SDG T TDG X Y Z SWAP CX CZ CCX):
// exchanges, sign flips and constant multiplications, no matrix.  Each launch
// fills a record and runs the gate's kernel body on one region
// (launch_kernel); the bodies work register by register over the sites of
// the record (sites.h) with the gates' element operations (fixed_ops.h).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "statevector/fixed_ops.h"
#include "statevector/one_target.h"
#include "statevector/simd.h"
#include "statevector/sites.h"
#include "statevector/state_vector.h"

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

// One-target kernels over the sites: the launch record of pairs (i, i + 2^t)
// under controls, the bodies that update single registers, register pairs
// and exchanges, and the launches of one-target and single-amplitude
// operations.  The fixed gates and the 2x2 matrices are built on these.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "statevector/simd.h"
#include "statevector/sites.h"
#include "statevector/state_vector.h"

namespace sv_detail {

// Launch record of a one-target kernel: the pairs (i, i + target) with the
// target bit of i clear and every control bit set.  Controls at or above the
// lane bits are fixed bits of the sites; those below (lane_controls) select
// lanes inside the registers.
template <typename T, typename Op>
struct TargetRecord {
    T* real;
    T* imag;
    uint64_t target;         // 2^t
    uint64_t lane_controls;  // control bits below the lane width
    SiteSpace sites;
    Op op;
    typename Simd<T>::V controlled;  // lanes whose lane_controls are all set
};

// The record for target mask `target` and control bits `controls` (none
// equal to the target), with `op` built for the target.  Operations on
// single amplitudes pass target 0 and every bit they require as controls.
template <typename T, typename Op>
inline TargetRecord<T, Op> target_record(T* re, T* im, uint64_t dim, uint64_t target, uint64_t controls,
                                         const Op& op) {
    constexpr uint64_t W = Simd<T>::lanes;
    const uint64_t lane_controls = controls & (W - 1);
    const SiteSpace sites = site_space<T>(dim, target, controls);
    return {re, im, target, lane_controls, sites, op,
            lane_mask<T>([lane_controls](uint64_t k) { return (k & lane_controls) == lane_controls; })};
}

// Body of an operation on single registers: op.lanes(r, i) on every site,
// kept in the lanes whose low control bits are all set.  Operations on single
// amplitudes (records with target 0) and low targets use it.
template <typename T, typename RecordOp, typename Op>
[[gnu::always_inline]] inline void single_body(const TargetRecord<T, RecordOp>& rec, int64_t first, int64_t count,
                                               const Op& op) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    const V on = rec.controlled;
    const bool all = rec.lane_controls == 0;
    for_each_site<T>(rec.sites, first, count, prefetch_at(re, im), [&](uint64_t a) {
        const V r = S::load(re + a), i = S::load(im + a);
        V nr = r, ni = i;
        op.lanes(nr, ni);
        if (!all) {
            nr = S::blend(r, nr, on);
            ni = S::blend(i, ni, on);
        }
        S::store(re + a, nr);
        S::store(im + a, ni);
    });
}

// Pair body of a one-target operation.  A target at or above the lane bits
// pairs register a with register a + target: op.pair(r0, i0, r1, i1).  A
// target below pairs lanes of one register: op.lanes(r, i).  Lanes whose
// low controls are not all set keep their old values.
template <typename T, typename RecordOp, typename Op>
[[gnu::always_inline]] inline void pair_body(const TargetRecord<T, RecordOp>& rec, int64_t first, int64_t count,
                                             const Op& op) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    const V on = rec.controlled;
    const bool all = rec.lane_controls == 0;
    if (rec.target >= S::lanes) {
        const uint64_t t = rec.target;
        for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
            const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
            V nr0 = r0, ni0 = i0, nr1 = r1, ni1 = i1;
            op.pair(nr0, ni0, nr1, ni1);
            if (!all) {
                nr0 = S::blend(r0, nr0, on);
                ni0 = S::blend(i0, ni0, on);
                nr1 = S::blend(r1, nr1, on);
                ni1 = S::blend(i1, ni1, on);
            }
            S::store(re + a, nr0);
            S::store(im + a, ni0);
            S::store(re + a + t, nr1);
            S::store(im + a + t, ni1);
        });
    } else {
        single_body(rec, first, count, op);
    }
}

// Exchange of the pairs of a one-target record (X, CX, CCX).  A high target
// swaps registers, in the controlled lanes only; a low target permutes each
// register, the low controls folded into the permutation.
template <typename T>
struct ExchangeOp {
    __m256i perm;  // lane k takes lane k ^ target where the low controls are set
};

template <typename T>
inline ExchangeOp<T> exchange_op(uint64_t target, uint64_t controls) {
    const uint64_t low = controls & (Simd<T>::lanes - 1);
    return {lane_permutation<T>([=](uint64_t k) { return (k & low) == low && target < Simd<T>::lanes ? k ^ target : k; })};
}

template <typename T>
[[gnu::always_inline]] inline void exchange_body(const TargetRecord<T, ExchangeOp<T>>& rec, int64_t first,
                                                 int64_t count) {
    using S = Simd<T>;
    using V = typename S::V;
    T* const re = rec.real;
    T* const im = rec.imag;
    if (rec.target >= S::lanes) {
        const uint64_t t = rec.target;
        const V on = rec.controlled;
        if (rec.lane_controls == 0) {
            for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
                const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
                S::store(re + a, r1);
                S::store(im + a, i1);
                S::store(re + a + t, r0);
                S::store(im + a + t, i0);
            });
        } else {
            for_each_site<T>(rec.sites, first, count, prefetch_pairs(re, im, t), [&](uint64_t a) {
                const V r0 = S::load(re + a), i0 = S::load(im + a), r1 = S::load(re + a + t), i1 = S::load(im + a + t);
                S::store(re + a, S::blend(r0, r1, on));
                S::store(im + a, S::blend(i0, i1, on));
                S::store(re + a + t, S::blend(r1, r0, on));
                S::store(im + a + t, S::blend(i1, i0, on));
            });
        }
    } else {
        const __m256i perm = rec.op.perm;
        for_each_site<T>(rec.sites, first, count, prefetch_at(re, im), [&](uint64_t a) {
            // Both loads before the stores: the arrays share their page offsets, and a
            // load behind a store to the same offset in the other array would wait.
            const V r = S::load(re + a), i = S::load(im + a);
            S::store(re + a, S::permute(r, perm));
            S::store(im + a, S::permute(i, perm));
        });
    }
}

// One-target launch: record for `target` under `controls`, kernel on it.
template <typename T, typename Op, typename Kernel>
inline void launch_target(StateVector<T>& sv, uint64_t target, uint64_t controls, const Op& op, const Kernel& kernel) {
    if ((controls & target) != 0) return;  // a control on the target: no pair qualifies
    on_registers(sv, [&](T* re, T* im, uint64_t dim) {
        launch_sites(sv, target_record(re, im, dim, target, controls, op), kernel);
    });
}

// Single-amplitude launch: op on the amplitudes with every bit of `bits` set.
template <typename T, typename Op, typename Kernel>
inline void launch_single(StateVector<T>& sv, uint64_t bits, const Op& op, const Kernel& kernel) {
    launch_target(sv, 0, bits, op, kernel);
}

}  // namespace sv_detail

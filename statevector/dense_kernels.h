// Dense gate matrices: 2x2 on one target (no control, one control, a list of
// controls) computed in the amplitude type, 4x4 on two targets (no control or
// a list of controls) accumulated in double for both amplitude types.
#pragma once

#include <complex>
#include <vector>

#include "statevector/index_runs.h"
#include "statevector/matrix_2q_kernels.h"
#include "statevector/one_target.h"
#include "statevector/simd.h"
#include "statevector/sites.h"
#include "statevector/state_vector.h"

using GateMatrix = std::vector<std::complex<double>>;  // row-major, 4 or 16 entries

namespace sv_detail {

// Row-major 2x2 matrix split into real and imaginary parts of type T.
template <typename T>
struct Split2x2 {
    T re[4];
    T im[4];
};

// a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, in T.
template <typename T>
struct Matrix2x2Op {
    Split2x2<T> m;
    inline void operator()(T& x0, T& y0, T& x1, T& y1) const {
        const T a = x0, b = y0, c = x1, d = y1;
        x0 = (m.re[0] * a - m.im[0] * b) + (m.re[1] * c - m.im[1] * d);
        y0 = (m.re[0] * b + m.im[0] * a) + (m.re[1] * d + m.im[1] * c);
        x1 = (m.re[2] * a - m.im[2] * b) + (m.re[3] * c - m.im[3] * d);
        y1 = (m.re[2] * b + m.im[2] * a) + (m.re[3] * d + m.im[3] * c);
    }
};

template <typename T>
inline Matrix2x2Op<T> split_2x2(const GateMatrix& m) {
    Matrix2x2Op<T> op{};
    for (int k = 0; k < 4; ++k) {
        op.m.re[k] = static_cast<T>(m[k].real());
        op.m.im[k] = static_cast<T>(m[k].imag());
    }
    return op;
}

// The 2x2 update on registers.  Each new value is the sum of the matrix row's
// two terms, m_r0 a0 + m_r1 a1; each term is a pair of products of which one
// is fused with their sum or difference.  Which one follows the loops these
// kernels replace, whose compiled form fixed it per path (see matrix_form):
// first fused, re = fma(mre, x, -(mim y)) and im = fma(mre, y, mim x), or
// second fused, re = fma(-mim, y, mre x) and im = fma(mim, x, mre y).  A target
// below the lane width pairs the lanes of one register: lane k takes
// D[k] own + O[k] partner, with D and O the lane-expanded diagonal and
// off-diagonal entries (where the target bit is set the two terms are added
// the other way round, which gives the same sum).
template <typename T>
struct MatrixOp {
    using S = Simd<T>;
    using V = typename S::V;
    V mr[4], mi[4];     // the entries, broadcast
    V dr, di, orr, oi;  // lane-expanded diagonal and off-diagonal entries
    __m256i perm;       // across the target bit
    int form;           // bit 0: real terms fuse the second product; bit 1: imaginary terms
    bool real;          // every imaginary part a zero, every real part in the window (see RealMatrixForm)
};

template <typename T, bool SecondRe, bool SecondIm>
struct MatrixForm {
    using S = Simd<T>;
    using V = typename S::V;
    static constexpr bool second_re = SecondRe, second_im = SecondIm;
    const MatrixOp<T>* m;

    static V term_re(V cr, V ci, V x, V y) {
        if constexpr (SecondRe) return S::fmadd(S::bxor(ci, S::set1(T(-0.0))), y, S::mul(cr, x));
        else return S::fmsub(cr, x, S::mul(ci, y));
    }
    static V term_im(V cr, V ci, V x, V y) {
        if constexpr (SecondIm) return S::fmadd(ci, x, S::mul(cr, y));
        else return S::fmadd(cr, y, S::mul(ci, x));
    }
    void pair(V& r0, V& i0, V& r1, V& i1) const {
        const V a = r0, b = i0, c = r1, d = i1;
        const V* mr = m->mr;
        const V* mi = m->mi;
        r0 = S::add(term_re(mr[0], mi[0], a, b), term_re(mr[1], mi[1], c, d));
        i0 = S::add(term_im(mr[0], mi[0], a, b), term_im(mr[1], mi[1], c, d));
        r1 = S::add(term_re(mr[2], mi[2], a, b), term_re(mr[3], mi[3], c, d));
        i1 = S::add(term_im(mr[2], mi[2], a, b), term_im(mr[3], mi[3], c, d));
    }
    void lanes(V& r, V& i) const {
        const V pr = S::permute(r, m->perm), pi = S::permute(i, m->perm);
        const V x = r, y = i;
        r = S::add(term_re(m->dr, m->di, x, y), term_re(m->orr, m->oi, pr, pi));
        i = S::add(term_im(m->dr, m->di, x, y), term_im(m->orr, m->oi, pr, pi));
    }
};

// True when the split matrix takes RealMatrixForm (below): its imaginary
// parts are zeros (tested on the bits) and its real parts, broadcast in mr,
// lie in the window.
template <typename T>
inline bool real_in_window(const Split2x2<T>& m, const typename Simd<T>::V (&mr)[4]) {
    for (int k = 0; k < 4; ++k)
        if (!is_zero_bits(m.im[k])) return false;
    return in_window<T>(mr);
}

// Which product each term fuses, per path of the loops these kernels
// replace: under controls, when the target or a control lies on qubits 0 to
// 2, those loops computed every pair and selected, and fused the second
// product; an uncontrolled target on qubit 2 fused the second product of the
// imaginary terms; every other path fused the first.
inline int matrix_form(uint64_t dim, uint64_t target, uint64_t controls, uint64_t lanes) {
    if (controls != 0 && (target < 8 || (controls & 7) != 0)) return 3;
    if (dim < lanes && lanes == 8) return 2;
    if (controls == 0 && target == 4) return 2;
    return 0;
}

template <typename T>
inline MatrixOp<T> matrix_op(const Split2x2<T>& m, uint64_t dim, uint64_t target, uint64_t controls) {
    MatrixOp<T> op;
    for (int k = 0; k < 4; ++k) {
        op.mr[k] = Simd<T>::set1(m.re[k]);
        op.mi[k] = Simd<T>::set1(m.im[k]);
    }
    // Lane with the target bit clear: row 0 (m00 own, m01 partner); set: row 1 (m11 own, m10 partner).
    const auto pick = [target](const T* e, int clear, int set) {
        return lane_values<T>([=](uint64_t k) { return (k & target) != 0 ? e[set] : e[clear]; });
    };
    op.dr = pick(m.re, 0, 3);
    op.di = pick(m.im, 0, 3);
    op.orr = pick(m.re, 1, 2);
    op.oi = pick(m.im, 1, 2);
    op.perm = lane_permutation<T>([target](uint64_t k) { return target < Simd<T>::lanes ? k ^ target : k; });
    op.form = matrix_form(dim, target, controls, Simd<T>::lanes);
    op.real = real_in_window(m, op.mr);
    return op;
}

// A real matrix: every imaginary part a zero of either sign and every real
// part in the magnitude window of in_window.  On registers whose values all
// lie in the window (none is zero, tiny, infinite or NaN), each term's
// product by an imaginary part is an exact zero and the product it is added
// to is a nonzero normal number, which adding a zero leaves as it is: the
// term is the rounded real product alone, in either fusion form.  So each
// new value is m_r0 a0 + m_r1 a1 of those products, bit for bit the dense
// sum, with half the products (each rounded on its own, never fused into
// the add).  Registers outside the window take the dense terms.
template <typename T, bool SecondRe, bool SecondIm>
struct RealMatrixForm {
    using S = Simd<T>;
    using V = typename S::V;
    MatrixForm<T, SecondRe, SecondIm> dense;

    void pair(V& r0, V& i0, V& r1, V& i1) const {
        const V in[4] = {r0, i0, r1, i1};
        if (!in_window<T>(in)) return dense.pair(r0, i0, r1, i1);
        const V* mr = dense.m->mr;
        r0 = S::add(S::product(mr[0], in[0]), S::product(mr[1], in[2]));
        i0 = S::add(S::product(mr[0], in[1]), S::product(mr[1], in[3]));
        r1 = S::add(S::product(mr[2], in[0]), S::product(mr[3], in[2]));
        i1 = S::add(S::product(mr[2], in[1]), S::product(mr[3], in[3]));
    }
    void lanes(V& r, V& i) const {
        const V in[2] = {r, i};
        if (!in_window<T>(in)) return dense.lanes(r, i);
        const MatrixOp<T>* m = dense.m;
        const V pr = S::permute(r, m->perm), pi = S::permute(i, m->perm);
        r = S::add(S::product(m->dr, in[0]), S::product(m->orr, pr));
        i = S::add(S::product(m->dr, in[1]), S::product(m->orr, pi));
    }
};

// The pair body with the record's fusion form.
template <typename T, bool Real, typename Record>
inline void form_body(const Record& rec, int64_t first, int64_t count) {
    const MatrixOp<T>* m = &rec.op;
    const auto run = [&](auto form) {
        using F = decltype(form);
        if constexpr (Real) pair_body(rec, first, count, RealMatrixForm<T, F::second_re, F::second_im>{form});
        else pair_body(rec, first, count, form);
    };
    switch (m->form) {
        case 0: return run(MatrixForm<T, false, false>{m});
        case 1: return run(MatrixForm<T, true, false>{m});
        case 2: return run(MatrixForm<T, false, true>{m});
        default: return run(MatrixForm<T, true, true>{m});
    }
}

template <typename T, typename Record>
inline void matrix_body(const Record& rec, int64_t first, int64_t count) {
    if (rec.op.real) form_body<T, true>(rec, first, count);
    else form_body<T, false>(rec, first, count);
}

template <typename T>
using MatrixRecord = TargetRecord<T, MatrixOp<T>>;

// Multi-control 2x2 launch record.  Masks that are all single bits become the
// controls of `pairs`; otherwise (a zero mask, or one with several bits)
// `masks` is set, the sites of `pairs` are all registers, and each pair is
// tested index by index.
template <typename T>
struct MultiControlledMatrix1qRecord {
    MatrixRecord<T> pairs;
    const std::vector<uint64_t>* masks;
    Matrix2x2Op<T> scalar;
};

}  // namespace sv_detail

template <typename T>
void kernel_matrix_1q(const sv_detail::MatrixRecord<T>& rec, int64_t first, int64_t count) {
    sv_detail::matrix_body<T>(rec, first, count);
}

template <typename T>
void kernel_controlled_matrix_1q(const sv_detail::MatrixRecord<T>& rec, int64_t first, int64_t count) {
    sv_detail::matrix_body<T>(rec, first, count);
}

template <typename T>
void kernel_multi_controlled_matrix_1q(const sv_detail::MultiControlledMatrix1qRecord<T>& rec, int64_t first,
                                       int64_t count) {
    if (rec.masks == nullptr) return sv_detail::matrix_body<T>(rec.pairs, first, count);
    T* const re = rec.pairs.real;
    T* const im = rec.pairs.imag;
    const uint64_t half = rec.pairs.target;
    const sv_detail::Matrix2x2Op<T> op = rec.scalar;
    sv_detail::for_each_site<T>(rec.pairs.sites, first, count, sv_detail::NoPrefetch{}, [&](uint64_t a) {
        for (uint64_t i = a; i < a + sv_detail::Simd<T>::lanes; ++i)
            if ((i & half) == 0 && sv_detail::all_masks_set(i, *rec.masks))
                sv_detail::pair_run(re + i, im + i, re + i + half, im + i + half, 1, op);
    });
}

// A 2x2 matrix split into real and imaginary parts in T, row-major: the form
// the one-target kernels read.
template <typename T>
using SplitMatrix1q = sv_detail::Split2x2<T>;

template <typename T>
SplitMatrix1q<T> split_matrix_1q(const GateMatrix& m) {
    return sv_detail::split_2x2<T>(m).m;
}

// 2x2 matrix on target t, already split.
template <typename T>
void launch_matrix_1q(StateVector<T>& sv, int target, const SplitMatrix1q<T>& m) {
    const uint64_t t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, 0, sv_detail::matrix_op(m, sv.dim, t, 0), kernel_matrix_1q<T>);
}

// 2x2 matrix on target t where the control bit is set, already split.
template <typename T>
void launch_controlled_matrix_1q(StateVector<T>& sv, int control, int target, const SplitMatrix1q<T>& m) {
    const uint64_t c = uint64_t{1} << control, t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, c, sv_detail::matrix_op(m, sv.dim, t, c), kernel_controlled_matrix_1q<T>);
}

// 2x2 matrix on target t.
template <typename T>
void apply_matrix_1q(StateVector<T>& sv, int target, const GateMatrix& m) {
    launch_matrix_1q(sv, target, split_matrix_1q<T>(m));
}

// 2x2 matrix on target t where the control bit is set.  control == target:
// nothing changes.
template <typename T>
void apply_controlled_matrix_1q(StateVector<T>& sv, int control, int target, const GateMatrix& m) {
    launch_controlled_matrix_1q(sv, control, target, split_matrix_1q<T>(m));
}

// 2x2 matrix (already split into T, row-major) on the target with half = 2^t,
// applied to the pairs whose first index has a bit of every control mask set.
// An empty list updates every pair.  (block, 2^(t+1), is implied by half.)
template <typename T>
void launch_multi_controlled_matrix_1q(StateVector<T>& sv, uint64_t half, uint64_t /*block*/, const T* mre,
                                       const T* mim, const std::vector<uint64_t>& control_masks) {
    sv_detail::Matrix2x2Op<T> scalar{};
    for (int k = 0; k < 4; ++k) {
        scalar.m.re[k] = mre[k];
        scalar.m.im[k] = mim[k];
    }
    uint64_t controls = 0;
    const bool single_bits = sv_detail::combine_single_bit_masks(control_masks, controls);
    if (single_bits && (controls & half) != 0) return;  // a control on the target: no pair qualifies
    const sv_detail::MatrixOp<T> op = sv_detail::matrix_op(scalar.m, sv.dim, half, single_bits ? controls : 0);
    sv_detail::on_registers(sv, [&](T* re, T* im, uint64_t dim) {
        sv_detail::MultiControlledMatrix1qRecord<T> rec{
            sv_detail::target_record(re, im, dim, half, single_bits ? controls : 0, op),
            single_bits ? nullptr : &control_masks, scalar};
        if (!single_bits) rec.pairs.sites = sv_detail::site_space<T>(dim, 0, 0);  // every register
        launch_kernel(sv.num_qubits, rec.pairs.sites.count, [&rec](int64_t first, int64_t count) {
            kernel_multi_controlled_matrix_1q(rec, first, count);
        });
    });
}

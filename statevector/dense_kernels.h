// Dense gate matrices: 2x2 on one target (no control, one control, a list of
// controls) computed in the amplitude type, 4x4 on two targets (no control or
// a list of controls) accumulated in double for both amplitude types.
#pragma once

#include <complex>
#include <vector>

#include "statevector/kernel_runs.h"
#include "statevector/matrix_2q_kernels.h"
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

template <typename T>
struct Matrix1qRecord {
    uint64_t dim, half, block;
    T* real;
    T* imag;
    Matrix2x2Op<T> op;
};

template <typename T>
struct ControlledMatrix1qRecord {
    uint64_t dim;
    T* real;
    T* imag;
    uint64_t cmask, tmask, block;
    Matrix2x2Op<T> op;
};

template <typename T>
struct MultiControlledMatrix1qRecord {
    uint64_t dim;
    T* real;
    T* imag;
    uint64_t half, block;
    Matrix2x2Op<T> op;
    const std::vector<uint64_t>* masks;
};

}  // namespace sv_detail

// 2x2 matrix on target t.
template <typename T>
void apply_matrix_1q(StateVector<T>& sv, int target, const GateMatrix& m) {
    const sv_detail::Matrix1qRecord<T> rec{sv.dim, uint64_t{1} << target, uint64_t{2} << target, sv.real, sv.imag,
                                           sv_detail::split_2x2<T>(m)};
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.half, 0,
                         [&rec](uint64_t start, uint64_t len) {
        const sv_detail::Matrix2x2Op<T> op = rec.op;
        sv_detail::unit_pairs(rec.real, rec.imag, start, len, rec.half, op);
    });
}

// 2x2 matrix on target t where the control bit is set.  control == target:
// nothing changes.
template <typename T>
void apply_controlled_matrix_1q(StateVector<T>& sv, int control, int target, const GateMatrix& m) {
    const sv_detail::ControlledMatrix1qRecord<T> rec{sv.dim,
                                                     sv.real,
                                                     sv.imag,
                                                     uint64_t{1} << control,
                                                     uint64_t{1} << target,
                                                     uint64_t{2} << control,
                                                     sv_detail::split_2x2<T>(m)};
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.tmask, rec.cmask,
                         [&rec](uint64_t start, uint64_t len) {
        const sv_detail::Matrix2x2Op<T> op = rec.op;
        sv_detail::unit_controlled_pairs(rec.real, rec.imag, start, len, rec.tmask, rec.cmask, op);
    });
}

// 2x2 matrix (already split into T, row-major) on the target with half = 2^t
// and block = 2^(t+1), applied to the pairs whose first index has a bit of
// every control mask set.  An empty list updates every pair.
template <typename T>
void launch_multi_controlled_matrix_1q(StateVector<T>& sv, uint64_t half, uint64_t block, const T* mre,
                                       const T* mim, const std::vector<uint64_t>& control_masks) {
    sv_detail::MultiControlledMatrix1qRecord<T> rec{sv.dim, sv.real, sv.imag, half, block, {}, &control_masks};
    for (int k = 0; k < 4; ++k) {
        rec.op.m.re[k] = mre[k];
        rec.op.m.im[k] = mim[k];
    }
    uint64_t controls = 0;
    const bool single_bits = sv_detail::combine_single_bit_masks(control_masks, controls);
    if (!single_bits) controls = 0;
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.half, controls,
              [&rec, controls, single_bits](uint64_t start, uint64_t len) {
                  const sv_detail::Matrix2x2Op<T> op = rec.op;
                  T* re = rec.real;
                  T* im = rec.imag;
                  const uint64_t half = rec.half;
                  const auto run = [&](uint64_t i, uint64_t n) {
                      sv_detail::pair_run(re + i, im + i, re + i + half, im + i + half, n, op);
                  };
                  if (single_bits) {
                      sv_detail::unit_controlled_pairs(re, im, start, len, half, controls, op);
                  } else {
                      for (uint64_t i = start; i < start + len; ++i)
                          if ((i & half) == 0 && sv_detail::all_masks_set(i, *rec.masks)) run(i, 1);
                  }
              });
}

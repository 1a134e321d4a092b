// Gates run chunk by chunk.  A chunk is an aligned run of 2^k amplitudes of
// the state, seen as a state of k qubits that owns nothing; a gate's control
// bits and diagonal bits at or above k select the chunks it acts on, and the
// part of the gate below k runs inside each selected chunk.  Every launch
// here takes the same kernel path, with the same arithmetic per amplitude, as
// the whole-state launch of the same gate: the element operations and the
// 2x2 fusion forms are those the whole gate would use.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
#include "statevector/one_target.h"
#include "statevector/prefetch.h"
#include "statevector/state_vector.h"

// Chunks smaller than this do not pay for their passes.
inline constexpr int kMinChunkBits = 8;

// Chunk bits set by tests and benchmarks (0: from the cache size).
inline int chunk_bits_override = 0;

// Bits of a chunk of T amplitudes: each of its two arrays as large as the
// core's L2.  Measured on 24-qubit circuits, such chunks ran 5-30 % faster
// than chunks half the L2's size: they need fewer passes over the state, and
// what the L2 cannot hold of a chunk stays in the core's share of the L3.
template <typename T>
int chunk_bits() {
    if (chunk_bits_override > 0) return chunk_bits_override;
    const uint64_t amplitudes = core_cache_bytes() / sizeof(T);
    return std::max(kMinChunkBits, std::bit_width(amplitudes) - 1);
}

// Chunk `index` of 2^k amplitudes of the state.
template <typename T>
StateVector<T> chunk_view(StateVector<T>& sv, int k, uint64_t index) {
    const uint64_t base = index << k;
    return StateVector<T>(k, sv.real + base, sv.imag + base);
}

// Runs body(chunk_index) for every chunk of 2^k amplitudes on one region with
// the team the thread rule gives the whole state, each thread taking a
// contiguous share of the chunks, in increasing order.
template <typename T, typename Body>
void for_each_chunk(const StateVector<T>& sv, int k, const Body& body) {
    const int64_t chunks = static_cast<int64_t>(sv.dim >> k);
    launch_kernel(sv.num_qubits, chunks, [&body](int64_t first, int64_t count) {
        for (int64_t c = first; c < first + count; ++c) body(static_cast<uint64_t>(c));
    });
}

// The single-amplitude operations of Z, S, SDG, T and TDG (and CZ's sign
// flip) on the amplitudes with every bit of `bits` set; bits 0 acts on all.
template <typename T>
void apply_z_where(StateVector<T>& sv, uint64_t bits) {
    sv_detail::launch_single(sv, bits, sv_detail::NegateOp<T>{}, kernel_z<T>);
}
template <typename T>
void apply_cz_where(StateVector<T>& sv, uint64_t bits) {
    sv_detail::launch_single(sv, bits, sv_detail::NegateOp<T>{}, kernel_cz<T>);
}
template <typename T>
void apply_s_where(StateVector<T>& sv, uint64_t bits) {
    sv_detail::launch_single(sv, bits, sv_detail::TimesIOp<T>{}, kernel_s<T>);
}
template <typename T>
void apply_sdg_where(StateVector<T>& sv, uint64_t bits) {
    sv_detail::launch_single(sv, bits, sv_detail::TimesMinusIOp<T>{}, kernel_sdg<T>);
}
template <typename T>
void apply_t_where(StateVector<T>& sv, uint64_t bits) {
    sv_detail::launch_single(sv, bits, sv_detail::PhaseTOp<T>{}, kernel_t<T>);
}
// second_im: the form TDG takes on qubits 1 and 2.
template <typename T>
void apply_tdg_where(StateVector<T>& sv, uint64_t bits, bool second_im) {
    sv_detail::launch_single(sv, bits, sv_detail::PhaseTdgOp<T>{second_im}, kernel_tdg<T>);
}

// The exchange of X, CX and CCX on target t under the control bits `controls`.
template <typename T>
void apply_exchange_under(StateVector<T>& sv, int target, uint64_t controls) {
    const uint64_t t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, controls, sv_detail::exchange_op<T>(t, controls), kernel_ccx<T>);
}

// A split 2x2 matrix on target t under the control bits `controls`, fused as
// the gate under its full control set `form_controls` is.
template <typename T>
void launch_matrix_1q_under(StateVector<T>& sv, int target, uint64_t controls, uint64_t form_controls,
                            const SplitMatrix1q<T>& m) {
    const uint64_t t = uint64_t{1} << target;
    sv_detail::launch_target(sv, t, controls, sv_detail::matrix_op(m, sv.dim, t, form_controls),
                             kernel_controlled_matrix_1q<T>);
}

// A split 4x4 matrix whose index bit 0 belongs to the qubit of mask `first`
// and bit 1 to that of `second`, under the single-bit control masks (null:
// none).  With both qubits at or above the register width their order is
// free: each group's members are taken in the matrix's own order, so the
// terms of every row are added as for the whole gate.  The form depends only
// on control bits inside the registers, which every chunk keeps.
template <typename T>
void launch_matrix_2q_under(StateVector<T>& sv, uint64_t first, uint64_t second, const double* mre,
                            const double* mim, const std::vector<uint64_t>* masks) {
    sv_detail::launch_matrix_2q(sv, first, second, mre, mim, masks, sv_detail::kernel_multi_controlled_matrix_2q<T>);
}

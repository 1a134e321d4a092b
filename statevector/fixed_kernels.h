// Kernels of the twelve fixed gates (H S SDG T TDG X Y Z SWAP CX CZ CCX):
// exchanges, sign flips and constant multiplications, no matrix.  Each launch
// fills a record and runs one body on a region of kernel_team_size threads.
#pragma once

#include <type_traits>
#include <utility>

#include "statevector/kernel_runs.h"
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

// Exchanges the two amplitudes of a pair.  A function object rather than a
// function, so that the pair loops receive it as a type and inline it.
struct SwapAmplitudes {
    template <typename T>
    void operator()(T& x0, T& y0, T& x1, T& y1) const {
        const T tx = x0, ty = y0;
        x0 = x1;
        y0 = y1;
        x1 = tx;
        y1 = ty;
    }
};
inline constexpr SwapAmplitudes swap_amplitudes{};

template <typename T>
struct OneQubitRecord {
    uint64_t dim, half, block;
    T* real;
    T* imag;
};

// One-qubit fixed gate on qubit q: op(x0, y0, x1, y1) on every pair
// (base + j, base + half + j) of the blocks of size 2^(q+1).
template <typename T, typename Op>
void launch_one_qubit(StateVector<T>& sv, int q, const Op& op) {
    const OneQubitRecord<T> rec{sv.dim, uint64_t{1} << q, uint64_t{2} << q, sv.real, sv.imag};
    run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.half, 0, [rec, &op](uint64_t start, uint64_t len) {
        unit_pairs(rec.real, rec.imag, start, len, rec.half, op);
    });
}

// Same blocks, but only the amplitudes with bit q set are read and written:
// op(x1, y1).  Below the vector width whole pairs are streamed instead.
template <typename T, typename Op>
void launch_one_qubit_upper(StateVector<T>& sv, int q, const Op& op) {
    const OneQubitRecord<T> rec{sv.dim, uint64_t{1} << q, uint64_t{2} << q, sv.real, sv.imag};
    run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, 0, rec.half, [rec, &op](uint64_t start, uint64_t len) {
        if (rec.half <= 4) {
            unit_pairs(rec.real, rec.imag, start, len, rec.half, [&op](T&, T&, T& x1, T& y1) { op(x1, y1); });
        } else {
            for_each_run(start, len, 0, rec.half,
                         [&](uint64_t i, uint64_t n) { single_run(rec.real + i, rec.imag + i, n, op); });
        }
    });
}

// Exchanges amplitudes i and i + partner for the i of [start, start + len)
// with the bits of `clear` clear and the bits of `set` set.
template <typename T>
inline void swap_runs(T* re, T* im, uint64_t start, uint64_t len, uint64_t clear, uint64_t set, uint64_t partner) {
    for_each_run(start, len, clear, set, [&](uint64_t i, uint64_t n) {
        pair_run(re + i, im + i, re + i + partner, im + i + partner, n, swap_amplitudes);
    });
}

template <typename T>
struct TwoMaskRecord {
    uint64_t dim;
    T* real;
    T* imag;
    uint64_t mask_a, mask_b, block;
};

template <typename T>
struct CcxRecord {
    uint64_t dim;
    T* real;
    T* imag;
    uint64_t mask_c0, mask_c1, mask_t, block;
};

}  // namespace sv_detail

template <typename T>
void apply_x(StateVector<T>& sv, int q) {
    sv_detail::launch_one_qubit(sv, q, [](T& x0, T& y0, T& x1, T& y1) { sv_detail::swap_amplitudes(x0, y0, x1, y1); });
}

template <typename T>
void apply_y(StateVector<T>& sv, int q) {
    // a0' = -i a1, a1' = i a0
    sv_detail::launch_one_qubit(sv, q, [](T& x0, T& y0, T& x1, T& y1) {
        const T nx0 = y1, ny0 = -x1, nx1 = -y0, ny1 = x0;
        x0 = nx0;
        y0 = ny0;
        x1 = nx1;
        y1 = ny1;
    });
}

template <typename T>
void apply_z(StateVector<T>& sv, int q) {
    sv_detail::launch_one_qubit_upper(sv, q, [](T& x1, T& y1) {
        x1 = -x1;
        y1 = -y1;
    });
}

template <typename T>
void apply_h(StateVector<T>& sv, int q) {
    sv_detail::launch_one_qubit(sv, q, [](T& x0, T& y0, T& x1, T& y1) {
        constexpr T h = FixedGateConstants<T>::h;
        const T sx = x0 + x1, sy = y0 + y1, dx = x0 - x1, dy = y0 - y1;
        x0 = sx * h;
        y0 = sy * h;
        x1 = dx * h;
        y1 = dy * h;
    });
}

template <typename T>
void apply_s(StateVector<T>& sv, int q) {
    // a1' = i a1
    sv_detail::launch_one_qubit_upper(sv, q, [](T& x1, T& y1) {
        const T nx = -y1, ny = x1;
        x1 = nx;
        y1 = ny;
    });
}

template <typename T>
void apply_sdg(StateVector<T>& sv, int q) {
    // a1' = -i a1
    sv_detail::launch_one_qubit_upper(sv, q, [](T& x1, T& y1) {
        const T nx = y1, ny = -x1;
        x1 = nx;
        y1 = ny;
    });
}

template <typename T>
void apply_t(StateVector<T>& sv, int q) {
    sv_detail::launch_one_qubit_upper(sv, q, [](T& x1, T& y1) {
        if constexpr (std::is_same_v<T, float>) {
            constexpr float c = FixedGateConstants<float>::kc;
            const float nx = (x1 - y1) * c, ny = (x1 + y1) * c;
            x1 = nx;
            y1 = ny;
        } else {
            constexpr T kc = FixedGateConstants<T>::kc, ks = FixedGateConstants<T>::ks;
            const T nx = x1 * kc - y1 * ks, ny = x1 * ks + y1 * kc;
            x1 = nx;
            y1 = ny;
        }
    });
}

template <typename T>
void apply_tdg(StateVector<T>& sv, int q) {
    sv_detail::launch_one_qubit_upper(sv, q, [](T& x1, T& y1) {
        if constexpr (std::is_same_v<T, float>) {
            constexpr float c = FixedGateConstants<float>::kc;
            const float nx = (x1 + y1) * c, ny = y1 * c - x1 * c;
            x1 = nx;
            y1 = ny;
        } else {
            constexpr T kc = FixedGateConstants<T>::kc, ks = FixedGateConstants<T>::ks;
            const T nx = x1 * kc + y1 * ks, ny = y1 * kc - x1 * ks;
            x1 = nx;
            y1 = ny;
        }
    });
}

// Exchanges the amplitudes whose bits a and b differ.  a == b: nothing.
template <typename T>
void apply_swap(StateVector<T>& sv, int a, int b) {
    if (a == b) return;
    const int lo = a < b ? a : b, hi = a < b ? b : a;
    const sv_detail::TwoMaskRecord<T> rec{sv.dim, sv.real, sv.imag, uint64_t{1} << lo, uint64_t{1} << hi,
                                          uint64_t{2} << hi};
    // First indices: bit lo set, bit hi clear; partners: bit lo clear, bit hi set.
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.mask_b, rec.mask_a,
                         [rec](uint64_t start, uint64_t len) {
        const uint64_t a = rec.mask_a, b = rec.mask_b;
        const auto partner = [a, b](uint64_t k) { return ((k & a) != 0) != ((k & b) != 0) ? k ^ (a | b) : k; };
        if (sv_detail::exchange_in_registers(rec.real, rec.imag, start, len, a | b, partner)) return;
        sv_detail::swap_runs(rec.real, rec.imag, start, len, rec.mask_b, rec.mask_a, rec.mask_b - rec.mask_a);
    });
}

// Exchanges amplitudes i and i + 2^target for every i with the control bit set
// and the target bit clear.
template <typename T>
void apply_cx(StateVector<T>& sv, int control, int target) {
    const sv_detail::TwoMaskRecord<T> rec{sv.dim, sv.real, sv.imag, uint64_t{1} << control, uint64_t{1} << target,
                                          uint64_t{2} << control};
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.mask_b, rec.mask_a,
                         [rec](uint64_t start, uint64_t len) {
        const uint64_t c = rec.mask_a, t = rec.mask_b;
        if (sv_detail::exchange_in_registers(rec.real, rec.imag, start, len, c | t,
                                             [c, t](uint64_t k) { return (k & c) != 0 ? k ^ t : k; }))
            return;
        sv_detail::unit_controlled_pairs(rec.real, rec.imag, start, len, rec.mask_b, rec.mask_a,
                                         sv_detail::swap_amplitudes);
    });
}

// Negates every amplitude with both the control and the target bit set.
template <typename T>
void apply_cz(StateVector<T>& sv, int control, int target) {
    const sv_detail::TwoMaskRecord<T> rec{sv.dim, sv.real, sv.imag, uint64_t{1} << control, uint64_t{1} << target,
                                          uint64_t{2} << control};
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, 0, rec.mask_a | rec.mask_b,
                         [rec](uint64_t start, uint64_t len) {
        const auto negate = [](T& x, T& y) {
            x = -x;
            y = -y;
        };
        sv_detail::for_each_run(start, len, 0, rec.mask_a | rec.mask_b, [&](uint64_t i, uint64_t n) {
            sv_detail::single_run(rec.real + i, rec.imag + i, n, negate);
        });
    });
}

// Exchanges amplitudes i and i + 2^t for every i with both control bits set
// and the target bit clear.
template <typename T>
void apply_ccx(StateVector<T>& sv, int c0, int c1, int target) {
    const sv_detail::CcxRecord<T> rec{sv.dim,          sv.real, sv.imag, uint64_t{1} << c0, uint64_t{1} << c1,
                                      uint64_t{1} << target, uint64_t{2} << target};
    sv_detail::run_units(kernel_team_size(sv.num_qubits), rec.dim, rec.block, rec.mask_t, rec.mask_c0 | rec.mask_c1,
                         [rec](uint64_t start, uint64_t len) {
        const uint64_t c = rec.mask_c0 | rec.mask_c1, t = rec.mask_t;
        if (sv_detail::exchange_in_registers(rec.real, rec.imag, start, len, c | t,
                                             [c, t](uint64_t k) { return (k & c) == c ? k ^ t : k; }))
            return;
        sv_detail::unit_controlled_pairs(rec.real, rec.imag, start, len, rec.mask_t, rec.mask_c0 | rec.mask_c1,
                                         sv_detail::swap_amplitudes);
    });
}

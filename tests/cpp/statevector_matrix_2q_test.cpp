// The two 4x4 kernels against a dense reference for every target pair and
// control position, bit for bit against the scalar rounding model, and
// independent of the thread count.
//
// The register layouts are chosen by where the targets sit relative to the
// 256-bit register (3 index bits for float, 2 for double): both at or above
// it, float lo = 2, lo below with hi above, float hi = 2, targets (0, 1), and
// for float states of 2 qubits a padded register.  Controls below the
// register width are blended, those above pick the registers visited.
// Sweeping every pair and control position over 2 to 7 qubits covers each
// combination.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "statevector/matrix_2q_kernels.h"
#include "statevector/state_vector.h"
#include "tests/cpp/state_roundtrip.h"

namespace {

using Masks = std::vector<uint64_t>;

// Row-major 4x4 matrix, index bit 0 from qubit a and bit 1 from qubit b,
// applied to the groups whose index meets every mask ((g & mask) != 0).
Amps reference(const Amps& in, int a, int b, const Masks& masks, const GateMatrix& m) {
    Amps out = in;
    const uint64_t ma = uint64_t{1} << a, mb = uint64_t{1} << b;
    for (uint64_t g = 0; g < in.size(); ++g) {
        if ((g & (ma | mb)) != 0) continue;
        bool on = true;
        for (uint64_t mask : masks) on = on && (g & mask) != 0;
        if (!on) continue;
        const uint64_t at[4] = {g, g | ma, g | mb, g | ma | mb};
        for (int r = 0; r < 4; ++r) {
            out[at[r]] = 0;
            for (int k = 0; k < 4; ++k) out[at[r]] += m[4 * r + k] * in[at[k]];
        }
    }
    return out;
}

template <typename T>
Amps random_state(int n, std::mt19937& rng) {
    std::normal_distribution<double> d;
    Amps a(size_t{1} << n);
    for (C& x : a) x = C(static_cast<T>(d(rng)), static_cast<T>(d(rng)));
    return a;
}

GateMatrix random_matrix(std::mt19937& rng) {
    std::normal_distribution<double> d;
    GateMatrix m(16);
    for (C& x : m) x = C(d(rng), d(rng));
    return m;
}

// The multi-control launch as the caller drives it, targets lo < hi and the
// matrix index bit 0 from lo.
template <typename T>
void mc_2q(StateVector<T>& s, int lo, int hi, const Masks& masks, const GateMatrix& m) {
    double re[16], im[16];
    for (int k = 0; k < 16; ++k) re[k] = m[k].real(), im[k] = m[k].imag();
    const uint64_t inner = hi > lo + 1 ? uint64_t{1} << (hi - lo - 1) : 1;
    launch_multi_controlled_matrix_2q(s, re, im, masks, uint64_t{1} << lo, uint64_t{1} << hi, uint64_t{2} << hi,
                                      inner);
}

// Control lists for targets lo < hi on n qubits: none, one control at every
// position (those on a target change nothing), two and three controls below,
// between and above the targets, a mask listed twice, a mask of two bits (any
// of them set) and a zero mask (no group).
std::vector<Masks> control_lists(int n, int lo, int hi) {
    const auto bit = [](int q) { return uint64_t{1} << q; };
    std::vector<Masks> lists = {{}, {0}};
    for (int c = 0; c < n; ++c) {
        lists.push_back({bit(c)});
        lists.push_back({bit(c), bit(c)});
        for (int d = c + 1; d < n; ++d) {
            lists.push_back({bit(d), bit(c)});
            lists.push_back({bit(c) | bit(d)});
            for (int e = d + 1; e < n; ++e)
                if (e != lo && e != hi && c != lo && d != hi) lists.push_back({bit(c), bit(e), bit(d)});
        }
    }
    return lists;
}

template <typename T>
class Matrix2qTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(Matrix2qTest, Precisions);

TYPED_TEST(Matrix2qTest, EveryPairAndControlMatchesDenseReference) {
    using T = TypeParam;
    std::mt19937 rng(5);
    const auto check = [](const Amps& got, const Amps& want, const std::string& what) {
        ASSERT_EQ(first_outside(got, want, kReferenceTolerance<T>), got.size())
            << what << " (first index outside the tolerance)";
    };
    for (int n = 2; n <= 7; ++n)
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                const std::string pair = std::to_string(n) + "q (" + std::to_string(a) + "," + std::to_string(b) + ")";
                const GateMatrix m = random_matrix(rng);
                const Amps in = random_state<T>(n, rng);
                if (a == b) {
                    EXPECT_TRUE(same_bits(run<T>(in, [&](auto& s) { apply_matrix_2q(s, a, b, m); }), in)) << pair;
                    continue;
                }
                check(run<T>(in, [&](auto& s) { apply_matrix_2q(s, a, b, m); }), reference(in, a, b, {}, m), pair);
                if (a > b) continue;
                for (const Masks& masks : control_lists(n, a, b)) {
                    const Amps want = reference(in, a, b, masks, m);
                    check(run<T>(in, [&](auto& s) { mc_2q(s, a, b, masks, m); }), want,
                          pair + " masks " + testing::PrintToString(masks));
                }
            }
}

// The scalar rounding model of the 4x4 kernels (see RoundingMatchesScalarModel).
template <typename T>
Amps rounding_model(const Amps& in, int lo, int hi, uint64_t controls, const GateMatrix& m, bool alt) {
    Amps out = in;
    const uint64_t ml = uint64_t{1} << lo, mh = uint64_t{1} << hi;
    for (uint64_t g = 0; g < in.size(); ++g) {
        if ((g & (ml | mh)) != 0 || (g & controls) != controls) continue;
        const uint64_t at[4] = {g, g | ml, g | mh, g | ml | mh};
        for (int r = 0; r < 4; ++r) {
            double sr = 0.0, si = 0.0;
            for (int k = 0; k < 4; ++k) {
                const double a = m[4 * r + k].real(), b = m[4 * r + k].imag();
                const double xr = in[at[k]].real(), xi = in[at[k]].imag();
                const double pr = b * xi, pa = a * xi, pb = b * xr;
                sr += std::fma(a, xr, -pr);
                si += alt ? std::fma(b, xr, pa) : std::fma(a, xi, pb);
            }
            out[at[r]] = C(static_cast<T>(sr), static_cast<T>(si));
        }
    }
    return out;
}

// Every path rounds as the scalar model: each term's real part
// fma(Mre, xr, -(Mim xi)), its imaginary part fma(Mre, xi, Mim xr), except
// fma(Mim, xr, Mre xi) for the targets (0, 1) and (0, 2) without a control
// below the higher one; the terms summed from 0.0 in k order, in double, and
// rounded to T once.  Exact zeros and sums that cancel make a difference in
// the fused product show in float too.
TYPED_TEST(Matrix2qTest, RoundingMatchesScalarModel) {
    using T = TypeParam;
    std::mt19937 rng(9);
    std::normal_distribution<double> nd;
    const int n = 6;
    for (int trial = 0; trial < 3; ++trial)
        for (int lo = 0; lo < n; ++lo)
            for (int hi = lo + 1; hi < n; ++hi)
                for (int c = -1; c < n; ++c) {
                    if (c == lo || c == hi) continue;
                    GateMatrix m(16);
                    for (int k = 0; k < 16; ++k) {
                        const double re = trial == 2 ? double(int(rng() % 3) - 1) : nd(rng);
                        const double d = std::ldexp(double(rng() % 1000 + 1), -45);
                        m[k] = C(re, trial == 1 ? (k < 8 ? -1 : 1) * re * (1 + d) : trial == 2 ? double(int(rng() % 3) - 1) : nd(rng));
                    }
                    Amps in = random_state<T>(n, rng);
                    const T z[4] = {T(0), T(-0.0), T(1), T(-1)};
                    for (C& x : in) {
                        if (trial == 1) x = C(x.real(), x.real());
                        if (trial == 2) x = C(z[rng() % 4], z[rng() % 4]);
                    }
                    const uint64_t controls = c < 0 ? 0 : uint64_t{1} << c;
                    const bool alt = lo == 0 && hi <= 2 && (c < 0 || c > hi);
                    const Amps want = rounding_model<T>(in, lo, hi, controls, m, alt);
                    const std::string what = "(" + std::to_string(lo) + "," + std::to_string(hi) + ") c" + std::to_string(c);
                    if (c < 0) {
                        EXPECT_TRUE(same_bits(run<T>(in, [&](auto& s) { apply_matrix_2q(s, lo, hi, m); }), want)) << what;
                    }
                    EXPECT_TRUE(same_bits(run<T>(in, [&](auto& s) { mc_2q(s, lo, hi, c < 0 ? Masks{} : Masks{controls}, m); }), want))
                        << what;
                }
}

// Diagonal matrices (off-diagonal entries zeros of either sign) round as
// the scalar model too: exact zeros, signed zeros and cancelling terms on the
// diagonal, with and without a low control.  An infinity or a NaN in a group
// still reaches every row of that group, as the dense sum spreads it: each
// part is NaN where the model's is, and bit for bit elsewhere.
TYPED_TEST(Matrix2qTest, DiagonalMatricesMatchScalarModel) {
    using T = TypeParam;
    std::mt19937 rng(21);
    const int n = 7;
    const T z[6] = {T(0), T(-0.0), T(1), T(-1), T(0.75), T(-1e-3)};
    // Trial 4: magnitudes of 2 and more, which the finiteness test may send
    // to the dense rows.
    const T big[4] = {T(2.5), T(-3), T(1e30), T(0.5)};
    for (int trial = 0; trial < 5; ++trial)
        for (int lo = 0; lo < n; ++lo)
            for (int hi = lo + 1; hi < n; ++hi)
                for (int c : {-1, 0, 6}) {
                    if (c == lo || c == hi) continue;
                    GateMatrix m(16, C(0.0, 0.0));
                    for (int k = 0; k < 16; ++k) {
                        if (k % 5 == 0) m[k] = C(z[rng() % 6], z[rng() % 6]);
                        else m[k] = C(rng() % 2 ? 0.0 : -0.0, rng() % 2 ? 0.0 : -0.0);
                    }
                    Amps in = random_state<T>(n, rng);
                    for (C& x : in) {
                        if (trial >= 1) x = C(z[rng() % 6], z[rng() % 6]);
                        if (trial == 3 && rng() % 40 == 0) {
                            const double v = rng() % 2 ? kInf : kNaN;
                            x = rng() % 2 ? C(v, x.imag()) : C(x.real(), v);
                        }
                        if (trial == 4) x = C(big[rng() % 4], big[rng() % 4]);
                    }
                    const uint64_t controls = c < 0 ? 0 : uint64_t{1} << c;
                    const bool alt = lo == 0 && hi <= 2 && (c < 0 || c > hi);
                    const Amps want = rounding_model<T>(in, lo, hi, controls, m, alt);
                    const Amps got = run<T>(in, [&](auto& s) {
                        if (c < 0) apply_matrix_2q(s, lo, hi, m);
                        else mc_2q(s, lo, hi, Masks{controls}, m);
                    });
                    const std::string what = "trial " + std::to_string(trial) + " (" + std::to_string(lo) + "," +
                                             std::to_string(hi) + ") c" + std::to_string(c);
                    for (size_t i = 0; i < got.size(); ++i) {
                        ASSERT_TRUE(same_value_bits(got[i], want[i]))
                            << what << " at " << i;
                    }
                }
}

// From 15 qubits up, one thread and several give the same bits, for low,
// middle and high targets with low and high controls.
TYPED_TEST(Matrix2qTest, ResultIndependentOfThreadCount) {
    using T = TypeParam;
    const int saved = hardware_threads;
    std::mt19937 rng(13);
    for (int n : {15, 16}) {
        const Amps in = random_state<T>(n, rng);
        const int pairs[][2] = {{0, 1}, {1, 0}, {0, 2}, {1, 2}, {2, 3}, {0, 7}, {2, 9}, {3, 4}, {6, 11}, {n - 2, n - 1}, {0, n - 1}, {n - 1, 2}};
        for (const auto& p : pairs) {
            const GateMatrix m = random_matrix(rng);
            const int lo = std::min(p[0], p[1]), hi = std::max(p[0], p[1]);
            for (const Masks& masks : {Masks{}, Masks{1u << ((lo + hi + 1) % n)}, Masks{uint64_t{1} << (n - 3), 1},
                                       Masks{uint64_t{3} << (n - 5)}}) {
                const auto once = [&](int threads) {
                    hardware_threads = threads;
                    const Amps out = run<T>(in, [&](auto& s) {
                        if (masks.empty()) apply_matrix_2q(s, p[0], p[1], m);
                        else mc_2q(s, lo, hi, masks, m);
                    });
                    hardware_threads = saved;
                    return out;
                };
                const Amps one = once(1);
                if (masks.empty()) {
                    EXPECT_FALSE(same_bits(one, in)) << n << "q (" << p[0] << "," << p[1] << ")";
                }
                for (int threads : {3, 8})
                    EXPECT_TRUE(same_bits(one, once(threads)))
                        << n << "q (" << p[0] << "," << p[1] << ") masks " << testing::PrintToString(masks) << " on "
                        << threads << " threads";
            }
        }
    }
}

}  // namespace

// Every gate kernel against a dense reference on random states, plus the
// exact-value and thread-count cases.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
#include "statevector/state_vector.h"
#include "tests/cpp/state_roundtrip.h"

namespace {


// Applies `m` (2^k x 2^k, row-major, index bit j from targets[j]) where every
// control bit is set.
Amps reference(const Amps& in, const std::vector<int>& targets, const std::vector<int>& controls, const GateMatrix& m) {
    Amps out = in;
    const size_t k = targets.size(), d = size_t{1} << k;
    uint64_t tmask = 0, cmask = 0;
    for (int t : targets) tmask |= uint64_t{1} << t;
    for (int c : controls) cmask |= uint64_t{1} << c;
    for (uint64_t g = 0; g < in.size(); ++g) {
        if ((g & tmask) != 0 || (g & cmask) != cmask) continue;
        std::vector<uint64_t> idx(d, g);
        for (size_t p = 0; p < d; ++p)
            for (size_t j = 0; j < k; ++j) idx[p] |= ((p >> j) & 1) << targets[j];
        for (size_t r = 0; r < d; ++r) {
            out[idx[r]] = 0;
            for (size_t c = 0; c < d; ++c) out[idx[r]] += m[r * d + c] * in[idx[c]];
        }
    }
    return out;
}

// Random values representable in T (a reference then starts from exactly the
// kernel's input); with T = double also random gate matrices.
template <typename T = double>
Amps random_amps(size_t n, std::mt19937& rng) {
    std::normal_distribution<double> d;
    Amps a(n);
    for (C& x : a) x = C(static_cast<T>(d(rng)), static_cast<T>(d(rng)));
    return a;
}

// The multi-control 2x2 kernel driven as the caller does.
template <typename T>
void mc_1q(StateVector<T>& s, int t, const std::vector<uint64_t>& masks, const GateMatrix& m) {
    T re[4], im[4];
    for (int k = 0; k < 4; ++k) re[k] = T(m[k].real()), im[k] = T(m[k].imag());
    launch_multi_controlled_matrix_1q(s, uint64_t{1} << t, uint64_t{2} << t, re, im, masks);
}

template <typename T>
struct Case {
    std::string gate;
    std::vector<int> targets, controls;
    GateMatrix matrix;
    std::function<void(StateVector<T>&)> run;
    std::string name() const {
        return gate + " t" + testing::PrintToString(targets) + " c" + testing::PrintToString(controls);
    }
};

// Every kernel on n qubits with targets and controls in every position.
template <typename T>
std::vector<Case<T>> all_cases(int n, std::mt19937& rng) {
    using K = void (*)(StateVector<T>&, int);
    const double h = 0.7071067811865475;
    const C w(0.7071067811865476, 0.7071067811865475);
    const GateMatrix x = {0, 1, 1, 0}, z = {1, 0, 0, -1}, swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    const std::tuple<const char*, K, GateMatrix> fixed[] = {
        {"X", apply_x<T>, x}, {"Y", apply_y<T>, {0, C(0, -1), C(0, 1), 0}}, {"Z", apply_z<T>, z},
        {"H", apply_h<T>, {h, h, h, -h}}, {"S", apply_s<T>, {1, 0, 0, C(0, 1)}},
        {"SDG", apply_sdg<T>, {1, 0, 0, C(0, -1)}}, {"T", apply_t<T>, {1, 0, 0, w}},
        {"TDG", apply_tdg<T>, {1, 0, 0, std::conj(w)}}};
    std::vector<Case<T>> cases;
    for (int a = 0; a < n; ++a) {
        for (const auto& [g, k, m] : fixed) cases.push_back({g, {a}, {}, m, [k, a](auto& s) { k(s, a); }});
        const GateMatrix m1 = random_amps(4, rng);
        cases.push_back({"matrix_1q", {a}, {}, m1, [=](auto& s) { apply_matrix_1q(s, a, m1); }});
        for (int b = 0; b < n; ++b) {
            if (a == b) continue;
            const GateMatrix m1c = random_amps(4, rng), m2 = random_amps(16, rng);
            cases.push_back({"swap", {a, b}, {}, swap, [=](auto& s) { apply_swap(s, a, b); }});
            cases.push_back({"cx", {b}, {a}, x, [=](auto& s) { apply_cx(s, a, b); }});
            cases.push_back({"cz", {b}, {a}, z, [=](auto& s) { apply_cz(s, a, b); }});
            cases.push_back({"cmatrix_1q", {b}, {a}, m1c, [=](auto& s) { apply_controlled_matrix_1q(s, a, b, m1c); }});
            cases.push_back({"matrix_2q", {a, b}, {}, m2, [=](auto& s) { apply_matrix_2q(s, a, b, m2); }});
            for (int c = 0; c < n; ++c) {
                if (c == a || c == b) continue;
                const GateMatrix mc = random_amps(4, rng), m4 = random_amps(16, rng);
                const std::vector<uint64_t> ab = {uint64_t{1} << a, uint64_t{1} << b}, cm = {uint64_t{1} << c};
                cases.push_back({"ccx", {c}, {a, b}, x, [=](auto& s) { apply_ccx(s, a, b, c); }});
                cases.push_back({"mc_1q", {c}, {a, b}, mc, [=](auto& s) { mc_1q(s, c, ab, mc); }});
                if (a < b)  // the caller passes the lower target first
                    cases.push_back({"mc_2q", {a, b}, {c}, m4, [=](auto& s) {
                        double re[16], im[16];
                        for (int k = 0; k < 16; ++k) re[k] = m4[k].real(), im[k] = m4[k].imag();
                        launch_multi_controlled_matrix_2q(s, re, im, cm, uint64_t{1} << a, uint64_t{1} << b,
                                                          uint64_t{2} << b, uint64_t{1} << (b - a - 1));
                    }});
            }
        }
    }
    return cases;
}

template <typename T>
class KernelTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(KernelTest, Precisions);

TYPED_TEST(KernelTest, EveryKernelMatchesDenseReference) {
    using T = TypeParam;
    std::mt19937 rng(7);
    for (int n = 1; n <= 7; ++n)
        for (const Case<T>& c : all_cases<T>(n, rng)) {
            GateMatrix m = c.matrix;  // the kernels use 2x2 entries rounded to T
            if (m.size() == 4)
                for (C& x : m) x = C(static_cast<T>(x.real()), static_cast<T>(x.imag()));
            const Amps in = random_amps<T>(size_t{1} << n, rng);
            const Amps got = run<T>(in, c.run), want = reference(in, c.targets, c.controls, m);
            ASSERT_EQ(first_outside(got, want, kReferenceTolerance<T>), got.size())
                    << n << "q " << c.name() << " (first index outside the tolerance)";
        }
}

// 15 qubits on several threads give bit for bit the result of one thread,
// and the 14-qubit result on the half where qubit 14 is 0.
TYPED_TEST(KernelTest, ResultIndependentOfThreadCount) {
    using T = TypeParam;
    const int saved = hardware_threads;
    std::mt19937 rng(11);
    const Amps small = random_amps<T>(size_t{1} << 14, rng);
    Amps big = small;
    big.resize(size_t{1} << 15);
    for (const Case<T>& c : all_cases<T>(14, rng)) {
        if (rng() % 16 != 0) continue;  // a sample: all positions would take long
        hardware_threads = 1;
        Amps one = run<T>(big, c.run);
        hardware_threads = 5;
        const Amps five = run<T>(big, c.run);
        hardware_threads = saved;
        EXPECT_TRUE(same_bits(one, five)) << c.name();
        one.resize(small.size());
        EXPECT_TRUE(same_bits(one, run<T>(small, c.run))) << c.name();
    }
}

TYPED_TEST(KernelTest, ExactValues) {
    using T = TypeParam;
    const Amps zero = {1, 0};
    // H twice gives 2 h^2 rounded in T; sign flips leave -0 on zero parts.
    const double hh = std::is_same_v<T, float> ? 0.99999994f : 0.9999999999999998;
    EXPECT_TRUE(same_bits(run<T>(zero, [](auto& s) { apply_h(s, 0), apply_h(s, 0); }), {hh, 0}));
    EXPECT_TRUE(same_bits(run<T>(zero, [](auto& s) { apply_z(s, 0); }), {1, C(-0.0, -0.0)}));
    EXPECT_TRUE(same_bits(run<T>(zero, [](auto& s) { apply_s(s, 0); }), {1, C(-0.0, 0.0)}));
    EXPECT_TRUE(same_bits(run<T>(zero, [](auto& s) { apply_sdg(s, 0); }), {1, C(0.0, -0.0)}));
    std::mt19937 rng(3);
    const Amps in = random_amps<T>(32, rng);
    const GateMatrix m2 = random_amps(4, rng), m4 = random_amps(16, rng);
    const auto on_in = [&](const auto& f) { return run<T>(in, f); };
    // Equal qubits change nothing (CZ(q, q) is Z(q)); a repeated control acts as one.
    for (const Amps& out : {on_in([](auto& s) { apply_swap(s, 2, 2); }), on_in([](auto& s) { apply_cx(s, 2, 2); }),
                            on_in([](auto& s) { apply_ccx(s, 2, 1, 2); }),
                            on_in([&](auto& s) { apply_controlled_matrix_1q(s, 4, 4, m2); }),
                            on_in([&](auto& s) { apply_matrix_2q(s, 3, 3, m4); }),
                            on_in([&](auto& s) { mc_1q(s, 2, {1, 4}, m2); }),  // control on the target
                            on_in([&](auto& s) { mc_1q(s, 2, {0}, m2); })})    // a zero mask
        EXPECT_EQ(out, in);
    EXPECT_EQ(on_in([](auto& s) { apply_cz(s, 3, 3); }), on_in([](auto& s) { apply_z(s, 3); }));
    EXPECT_EQ(on_in([](auto& s) { apply_ccx(s, 1, 1, 4); }), on_in([](auto& s) { apply_cx(s, 1, 4); }));
    EXPECT_EQ(on_in([&](auto& s) { mc_1q(s, 2, {1, 1}, m2); }), on_in([&](auto& s) { mc_1q(s, 2, {1}, m2); }));
    // 2x2 entries act rounded to T; 4x4 entries act in double with one rounding.
    GateMatrix m(16, 0.0);
    m[0] = 0.1;
    EXPECT_EQ(run<T>(zero, [](auto& s) { apply_matrix_1q(s, 0, {0.1, 0, 0, 1}); })[0], C(T(0.1)));
    EXPECT_EQ(run<T>(Amps{3, 0, 0, 0}, [&](auto& s) { apply_matrix_2q(s, 0, 1, m); })[0], C(T(0.1 * 3.0)));
}

// Larger states, where a site run spans several registers and the free bits
// interleave with fixed ones: every kernel family with its qubits below and
// above the lane width (qubits 0 to 2 lie inside a register), controls below
// and above the target, against the dense reference.
TYPED_TEST(KernelTest, LowAndHighQubitsOnLargerStates) {
    using T = TypeParam;
    std::mt19937 rng(5);
    const int n = 11;
    const std::vector<std::vector<int>> placements = {  // target first, then controls
        {0, 1}, {1, 0}, {2, 9}, {9, 2}, {4, 7}, {7, 4}, {10, 0}, {0, 10}, {3, 2, 1}, {1, 2, 3},
        {5, 0, 10}, {10, 5, 0}, {2, 1, 0}, {8, 9, 10}, {0, 1, 2, 3}, {3, 0, 1, 2}, {6, 1, 9, 4}, {1, 8, 2, 10}};
    const GateMatrix x = {0, 1, 1, 0}, z = {1, 0, 0, -1};
    for (const std::vector<int>& q : placements) {
        const int t = q[0];
        const std::vector<int> ctrl(q.begin() + 1, q.end());
        std::vector<uint64_t> masks;
        for (int c : ctrl) masks.push_back(uint64_t{1} << c);
        const GateMatrix m = random_amps(4, rng);
        GateMatrix mt = m;  // as the kernels apply it: entries rounded to T
        for (C& e : mt) e = C(static_cast<T>(e.real()), static_cast<T>(e.imag()));
        std::vector<std::tuple<std::string, GateMatrix, std::function<void(StateVector<T>&)>>> runs = {
            {"mc_1q", mt, [&](auto& s) { mc_1q(s, t, masks, m); }}};
        if (ctrl.size() == 1) {
            runs.push_back({"cx", x, [&](auto& s) { apply_cx(s, ctrl[0], t); }});
            runs.push_back({"cz", z, [&](auto& s) { apply_cz(s, ctrl[0], t); }});
            runs.push_back({"cmatrix_1q", mt, [&](auto& s) { apply_controlled_matrix_1q(s, ctrl[0], t, m); }});
        }
        if (ctrl.size() == 2) runs.push_back({"ccx", x, [&](auto& s) { apply_ccx(s, ctrl[0], ctrl[1], t); }});
        for (const auto& [name, matrix, f] : runs) {
            const Amps in = random_amps<T>(size_t{1} << n, rng);
            const Amps got = run<T>(in, f), want = reference(in, {t}, ctrl, matrix);
            ASSERT_EQ(first_outside(got, want, kReferenceTolerance<T>), got.size())
                    << name << " t" << t << " c" << testing::PrintToString(ctrl) << " (first index outside the tolerance)";
        }
    }
}

// States whose site runs are longer than the distance the loops prefetch
// ahead (13 qubits on one thread, 15 on teams of 3 and 8): each kernel family
// with a high target, a high control or both targets high, where a thread
// walks long runs, crosses from one run into the next and ends its share
// inside a run, and with targets and controls on the lowest register bits
// (qubit 2 in double, 3 in float), whose sites are strided runs, against the
// dense reference.  Each walk runs with and without its prefetches (states
// this small skip them unless told), which must give the same bits.
TYPED_TEST(KernelTest, LongRunsMatchDenseReference) {
    using T = TypeParam;
    const int saved = hardware_threads;
    std::mt19937 rng(21);
    const GateMatrix x = {0, 1, 1, 0}, z = {1, 0, 0, -1}, h = {0.7071067811865475, 0.7071067811865475,
                                                               0.7071067811865475, -0.7071067811865475};
    const GateMatrix swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    for (const auto& [n, threads] : {std::pair{13, 1}, std::pair{15, 3}, std::pair{15, 8}}) {
        const int top = n - 1, mid = n / 2, low = sizeof(T) == 8 ? 2 : 3;
        const GateMatrix m = random_amps(4, rng), m4 = random_amps(16, rng);
        GateMatrix mt = m;  // as the 2x2 kernels apply it: entries rounded to T
        for (C& e : mt) e = C(static_cast<T>(e.real()), static_cast<T>(e.imag()));
        const std::vector<Case<T>> cases = {
            {"H", {top}, {}, h, [=](auto& s) { apply_h(s, top); }},
            {"X", {0}, {}, x, [=](auto& s) { apply_x(s, 0); }},
            {"cz", {top}, {mid}, z, [=](auto& s) { apply_cz(s, mid, top); }},
            {"cx", {1}, {top}, x, [=](auto& s) { apply_cx(s, top, 1); }},
            {"cx", {top}, {3}, x, [=](auto& s) { apply_cx(s, 3, top); }},
            {"swap", {mid, top}, {}, swap, [=](auto& s) { apply_swap(s, mid, top); }},
            {"matrix_1q", {top}, {}, mt, [=](auto& s) { apply_matrix_1q(s, top, m); }},
            {"cmatrix_1q", {2}, {top}, mt, [=](auto& s) { apply_controlled_matrix_1q(s, top, 2, m); }},
            {"mc_1q", {mid}, {top, 0}, mt,
             [=](auto& s) { mc_1q(s, mid, {uint64_t{1} << top, 1}, m); }},
            {"matrix_2q", {top - 1, top}, {}, m4, [=](auto& s) { apply_matrix_2q(s, top - 1, top, m4); }},
            {"matrix_2q", {0, 1}, {}, m4, [=](auto& s) { apply_matrix_2q(s, 0, 1, m4); }},
            {"matrix_2q", {mid, 1}, {}, m4, [=](auto& s) { apply_matrix_2q(s, mid, 1, m4); }},
            {"X", {low}, {}, x, [=](auto& s) { apply_x(s, low); }},
            {"cx", {top}, {low}, x, [=](auto& s) { apply_cx(s, low, top); }},
            {"matrix_1q", {low}, {}, mt, [=](auto& s) { apply_matrix_1q(s, low, m); }},
            {"matrix_2q", {low, low + 1}, {}, m4, [=](auto& s) { apply_matrix_2q(s, low, low + 1, m4); }},
            {"matrix_2q", {mid, low}, {}, m4, [=](auto& s) { apply_matrix_2q(s, mid, low, m4); }}};
        const Amps in = random_amps<T>(size_t{1} << n, rng);
        hardware_threads = threads;
        for (const Case<T>& c : cases) {
            prefetch_override = 1;
            const Amps got = run<T>(in, c.run), want = reference(in, c.targets, c.controls, c.matrix);
            prefetch_override = -1;
            const Amps plain = run<T>(in, c.run);
            prefetch_override = 0;
            ASSERT_EQ(first_outside(got, want, kReferenceTolerance<T>), got.size())
                    << n << "q on " << threads << " threads " << c.name() << " (first index outside the tolerance)";
            ASSERT_TRUE(same_bits(plain, got))
                    << n << "q on " << threads << " threads " << c.name() << " without prefetch";
        }
        hardware_threads = saved;
    }
}

// Control masks that are not single bits (a zero mask, a mask of several
// bits) are tested index by index: a pair is updated when its first index
// shares a bit with every mask.
TYPED_TEST(KernelTest, MultiBitControlMasks) {
    using T = TypeParam;
    std::mt19937 rng(9);
    const GateMatrix m = random_amps(4, rng);
    for (int n : {3, 6, 15}) {
        const Amps in = random_amps<T>(size_t{1} << n, rng);
        for (int t : {0, 2, n - 1}) {
            const std::vector<uint64_t> masks = {uint64_t{5} << (n - 3), uint64_t{1} << (t == 0 ? 1 : 0)};
            // Where the masks allow, the 2x2 update of the pair (up to rounding); elsewhere untouched.
                    const Amps whole = run<T>(in, [&](auto& s) { mc_1q(s, t, {}, m); });
            const Amps got = run<T>(in, [&](auto& s) { mc_1q(s, t, masks, m); });
            const uint64_t h = uint64_t{1} << t;
            for (uint64_t i = 0; i < in.size(); ++i) {
                const uint64_t first = i & ~h;
                bool on = true;
                for (uint64_t mk : masks) on = on && (first & mk) != 0;
                if (on) ASSERT_LE(std::abs(got[i] - whole[i]), kReferenceTolerance<T> * (1 + std::abs(whole[i]))) << n << "q t" << t << " " << i;
                else ASSERT_EQ(got[i], in[i]) << n << "q t" << t << " index " << i;
            }
        }
    }
}

// 15 qubits: every kernel family at low and high positions gives bit for bit
// the same state on teams of 1, 3 and 8 threads (uneven and even shares of
// the site space).
TYPED_TEST(KernelTest, TeamSizesAgreeBitForBit) {
    using T = TypeParam;
    const int saved = hardware_threads;
    std::mt19937 rng(13);
    const int n = 15;
    const Amps in = random_amps<T>(size_t{1} << n, rng);
    const GateMatrix m = random_amps(4, rng), m4 = random_amps(16, rng);
    using F = std::function<void(StateVector<T>&)>;
    std::vector<std::pair<std::string, F>> runs;
    for (int a : {0, 1, 2, 3, 14})
        for (int b : {0, 2, 4, 13}) {
            const std::string at = std::to_string(a) + "," + std::to_string(b);
            runs.push_back({"h" + at, [=](auto& s) { apply_h(s, a), apply_y(s, b), apply_t(s, a), apply_tdg(s, b); }});
            runs.push_back({"s" + at, [=](auto& s) { apply_s(s, a), apply_sdg(s, b), apply_z(s, a), apply_x(s, b); }});
            runs.push_back({"m" + at, [=](auto& s) { apply_matrix_1q(s, a, m), apply_matrix_2q(s, a, b, m4); }});
            if (a == b) continue;
            runs.push_back({"cx" + at, [=](auto& s) { apply_cx(s, a, b), apply_cz(s, b, a), apply_swap(s, a, b); }});
            runs.push_back({"cm" + at, [=](auto& s) { apply_controlled_matrix_1q(s, a, b, m); }});
            runs.push_back({"ccx" + at, [=](auto& s) { apply_ccx(s, a, 7, b), mc_1q(s, b, {1u << a, 1u << 11, 2}, m); }});
        }
    for (const auto& [name, f] : runs) {
        hardware_threads = 1;
        const Amps one = run<T>(in, f);
        hardware_threads = 3;
        const Amps three = run<T>(in, f);
        hardware_threads = 8;
        const Amps eight = run<T>(in, f);
        hardware_threads = saved;
        EXPECT_TRUE(same_bits(one, three) && same_bits(one, eight)) << name;
    }
}

// The 2x2 arithmetic of one pair in T, term by term: each term's products
// fused as the kernel's form says (bit 0 the real terms, bit 1 the
// imaginary ones; see matrix_form).
template <typename T>
void model_pair(const GateMatrix& m, int form, T& x0, T& y0, T& x1, T& y1) {
    const auto re = [&](int k) { return T(m[k].real()); };
    const auto im = [&](int k) { return T(m[k].imag()); };
    const auto term_re = [&](int k, T x, T y) {
        return form & 1 ? std::fma(-im(k), y, re(k) * x) : std::fma(re(k), x, -(im(k) * y));
    };
    const auto term_im = [&](int k, T x, T y) {
        return form & 2 ? std::fma(im(k), x, re(k) * y) : std::fma(re(k), y, im(k) * x);
    };
    const T a = x0, b = y0, c = x1, d = y1;
    x0 = term_re(0, a, b) + term_re(1, c, d);
    y0 = term_im(0, a, b) + term_im(1, c, d);
    x1 = term_re(2, a, b) + term_re(3, c, d);
    y1 = term_im(2, a, b) + term_im(3, c, d);
}

// Real 2x2 matrices (RY-like, imaginary parts zeros of either sign) take half
// the products where every value of a step lies in a window of magnitudes;
// elsewhere the dense terms.  Both must give the model's bits: on every
// target of 7 qubits, without a control, with a low and with a high one,
// for values in the window, zeros of either sign, tiny and subnormal values,
// magnitudes of 2 and more, infinities and NaNs.  Matrices with an entry
// outside the window (a zero, a tiny one) run the dense terms throughout.
TYPED_TEST(KernelTest, RealMatricesMatchTheirTerms) {
    using T = TypeParam;
    std::mt19937 rng(31);
    const int n = 7;
    const double tiny = sizeof(T) == 8 ? 0x1p-600 : 0x1p-70, sub = sizeof(T) == 8 ? 0x1p-1074 : 0x1p-149;
    const double odd[] = {0.0, -0.0, tiny, -sub, 2.5, -3.0, 1e30, kInf, kNaN, 0x1p-511, -0x1p-63};
    const double c = std::cos(0.35), s = std::sin(0.35);
    const std::vector<GateMatrix> matrices = {
        {C(c, 0.0), C(-s, 0.0), C(s, 0.0), C(c, 0.0)},
        {C(c, -0.0), C(-s, -0.0), C(s, 0.0), C(-c, -0.0)},
        {C(1.0, 0.0), C(0x1p-60, 0.0), C(-0x1p-60, 0.0), C(1.0, 0.0)},
        {C(0.0, 0.0), C(1.0, 0.0), C(1.0, 0.0), C(0.0, 0.0)},
        {C(c, 0.0), C(-tiny, 0.0), C(s, 0.0), C(c, 0.0)}};
    for (int trial = 0; trial < 4; ++trial)
        for (const GateMatrix& m : matrices)
            for (int t = 0; t < n; ++t)
                for (int ctl : {-1, (t + 1) % n, 6}) {
                    if (ctl == t) continue;
                    Amps in = random_amps<T>(size_t{1} << n, rng);
                    const double signed_zeros[4] = {0.0, -0.0, 0.5, -0.5};
                    for (C& x : in) {  // trial 0: values in the window; 1: a few odd ones; 2: half; 3: zeros
                        if (trial == 3) x = C(signed_zeros[rng() % 4], signed_zeros[rng() % 4]);
                        if (trial == 1 || trial == 2) {
                            if (rng() % (trial == 1 ? 16 : 2) == 0) x.real(T(odd[rng() % 11]));
                            if (rng() % (trial == 1 ? 16 : 2) == 0) x.imag(T(odd[rng() % 11]));
                        }
                    }
                    const uint64_t tm = uint64_t{1} << t, cm = ctl < 0 ? 0 : uint64_t{1} << ctl;
                    const int form = sv_detail::matrix_form(in.size(), tm, cm, sv_detail::Simd<T>::lanes);
                    Amps want = in;
                    for (uint64_t i = 0; i < in.size(); ++i) {
                        if ((i & tm) != 0 || (i & cm) != cm) continue;
                        T x0 = T(in[i].real()), y0 = T(in[i].imag());
                        T x1 = T(in[i + tm].real()), y1 = T(in[i + tm].imag());
                        model_pair(m, form, x0, y0, x1, y1);
                        want[i] = C(x0, y0), want[i + tm] = C(x1, y1);
                    }
                    const Amps got = run<T>(in, [&](auto& st) {
                        if (ctl < 0) apply_matrix_1q(st, t, m);
                        else apply_controlled_matrix_1q(st, ctl, t, m);
                    });
                    for (size_t i = 0; i < got.size(); ++i)
                        ASSERT_TRUE(same_value_bits(got[i], want[i]))
                                << "trial " << trial << " t" << t << " c" << ctl << " at " << i << ": " << got[i]
                                << " want " << want[i];
                }
}

}  // namespace

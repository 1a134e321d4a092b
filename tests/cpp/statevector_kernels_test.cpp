// Every gate kernel against a dense reference on random states, plus the
// exact-value and thread-count cases.
#include <gtest/gtest.h>

#include <bit>
#include <complex>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
#include "statevector/state_vector.h"

namespace {

using C = std::complex<double>;
using Amps = std::vector<C>;

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
            for (size_t j = 0; j < k; ++j)
                if ((p >> j) & 1) idx[p] |= uint64_t{1} << targets[j];
        for (size_t r = 0; r < d; ++r) {
            C s = 0;
            for (size_t c = 0; c < d; ++c) s += m[r * d + c] * in[idx[c]];
            out[idx[r]] = s;
        }
    }
    return out;
}

template <typename T>
void load(StateVector<T>& sv, const Amps& a) {
    for (uint64_t i = 0; i < sv.dim; ++i) {
        sv.real[i] = static_cast<T>(a[i].real());
        sv.imag[i] = static_cast<T>(a[i].imag());
    }
}

template <typename T>
Amps read(const StateVector<T>& sv) {
    Amps a(sv.dim);
    for (uint64_t i = 0; i < sv.dim; ++i) a[i] = C(sv.real[i], sv.imag[i]);
    return a;
}

// Random amplitudes already representable in T, so the reference starts from
// exactly the kernel's input.
template <typename T>
Amps random_state(int n, std::mt19937& rng) {
    std::normal_distribution<double> d;
    Amps a(size_t{1} << n);
    for (C& x : a) x = C(static_cast<T>(d(rng)), static_cast<T>(d(rng)));
    return a;
}

GateMatrix random_matrix(size_t d, std::mt19937& rng) {
    std::normal_distribution<double> n;
    GateMatrix m(d * d);
    for (C& x : m) x = C(n(rng), n(rng));
    return m;
}

template <typename T>
void expect_close(const Amps& got, const Amps& want, const std::string& what) {
    const double tol = std::is_same_v<T, float> ? 2e-5 : 1e-13;
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(std::abs(got[i] - want[i]), 0.0, tol * (1 + std::abs(want[i]))) << what << " index " << i;
}

const double h = 0.7071067811865475;
const C w(0.7071067811865476, 0.7071067811865475);
const std::vector<std::pair<std::string, GateMatrix>> one_qubit_gates = {
    {"X", {0, 1, 1, 0}},    {"Y", {0, C(0, -1), C(0, 1), 0}}, {"Z", {1, 0, 0, -1}},      {"H", {h, h, h, -h}},
    {"S", {1, 0, 0, C(0, 1)}}, {"SDG", {1, 0, 0, C(0, -1)}},  {"T", {1, 0, 0, w}}, {"TDG", {1, 0, 0, std::conj(w)}}};

template <typename T>
void apply_fixed_1q(StateVector<T>& sv, const std::string& g, int q) {
    if (g == "X") apply_x(sv, q);
    if (g == "Y") apply_y(sv, q);
    if (g == "Z") apply_z(sv, q);
    if (g == "H") apply_h(sv, q);
    if (g == "S") apply_s(sv, q);
    if (g == "SDG") apply_sdg(sv, q);
    if (g == "T") apply_t(sv, q);
    if (g == "TDG") apply_tdg(sv, q);
}

const GateMatrix x_matrix = {0, 1, 1, 0};
const GateMatrix swap_matrix = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};

// One kernel call on a state: (description, kernel, reference targets, controls, matrix).
template <typename T>
struct Case {
    std::string name;
    std::function<void(StateVector<T>&)> run;
    std::vector<int> targets, controls;
    GateMatrix matrix;
};

// All kernel calls on n qubits with every position of targets and controls.
template <typename T>
std::vector<Case<T>> all_cases(int n, std::mt19937& rng) {
    std::vector<Case<T>> cases;
    const std::string ns = std::to_string(n) + "q ";
    for (int a = 0; a < n; ++a) {
        for (const auto& [g, m] : one_qubit_gates)
            cases.push_back({ns + g + std::to_string(a), [g, a](auto& s) { apply_fixed_1q(s, g, a); }, {a}, {}, m});
        const GateMatrix m1 = random_matrix(2, rng);
        cases.push_back({ns + "matrix_1q " + std::to_string(a), [m1, a](auto& s) { apply_matrix_1q(s, a, m1); }, {a}, {}, m1});
        for (int b = 0; b < n; ++b) {
            if (a == b) continue;
            const std::string ab = std::to_string(a) + "," + std::to_string(b);
            const GateMatrix m2 = random_matrix(4, rng), m1c = random_matrix(2, rng);
            cases.push_back({ns + "swap " + ab, [a, b](auto& s) { apply_swap(s, a, b); }, {a, b}, {}, swap_matrix});
            cases.push_back({ns + "cx " + ab, [a, b](auto& s) { apply_cx(s, a, b); }, {b}, {a}, x_matrix});
            cases.push_back({ns + "cz " + ab, [a, b](auto& s) { apply_cz(s, a, b); }, {b}, {a}, {1, 0, 0, -1}});
            cases.push_back({ns + "cmatrix_1q " + ab, [a, b, m1c](auto& s) { apply_controlled_matrix_1q(s, a, b, m1c); },
                             {b}, {a}, m1c});
            cases.push_back({ns + "matrix_2q " + ab, [a, b, m2](auto& s) { apply_matrix_2q(s, a, b, m2); }, {a, b}, {}, m2});
            for (int c = 0; c < n; ++c) {
                if (c == a || c == b) continue;
                const std::string abc = ab + "," + std::to_string(c);
                cases.push_back({ns + "ccx " + abc, [a, b, c](auto& s) { apply_ccx(s, a, b, c); }, {c}, {a, b}, x_matrix});
                // Multi-control 1q: target c, controls a and b.
                const GateMatrix mc = random_matrix(2, rng);
                cases.push_back({ns + "mc_matrix_1q " + abc,
                                 [a, b, c, mc](auto& s) {
                                     T re[4], im[4];
                                     for (int k = 0; k < 4; ++k) re[k] = T(mc[k].real()), im[k] = T(mc[k].imag());
                                     launch_multi_controlled_matrix_1q(s, uint64_t{1} << c, uint64_t{2} << c, re, im,
                                                                       {uint64_t{1} << a, uint64_t{1} << b});
                                 },
                                 {c}, {a, b}, mc});
                // Multi-control 2q: targets (a, b), control c; matrix permuted as the caller does.
                const GateMatrix m4 = random_matrix(4, rng);
                cases.push_back({ns + "mc_matrix_2q " + abc,
                                 [a, b, c, m4](auto& s) {
                                     const int lo = std::min(a, b), hi = std::max(a, b);
                                     auto p = [&](int i) { return b < a && (i == 1 || i == 2) ? 3 - i : i; };
                                     double re[16], im[16];
                                     for (int r = 0; r < 4; ++r)
                                         for (int k = 0; k < 4; ++k)
                                             re[4 * r + k] = m4[4 * p(r) + p(k)].real(), im[4 * r + k] = m4[4 * p(r) + p(k)].imag();
                                     launch_multi_controlled_matrix_2q(s, re, im, {uint64_t{1} << c}, uint64_t{1} << lo,
                                                                       uint64_t{1} << hi, uint64_t{2} << hi,
                                                                       uint64_t{1} << (hi - lo - 1));
                                 },
                                 {a, b}, {c}, m4});
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
    for (int n = 1; n <= 7; ++n) {
        for (const Case<T>& c : all_cases<T>(n, rng)) {
            // The kernels compute 2x2 matrices with T-rounded entries.
            GateMatrix m = c.matrix;
            if (m.size() == 4)
                for (C& x : m) x = C(static_cast<T>(x.real()), static_cast<T>(x.imag()));
            const Amps in = random_state<T>(n, rng);
            StateVector<T> sv(n);
            load(sv, in);
            c.run(sv);
            expect_close<T>(read(sv), reference(in, c.targets, c.controls, m), c.name);
        }
    }
}

// 15 qubits on several threads give bit for bit the result of one thread,
// and the 14-qubit result on the half where qubit 14 is 0.
TYPED_TEST(KernelTest, ResultIndependentOfThreadCount) {
    using T = TypeParam;
    const int saved = hardware_threads;
    std::mt19937 rng(11);
    std::vector<Case<T>> cases;
    for (const Case<T>& c : all_cases<T>(14, rng))
        if (rng() % 16 == 0) cases.push_back(c);  // a sample: all positions would take long
    const Amps small = random_state<T>(14, rng);
    Amps big(size_t{1} << 15);
    std::copy(small.begin(), small.end(), big.begin());
    for (const Case<T>& c : cases) {
        StateVector<T> s14(14), s15a(15), s15b(15);
        load(s14, small);
        load(s15a, big);
        load(s15b, big);
        c.run(s14);
        hardware_threads = 1;
        c.run(s15a);
        hardware_threads = 5;
        c.run(s15b);
        hardware_threads = saved;
        const size_t bytes = sizeof(T) << 15;
        EXPECT_EQ(std::memcmp(s15a.real, s15b.real, bytes), 0) << c.name;
        EXPECT_EQ(std::memcmp(s15a.imag, s15b.imag, bytes), 0) << c.name;
        EXPECT_EQ(std::memcmp(s15a.real, s14.real, bytes / 2), 0) << c.name;
        EXPECT_EQ(std::memcmp(s15a.imag, s14.imag, bytes / 2), 0) << c.name;
    }
}

TYPED_TEST(KernelTest, ExactValues) {
    using T = TypeParam;
    {  // H twice: 2 h^2 rounded in T.
        StateVector<T> sv(1);
        apply_h(sv, 0);
        apply_h(sv, 0);
        EXPECT_EQ(sv.real[0], (std::is_same_v<T, float> ? T(0.99999994f) : T(0.9999999999999998)));
        EXPECT_EQ(sv.real[1], T(0));
    }
    {  // Sign flips leave -0 on zero parts.
        StateVector<T> z(1), s(1), sdg(1);
        apply_z(z, 0);
        apply_s(s, 0);
        apply_sdg(sdg, 0);
        EXPECT_TRUE(std::signbit(z.real[1]) && std::signbit(z.imag[1]));
        EXPECT_TRUE(std::signbit(s.real[1]) && !std::signbit(s.imag[1]));
        EXPECT_TRUE(!std::signbit(sdg.real[1]) && std::signbit(sdg.imag[1]));
        EXPECT_FALSE(std::signbit(z.real[0]));
    }
    std::mt19937 rng(3);
    const Amps in = random_state<T>(5, rng);
    const auto run = [&](const std::function<void(StateVector<T>&)>& f) {
        StateVector<T> sv(5);
        load(sv, in);
        f(sv);
        return read(sv);
    };
    EXPECT_EQ(run([](auto& s) { apply_swap(s, 3, 1); }), run([](auto& s) { apply_swap(s, 1, 3); }));
    // Equal qubits: nothing changes.
    const GateMatrix m4 = random_matrix(4, rng), m2 = random_matrix(2, rng);
    EXPECT_EQ(run([](auto& s) { apply_swap(s, 2, 2); }), in);
    EXPECT_EQ(run([](auto& s) { apply_cx(s, 2, 2); }), in);
    EXPECT_EQ(run([](auto& s) { apply_ccx(s, 2, 1, 2); }), in);
    EXPECT_EQ(run([&](auto& s) { apply_controlled_matrix_1q(s, 4, 4, m2); }), in);
    EXPECT_EQ(run([&](auto& s) { apply_matrix_2q(s, 3, 3, m4); }), in);
    EXPECT_EQ(run([](auto& s) { apply_cz(s, 3, 3); }), run([](auto& s) { apply_z(s, 3); }));
    // Multi-control: a mask listed twice acts as one; a control on the target
    // or a zero mask selects no pair.
    const auto mc = [&](std::vector<uint64_t> masks) {
        return run([&](auto& s) {
            T re[4], im[4];
            for (int k = 0; k < 4; ++k) re[k] = T(m2[k].real()), im[k] = T(m2[k].imag());
            launch_multi_controlled_matrix_1q(s, 4, 8, re, im, masks);
        });
    };
    EXPECT_EQ(mc({1, 1}), mc({1}));
    EXPECT_EQ(mc({1, 4}), in);
    EXPECT_EQ(mc({0}), in);
    EXPECT_EQ(run([](auto& s) { apply_ccx(s, 1, 1, 4); }), run([](auto& s) { apply_cx(s, 1, 4); }));
    // X as a matrix moves |0...0> to index 2^q; CX with target above and below the control.
    for (int q : {0, 2}) {
        StateVector<T> sv(3);
        apply_matrix_1q(sv, q, x_matrix);
        EXPECT_EQ(sv.real[uint64_t{1} << q], T(1));
        EXPECT_EQ(sv.real[0], T(0));
    }
    for (auto [c, t] : {std::pair{0, 2}, std::pair{2, 0}}) {
        StateVector<T> sv(3);
        apply_x(sv, c);
        apply_cx(sv, c, t);
        EXPECT_EQ(sv.real[(1u << c) | (1u << t)], T(1)) << c << "->" << t;
    }
    // 2x2 entries act rounded to T; 4x4 entries act in double with one rounding.
    {
        StateVector<T> sv(2);
        apply_matrix_1q(sv, 0, GateMatrix{0.1, 0, 0, 1});
        EXPECT_EQ(sv.real[0], T(static_cast<T>(0.1)));
        StateVector<T> sv2(2);
        sv2.real[0] = T(3);
        GateMatrix m(16, 0.0);
        m[0] = 0.1;
        apply_matrix_2q(sv2, 0, 1, m);
        EXPECT_EQ(sv2.real[0], static_cast<T>(0.1 * 3.0));
    }
}

}  // namespace

// State construction, thread rule, block partition, index check, zero
// probability and RESET.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "statevector/fixed_kernels.h"
#include "statevector/reset.h"
#include "statevector/state_vector.h"

namespace {

template <typename T>
class StateTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StateTest, Precisions);

template <typename T>
std::string construction_error(int n) {
    try {
        StateVector<T> sv(n);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TYPED_TEST(StateTest, Construction) {
    using T = TypeParam;
    for (int n : {0, 1, 5, 14}) {
        StateVector<T> sv(n);
        EXPECT_EQ(sv.num_qubits, n);
        EXPECT_EQ(sv.dim, uint64_t{1} << n);
        EXPECT_TRUE(sv.owns);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.real) % 64, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.imag) % 64, 0u);
        EXPECT_EQ(sv.real[0], T(1));
        EXPECT_EQ(sv.imag[0], T(0));
        for (uint64_t i = 1; i < sv.dim; ++i) ASSERT_TRUE(sv.real[i] == T(0) && sv.imag[i] == T(0));
    }
    for (int n : {63, -1, 1000})
        EXPECT_EQ(construction_error<T>(n), "StateVector: num_qubits out of supported range") << n;
    // The byte size overflows 64 bits: float at 62 qubits, double at 61 and 62.
    const int overflow = std::is_same_v<T, float> ? 62 : 61;
    for (int n = overflow; n <= 62; ++n) EXPECT_EQ(construction_error<T>(n), "Failed to allocate memory for StateVector");
    EXPECT_EQ(construction_error<T>(55), "Failed to allocate memory for StateVector");  // too large for any machine
}

TEST(ThreadRule, TeamSizeAndPartition) {
    const int saved = hardware_threads;
    hardware_threads = 6;
    EXPECT_EQ(kernel_team_size(14), 1);
    EXPECT_EQ(kernel_team_size(-3), 1);
    EXPECT_EQ(kernel_team_size(15), 6);
    hardware_threads = 0;
    EXPECT_EQ(kernel_team_size(20), 1);
    hardware_threads = saved;

    const BlockShare expected[] = {{0, 3}, {3, 3}, {6, 2}, {8, 2}};
    for (int t = 0; t < 4; ++t) {
        const BlockShare s = static_block_partition(10, 4, t);
        EXPECT_EQ(s.first, expected[t].first);
        EXPECT_EQ(s.count, expected[t].count);
    }
    for (int t = 0; t < 8; ++t) {
        const BlockShare s = static_block_partition(2, 8, t);
        EXPECT_EQ(s.count, t < 2 ? 1 : 0) << t;
        if (t < 2) {
            EXPECT_EQ(s.first, t);
        }
    }
}

TEST(ThreadRule, CheckQubitIndex) {
    EXPECT_NO_THROW(check_qubit_index("H", 0, 1));
    for (int q : {-1, 3, 1 << 30}) {
        try {
            check_qubit_index("CX", q, 3);
            ADD_FAILURE() << q;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "CX: qubit " + std::to_string(q) + " out of range for 3 qubit(s)");
        }
    }
}

// Runs one RESET whose draw is exactly u.
template <typename T>
void reset_with_draw(StateVector<T>& sv, uint32_t q, double u) {
    std::mt19937 engine(1);
    std::uniform_real_distribution<double> draw(u, u);
    reset_qubit(sv, q, engine, draw);
}

template <typename T>
void fill(StateVector<T>& sv, std::initializer_list<double> re) {
    uint64_t i = 0;
    for (double x : re) sv.real[i++] = static_cast<T>(x);
}

TYPED_TEST(StateTest, ResetOutcomes) {
    using T = TypeParam;
    {  // p0 = 1: unchanged for any draw.
        StateVector<T> sv(2);
        fill(sv, {0.6, 0.8, 0, 0});
        reset_with_draw(sv, 1, 0.999);
        EXPECT_EQ(sv.real[0], T(0.6));
        EXPECT_EQ(sv.real[1], T(0.8));
    }
    for (double u : {0.0, 0.3, 0.999}) {  // p0 = 0: the same as X, also for a draw of 0.0.
        StateVector<T> sv(3);
        apply_x(sv, 2);
        apply_h(sv, 0);
        reset_with_draw(sv, 2, u);
        const T h = FixedGateConstants<T>::h;
        EXPECT_EQ(sv.real[0], h) << u;
        EXPECT_EQ(sv.real[1], h) << u;
        EXPECT_EQ(sv.real[4], T(0)) << u;
        EXPECT_EQ(sv.real[5], T(0)) << u;
    }
    for (auto [u, kept] : {std::pair{0.5, 0}, std::pair{0.75, 1}}) {  // p0 = 0.5
        StateVector<T> sv(2);
        fill(sv, {0.5, 0.5, 0.5, -0.5});
        reset_with_draw(sv, 1, u);
        const T s = static_cast<T>(0.5 / std::sqrt(0.5));
        EXPECT_EQ(sv.real[0], s);
        EXPECT_EQ(sv.real[1], kept ? -s : s);
        EXPECT_EQ(sv.real[2], T(0));
        EXPECT_EQ(sv.real[3], T(0));
        EXPECT_EQ(sv.imag[3], T(0));
    }
    {  // p0 slightly above 1: outcome 0, scaled slightly down.
        StateVector<T> sv(1);
        sv.real[0] = std::nextafter(T(1), T(2));
        reset_with_draw(sv, 0, 0.999999);
        EXPECT_LT(sv.real[0], std::nextafter(T(1), T(2)));
        EXPECT_NEAR(sv.real[0], 1.0, 1e-6);
    }
}

// An outcome below 1e-15 is never taken: the other outcome is collapsed onto,
// so the state never turns all zero.
TYPED_TEST(StateTest, ImpossibleOutcomeTakesTheOther) {
    using T = TypeParam;
    // u = 0 draws outcome 0 on a state that is almost |1>; u = 2 (above any
    // p0) draws outcome 1 on a state that is almost |0>.
    for (auto [tiny_on_one, u] : {std::pair{false, 0.0}, std::pair{true, 2.0}}) {
        StateVector<T> sv(1);
        // The likely outcome has amplitude 1, the other 1e-9 (probability 1e-18).
        sv.real[0] = tiny_on_one ? T(1) : T(1e-9);
        sv.real[1] = tiny_on_one ? T(1e-9) : T(1);
        reset_with_draw(sv, 0, u);
        EXPECT_EQ(sv.real[0], T(1)) << u;
        EXPECT_EQ(sv.real[1], T(0)) << u;
    }
}

TYPED_TEST(StateTest, OneDrawPerResetAndProbability) {
    using T = TypeParam;
    std::mt19937 rng(5);
    std::normal_distribution<double> nd;
    StateVector<T> sv(16);
    for (uint64_t i = 0; i < sv.dim; ++i) sv.real[i] = T(nd(rng)), sv.imag[i] = T(nd(rng));
    for (uint32_t q : {0u, 1u, 2u, 3u, 7u, 15u}) {
        double want = 0;
        for (uint64_t i = 0; i < sv.dim; ++i)
            if (!((i >> q) & 1)) want += double(sv.real[i]) * sv.real[i] + double(sv.imag[i]) * sv.imag[i];
        EXPECT_NEAR(zero_probability(sv, q), want, 1e-9 * want);
        // On one thread (a region nested in an active one) it is the plain
        // sum in index order, bit for bit.
        double one_thread = 0;
#pragma omp parallel num_threads(2)
        if (omp_get_thread_num() == 0) one_thread = zero_probability(sv, q);
        EXPECT_EQ(one_thread, want) << q;
    }
    std::mt19937 engine(42), twin(42);
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    for (uint32_t q = 0; q < 16; ++q) reset_qubit(sv, q, engine, dist);
    twin.discard(2 * 16);
    EXPECT_EQ(engine, twin);
    EXPECT_NEAR(double(sv.real[0]) * sv.real[0] + double(sv.imag[0]) * sv.imag[0], 1.0, 1e-5);
    for (uint64_t i = 1; i < sv.dim; ++i) ASSERT_TRUE(sv.real[i] == T(0) && sv.imag[i] == T(0));
    zero_state(sv);
    EXPECT_EQ(zero_probability(sv, 3), 0.0);
    EXPECT_TRUE(sv.real[0] == T(0) && sv.imag[0] == T(0));
}

}  // namespace

// State construction, thread rule, block partition, index check, zero
// probability and RESET.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "statevector/reset.h"
#include "statevector/state_vector.h"
#include "tests/cpp/error_text.h"

namespace {

template <typename T>
class StateTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(StateTest, Precisions);

TYPED_TEST(StateTest, ConstructionAndAllocationFailure) {
    using T = TypeParam;
    for (int n : {0, 1, 5, 14}) {
        StateVector<T> sv(n);
        EXPECT_TRUE(sv.num_qubits == n && sv.dim == uint64_t{1} << n && sv.owns);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.real) % 64 + reinterpret_cast<uintptr_t>(sv.imag) % 64, 0u);
        for (uint64_t i = 0; i < sv.dim; ++i) ASSERT_TRUE(sv.real[i] == T(i == 0) && sv.imag[i] == T(0)) << i;
    }
    for (int n : {63, -1, 1000})
        EXPECT_EQ(error_text([n] { StateVector<T> sv(n); }), "StateVector: num_qubits out of supported range") << n;
    // 55 qubits are too large for any machine; the byte size overflows 64 bits
    // for float at 62 qubits, for double at 61 and 62.
    for (int n : {55, std::is_same_v<T, float> ? 62 : 61, 62})
        EXPECT_EQ(error_text([n] { StateVector<T> sv(n); }), "Failed to allocate memory for StateVector") << n;
}

TEST(ThreadRule, TeamSizePartitionAndQubitCheck) {
    const int saved = hardware_threads;
    hardware_threads = 6;
    EXPECT_TRUE(kernel_team_size(14) == 1 && kernel_team_size(-3) == 1 && kernel_team_size(15) == 6);
    hardware_threads = 0;
    EXPECT_EQ(kernel_team_size(20), 1);
    hardware_threads = saved;
    // Shares are contiguous, in thread order, the first count % threads one larger.
    const std::tuple<int64_t, int64_t, std::vector<int64_t>> splits[] = {{10, 4, {3, 3, 2, 2}},
                                                                         {2, 8, {1, 1, 0, 0, 0, 0, 0, 0}}};
    for (const auto& [blocks, threads, counts] : splits)
        for (int64_t t = 0, first = 0; t < threads; first += counts[t++]) {
            const BlockShare s = static_block_partition(blocks, threads, t);
            EXPECT_TRUE(s.first == first && s.count == counts[t]) << blocks << " on " << threads << ", thread " << t;
        }
    EXPECT_NO_THROW(check_qubit_index("H", 0, 1));
    for (int q : {-1, 3, 1 << 30})
        EXPECT_EQ(error_text([q] { check_qubit_index("CX", q, 3); }),
                  "CX: qubit " + std::to_string(q) + " out of range for 3 qubit(s)");
}

// RESET of qubit q of a 2-qubit state with real amplitudes `in` and a draw of
// exactly u.  A drawn outcome of probability below 1e-15 gives the other one.
TYPED_TEST(StateTest, ResetOutcomes) {
    using T = TypeParam;
    const double h = 0.7071067811865475, s = 0.5 / std::sqrt(0.5), up = std::nextafter(T(1), T(2));
    const double tiny = std::ldexp(1.0, -30), small = std::ldexp(1.0, -24);  // probabilities 2^-60 and 2^-48
    const struct {
        std::vector<double> in;
        uint32_t q;
        double u;
        std::vector<double> want;
    } rows[] = {
        {{0.6, 0.8, 0, 0}, 1, 0.999, {0.6, 0.8, 0, 0}},   // p0 = 1: unchanged
        {{0, 0, h, h}, 1, 0.999, {h, h, 0, 0}},           // p0 = 0: the same as X ...
        {{0, 0, h, h}, 1, 0.0, {h, h, 0, 0}},             // ... also when the draw is 0
        {{0.5, 0.5, 0.5, -0.5}, 1, 0.5, {s, s, 0, 0}},    // p0 = 0.5: u = p0 is outcome 0,
        {{0.5, 0.5, 0.5, -0.5}, 1, 0.75, {s, -s, 0, 0}},  // u > p0 outcome 1
        {{-tiny, 1, 0, 0}, 0, 0.0, {1, 0, 0, 0}},         // outcome 0 drawn at 2^-60: outcome 1
        {{1, tiny, 0, 0}, 0, 2.0, {1, 0, 0, 0}},          // outcome 1 drawn at 0: outcome 0
        {{-small, 1, 0, 0}, 0, 0.0, {-1, 0, 0, 0}},       // outcome 0 drawn at 2^-48: kept
        {{up, 0, 0, 0}, 0, 0.999999, {1, 0, 0, 0}},       // p0 slightly above 1: scaled down
    };
    for (const auto& row : rows) {
        StateVector<T> sv(2);
        for (int i = 0; i < 4; ++i) sv.real[i] = static_cast<T>(row.in[i]);
        std::mt19937 engine(1);
        std::uniform_real_distribution<double> draw(row.u, row.u);
        reset_qubit(sv, row.q, engine, draw);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(sv.real[i] == static_cast<T>(row.want[i]) && sv.imag[i] == T(0)) << "row " << &row - rows;
    }
}

// The collapse keeps (outcome 0) or moves down (outcome 1) the scaled
// amplitudes of one half and clears the other, each amplitude widened to
// double, multiplied by the scale and rounded once: bit for bit the same on
// runs far longer than the distance its loops prefetch ahead, for low
// qubits (pairs inside a line) and high ones.
TYPED_TEST(StateTest, CollapseFollowsTheRuleOnLongRuns) {
    using T = TypeParam;
    std::mt19937 rng(3);
    std::normal_distribution<double> nd;
    const int n = 14;
    StateVector<T> sv(n);
    std::vector<T> re(sv.dim), im(sv.dim);
    for (uint64_t i = 0; i < sv.dim; ++i) re[i] = T(nd(rng)), im[i] = T(nd(rng));
    const double scale = 1.0 / std::sqrt(0.37);
    for (uint32_t q : {0u, 1u, 2u, 3u, 9u, 12u, 13u})
        for (int32_t outcome : {0, 1}) {
            std::copy(re.begin(), re.end(), sv.real);
            std::copy(im.begin(), im.end(), sv.imag);
            reset_collapse(sv, q, scale, outcome);
            const uint64_t half = uint64_t{1} << q;
            for (uint64_t i = 0; i < sv.dim; ++i) {
                const uint64_t from = (i & half) != 0 ? i : i | (outcome == 1 ? half : 0);
                const bool cleared = (i & half) != 0;
                const T wr = cleared ? T(0) : static_cast<T>(static_cast<double>(re[from]) * scale);
                const T wi = cleared ? T(0) : static_cast<T>(static_cast<double>(im[from]) * scale);
                ASSERT_TRUE(std::memcmp(&sv.real[i], &wr, sizeof(T)) == 0 && std::memcmp(&sv.imag[i], &wi, sizeof(T)) == 0)
                    << "q " << q << " outcome " << outcome << " index " << i;
            }
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
        // One thread (a region nested in an active one) gives the plain sum in index order.
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

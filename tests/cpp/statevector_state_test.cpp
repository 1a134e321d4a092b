// State construction, thread rule, block partition, index check, zero
// probability and RESET.
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "statevector/fixed_kernels.h"
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
    for (int n : {0, 1, 5, 13, 14, 16}) {
        StateVector<T> sv(n);
        EXPECT_TRUE(sv.num_qubits == n && sv.dim == uint64_t{1} << n && sv.owns);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(sv.real) % 64 + reinterpret_cast<uintptr_t>(sv.imag) % 64, 0u);
        for (uint64_t i = 0; i < sv.dim; ++i) ASSERT_TRUE(sv.real[i] == T(i == 0) && sv.imag[i] == T(0)) << i;
        // Arrays of 64 KiB and more never share first-level cache sets at the
        // same index, and the memory checks count the shift that does it.
        if (sv.dim * sizeof(T) >= (uint64_t{64} << 10)) {
            EXPECT_NE((reinterpret_cast<uintptr_t>(sv.imag) - reinterpret_cast<uintptr_t>(sv.real)) % 4096, 0u) << n;
            EXPECT_EQ(state_vector_bytes<T>(n), 2 * sv.dim * sizeof(T) + kImagShiftBytes) << n;
        }
    }
    for (int n : {63, -1, 1000})
        EXPECT_EQ(error_text([n] { StateVector<T> sv(n); }), "StateVector: num_qubits out of supported range") << n;
    // 55 qubits are too large for any machine; the byte size overflows 64 bits
    // for float at 62 qubits, for double at 61 and 62.
    for (int n : {55, std::is_same_v<T, float> ? 62 : 61, 62})
        EXPECT_EQ(error_text([n] { StateVector<T> sv(n); }), "Failed to allocate memory for StateVector") << n;
}

// True when a new state on n qubits is |0...0> bit for bit.  The state is
// made right after a state of the same size was filled with NaN bytes and
// freed, whose memory the allocator usually hands out again, so a share the
// team failed to zero shows.
template <typename T>
bool constructs_zero_state(int n) {
    {
        StateVector<T> dirty(n);
        std::memset(dirty.real, 0xff, dirty.dim * sizeof(T));
        std::memset(dirty.imag, 0xff, dirty.dim * sizeof(T));
    }
    StateVector<T> sv(n);
    std::vector<T> zero(sv.dim, T(0)), basis = zero;
    basis[0] = T(1);
    return std::memcmp(sv.real, basis.data(), sv.dim * sizeof(T)) == 0 &&
           std::memcmp(sv.imag, zero.data(), sv.dim * sizeof(T)) == 0;
}

// Below one register, small (one thread), several threads, and arrays of
// 2 MiB and above (huge pages advised; float at 19 qubits, double at 18),
// zeroed by teams of one, three (uneven shares) and every hardware thread,
// by the threads of an outer region (each on its own), and in a forked child.
TYPED_TEST(StateTest, NewStateIsZeroOnEveryTeam) {
    using T = TypeParam;
    const int saved = hardware_threads;
    for (int threads : {1, 3, saved}) {
        hardware_threads = threads;
        for (int n : {0, 2, 14, 15, 18, 19, 20, 22}) EXPECT_TRUE(constructs_zero_state<T>(n)) << n << " on " << threads;
    }
    hardware_threads = saved;
    std::array<bool, 3> outer{};
#pragma omp parallel num_threads(3)
    {
        bool ok = true;
        for (int n : {15, 19, 20}) ok = ok && constructs_zero_state<T>(n);
        outer[omp_get_thread_num()] = ok;
    }
    EXPECT_TRUE(outer[0] && outer[1] && outer[2]);
    // In a forked child every launch runs on one thread (a region of several
    // would wait for ever for the parent's pool): zeroing, then a gate.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        bool ok = constructs_zero_state<T>(20);
        StateVector<T> sv(20);
        apply_h(sv, 19);
        ok = ok && sv.real[0] == sv.real[uint64_t{1} << 19] && sv.real[0] > T(0.7);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A launch whose team has one thread runs on the calling thread with the
// whole range, without a region (omp_get_level() unchanged), also inside an
// outer region of several threads; teams of several and the default team
// (the reset kernels') still open their region.
TEST(ThreadRule, OneThreadLaunchRunsOnTheCallingThread) {
    struct Call {
        int64_t first, count;
        int level;
    };
    const auto launch = [](int team, int64_t blocks) {
        std::array<Call, 64> calls{};
        std::atomic<int> count{0};
        run_kernel_region(team, blocks, [&](int64_t first, int64_t n) {
            calls[static_cast<size_t>(count++)] = {first, n, omp_get_level()};
        });
        std::vector<Call> out(calls.begin(), calls.begin() + count.load());
        std::sort(out.begin(), out.end(), [](const Call& a, const Call& b) { return a.first < b.first; });
        return out;
    };
    std::vector<Call> c = launch(1, 10);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(c[0].first == 0 && c[0].count == 10 && c[0].level == 0);
    c = launch(3, 10);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_TRUE(c[0].count == 4 && c[1].first == 4 && c[2].first == 7 && c[2].count == 3 && c[1].level == 1);
    c = launch(0, 100);
    EXPECT_EQ(c.size(), static_cast<size_t>(std::min(omp_get_max_threads(), 100)));
    EXPECT_EQ(c[0].level, 1);
    int threads = 0, thread = -1, level = -1;
    run_parallel_region(1, [&] { threads = omp_get_num_threads(), thread = omp_get_thread_num(), level = omp_get_level(); });
    EXPECT_TRUE(threads == 1 && thread == 0 && level == 0);

    std::array<bool, 4> ok{};
#pragma omp parallel num_threads(4)
    {
        bool good = omp_get_num_threads() == 4;
        for (int team : {1, 8}) {
            const std::vector<Call> inner = launch(team, 10);
            good = good && inner.size() == 1 && inner[0].first == 0 && inner[0].count == 10 && inner[0].level == 1;
        }
        const std::vector<Call> reset = launch(0, 10);  // a nested region of one thread
        good = good && reset.size() == 1 && reset[0].count == 10 && reset[0].level == 2;
        int n = 0, t = -1;
        run_parallel_region(1, [&] { n = omp_get_num_threads(), t = omp_get_thread_num(); });
        ok[omp_get_thread_num()] = good && n == 1 && t == 0;
    }
    EXPECT_TRUE(ok[0] && ok[1] && ok[2] && ok[3]);
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

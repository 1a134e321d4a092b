#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "simulator/drivers.h"

namespace {

template <typename T>
void set_state(StateVector<T>& sv, std::initializer_list<double> re) {
    size_t i = 0;
    for (double v : re) {
        sv.real[i] = static_cast<T>(v);
        sv.imag[i] = 0;
        ++i;
    }
}

}  // namespace

TEST(MeasureCollapse, PossibleOutcomesRenormalise) {
    StateVector<double> sv(2);
    set_state(sv, {0.5, 0.5, 0.5, 0.5});
    EXPECT_EQ(measure_collapse(sv, 1, 0.25), 0);
    EXPECT_DOUBLE_EQ(sv.real[0], std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(sv.real[1], std::sqrt(0.5));
    EXPECT_EQ(sv.real[2], 0);
    set_state(sv, {0.5, 0.5, 0.5, 0.5});
    EXPECT_EQ(measure_collapse(sv, 0, 0.5), 1);  // r == p0 reads 1
    EXPECT_EQ(sv.real[0], 0);
    EXPECT_DOUBLE_EQ(sv.real[3], std::sqrt(0.5));
}

// A drawn outcome whose probability is at or below the threshold is replaced
// by the other outcome: the shot never goes on with an all-zero state.
TEST(MeasureCollapse, ImpossibleOutcomeTakesTheOther) {
    StateVector<double> sv(1);
    set_state(sv, {1e-9, 1.0});  // p0 = 1e-18
    EXPECT_EQ(measure_collapse(sv, 0, 0.0), 1);
    EXPECT_EQ(sv.real[0], 0);
    EXPECT_DOUBLE_EQ(sv.real[1], 1.0);

    set_state(sv, {1.0, 1e-9});  // p0 = 1 >= 1 - 1e-15
    EXPECT_EQ(measure_collapse(sv, 0, 0.9999999999999999), 0);
    EXPECT_DOUBLE_EQ(sv.real[0], 1.0);
    EXPECT_EQ(sv.real[1], 0);

    // Norm below one (as after rounding): the 1 side is empty, so a draw
    // above p0 must still read 0 and keep the amplitude.
    StateVector<float> sf(2);
    set_state(sf, {0.6, 0.0, 0.6, 0.0});  // p0 = 0.72 for qubit 0
    EXPECT_EQ(measure_collapse(sf, 0, 0.9), 0);
    EXPECT_GT(sf.real[0], 0.7f);
    EXPECT_GT(sf.real[2], 0.7f);
}

TEST(MeasureCollapse, QubitAboveRegisterReadsZero) {
    StateVector<double> sv(2);
    set_state(sv, {0.0, 1.0, 0.0, 0.0});
    EXPECT_EQ(measure_collapse(sv, 40, 0.7), 0);
    EXPECT_EQ(sv.real[1], 1.0);
}

TEST(ResetTarget, OutOfRangeRejectedBeforeTheKernel) {
    StateVector<double> sv(3);
    std::mt19937 engine(1);
    std::uniform_real_distribution<double> distribution(0.0, 1.0);
    CircuitInstruction ins;
    ins.name = "RESET";
    for (int q : {3, -1, 64}) {
        ins.targets = {q};
        EXPECT_THROW(reset_first_target(sv, ins, engine, distribution), std::runtime_error) << q;
    }
    EXPECT_EQ(sv.real[0], 1.0);
    ins.targets = {};
    reset_first_target(sv, ins, engine, distribution);  // nothing to reset
    EXPECT_EQ(sv.real[0], 1.0);
}

namespace {

// One shot at a time, exactly as the sampling rule reads: search the table,
// then scan the chosen block from 0.0.
template <typename T>
std::map<uint64_t, int> naive_sample(const StateVector<T>& state, const std::vector<double>& table, int shots,
                                     std::mt19937& engine) {
    std::map<uint64_t, int> out;
    const bool two_level = state.dim > sampling_block_size;
    for (int s = 0; s < shots; ++s) {
        double r = std::generate_canonical<double, 53>(engine);
        auto pos = std::lower_bound(table.begin(), table.end(), r);
        uint64_t j = pos == table.end() ? table.size() - 1 : pos - table.begin();
        uint64_t index = j;
        if (two_level) {
            if (j > 0) r -= table[j - 1];
            index = j * sampling_block_size + sampling_block_size - 1;
            double acc = 0.0;
            for (uint64_t i = j * sampling_block_size; i < (j + 1) * sampling_block_size; ++i) {
                acc += amplitude_probability(state, i);
                if (acc >= r) {
                    index = i;
                    break;
                }
            }
        }
        ++out[index];
    }
    return out;
}

template <typename T>
void fill_random(StateVector<T>& sv, unsigned seed, double sparsity) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(0, 1);
    double norm = 0;
    for (uint64_t i = 0; i < sv.dim; ++i) {
        const double a = u(g) < sparsity ? u(g) : 0.0;
        sv.real[i] = static_cast<T>(a);
        sv.imag[i] = static_cast<T>(a * 0.5);
        norm += double(sv.real[i]) * sv.real[i] + double(sv.imag[i]) * sv.imag[i];
    }
    // Leave the norm slightly below one so that the fallbacks are reached.
    const double scale = std::sqrt(0.999 / norm);
    for (uint64_t i = 0; i < sv.dim; ++i) {
        sv.real[i] = static_cast<T>(sv.real[i] * scale);
        sv.imag[i] = static_cast<T>(sv.imag[i] * scale);
    }
}

template <typename T>
void expect_same_as_naive(int n, int shots, double sparsity) {
    StateVector<T> sv(n);
    fill_random(sv, 17 + n, sparsity);
    const std::vector<double> table = build_sampling_table(sv);
    const uint64_t entries = sv.dim <= sampling_block_size ? sv.dim : sv.dim / sampling_block_size;
    EXPECT_EQ(table.size(), entries);
    EXPECT_EQ(table.back(), 1.0);
    std::mt19937 a(99), b(99);
    const auto fast = sample_static_indices(sv, table, shots, a);
    const auto slow = naive_sample(sv, table, shots, b);
    const std::map<uint64_t, int> fast_map(fast.begin(), fast.end());
    EXPECT_EQ(fast_map, slow) << n;
    EXPECT_EQ(a(), b());  // same number of draws
}

}  // namespace

TEST(StaticSampling, SameIndicesAsShotByShotSearch) {
    expect_same_as_naive<double>(3, 1000, 1.0);
    expect_same_as_naive<double>(16, 20000, 0.3);
    expect_same_as_naive<double>(17, 20000, 0.5);
    expect_same_as_naive<float>(18, 30000, 0.01);
}

TEST(StaticSampling, ConcentratedStates) {
    for (uint64_t target : {uint64_t{65535}, uint64_t{65536}, uint64_t{131071}}) {
        StateVector<double> sv(17);
        sv.real[0] = 0;
        sv.real[target] = 1;
        std::mt19937 engine(5);
        const auto got = sample_static_indices(sv, build_sampling_table(sv), 500, engine);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].first, target);
        EXPECT_EQ(got[0].second, 500);
    }
}

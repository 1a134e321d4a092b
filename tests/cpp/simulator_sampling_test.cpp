// Mid-circuit measurement collapse and static sampling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "simulator/sampling.h"

// Collapses a state with real amplitudes `before` and compares outcome and
// amplitudes; the imaginary parts stay 0 throughout.
template <typename T>
void expect_collapse(std::vector<double> before, int q, double r, int outcome, std::vector<double> after, double tol) {
    StateVector<T> sv(before.size() == 2 ? 1 : 2);
    std::copy(before.begin(), before.end(), sv.real);
    EXPECT_EQ(measure_collapse(sv, q, r), outcome) << q << " " << r;
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_NEAR(sv.real[i], after[i], tol) << q << " " << r << " " << i;
}

TEST(MeasureCollapse, OutcomesAndRenormalisation) {
    const double h = std::sqrt(0.5);
    expect_collapse<double>({0.5, 0.5, 0.5, 0.5}, 1, 0.25, 0, {h, h, 0, 0}, 1e-15);
    expect_collapse<double>({0.5, 0.5, 0.5, 0.5}, 0, 0.5, 1, {0, h, 0, h}, 1e-15);  // r == p0 reads 1
    expect_collapse<double>({0, 1, 0, 0}, 40, 0.7, 0, {0, 1, 0, 0}, 0);             // a qubit above the register: 0
    // A drawn outcome whose probability is at or below the threshold is
    // replaced by the other one: the shot never goes on with an all-zero state.
    expect_collapse<double>({1e-9, 1}, 0, 0.0, 1, {0, 1}, 1e-15);                  // p0 = 1e-18
    expect_collapse<double>({1, 1e-9}, 0, 0.9999999999999999, 0, {1, 0}, 1e-15);  // p0 = 1 >= 1 - 1e-15
    // Norm below one (as after rounding): the 1 side is empty, so a draw above
    // p0 = 0.72 must still read 0 and keep (renormalised) amplitudes.
    expect_collapse<float>({0.6, 0, 0.6, 0}, 0, 0.9, 0, {h, 0, h, 0}, 1e-6);
}

// Static sampling against a shot-by-shot written-out search (binary search of
// the table, then a scan of the chosen block from 0.0), on states whose norm
// is slightly below one so that the fallbacks are reached.
template <typename T>
void fill_random_state(StateVector<T>& sv, double sparsity) {
    std::mt19937 g(17 + sv.num_qubits);
    std::uniform_real_distribution<double> u(0, 1);
    double norm = 0;
    for (uint64_t i = 0; i < sv.dim; ++i) {
        const double a = u(g) < sparsity ? u(g) : 0.0;
        norm += 1.25 * a * a;
        sv.real[i] = static_cast<T>(a), sv.imag[i] = static_cast<T>(a * 0.5);
    }
    const T scale = static_cast<T>(std::sqrt(0.999 / norm));
    for (uint64_t i = 0; i < sv.dim; ++i) sv.real[i] *= scale, sv.imag[i] *= scale;
}

template <typename T>
void expect_same_as_naive(int n, int shots, double sparsity) {
    StateVector<T> sv(n);
    fill_random_state(sv, sparsity);
    const std::vector<double> table = build_sampling_table(sv);
    const uint64_t block = sampling_block_size;
    const bool two_level = sv.dim > block;
    EXPECT_EQ(table.size(), two_level ? sv.dim / block : sv.dim);
    EXPECT_EQ(table.back(), 1.0);
    std::mt19937 a(99), b(99);
    const auto fast = sample_static_indices(sv, table, shots, a);
    std::map<uint64_t, int> slow;
    for (int s = 0; s < shots; ++s) {
        double r = std::generate_canonical<double, 53>(b);
        const uint64_t j = std::min<size_t>(std::lower_bound(table.begin(), table.end(), r) - table.begin(),
                                            table.size() - 1);
        uint64_t index = two_level ? (j + 1) * block - 1 : j;  // the block's last index if the scan falls short
        if (two_level && j > 0) r -= table[j - 1];
        double acc = 0.0;
        for (uint64_t i = j * block; two_level && i < (j + 1) * block; ++i)
            if ((acc += amplitude_probability(sv, i)) >= r) {
                index = i;
                break;
            }
        ++slow[index];
    }
    const std::map<uint64_t, int> fast_counts(fast.begin(), fast.end());
    EXPECT_EQ(fast_counts, slow) << n;
    EXPECT_EQ(a(), b());  // same number of draws
}

TEST(StaticSampling, SameIndicesAsShotByShotSearch) {
    expect_same_as_naive<double>(3, 1000, 1.0);
    expect_same_as_naive<double>(16, 20000, 0.3);
    expect_same_as_naive<double>(17, 20000, 0.5);
    expect_same_as_naive<float>(18, 30000, 0.01);
}

// Shots beyond one chunk of 2^20 (one full chunk, then a part): the same
// indices as the shot-by-shot search, which on this sparse state only visits
// the non-zero amplitudes (adding 0.0 leaves a running sum unchanged).
TEST(StaticSampling, ChunkedShotsSameAsShotByShotSearch) {
    StateVector<double> sv(17);
    fill_random_state(sv, 0.002);
    std::vector<uint64_t> nonzero;
    for (uint64_t i = 0; i < sv.dim; ++i)
        if (amplitude_probability(sv, i) > 0) nonzero.push_back(i);
    const std::vector<double> table = build_sampling_table(sv);
    const int shots = (1 << 20) + (1 << 18) + 7;
    std::mt19937 a(5), b(5);
    const auto fast = sample_static_indices(sv, table, shots, a);
    std::map<uint64_t, int> slow;
    for (int s = 0; s < shots; ++s) {
        double r = std::generate_canonical<double, 53>(b);
        const uint64_t j = std::lower_bound(table.begin(), table.end(), r) - table.begin();  // last entry is 1.0
        if (j > 0) r -= table[j - 1];
        uint64_t index = (j + 1) * sampling_block_size - 1;
        double acc = 0.0;
        for (auto i = std::lower_bound(nonzero.begin(), nonzero.end(), j * sampling_block_size);
             i != nonzero.end() && *i < (j + 1) * sampling_block_size; ++i)
            if ((acc += amplitude_probability(sv, *i)) >= r) {
                index = *i;
                break;
            }
        ++slow[index];
    }
    const std::map<uint64_t, int> fast_counts(fast.begin(), fast.end());
    EXPECT_EQ(fast_counts, slow);
    EXPECT_EQ(a(), b());
}

// A seed is the engine's seed as an unsigned 32-bit value; a negative one
// takes a value of the system random source instead of its bit pattern.
// Keeping only the read qubits' bits of each index merges the counts of the
// indices that agree on them, and draws exactly as often.
TEST(StaticSampling, KeptBitsMergeTheCountsOfTheirIndices) {
    for (int n : {5, 18}) {
        StateVector<double> sv(n);
        fill_random_state(sv, 0.5);
        const std::vector<double> table = build_sampling_table(sv);
        const uint64_t keep = (uint64_t{1} << 1) | (uint64_t{1} << (n - 1));
        std::mt19937 a(3), b(3);
        IndexCounts merged;
        for (const auto& [index, count] : sample_static_indices(sv, table, 50000, a)) merged[index & keep] += count;
        const IndexCounts kept = sample_static_indices(sv, table, 50000, b, keep);
        EXPECT_EQ(kept, merged) << n;
        EXPECT_EQ(a(), b());
    }
}

TEST(Seeding, SeedOrSystemRandomSource) {
    for (int seed : {0, 1, 12345, 2147483647})
        EXPECT_EQ(seeded_engine(seed), std::mt19937(static_cast<uint32_t>(seed))) << seed;
    EXPECT_NE(seeded_engine(-1), std::mt19937(0xFFFFFFFFu));
    EXPECT_NE(seeded_engine(seed_from_device), seeded_engine(seed_from_device));  // equal once in 2^32
}

// Exchange of physical index bits against a copy-permute reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "statevector/index_bit_exchange.h"
#include "tests/cpp/state_roundtrip.h"

namespace {

using Pairs = std::vector<std::pair<int, int>>;

// out[sigma(i)] = in[i], sigma swapping the bits of every pair.
Amps permuted(const Amps& in, const Pairs& pairs) {
    Amps out(in.size());
    for (uint64_t i = 0; i < in.size(); ++i) {
        uint64_t j = i;
        for (const auto& [a, b] : pairs)
            if (((i >> a) & 1) != ((i >> b) & 1)) j ^= (uint64_t{1} << a) | (uint64_t{1} << b);
        out[j] = in[i];
    }
    return out;
}

// Random amplitudes exact in float, all distinct, so a misplaced one shows.
Amps random_state(int n, std::mt19937& rng) {
    std::uniform_int_distribution<int> d(-(1 << 20), 1 << 20);
    Amps a(uint64_t{1} << n);
    for (uint64_t i = 0; i < a.size(); ++i) a[i] = C(static_cast<double>(i) + 0.5, d(rng) / 1024.0);
    return a;
}

// Fixed sets (adjacent positions, the top bit, everything paired) and random
// disjoint sets of every size, members in either order.
std::vector<Pairs> pair_sets(int n, std::mt19937& rng) {
    std::vector<Pairs> sets = {{}};
    if (n < 5) return sets;
    sets.push_back({{3, n - 1}});
    sets.push_back({{4, 3}});
    sets.push_back({{n - 1, n - 2}});
    Pairs all;
    for (int k = 0; 2 * k + 2 <= n - 3; ++k) all.emplace_back(3 + k, n - 1 - k);
    sets.push_back(all);
    std::vector<int> pos(n - 3);
    std::iota(pos.begin(), pos.end(), 3);
    for (int m = 1; 2 * m <= n - 3; ++m)
        for (int rep = 0; rep < 2; ++rep) {
            std::shuffle(pos.begin(), pos.end(), rng);
            Pairs s;
            for (int k = 0; k < m; ++k) s.emplace_back(pos[2 * k], pos[2 * k + 1]);
            sets.push_back(s);
        }
    return sets;
}

template <typename T>
void expect_exchanges(int n, const std::vector<Pairs>& sets, std::mt19937& rng) {
    for (const Pairs& pairs : sets) {
        const Amps in = random_state(n, rng);
        const Amps once = run<T>(in, [&](StateVector<T>& sv) { exchange_index_bits(sv, pairs); });
        EXPECT_TRUE(same_bits(once, permuted(in, pairs))) << n << " qubits, " << testing::PrintToString(pairs);
        const Amps twice = run<T>(once, [&](StateVector<T>& sv) { exchange_index_bits(sv, pairs); });
        EXPECT_TRUE(same_bits(twice, in)) << n << " qubits, twice " << testing::PrintToString(pairs);
    }
}

template <typename T>
class ExchangeIndexBitsTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ExchangeIndexBitsTest, Precisions);

TYPED_TEST(ExchangeIndexBitsTest, SmallStatesMatchReference) {
    std::mt19937 rng(7);
    for (int n = 3; n <= 14; ++n) expect_exchanges<TypeParam>(n, pair_sets(n, rng), rng);
}

// On more than 14 qubits a team runs; shares of 8 and 3 threads (uneven),
// blocks capped below a high lowest position, many pairs.
TYPED_TEST(ExchangeIndexBitsTest, TeamsMatchReference) {
    std::mt19937 rng(11);
    const int saved = hardware_threads;
    for (int threads : {8, 3}) {
        hardware_threads = threads;
        expect_exchanges<TypeParam>(17, {{{3, 16}}, {{3, 16}, {4, 15}, {5, 14}, {6, 13}}, {{10, 16}}, {{12, 16}, {13, 14}},
                                         {{3, 9}, {5, 12}, {4, 16}, {11, 7}, {8, 15}, {10, 13}}},
                                    rng);
    }
    hardware_threads = 8;
    expect_exchanges<TypeParam>(16, pair_sets(16, rng), rng);
    hardware_threads = saved;
}

TYPED_TEST(ExchangeIndexBitsTest, InvalidPairsThrowBeforeMoving) {
    std::mt19937 rng(3);
    const Amps in = random_state(8, rng);
    const Pairs bad[] = {{{2, 5}}, {{3, 8}}, {{-1, 4}}, {{5, 5}}, {{3, 6}, {6, 7}}, {{3, 6}, {4, 3}}};
    for (const Pairs& pairs : bad) {
        bool threw = false;
        const Amps out = run<TypeParam>(in, [&](StateVector<TypeParam>& sv) {
            try {
                exchange_index_bits(sv, pairs);
            } catch (const std::invalid_argument&) {
                threw = true;
            }
        });
        EXPECT_TRUE(threw && same_bits(out, in)) << testing::PrintToString(pairs);
    }
}

}  // namespace

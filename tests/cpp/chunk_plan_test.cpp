// Chunk-pass plans checked by a validator that replays their layouts.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/chunk_plan.h"

namespace {

using Gates = std::vector<GateFootprint>;

// "" when the plan is valid for the gates: runs cover the gates in order, each
// run's layout is the one its exchanges produce and puts every pair qubit of
// its gates below k, exchanges are non-empty sets of disjoint positions in
// 3 .. n - 1, no two runs are adjacent, and at most two exchanges follow the
// last run, which bring back the identity.
std::string validate(const Gates& gates, int n, int k, const std::vector<PlanStep>& plan) {
    std::vector<int> layout(n);
    for (int q = 0; q < n; ++q) layout[q] = q;
    size_t next = 0, trailing = 0;
    bool after_run = false;
    for (size_t s = 0; s < plan.size(); ++s) {
        const PlanStep& st = plan[s];
        const std::string at = "step " + std::to_string(s) + ": ";
        if (st.kind == PlanStep::Kind::chunk_run) {
            if (after_run) return at + "two runs in a row";
            if (st.first != next || st.last <= st.first) return at + "gates out of order";
            if (st.layout != layout) return at + "layout differs from the exchanges";
            for (size_t g = st.first; g < st.last; ++g)
                for (uint64_t m = gates[g].pairs; m != 0; m &= m - 1)
                    if (layout[std::countr_zero(m)] >= k) return at + "gate " + std::to_string(g) + " does not fit";
            next = st.last;
            trailing = 0;
            after_run = true;
        } else {
            if (st.exchanges.empty()) return at + "empty exchange";
            std::vector<int> to(n);
            for (int p = 0; p < n; ++p) to[p] = p;
            for (const auto& [p, q] : st.exchanges) {
                if (p < 3 || q < 3 || p >= n || q >= n || p == q || to[p] != p || to[q] != q)
                    return at + "bad pair " + std::to_string(p) + "," + std::to_string(q);
                to[p] = q;
                to[q] = p;
            }
            for (int& p : layout) p = to[p];
            ++trailing;
            after_run = false;
        }
    }
    if (next != gates.size()) return "not every gate runs";
    for (int q = 0; q < n; ++q)
        if (layout[q] != q) return "layout is not the identity at the end";
    if (trailing > 2) return "more than two exchanges after the last run";
    return "";
}

size_t passes(const std::vector<PlanStep>& plan) {
    const PlanCounts c = count_passes(plan);
    return c.chunk_runs + c.exchanges;
}

// Runs of the longest pieces with at most k - 3 pair qubits above 2: no
// plan has fewer, and the planner's has at most one exchange before, one
// between and two after them.
size_t fewest_runs(const Gates& gates, int k) {
    size_t runs = 0;
    for (size_t g = 0; g < gates.size(); ++runs) {
        uint64_t u = 0;
        while (g < gates.size() && std::popcount(u | (gates[g].pairs & ~uint64_t{7})) <= k - 3)
            u |= gates[g++].pairs & ~uint64_t{7};
    }
    return runs;
}

// One- and two-qubit pairs, controlled targets and diagonal gates on random
// qubits, never more than k - 3 pair qubits above 2.
Gates random_gates(int n, int k, size_t count, std::mt19937& rng) {
    std::uniform_int_distribution<int> qubit(0, n - 1), kind(0, 3);
    Gates gates;
    while (gates.size() < count) {
        const int a = qubit(rng), b = qubit(rng);
        const uint64_t ma = uint64_t{1} << a, mb = uint64_t{1} << b;
        switch (kind(rng)) {
            case 0: gates.push_back({ma, 0}); break;
            case 1:
                if (a == b || (k < 5 && a > 2 && b > 2)) continue;
                gates.push_back({ma | mb, 0});
                break;
            case 2: gates.push_back({ma, a == b ? 0 : mb}); break;
            default: gates.push_back({0, ma | mb}); break;
        }
    }
    return gates;
}

void expect_valid(const Gates& gates, int n, int k, const std::string& what) {
    const std::vector<PlanStep> plan = plan_chunk_passes(gates, n, k);
    EXPECT_EQ(validate(gates, n, k, plan), "") << what;
    EXPECT_LE(passes(plan), 2 * fewest_runs(gates, k) + 2) << what;
}

TEST(ChunkPlan, RandomCircuitsAreValid) {
    std::mt19937 rng(5);
    const std::pair<int, int> shapes[] = {{10, 6}, {11, 6}, {12, 6}, {13, 6}, {14, 6}, {9, 4},
                                          {14, 9}, {24, 16}, {26, 18}, {20, 19}};
    for (const auto& [n, k] : shapes)
        for (size_t count : {1, 7, 60, 300})
            for (int rep = 0; rep < 3; ++rep)
                expect_valid(random_gates(n, k, count, rng), n, k,
                             std::to_string(n) + " qubits, K " + std::to_string(k) + ", " + std::to_string(count));
}

TEST(ChunkPlan, EveryQubitAboveTheChunkInTurn) {
    // Eight qubits above K = 16 all fit at once: in, one run, out.
    Gates up;
    for (int q = 16; q < 24; ++q) up.push_back({uint64_t{1} << q, 0});
    const std::vector<PlanStep> plan = plan_chunk_passes(up, 24, 16);
    EXPECT_EQ(validate(up, 24, 16, plan), "");
    EXPECT_EQ(passes(plan), 3u);
    // Three slots for the qubits 3 .. 13, visited twice, each beside qubit 0.
    Gates turns;
    for (int rep = 0; rep < 2; ++rep)
        for (int q = 3; q < 14; ++q) turns.push_back({(uint64_t{1} << q) | 1, 0});
    expect_valid(turns, 14, 6, "in turn");
    const PlanCounts c = count_passes(plan_chunk_passes(turns, 14, 6));
    EXPECT_EQ(c.chunk_runs, fewest_runs(turns, 6));
}

TEST(ChunkPlan, OneRunWhenNothingLeavesTheChunk) {
    std::mt19937 rng(9);
    Gates diagonal, low;
    for (int g = 0; g < 50; ++g) {
        diagonal.push_back({0, (uint64_t{1} << (rng() % 24)) | (uint64_t{1} << (rng() % 24))});
        low.push_back({uint64_t{1} << (rng() % 16), uint64_t{1} << (rng() % 24)});
    }
    for (const Gates* gates : {&diagonal, &low}) {
        const std::vector<PlanStep> plan = plan_chunk_passes(*gates, 24, 16);
        ASSERT_EQ(plan.size(), 1u);
        EXPECT_TRUE(plan[0].kind == PlanStep::Kind::chunk_run && plan[0].first == 0 && plan[0].last == 50);
        EXPECT_EQ(validate(*gates, 24, 16, plan), "");
    }
    // Outside 3 < K < n: one run of every gate in the identity layout.
    const Gates high = {{uint64_t{1} << 9, 0}, {uint64_t{3} << 8, 0}};
    for (int k : {3, 10, 12}) {
        const std::vector<PlanStep> plan = plan_chunk_passes(high, 10, k);
        ASSERT_EQ(plan.size(), 1u) << k;
        EXPECT_TRUE(plan[0].first == 0 && plan[0].last == 2 && plan[0].layout == std::vector<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    }
    EXPECT_TRUE(plan_chunk_passes({}, 10, 6).empty());
}

TEST(ChunkPlan, GatesThatCannotFitThrow) {
    // K = 6 leaves three slots; qubits 0 .. 2 are always inside.
    EXPECT_NO_THROW(plan_chunk_passes({{0b111 | (uint64_t{7} << 7), 0}}, 12, 6));
    EXPECT_THROW(plan_chunk_passes({{uint64_t{15} << 7, 0}}, 12, 6), std::invalid_argument);
    EXPECT_THROW(plan_chunk_passes({{uint64_t{1} << 12, 0}}, 12, 6), std::invalid_argument);
    EXPECT_THROW(plan_chunk_passes({{1, uint64_t{1} << 13}}, 12, 6), std::invalid_argument);
}

// A 24-qubit circuit of 200 random gates (one-qubit on random qubits,
// two-qubit on random pairs): the pass counts, printed for K = 14 .. 18.
TEST(ChunkPlan, PassCountsOfRandomCircuit) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> qubit(0, 23);
    Gates gates;
    while (gates.size() < 200) {
        const int a = qubit(rng), b = qubit(rng);
        if (rng() % 2 == 0) gates.push_back({uint64_t{1} << a, 0});
        else if (a != b) gates.push_back({(uint64_t{1} << a) | (uint64_t{1} << b), 0});
    }
    for (int k = 14; k <= 18; ++k) {
        const std::vector<PlanStep> plan = plan_chunk_passes(gates, 24, k);
        EXPECT_EQ(validate(gates, 24, k, plan), "") << k;
        const PlanCounts c = count_passes(plan);
        std::printf("24 qubits, 200 gates, K %d: %zu runs + %zu exchanges = %zu passes (fewest runs %zu)\n", k,
                    c.chunk_runs, c.exchanges, c.chunk_runs + c.exchanges, fewest_runs(gates, k));
        EXPECT_LE(c.chunk_runs + c.exchanges, 2 * gates.size() + 2);
    }
}

}  // namespace

// Random Clifford builders: the instruction table, the exact draw sequence
// against an independent engine and a hand-written multiply-and-reject rule.
#include <gtest/gtest.h>
#include <pybind11/embed.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <tuple>

#include "clifford/clifford_builder.h"

namespace py = pybind11;

namespace {

// Lemire's multiply-and-reject over [lo, hi], written out independently;
// counts the rejected products so a test can show the loop ran.
int rejections = 0;
int lemire(std::mt19937& e, int lo, int hi) {
    const uint64_t s = uint64_t(hi) - uint64_t(lo) + 1;
    uint64_t x = uint64_t(uint32_t(e())) * s;
    if (uint32_t(x) < s) {
        const uint32_t t = uint32_t((uint64_t(1) << 32) - s) % uint32_t(s);
        for (; uint32_t(x) < t; ++rejections) x = uint64_t(uint32_t(e())) * s;
    }
    return lo + int(x >> 32);
}

// Name, targets and controls, for comparing instructions in one go.
auto key(const CircuitInstruction& ins) { return std::tie(ins.name, ins.targets, ins.controls); }

TEST(CliffordTables, ContentsAndMakeInstruction) {
    ASSERT_EQ(all_gate_names, (std::vector<std::string>{"cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"}));
    EXPECT_EQ(two_qubit_gate_names, (std::unordered_set<std::string>{"cx", "cz", "cy", "swap"}));
    for (const char* n : {"cx", "cz", "cy", "swap"}) EXPECT_TRUE(is_two_qubit_gate(n)) << n;
    for (const char* n : {"SWAP", "CX", "sdg", ""}) EXPECT_FALSE(is_two_qubit_gate(n)) << n;
    struct Case { std::string in; std::vector<int> qubits; std::string name; std::vector<int> targets, controls; };
    for (const Case& c : std::vector<Case>{
             {"swap", {4, 1, 7}, "SWAP", {4, 1, 7}, {}}, {"swap", {}, "SWAP", {}, {}}, {"cy", {3, 0}, "CY", {0}, {3}},
             {"cx", {2, 5, 9}, "CX", {5}, {2}}, {"cz", {1, 0}, "CZ", {0}, {1}}, {"sdg", {1, 2}, "SDG", {1}, {}},
             {"t", {1}, "SDG", {1}, {}}, {"CX", {1, 2}, "SDG", {1}, {}}, {"h", {0, 6}, "H", {0}, {}},
             {"x", {2}, "X", {2}, {}}, {"y", {2}, "Y", {2}, {}}, {"z", {2}, "Z", {2}, {}}, {"s", {2}, "S", {2}, {}}}) {
        const CircuitInstruction ins = make_instruction(c.in, c.qubits);
        EXPECT_EQ(key(ins), std::tie(c.name, c.targets, c.controls)) << c.in;
        EXPECT_FALSE(ins.parameterized);
    }
    // A short list is refused instead of read past its end.
    EXPECT_THROW(make_instruction("cx", {1}), std::invalid_argument);
    EXPECT_THROW(make_instruction("h", {}), std::invalid_argument);
}

TEST(CliffordBuilder, DrawSequenceMatchesIndependentEngine) {
    py::scoped_interpreter python;
    const std::vector<std::string> names = {"cx", "h", "swap", "s", "cz"};
    // 3 * 2^29 qubits: (2^32 - s) mod s is 2^30, so about a quarter of the
    // qubit draws are rejected at least once.  Qubit numbers are only stored.
    for (int seed : {0, 1, 12345}) {
        for (int n : {2, 3, 100, 3 << 29}) {
            const CircuitData c = build_random_clifford_data(n, 300, py::cast(names), seed);
            std::mt19937 e(static_cast<uint32_t>(seed));
            ASSERT_EQ(c.instructions.size(), 300u);
            for (const CircuitInstruction& ins : c.instructions) {
                const std::string& name = names[lemire(e, 0, 4)];
                std::vector<int> qubits = {lemire(e, 0, n - 1)};
                if (is_two_qubit_gate(name)) {
                    const int r = lemire(e, 0, n - 2);
                    qubits.push_back(r >= qubits[0] ? r + 1 : r);
                }
                ASSERT_EQ(key(ins), key(make_instruction(name, qubits)));
            }
        }
    }
    EXPECT_GT(rejections, 100);

    // "x", "h" on one qubit: instruction k is "H" exactly when the top bit of
    // engine output 2k-1 is set; output 2k is the qubit draw over one value.
    std::mt19937 e(42);
    const std::vector<std::string> xh = {"x", "h"};
    for (const CircuitInstruction& ins : build_random_clifford_data(1, 500, py::cast(xh), 42).instructions) {
        EXPECT_EQ(ins.name, (e() >> 31) ? "H" : "X");
        e();
        EXPECT_EQ(ins.targets, std::vector<int>{0});
    }
}

}  // namespace

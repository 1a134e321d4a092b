// Random Clifford builders: the instruction table, the exact draw sequence
// against an independent engine and a hand-written multiply-and-reject rule.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <cstdint>
#include <random>
#include <stdexcept>

#include "clifford/clifford_builder.h"

namespace py = pybind11;

namespace {

class CliffordTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { interpreter_ = new py::scoped_interpreter(); }
    static void TearDownTestSuite() {
        delete interpreter_;
        interpreter_ = nullptr;
    }
    static py::scoped_interpreter* interpreter_;
};
py::scoped_interpreter* CliffordTest::interpreter_ = nullptr;

// Lemire's multiply-and-reject over [lo, hi], written out independently;
// counts the rejected products so a test can show the loop ran.
int rejections = 0;
int lemire(std::mt19937& e, int lo, int hi) {
    const uint64_t s = uint64_t(hi) - uint64_t(lo) + 1;
    uint64_t x = uint64_t(uint32_t(e())) * s;
    uint32_t l = uint32_t(x);
    if (l < s) {
        const uint32_t t = uint32_t((uint64_t(1) << 32) - s) % uint32_t(s);
        while (l < t) {
            ++rejections;
            x = uint64_t(uint32_t(e())) * s;
            l = uint32_t(x);
        }
    }
    return lo + int(x >> 32);
}

py::list names_list(std::initializer_list<const char*> names) {
    py::list l;
    for (const char* n : names) l.append(n);
    return l;
}

TEST(CliffordTables, Contents) {
    ASSERT_EQ(all_gate_names, (std::vector<std::string>{"cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"}));
    EXPECT_EQ(two_qubit_gate_names.size(), 4u);
    for (const char* n : {"cx", "cz", "cy", "swap"}) EXPECT_TRUE(is_two_qubit_gate(n)) << n;
    for (const char* n : {"SWAP", "CX", "sdg", "h", ""}) EXPECT_FALSE(is_two_qubit_gate(n)) << n;
}

TEST(CliffordTables, MakeInstructionTable) {
    struct Case {
        std::string in;
        std::vector<int> qubits;
        std::string name;
        std::vector<int> targets, controls;
    };
    const std::vector<Case> cases = {
        {"swap", {4, 1, 7}, "SWAP", {4, 1, 7}, {}}, {"swap", {}, "SWAP", {}, {}},
        {"cy", {3, 0}, "CY", {0}, {3}},            {"cx", {2, 5, 9}, "CX", {5}, {2}},
        {"cz", {1, 0}, "CZ", {0}, {1}},            {"sdg", {1, 2}, "SDG", {1}, {}},
        {"t", {1, 2}, "SDG", {1}, {}},             {"CX", {1, 2}, "SDG", {1}, {}},
        {"", {3}, "SDG", {3}, {}},                 {"h", {0, 6}, "H", {0}, {}},
        {"x", {2}, "X", {2}, {}},                  {"y", {2}, "Y", {2}, {}},
        {"z", {2}, "Z", {2}, {}},                  {"s", {2}, "S", {2}, {}},
    };
    for (const Case& c : cases) {
        CircuitInstruction ins = make_instruction(c.in, c.qubits);
        EXPECT_EQ(ins.name, c.name) << c.in;
        EXPECT_EQ(ins.targets, c.targets) << c.in;
        EXPECT_EQ(ins.controls, c.controls) << c.in;
        EXPECT_FALSE(ins.parameterized);
        EXPECT_TRUE(ins.matrix.empty());
    }
    // A short list is refused instead of read past its end.
    EXPECT_THROW(make_instruction("cx", {1}), std::invalid_argument);
    EXPECT_THROW(make_instruction("h", {}), std::invalid_argument);
}

TEST_F(CliffordTest, DrawSequenceMatchesIndependentEngine) {
    const py::list gates = names_list({"cx", "h", "swap", "s", "cz"});
    // 3 * 2^29 qubits: (2^32 - s) mod s is 2^30, so about a quarter of the
    // qubit draws are rejected at least once.  Qubit numbers are only stored.
    rejections = 0;
    for (int seed : {0, 1, 12345}) {
        for (int n : {2, 3, 7, 100, 3 << 29}) {
            const CircuitData c = build_random_clifford_data(n, 300, gates, seed);
            std::mt19937 e(static_cast<uint32_t>(seed));
            const std::vector<std::string> names = {"cx", "h", "swap", "s", "cz"};
            ASSERT_EQ(c.instructions.size(), 300u);
            for (const CircuitInstruction& ins : c.instructions) {
                const std::string& name = names[lemire(e, 0, 4)];
                CircuitInstruction want;
                if (is_two_qubit_gate(name)) {
                    const int q0 = lemire(e, 0, n - 1);
                    const int r = lemire(e, 0, n - 2);
                    want = make_instruction(name, {q0, r >= q0 ? r + 1 : r});
                } else {
                    want = make_instruction(name, {lemire(e, 0, n - 1)});
                }
                ASSERT_EQ(ins.name, want.name);
                ASSERT_EQ(ins.targets, want.targets);
                ASSERT_EQ(ins.controls, want.controls);
                if (!ins.controls.empty()) {
                    ASSERT_NE(ins.controls[0], ins.targets[0]);
                }
                if (ins.name == "SWAP") {
                    ASSERT_NE(ins.targets[0], ins.targets[1]);
                }
            }
        }
    }
    EXPECT_GT(rejections, 100);
}

TEST_F(CliffordTest, XHOnOneQubitFollowsTopBitOfOddOutputs) {
    const CircuitData c = build_random_clifford_data(1, 500, names_list({"x", "h"}), 42);
    std::mt19937 e(42);
    for (const CircuitInstruction& ins : c.instructions) {
        const uint32_t gate_output = e();  // output 2k-1
        e();                               // the qubit draw over one value
        EXPECT_EQ(ins.name, (gate_output >> 31) ? "H" : "X");
        EXPECT_EQ(ins.targets, std::vector<int>{0});
    }
}

}  // namespace

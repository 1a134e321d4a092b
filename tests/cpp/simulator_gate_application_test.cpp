// Gate vocabulary, gate application (errors, bad qubits, parameter sets, the matrix cache) and the
// number of parameter sets.  States of every gate are compared with NumPy in tests/python/test_brenvik.py.
#include <gtest/gtest.h>

#include <complex>
#include <string>
#include <vector>

#include "simulator/batch_size.h"
#include "simulator/gate_application.h"
#include "tests/cpp/error_text.h"

namespace {

using C = std::complex<double>;
using Dense = std::vector<C>;

CircuitInstruction make(std::string name, std::vector<int> targets, std::vector<int> controls = {},
                        std::vector<double> params = {}, bool dagger = false, std::string ctrl_state = "") {
    CircuitInstruction ins;
    ins.name = std::move(name), ins.targets = std::move(targets), ins.controls = std::move(controls);
    ins.params = std::move(params), ins.dagger = dagger, ins.ctrl_state = std::move(ctrl_state);
    return ins;
}

// Applies `ins` (parameter set `batch`) to a fixed entangled 4-qubit state and
// returns the state, read back also when the instruction is rejected, and the error.
std::pair<Dense, std::string> apply(const CircuitInstruction& ins, int batch = 0, GateMatrixCache* cache = nullptr) {
    StateVector<double> sv(4);
    GateMatrixCache own;
    for (int q = 0; q < 4; ++q) apply_gate_single_batch(sv, make("U3", {q}, {}, {0.3 + q, 0.7 * q, 1.1}), own, 0);
    apply_gate_single_batch(sv, make("CX", {0, 2}), own, 0);
    apply_gate_single_batch(sv, make("CX", {3, 1}), own, 0);
    const std::string error = error_text([&] { apply_gate_single_batch(sv, ins, cache ? *cache : own, batch); });
    Dense state;
    for (uint64_t i = 0; i < sv.dim; ++i) state.emplace_back(sv.real[i], sv.imag[i]);
    return {state, error};
}

Dense state_after(const CircuitInstruction& ins, int batch = 0) { return apply(ins, batch).first; }

const Dense start = state_after(make("BARRIER", {}));

}  // namespace

// Entries are checked numerically against the NumPy reference in Python; here
// what a tolerance cannot see: counts, unitarity, exact bits and messages.
TEST(GateLibrary, CountsUnitarityExactEntriesAndErrors) {
    const std::pair<int, std::vector<const char*>> counts[] = {
        {1, {"RX", "RY", "RZ", "P", "U1", "CRX", "CRY", "CRZ", "CP", "CU1", "ISINGZZ", "IZZ", "RXX", "RYY", "RZZ"}},
        {2, {"R", "U2", "CU2"}}, {3, {"U3", "U", "CU3"}}, {4, {"CU"}}, {0, {"H", "CX", "SWAP", "rx", "", "IsingZZ"}}};
    for (const auto& [count, names] : counts)
        for (const char* name : names) EXPECT_EQ(gate_param_count(name), count) << name;
    for (const char* name : {"I", "ID", "H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "SX", "SY", "RX", "RY", "RZ",
                             "P", "U1", "R", "U2", "U3", "U", "SWAP", "ISWAP", "RZZ", "ISINGZZ", "IZZ", "RXX", "RYY",
                             "CX", "CNOT", "CY", "CZ", "CH", "CCX", "TOFFOLI", "CSWAP", "CRX", "CRY", "CRZ", "CP",
                             "CU1", "CU2", "CU3", "CU"}) {
        const GateMatrix m = controlled_base_matrix(name, {0.7, -1.3, 2.1, 0.4}), md = dagger_matrix(m);
        const int d = m.size() == 16 ? 4 : 2;
        ASSERT_EQ(m.size(), size_t(d * d)) << name;
        for (int i = 0; i < d * d; ++i) {  // m m^dagger = 1
            C sum = 0;
            for (int k = 0; k < d; ++k) sum += m[i / d * d + k] * md[k * d + i % d];
            EXPECT_LT(std::abs(sum - C(i / d == i % d)), 1e-15) << name;
        }
    }
    const double h = 0.7071067811865475;  // the stored h, not the rounded-up 0.7071067811865476
    EXPECT_EQ(gate_matrix("H", {}), (GateMatrix{h, h, h, -h}));
    EXPECT_EQ(gate_matrix("U2", {0, 0}), (GateMatrix{h, -h, h, h}));
    EXPECT_TRUE(gate_matrix("T", {})[3] == C(h, h) && gate_matrix("TDG", {})[3] == C(h, -h));
    EXPECT_EQ(gate_matrix("RX", {}), (GateMatrix{1, 0, 0, 1}));                // missing parameters read 0
    EXPECT_EQ(gate_matrix("RZ", {0.3, 9.0}), gate_matrix("RZ", {0.3}));  // extras are ignored
    EXPECT_EQ(controlled_base_matrix("CRZ", {0.3}), gate_matrix("RZ", {0.3}));
    for (const char* name : {"Tdg", "cx", "CX"})  // exact case; controlled names only with their base
        EXPECT_EQ(error_text([&] { gate_matrix(name, {}); }), std::string("Unknown gate: ") + name);
    EXPECT_EQ(error_text([] { controlled_base_matrix("measure", {}); }), "Unknown gate: measure");
    EXPECT_EQ(error_text([] { dagger_matrix(GateMatrix(3)); }), "dagger_matrix: matrix is not square");
}

TEST(GateApplication, SkippedNamesAndExactErrors) {
    for (const char* g : {"BARRIER", "MEASURE", "RESET", "QIF", "QWHILE"})  // qubits are never looked at
        EXPECT_TRUE(state_after(make(g, {0}, {1}, {}, false, "0")) == start && state_after(make(g, {7}, {9})) == start);
    const std::string pre = "apply_gate_single_batch: unsupported configuration for gate ";
    const std::pair<CircuitInstruction, std::string> errors[] = {
        {make("measure", {0}), "Unknown gate: measure"},
        {make("Tdg", {0}, {}, {}, true), "Unknown gate: Tdg"},  // "Tdg" only on the fast path
        {make("CX", {0, 1}, {}, {}, true), pre + "CX (targets=2, ctrls=0, matrix_size=4)"},
        {make("RZZ", {1}, {}, {0.2}), pre + "RZZ (targets=1, ctrls=0, matrix_size=16)"},
        {make("CSWAP", {0, 1, 2}), pre + "CSWAP (targets=3, ctrls=0, matrix_size=16)"},
        {make("SWAP", {0}, {1, 2}), pre + "SWAP (targets=1, ctrls=2, matrix_size=16)"},
        {make("H", {0, 1}, {2}), pre + "H (targets=2, ctrls=1, matrix_size=4)"}};
    for (const auto& [ins, message] : errors) EXPECT_EQ(apply(ins).second, message);
}

TEST(GateApplication, BadQubitsRejectedBeforeAnyKernel) {
    // Out of range on either side, in any target or control, after open
    // controls, a shift-sized index, and a target repeated under a control.
    const CircuitInstruction bad[] = {
        make("X", {4}), make("H", {-1}), make("CX", {0}, {4}), make("RX", {1}, {0, 2, 7}, {0.1}),
        make("CX", {1}, {2, 3, -2}, {}, false, "000"), make("RZZ", {1, 99}, {2}, {0.1}), make("CCX", {0}, {1, 31}),
        make("RXX", {2, 2}, {0, 1}, {0.3}, false, "00")};
    for (const CircuitInstruction& ins : bad) {
        const auto [state, error] = apply(ins);
        EXPECT_TRUE(error.starts_with(ins.name + ": qubit ") && error.find("4 qubit(s)") != std::string::npos) << error;
        EXPECT_EQ(state, start) << ins.name;  // untouched, open-control flips included
    }
}

TEST(GateApplication, ParameterSlices) {
    const CircuitInstruction rz = make("RZ", {0}, {}, {0.1, 0.2, 0.3}), u3 = make("U3", {1}, {}, {0.4, 0.5, 0.6});
    for (const auto& [b, angle] : {std::pair{0, 0.1}, {1, 0.2}, {2, 0.3}, {3, 0.1}, {100, 0.1}})
        EXPECT_EQ(state_after(rz, b), state_after(make("RZ", {0}, {}, {angle}))) << b;
    EXPECT_EQ(state_after(u3, 5), state_after(u3, 0));
    EXPECT_EQ(state_after(make("H", {0}, {}, {0.5})), state_after(make("H", {0})));
    CircuitInstruction single = make("RY", {1});
    single.params = 0.7;
    EXPECT_EQ(state_after(single, 3), state_after(make("RY", {1}, {}, {0.7})));
}

TEST(GateApplication, CacheEntriesAndHash) {
    GateMatrixCache cache;
    const CircuitInstruction u = make("U3", {1}, {0}, {0.3, 0.1, 0.2}, true, "0");
    const std::pair<CircuitInstruction, size_t> steps[] = {
        {make("RZ", {0}, {}, {0.4}), 1}, {make("RZ", {0}, {}, {0.4}), 1},
        {make("RZ", {1}, {}, {0.4}), 1},  // targets are not in the key
        {make("RZ", {0}, {2}, {0.4}), 2}, {make("RZ", {0}, {2}, {0.4}, false, "1"), 3}, {u, 4}, {u, 4},
        {make("X", {0}), 4},  // fixed gates build no matrix
        {make("NOPE", {0}), 4}, {make("RZZ", {0}, {}, {0.1}), 5}};  // kept although it fails the size rule
    for (const auto& [ins, size] : steps) {
        const auto [state, error] = apply(ins, 0, &cache);
        EXPECT_EQ(error.empty(), ins.name != "NOPE" && ins.name != "RZZ") << ins.name;
        EXPECT_EQ(state, state_after(ins)) << ins.name;  // a hit acts as a fresh matrix
        EXPECT_EQ(cache.size(), size) << ins.name;
    }
    const GateMatrixKey key{"RZ", {0.5, -0.0}, {3, -1}, true, "01"};
    uint64_t h = std::hash<std::string>{}("RZ");
    for (uint64_t v : {uint64_t(std::hash<double>{}(0.5)), uint64_t{0}, uint64_t{3}, uint64_t{0xffffffff},
                       uint64_t{1}, uint64_t(std::hash<std::string>{}("01"))})
        h ^= v + 0x9e3779b9ull + (h << 6) + (h >> 2);
    EXPECT_EQ(GateMatrixKeyHash{}(key), h);
    GateMatrixKey other = key;
    other.params[1] = 0.0;  // -0.0 == 0.0: equal keys, equal hashes
    EXPECT_TRUE(other == key && GateMatrixKeyHash{}(other) == h);
}

// The tensor path runs with real torch tensors in test_brenvik.py.
TEST(CircuitBatchSize, InstructionAndShapePaths) {
    const auto flagged = [](std::string name, std::vector<double> params) {
        CircuitInstruction ins = make(std::move(name), {0}, {}, std::move(params));
        ins.parameterized = true;
        return ins;
    };
    CircuitInstruction single = flagged("RX", {});
    single.params = 0.5;
    // The first flagged instruction decides, against the count of the first
    // flagged gate that takes parameters.
    const std::pair<std::vector<CircuitInstruction>, int> circuits[] = {
        {{}, 0}, {{single}, 0}, {{flagged("H", {1, 2, 3, 4})}, 0}, {{flagged("RX", {1, 2, 3, 4, 5, 6})}, 6},
        {{flagged("U3", {1, 2, 3, 4, 5, 6})}, 2}, {{flagged("U3", {1, 2, 3, 4, 5, 6, 7})}, 0},
        {{flagged("U3", {1, 2, 3})}, 0}, {{flagged("H", {}), flagged("RX", {1, 2, 3, 4})}, 0},
        {{make("RX", {0}, {}, {1, 2, 3}), flagged("RX", {1, 2, 3, 4})}, 4}};
    for (size_t i = 0; i < std::size(circuits); ++i) {
        CircuitData c(2);
        c.instructions = circuits[i].first;
        EXPECT_EQ(circuit_batch_size(c), circuits[i].second) << "circuit " << i;
    }
    CircuitData shaped(2);
    shaped.instructions = {flagged("RX", {}), flagged("U2", {})};
    shaped.use_parameter_tensor = true;
    int storage = 0;
    const std::tuple<void*, std::vector<int64_t>, int> shapes[] = {
        {&storage, {5, 12}, 6}, {&storage, {5, 12, 2}, 12}, {&storage, {12}, 0},   {&storage, {5, 2}, 0},
        {&storage, {5, 7}, 0},  {&storage, {5, 12, 1, 1}, 6}, {&storage, {}, 0}, {nullptr, {5, 12}, 0}};
    for (const auto& [buffer, shape, want] : shapes) {
        shaped.parameter_buffer = buffer;
        shaped.parameter_shape = shape;
        EXPECT_EQ(circuit_batch_size(shaped), want) << testing::PrintToString(shape) << " " << buffer;
    }
}

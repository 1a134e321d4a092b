// Gate vocabulary, gate application (errors, bad qubits, parameter sets, the
// matrix cache) and the number of parameter sets of a circuit.  States of
// every gate and choice-table row are compared against the NumPy reference in
// tests/python/test_brenvik.py.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "simulator/batch_size.h"
#include "simulator/gate_application.h"

namespace {

using C = std::complex<double>;
using Dense = std::vector<C>;

CircuitInstruction make(std::string name, std::vector<int> targets, std::vector<int> controls = {},
                        std::vector<double> params = {}, bool dagger = false, std::string ctrl_state = "") {
    CircuitInstruction ins;
    ins.name = std::move(name);
    ins.targets = std::move(targets);
    ins.controls = std::move(controls);
    ins.params = std::move(params);
    ins.dagger = dagger;
    ins.ctrl_state = std::move(ctrl_state);
    return ins;
}

template <typename F>
std::string error_text(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

bool same_bits(const GateMatrix& a, const GateMatrix& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(C)) == 0;
}

struct Outcome {
    Dense state;
    std::string error;
};

// Applies `ins` (parameter set `batch`) to a fixed entangled 4-qubit state;
// the state is read back even when the instruction is rejected.
Outcome apply(const CircuitInstruction& ins, int batch = 0, GateMatrixCache* cache = nullptr) {
    StateVector<double> sv(4);
    GateMatrixCache own;
    for (int q = 0; q < 4; ++q) apply_gate_single_batch(sv, make("U3", {q}, {}, {0.3 + q, 0.7 * q, 1.1}), own, 0);
    apply_gate_single_batch(sv, make("CX", {0, 2}), own, 0);
    apply_gate_single_batch(sv, make("CX", {3, 1}), own, 0);
    Outcome out;
    out.error = error_text([&] { apply_gate_single_batch(sv, ins, cache ? *cache : own, batch); });
    for (uint64_t i = 0; i < sv.dim; ++i) out.state.emplace_back(sv.real[i], sv.imag[i]);
    return out;
}

const Dense start = apply(make("BARRIER", {})).state;

}  // namespace

// Entries are checked numerically against the NumPy reference in Python; here
// what a tolerance cannot see: counts, unitarity, exact bits and messages.
TEST(GateLibrary, CountsUnitarityExactEntriesAndErrors) {
    const std::pair<const char*, int> counts[] = {
        {"RX", 1}, {"RY", 1}, {"RZ", 1}, {"P", 1}, {"U1", 1}, {"CRX", 1}, {"CRY", 1}, {"CRZ", 1},
        {"CP", 1}, {"CU1", 1}, {"ISINGZZ", 1}, {"IZZ", 1}, {"RXX", 1}, {"RYY", 1}, {"RZZ", 1},
        {"R", 2}, {"U2", 2}, {"CU2", 2}, {"U3", 3}, {"U", 3}, {"CU3", 3}, {"CU", 4},
        {"H", 0}, {"CX", 0}, {"SWAP", 0}, {"rx", 0}, {"", 0}, {"IsingZZ", 0}};
    for (const auto& [name, count] : counts) EXPECT_EQ(gate_param_count(name), count) << name;
    for (const char* name : {"I", "ID", "H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "SX", "SY", "RX", "RY", "RZ",
                             "P", "U1", "R", "U2", "U3", "U", "SWAP", "ISWAP", "RZZ", "ISINGZZ", "IZZ", "RXX", "RYY",
                             "CX", "CNOT", "CY", "CZ", "CH", "CCX", "TOFFOLI", "CSWAP", "CRX", "CRY", "CRZ", "CP",
                             "CU1", "CU2", "CU3", "CU"}) {
        const GateMatrix m = controlled_base_matrix(name, {0.7, -1.3, 2.1, 0.4});
        ASSERT_TRUE(m.size() == 4 || m.size() == 16) << name;
        const int d = m.size() == 16 ? 4 : 2;
        for (int i = 0; i < d; ++i)
            for (int j = 0; j < d; ++j) {
                C sum = 0;
                for (int k = 0; k < d; ++k) sum += m[i * d + k] * std::conj(m[j * d + k]);
                EXPECT_LT(std::abs(sum - C(i == j)), 1e-15) << name;
            }
        EXPECT_TRUE(same_bits(dagger_matrix(dagger_matrix(m)), m)) << name;
    }
    const double h = 0.7071067811865475;  // the stored h, not the rounded-up 0.7071067811865476
    const GateMatrix H = gate_matrix("H", {});
    EXPECT_EQ(H[0].real(), h);
    EXPECT_EQ(H[3].real(), -h);
    EXPECT_EQ(gate_matrix("U2", {0, 0}), (GateMatrix{h, -h, h, h}));
    EXPECT_EQ(gate_matrix("T", {})[3], C(h, h));
    EXPECT_EQ(gate_matrix("TDG", {})[3], C(h, -h));
    EXPECT_EQ(gate_matrix("RX", {}), (GateMatrix{1, 0, 0, 1}));  // missing parameters read 0.0
    EXPECT_TRUE(same_bits(gate_matrix("RZ", {0.3, 9.0}), gate_matrix("RZ", {0.3})));  // extras are ignored
    EXPECT_TRUE(same_bits(controlled_base_matrix("CRZ", {0.3}), gate_matrix("RZ", {0.3})));
    for (const char* name : {"Tdg", "cx", "CX"})  // exact case; controlled names only with their base
        EXPECT_EQ(error_text([&] { gate_matrix(name, {}); }), std::string("Unknown gate: ") + name);
    EXPECT_EQ(error_text([] { controlled_base_matrix("measure", {}); }), "Unknown gate: measure");
    EXPECT_EQ(error_text([] { dagger_matrix(GateMatrix(3)); }), "dagger_matrix: matrix is not square");
}

TEST(GateApplication, SkippedNamesAndExactErrors) {
    for (const char* g : {"BARRIER", "MEASURE", "RESET", "QIF", "QWHILE"}) {
        EXPECT_EQ(apply(make(g, {0}, {1}, {}, false, "0")).state, start) << g;
        EXPECT_EQ(apply(make(g, {7}, {9})).state, start) << g;  // qubits are never looked at
    }
    const std::string pre = "apply_gate_single_batch: unsupported configuration for gate ";
    const std::pair<CircuitInstruction, std::string> errors[] = {
        {make("measure", {0}), "Unknown gate: measure"},
        {make("Tdg", {0}, {}, {}, true), "Unknown gate: Tdg"},  // "Tdg" only on the fast path
        {make("Tdg", {0}, {1}), "Unknown gate: Tdg"},
        {make("tdg", {0}), "Unknown gate: tdg"},
        {make("CX", {0, 1}, {}, {}, true), pre + "CX (targets=2, ctrls=0, matrix_size=4)"},
        {make("RZZ", {1}, {}, {0.2}), pre + "RZZ (targets=1, ctrls=0, matrix_size=16)"},
        {make("CSWAP", {0, 1, 2}), pre + "CSWAP (targets=3, ctrls=0, matrix_size=16)"},
        {make("H", {}), pre + "H (targets=0, ctrls=0, matrix_size=4)"},
        {make("SWAP", {0}, {1, 2}), pre + "SWAP (targets=1, ctrls=2, matrix_size=16)"},
        {make("H", {0, 1}, {2}), pre + "H (targets=2, ctrls=1, matrix_size=4)"}};
    for (const auto& [ins, message] : errors) EXPECT_EQ(apply(ins).error, message);
}

TEST(GateApplication, BadQubitsRejectedBeforeAnyKernel) {
    const CircuitInstruction bad[] = {
        make("X", {4}), make("H", {-1}), make("CX", {0, 9}), make("SWAP", {5, 5}), make("CX", {0}, {4}),
        make("RX", {1}, {0, 2, 7}, {0.1}), make("X", {1}, {6}, {}, false, "0"),
        make("CX", {1}, {2, 3, -2}, {}, false, "000"), make("RZZ", {1, 99}, {2}, {0.1}),
        make("CCX", {0}, {1, 31}), make("RXX", {2, 2}, {0, 1}, {0.3}, false, "00")};
    for (const CircuitInstruction& ins : bad) {
        const Outcome out = apply(ins);
        EXPECT_NE(out.error.find(ins.name + ": qubit "), std::string::npos) << out.error;
        EXPECT_NE(out.error.find("4 qubit"), std::string::npos) << out.error;
        EXPECT_EQ(out.state, start) << ins.name;  // untouched, open-control flips included
    }
}

TEST(GateApplication, ParameterSlices) {
    const CircuitInstruction rz = make("RZ", {0}, {}, {0.1, 0.2, 0.3});
    const std::pair<int, double> sets[] = {{0, 0.1}, {1, 0.2}, {2, 0.3}, {3, 0.1}, {100, 0.1}};
    for (const auto& [b, angle] : sets) EXPECT_EQ(apply(rz, b).state, apply(make("RZ", {0}, {}, {angle})).state) << b;
    const CircuitInstruction u3 = make("U3", {1}, {}, {0.4, 0.5, 0.6});
    EXPECT_EQ(apply(u3, 5).state, apply(u3, 0).state);
    EXPECT_EQ(apply(make("H", {0}, {}, {0.5})).state, apply(make("H", {0})).state);
    CircuitInstruction single = make("RY", {1});
    single.params = 0.7;
    EXPECT_EQ(apply(single, 3).state, apply(make("RY", {1}, {}, {0.7})).state);
}

TEST(GateApplication, CacheEntriesAndHash) {
    GateMatrixCache cache;
    const std::pair<CircuitInstruction, size_t> steps[] = {
        {make("RZ", {0}, {}, {0.4}), 1}, {make("RZ", {0}, {}, {0.4}), 1},
        {make("RZ", {1}, {}, {0.4}), 1},  // targets are not in the key
        {make("RZ", {0}, {2}, {0.4}), 2}, {make("RZ", {0}, {2}, {0.4}, false, "1"), 3},
        {make("X", {0}), 3},  // fixed gates build no matrix
        {make("NOPE", {0}), 3}, {make("RZZ", {0}, {}, {0.1}), 4}};  // kept although it fails the size rule
    for (const auto& [ins, size] : steps) {
        EXPECT_EQ(apply(ins, 0, &cache).error.empty(), ins.name != "NOPE" && ins.name != "RZZ") << ins.name;
        EXPECT_EQ(cache.size(), size) << ins.name;
    }
    // A cache hit gives the same state as a fresh matrix.
    const CircuitInstruction u = make("U3", {1}, {0}, {0.3, 0.1, 0.2}, true, "0");
    GateMatrixCache shared;
    apply(u, 0, &shared);
    EXPECT_EQ(apply(u, 0, &shared).state, apply(u).state);

    const GateMatrixKey key{"RZ", {0.5, -0.0}, {3, -1}, true, "01"};
    uint64_t h = std::hash<std::string>{}("RZ");
    for (uint64_t v : {uint64_t(std::hash<double>{}(0.5)), uint64_t{0}, uint64_t{3}, uint64_t{0xffffffff},
                       uint64_t{1}, uint64_t(std::hash<std::string>{}("01"))})
        h ^= v + 0x9e3779b9ull + (h << 6) + (h >> 2);
    EXPECT_EQ(GateMatrixKeyHash{}(key), h);
    GateMatrixKey other = key;
    other.params[1] = 0.0;  // -0.0 == 0.0: equal keys, equal hashes
    EXPECT_TRUE(other == key);
    EXPECT_EQ(GateMatrixKeyHash{}(other), h);
}

// The tensor path runs with real torch tensors in test_brenvik.py.
TEST(CircuitBatchSize, InstructionAndShapePaths) {
    auto flagged = [](std::string name, std::vector<double> params) {
        CircuitInstruction i = make(std::move(name), {0}, {}, std::move(params));
        i.parameterized = true;
        return i;
    };
    auto sets = [](std::vector<CircuitInstruction> ins) {
        CircuitData c(2);
        c.instructions = std::move(ins);
        return circuit_batch_size(c);
    };
    CircuitInstruction single = flagged("RX", {});
    single.params = 0.5;
    EXPECT_EQ(sets({}), 0);
    EXPECT_EQ(sets({single}), 0);
    EXPECT_EQ(sets({flagged("H", {1, 2, 3, 4})}), 0);
    EXPECT_EQ(sets({flagged("RX", {1})}), 0);
    EXPECT_EQ(sets({flagged("RX", {1, 2, 3, 4, 5, 6})}), 6);
    EXPECT_EQ(sets({flagged("U3", {1, 2, 3, 4, 5, 6})}), 2);
    EXPECT_EQ(sets({flagged("U3", {1, 2, 3, 4, 5, 6, 7})}), 0);
    EXPECT_EQ(sets({flagged("U3", {1, 2, 3})}), 0);
    EXPECT_EQ(sets({flagged("H", {}), flagged("RX", {1, 2, 3, 4})}), 0);
    EXPECT_EQ(sets({make("RX", {0}, {}, {1, 2, 3}), flagged("RX", {1, 2, 3, 4})}), 4);

    CircuitData shaped(2);
    shaped.instructions = {flagged("RX", {}), flagged("U2", {})};
    shaped.use_parameter_tensor = true;
    int storage = 0;
    shaped.parameter_buffer = &storage;
    const std::pair<std::vector<int64_t>, int> shapes[] = {
        {{5, 12}, 6}, {{5, 12, 2}, 12}, {{12}, 0}, {{5, 2}, 0}, {{5, 7}, 0}, {{5, 12, 1, 1}, 6}, {{}, 0}};
    for (const auto& [shape, want] : shapes) {
        shaped.parameter_shape = shape;
        EXPECT_EQ(circuit_batch_size(shaped), want) << shape.size();
    }
    shaped.parameter_buffer = nullptr;
    shaped.parameter_shape = {5, 12};
    EXPECT_EQ(circuit_batch_size(shaped), 0);
}

#include <gtest/gtest.h>

#include <complex>
#include <random>
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

Dense random_state(int n, unsigned seed) {
    std::mt19937 g(seed);
    std::normal_distribution<double> d;
    Dense s(size_t{1} << n);
    double norm = 0;
    for (auto& a : s) {
        a = C(d(g), d(g));
        norm += std::norm(a);
    }
    for (auto& a : s) a /= std::sqrt(norm);
    return s;
}

template <typename T>
void load(StateVector<T>& sv, const Dense& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        sv.real[i] = static_cast<T>(s[i].real());
        sv.imag[i] = static_cast<T>(s[i].imag());
    }
}

template <typename T>
Dense read(const StateVector<T>& sv) {
    Dense s(sv.dim);
    for (size_t i = 0; i < s.size(); ++i) s[i] = C(sv.real[i], sv.imag[i]);
    return s;
}

// Dense reference: U (row-major, index bit j = targets[j]) on `targets`,
// acting where every control reads its active value.
Dense apply_dense(const Dense& in, const GateMatrix& u, const std::vector<int>& targets,
                  const std::vector<int>& controls = {}, const std::vector<int>& active = {}) {
    const size_t k = targets.size(), d = size_t{1} << k;
    Dense out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        bool on = true;
        for (size_t c = 0; c < controls.size(); ++c)
            on = on && (((i >> controls[c]) & 1u) == static_cast<size_t>(active.empty() ? 1 : active[c]));
        if (!on) {
            out[i] = in[i];
            continue;
        }
        size_t row = 0, base = i;
        for (size_t j = 0; j < k; ++j) {
            row |= ((i >> targets[j]) & 1u) << j;
            base &= ~(size_t{1} << targets[j]);
        }
        C sum = 0;
        for (size_t col = 0; col < d; ++col) {
            size_t src = base;
            for (size_t j = 0; j < k; ++j) src |= ((col >> j) & 1u) << targets[j];
            sum += u[row * d + col] * in[src];
        }
        out[i] = sum;
    }
    return out;
}

double distance(const Dense& a, const Dense& b) {
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

template <typename T>
Dense run_on(const Dense& start, int n, const CircuitInstruction& ins, int batch = 0) {
    StateVector<T> sv(n);
    load(sv, start);
    GateMatrixCache cache;
    apply_gate_single_batch(sv, ins, cache, batch);
    return read(sv);
}

std::string error_of(int n, const CircuitInstruction& ins, Dense* after = nullptr) {
    StateVector<double> sv(n);
    const Dense start = random_state(n, 5);
    load(sv, start);
    GateMatrixCache cache;
    std::string what;
    try {
        apply_gate_single_batch(sv, ins, cache, 0);
    } catch (const std::runtime_error& e) {
        what = e.what();
    }
    if (after) *after = read(sv);
    return what;
}

struct Case {
    CircuitInstruction ins;
    GateMatrix u;
    std::vector<int> targets, controls, active;
};

std::vector<Case> every_row() {
    const GateMatrix X = gate_matrix("X", {}), Z = gate_matrix("Z", {});
    std::vector<Case> cases;
    for (const char* g : {"X", "Y", "Z", "H", "S", "SDG", "T", "TDG", "SX", "SY", "I"})
        cases.push_back({make(g, {2}), gate_matrix(g, {}), {2}, {}, {}});
    cases.push_back({make("Tdg", {1}), gate_matrix("TDG", {}), {1}, {}, {}});
    cases.push_back({make("H", {3}, {}, {}, true), gate_matrix("H", {}), {3}, {}, {}});
    cases.push_back({make("S", {0}, {}, {}, true), gate_matrix("SDG", {}), {0}, {}, {}});
    cases.push_back({make("U3", {4}, {}, {0.3, 0.2, -0.9}), gate_matrix("U3", {0.3, 0.2, -0.9}), {4}, {}, {}});
    cases.push_back({make("CX", {3, 1}), X, {1}, {3}, {1}});
    cases.push_back({make("CNOT", {0, 4}), X, {4}, {0}, {1}});
    cases.push_back({make("CZ", {2, 0}), Z, {0}, {2}, {1}});
    cases.push_back({make("SWAP", {4, 1}), gate_matrix("SWAP", {}), {1, 4}, {}, {}});
    cases.push_back({make("RXX", {3, 0}, {}, {0.4}), gate_matrix("RXX", {0.4}), {3, 0}, {}, {}});
    cases.push_back({make("ISWAP", {1, 3}), gate_matrix("ISWAP", {}), {1, 3}, {}, {}});
    cases.push_back({make("CX", {1}, {4}), X, {1}, {4}, {1}});
    cases.push_back({make("CZ", {1}, {4}), Z, {1}, {4}, {1}});
    cases.push_back({make("CRY", {0}, {2}, {1.1}), gate_matrix("RY", {1.1}), {0}, {2}, {1}});
    cases.push_back({make("CX", {0}, {2}, {}, true), X, {0}, {2}, {1}});
    cases.push_back({make("CCX", {0}, {2, 4}), X, {0}, {2, 4}, {1, 1}});
    cases.push_back({make("TOFFOLI", {4}, {1, 0}), X, {4}, {1, 0}, {1, 1}});
    cases.push_back({make("CCX", {0}, {2, 4}, {}, true), X, {0}, {2, 4}, {1, 1}});
    cases.push_back({make("RX", {1}, {0, 3, 4}, {0.8}), gate_matrix("RX", {0.8}), {1}, {0, 3, 4}, {1, 1, 1}});
    cases.push_back({make("CSWAP", {3, 1}, {0}), gate_matrix("SWAP", {}), {3, 1}, {0}, {1}});
    cases.push_back(
        {make("RYY", {4, 1}, {0, 2}, {0.5}), gate_matrix("RYY", {0.5}), {4, 1}, {0, 2}, {1, 1}});
    cases.push_back({make("CU", {1}, {2}, {0.5, 0.1, 0.2, 0.3}), controlled_base_matrix("CU", {0.5, 0.1, 0.2, 0.3}),
                     {1}, {2}, {1}});
    cases.push_back({make("U2", {3}, {0}, {0.5, 0.1}, true), dagger_matrix(gate_matrix("U2", {0.5, 0.1})), {3},
                     {0}, {1}});
    // Open controls.
    cases.push_back({make("CX", {0}, {3}, {}, false, "0"), X, {0}, {3}, {0}});
    cases.push_back({make("RX", {2}, {0, 4}, {0.3}, false, "0"), gate_matrix("RX", {0.3}), {2}, {0, 4}, {0, 1}});
    cases.push_back({make("CCX", {2}, {0, 4}, {}, false, "10"), X, {2}, {0, 4}, {1, 0}});
    cases.push_back({make("CH", {2}, {1}, {}, false, "000"), gate_matrix("H", {}), {2}, {1}, {0}});
    cases.push_back({make("CX", {1, 3}, {}, {}, false, "0"), X, {3}, {1}, {1}});
    cases.push_back({make("RZZ", {0, 3}, {2}, {0.9}, true, "0"), dagger_matrix(gate_matrix("RZZ", {0.9})), {0, 3},
                     {2}, {0}});
    return cases;
}

}  // namespace

TEST(GateApplication, EveryRowMatchesDenseReference) {
    const int n = 5;
    const Dense start = random_state(n, 11);
    for (const Case& c : every_row()) {
        const Dense want = apply_dense(start, c.u, c.targets, c.controls, c.active);
        EXPECT_LT(distance(run_on<double>(start, n, c.ins), want), 1e-13) << c.ins.name;
        EXPECT_LT(distance(run_on<float>(start, n, c.ins), want), 2e-6) << c.ins.name << " float";
    }
}

TEST(GateApplication, ThreadedStatesMatch) {
    // 16 qubits: kernels run on every hardware thread.
    const int n = 16;
    const Dense start = random_state(n, 3);
    for (const Case& c : every_row()) {
        CircuitInstruction ins = c.ins;
        auto shift = [](std::vector<int>& v) {
            for (int& q : v) q = q * 3;  // spread the qubits over the register
        };
        std::vector<int> t = c.targets, ctl = c.controls;
        shift(ins.targets);
        shift(ins.controls);
        shift(t);
        shift(ctl);
        const Dense want = apply_dense(start, c.u, t, ctl, c.active);
        EXPECT_LT(distance(run_on<double>(start, n, ins), want), 1e-13) << c.ins.name;
    }
}

TEST(GateApplication, SkippedNamesLeaveStateUnchanged) {
    const Dense start = random_state(3, 2);
    for (const char* g : {"BARRIER", "MEASURE", "RESET", "QIF", "QWHILE"}) {
        EXPECT_EQ(run_on<double>(start, 3, make(g, {0}, {1}, {}, false, "0")), start) << g;
        EXPECT_EQ(run_on<double>(start, 3, make(g, {}, {}, {}, false, "0")), start) << g;
        // Even out-of-range qubits: nothing is looked at.
        EXPECT_EQ(run_on<double>(start, 3, make(g, {7}, {9})), start) << g;
    }
    EXPECT_EQ(error_of(3, make("measure", {0})), "Unknown gate: measure");
    EXPECT_EQ(error_of(3, make("Tdg", {0}, {}, {}, true)), "Unknown gate: Tdg");
    EXPECT_EQ(error_of(3, make("Tdg", {0}, {1})), "Unknown gate: Tdg");
    EXPECT_EQ(error_of(3, make("tdg", {0})), "Unknown gate: tdg");
}

TEST(GateApplication, UnsupportedConfigurations) {
    const std::string pre = "apply_gate_single_batch: unsupported configuration for gate ";
    EXPECT_EQ(error_of(4, make("CX", {0, 1}, {}, {}, true)), pre + "CX (targets=2, ctrls=0, matrix_size=4)");
    EXPECT_EQ(error_of(4, make("RZZ", {1}, {}, {0.2})), pre + "RZZ (targets=1, ctrls=0, matrix_size=16)");
    EXPECT_EQ(error_of(4, make("CSWAP", {0, 1, 2})), pre + "CSWAP (targets=3, ctrls=0, matrix_size=16)");
    EXPECT_EQ(error_of(4, make("H", {})), pre + "H (targets=0, ctrls=0, matrix_size=4)");
    EXPECT_EQ(error_of(4, make("SWAP", {0}, {1, 2})), pre + "SWAP (targets=1, ctrls=2, matrix_size=16)");
    EXPECT_EQ(error_of(4, make("H", {0, 1}, {2})), pre + "H (targets=2, ctrls=1, matrix_size=4)");
}

TEST(GateApplication, BadQubitsRejectedBeforeAnyKernel) {
    const Dense start = random_state(4, 5);  // the state error_of starts from
    const CircuitInstruction bad[] = {
        make("X", {4}), make("H", {-1}), make("CX", {0, 9}), make("SWAP", {5, 5}), make("CX", {0}, {4}),
        make("RX", {1}, {0, 2, 7}, {0.1}), make("X", {1}, {6}, {}, false, "0"),
        make("CX", {1}, {2, 3, -2}, {}, false, "000"), make("RZZ", {1, 99}, {2}, {0.1}),
        make("CCX", {0}, {1, 31})};
    for (const CircuitInstruction& ins : bad) {
        Dense after;
        const std::string what = error_of(4, ins, &after);
        EXPECT_NE(what.find(ins.name), std::string::npos) << what;
        EXPECT_NE(what.find("4"), std::string::npos) << what;
        EXPECT_EQ(after, start) << ins.name;  // untouched, open-control flips included
    }
    Dense after;
    const std::string what = error_of(4, make("RXX", {2, 2}, {0, 1}, {0.3}, false, "00"), &after);
    EXPECT_NE(what.find("RXX"), std::string::npos);
    EXPECT_NE(what.find("qubit 2"), std::string::npos) << what;
    EXPECT_EQ(after, start);
}

TEST(GateApplication, ParameterSlices) {
    const Dense start = random_state(2, 9);
    const CircuitInstruction rz = make("RZ", {0}, {}, {0.1, 0.2, 0.3});
    const std::pair<int, double> sets[] = {{0, 0.1}, {1, 0.2}, {2, 0.3}, {3, 0.1}, {100, 0.1}};
    for (const auto& [b, angle] : sets)
        EXPECT_EQ(run_on<double>(start, 2, rz, b), run_on<double>(start, 2, make("RZ", {0}, {}, {angle})))
            << b;
    const CircuitInstruction u3 = make("U3", {1}, {}, {0.4, 0.5, 0.6});
    EXPECT_EQ(run_on<double>(start, 2, u3, 5), run_on<double>(start, 2, u3, 0));
    EXPECT_EQ(run_on<double>(start, 2, make("H", {0}, {}, {0.5})), run_on<double>(start, 2, make("H", {0})));
    EXPECT_EQ(run_on<double>(start, 2, make("RZ", {0})), start);
    CircuitInstruction single = make("RY", {1});
    single.params = 0.7;
    EXPECT_EQ(run_on<double>(start, 2, single, 3), run_on<double>(start, 2, make("RY", {1}, {}, {0.7})));
    EXPECT_EQ(parameter_slice(ParamValue(std::vector<double>{1, 2, 3, 4, 5, 6}), "U2", 2),
              (std::vector<double>{5, 6}));
    EXPECT_EQ(parameter_slice(ParamValue(std::vector<double>{1, 2, 3, 4, 5}), "U2", 2),
              (std::vector<double>{1, 2}));
}

TEST(GateApplication, CacheEntries) {
    StateVector<double> sv(3);
    GateMatrixCache cache;
    const CircuitInstruction rz = make("RZ", {0}, {}, {0.4});
    apply_gate_single_batch(sv, rz, cache, 0);
    apply_gate_single_batch(sv, rz, cache, 0);
    EXPECT_EQ(cache.size(), 1u);
    apply_gate_single_batch(sv, make("RZ", {1}, {}, {0.4}), cache, 0);  // targets are not in the key
    EXPECT_EQ(cache.size(), 1u);
    apply_gate_single_batch(sv, make("RZ", {0}, {2}, {0.4}), cache, 0);
    EXPECT_EQ(cache.size(), 2u);
    apply_gate_single_batch(sv, make("RZ", {0}, {2}, {0.4}, false, "1"), cache, 0);
    EXPECT_EQ(cache.size(), 3u);
    apply_gate_single_batch(sv, make("X", {0}), cache, 0);  // fixed gates build no matrix
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_THROW(apply_gate_single_batch(sv, make("NOPE", {0}), cache, 0), std::runtime_error);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_THROW(apply_gate_single_batch(sv, make("RZZ", {0}, {}, {0.1}), cache, 0), std::runtime_error);
    EXPECT_EQ(cache.size(), 4u);  // a matrix that fails the size rule is kept

    // Cached and fresh matrices give identical states.
    const Dense start = random_state(3, 4);
    StateVector<double> a(3), b(3);
    load(a, start);
    load(b, start);
    const CircuitInstruction u = make("U3", {1}, {0}, {0.3, 0.1, 0.2}, true, "0");
    GateMatrixCache shared;
    apply_gate_single_batch(a, u, shared, 0);
    apply_gate_single_batch(a, u, shared, 0);
    GateMatrixCache fresh1, fresh2;
    apply_gate_single_batch(b, u, fresh1, 0);
    apply_gate_single_batch(b, u, fresh2, 0);
    EXPECT_EQ(read(a), read(b));
}

TEST(GateMatrixKeyHash, CombineSteps) {
    const GateMatrixKey key{"RZ", {0.5, -0.0}, {3, -1}, true, "01"};
    uint64_t h = std::hash<std::string>{}("RZ");
    auto combine = [&h](uint64_t v) { h ^= v + 0x9e3779b9ull + (h << 6) + (h >> 2); };
    combine(std::hash<double>{}(0.5));
    combine(0);
    combine(3);
    combine(0xffffffffull);
    combine(1);
    combine(std::hash<std::string>{}("01"));
    EXPECT_EQ(GateMatrixKeyHash{}(key), h);
    GateMatrixKey other = key;
    other.params[1] = 0.0;  // -0.0 == 0.0: equal keys
    EXPECT_TRUE(other == key);
    EXPECT_EQ(GateMatrixKeyHash{}(other), h);
}

TEST(CircuitBatchSize, InstructionAndShapePaths) {
    auto circuit = [](std::vector<CircuitInstruction> ins) {
        CircuitData c(2);
        c.instructions = std::move(ins);
        return c;
    };
    auto flagged = [](std::string name, std::vector<double> params) {
        CircuitInstruction i = make(std::move(name), {0}, {}, std::move(params));
        i.parameterized = true;
        return i;
    };
    EXPECT_EQ(circuit_batch_size(CircuitData(3)), 0);
    CircuitData empty_tensor(3);
    empty_tensor.use_parameter_tensor = true;
    empty_tensor.parameter_tensor = Py_None;  // not a tensor, but never looked at
    Py_INCREF(Py_None);
    EXPECT_EQ(circuit_batch_size(empty_tensor), 0);

    EXPECT_EQ(circuit_batch_size(circuit({flagged("H", {1, 2, 3, 4})})), 0);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("RX", {1, 2, 3, 4, 5, 6})})), 6);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("RX", {1})})), 0);
    CircuitInstruction single = flagged("RX", {});
    single.params = 0.5;
    EXPECT_EQ(circuit_batch_size(circuit({single})), 0);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("U3", {1, 2, 3, 4, 5, 6})})), 2);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("U3", {1, 2, 3, 4, 5, 6, 7})})), 0);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("U3", {1, 2, 3})})), 0);
    EXPECT_EQ(circuit_batch_size(circuit({flagged("H", {}), flagged("RX", {1, 2, 3, 4})})), 0);
    EXPECT_EQ(circuit_batch_size(circuit({make("RX", {0}, {}, {1, 2, 3}), flagged("RX", {1, 2, 3, 4})})), 4);

    CircuitData shaped = circuit({flagged("RX", {}), flagged("U2", {})});
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

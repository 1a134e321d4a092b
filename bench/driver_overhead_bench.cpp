// Cost of gate application over the kernels it launches: a 24-qubit random
// circuit of 200 gates (the mix of bench/brenvik_bench.py) run through
// apply_gate_single_batch, and the same kernels called directly with the
// matrices prepared in advance, interleaved in one run.  Reports the median
// time per gate of both and `overhead`, the driver's time over the kernels'
// minus one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include "simulator/gate_application.h"

namespace {

constexpr int kQubits = 24, kGates = 200;

struct Gate {
    CircuitInstruction ins;
    std::function<void(StateVector<float>&)> direct_f;
    std::function<void(StateVector<double>&)> direct_d;
};

template <typename T>
void direct(const Gate& g, StateVector<T>& sv) {
    if constexpr (std::is_same_v<T, float>) g.direct_f(sv);
    else g.direct_d(sv);
}

std::vector<Gate> random_gates() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> angle(0.0, 1.0);
    std::vector<Gate> gates;
    for (int i = 0; i < kGates; ++i) {
        std::vector<int> q(kQubits);
        for (int k = 0; k < kQubits; ++k) q[k] = k;
        std::shuffle(q.begin(), q.end(), rng);
        Gate g;
        CircuitInstruction& ins = g.ins;
        const int kind = static_cast<int>(rng() % 6);
        const char* fixed[] = {"H", "X", "S", "T", "Z"};
        const char* rot[] = {"RX", "RY", "RZ"};
        if (kind == 0) ins.name = fixed[rng() % 5], ins.targets = {q[0]};
        if (kind == 1) ins.name = rot[rng() % 3], ins.targets = {q[0]}, ins.params = std::vector<double>{angle(rng)};
        if (kind == 2) {
            const double a = angle(rng), b = angle(rng), c = angle(rng);
            ins.name = "U3", ins.targets = {q[0]}, ins.params = std::vector<double>{a, b, c};
        }
        if (kind == 3) ins.name = "CX", ins.targets = {q[0]}, ins.controls = {q[1]};
        if (kind == 4) ins.name = "RZZ", ins.targets = {q[0], q[1]}, ins.params = std::vector<double>{angle(rng)};
        if (kind == 5)
            ins.name = "CRY", ins.targets = {q[0]}, ins.controls = {q[1]}, ins.params = std::vector<double>{angle(rng)};
        const GateMatrix m = controlled_base_matrix(ins.name, parameter_slice(ins.params, ins.name, 0));
        const int t = q[0], c = q[1];
        const std::string name = ins.name;
        const auto make = [&](auto tag) {
            using T = decltype(tag);
            return std::function<void(StateVector<T>&)>([=](StateVector<T>& sv) {
                if (name == "H") apply_h(sv, t);
                else if (name == "X") apply_x(sv, t);
                else if (name == "S") apply_s(sv, t);
                else if (name == "T") apply_t(sv, t);
                else if (name == "Z") apply_z(sv, t);
                else if (name == "CX") apply_cx(sv, c, t);
                else if (name == "RZZ") apply_matrix_2q(sv, t, c, m);
                else if (name == "CRY") apply_controlled_matrix_1q(sv, c, t, m);
                else apply_matrix_1q(sv, t, m);
            });
        };
        g.direct_f = make(float{});
        g.direct_d = make(double{});
        gates.push_back(std::move(g));
    }
    return gates;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename T>
void bench_driver(benchmark::State& state) {
    static const std::vector<Gate> gates = random_gates();
    StateVector<T> sv(kQubits);
    std::vector<double> driver_s, kernel_s;
    using clock = std::chrono::steady_clock;
    for (auto _ : state) {
        GateMatrixCache cache;  // one per call, as in cal_states_cpp
        auto t0 = clock::now();
        for (const Gate& g : gates) apply_gate_single_batch(sv, g.ins, cache, 0);
        auto t1 = clock::now();
        for (const Gate& g : gates) direct(g, sv);
        auto t2 = clock::now();
        driver_s.push_back(std::chrono::duration<double>(t1 - t0).count());
        kernel_s.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(driver_s.back());
    }
    const double d = median(driver_s), k = median(kernel_s);
    state.counters["driver_ms_per_gate"] = d / kGates * 1e3;
    state.counters["kernels_ms_per_gate"] = k / kGates * 1e3;
    state.counters["overhead"] = d / k - 1.0;
}

}  // namespace

BENCHMARK(bench_driver<float>)->Name("driver/24/float")->Iterations(7)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(bench_driver<double>)
    ->Name("driver/24/double")
    ->Iterations(7)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

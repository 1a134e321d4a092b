// The native random Clifford builder alone (no Python conversion of the
// result): one million gates on 100 qubits, and the copy that handing the
// record to Python costs.
#include <benchmark/benchmark.h>
#include <pybind11/embed.h>

#include "clifford/clifford_builder.h"

namespace py = pybind11;

static void BM_build_random_clifford_data(benchmark::State& state) {
    const int num_gates = static_cast<int>(state.range(0));
    const py::str all("all");
    for (auto _ : state) {
        CircuitData c = build_random_clifford_data(100, num_gates, all, 1);
        benchmark::DoNotOptimize(c.instructions.data());
    }
    state.SetItemsProcessed(state.iterations() * num_gates);
}

static void BM_copy_record(benchmark::State& state) {
    const CircuitData c = build_random_clifford_data(100, static_cast<int>(state.range(0)), py::str("all"), 1);
    for (auto _ : state) {
        CircuitData copy(c);
        benchmark::DoNotOptimize(copy.instructions.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_build_random_clifford_data)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_copy_record)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    py::scoped_interpreter interpreter;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

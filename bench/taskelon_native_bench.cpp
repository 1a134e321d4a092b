// Native cost of the quantum-volume generator, without the conversion to
// Python objects: one random unitary, and the whole list for n qubits.
#include <benchmark/benchmark.h>

#include "quantum_volume/qv_op_list.h"
#include "quantum_volume/qv_random.h"

static void BM_RandomSu4Unitary(benchmark::State& state) {
    std::vector<std::complex<double>> m(16);
    uint64_t seed = 1;
    for (auto _ : state) {
        random_su4_unitary(seed, m);
        seed += kOpSeedStep;
        benchmark::DoNotOptimize(m.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RandomSu4Unitary);

static void BM_BuildQvOpList(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto ops = build_qv_op_list_ultra(n, 0, 7);
        benchmark::DoNotOptimize(ops.data());
        state.PauseTiming();  // freeing the list is the caller's business
        ops = {};
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n * (n / 2));
}
BENCHMARK(BM_BuildQvOpList)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

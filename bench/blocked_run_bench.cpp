// Gate by gate against cache-blocked, on the same resolved circuits: a random
// circuit, a quantum-volume circuit decomposed into U3/RXX/RYY/RZZ and
// n-local circuits with full and with linear entanglement.  Prints, per
// circuit and precision, the median time of each (interleaved), the ratio,
// and the passes over the state each takes (gate by gate: one per gate;
// blocked: chunk runs plus layout changes).
//
//     build/bench/blocked_run_bench [QUBITS...] [--reps N] [--chunk-bits K] [--sets]
//
// --sets: as the sets of a batched call run, one state per hardware thread,
// each running the circuit on its own thread (time of the slowest).
// --threads N: N in place of the hardware threads.  The last column, the
// blocked time per amplitude and gate, shows with --sets how close the sets
// run to the kernels' own rate: compare a size whose state fits a core's L2
// (14 qubits), where no memory is shared, on 1 and on all threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "simulator/blocked_run.h"

namespace {

CircuitInstruction gate(std::string name, std::vector<int> targets, std::vector<int> controls = {},
                        std::vector<double> params = {}) {
    CircuitInstruction ins;
    ins.name = std::move(name), ins.targets = std::move(targets), ins.controls = std::move(controls);
    ins.params = std::move(params);
    return ins;
}

// Two different qubits of n, drawn in this order: a, then b among the others.
std::pair<int, int> distinct_qubits(std::mt19937& rng, int n) {
    const int a = static_cast<int>(rng() % n);
    return {a, (a + 1 + static_cast<int>(rng() % (n - 1))) % n};
}

CircuitData random_gates(int n, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(0, 6.28);
    CircuitData c(n);
    const char* names[] = {"H", "X", "S", "T", "RX", "RZ", "CX", "CZ"};
    for (int i = 0; i < count; ++i) {
        const std::string name = names[rng() % 8];
        const auto [a, b] = distinct_qubits(rng, n);
        if (name == "CX") c.instructions.push_back(gate(name, {b}, {a}));
        else if (name == "CZ") c.instructions.push_back(gate(name, {a, b}));
        else if (name[0] == 'R') c.instructions.push_back(gate(name, {a}, {}, {angle(rng)}));
        else c.instructions.push_back(gate(name, {a}));
    }
    return c;
}

CircuitData quantum_volume(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(0, 6.28);
    CircuitData c(n);
    std::vector<int> q(n);
    std::iota(q.begin(), q.end(), 0);
    for (int layer = 0; layer < n; ++layer) {
        std::shuffle(q.begin(), q.end(), rng);
        for (int p = 0; p + 1 < n; p += 2) {
            const int a = q[p], b = q[p + 1];
            for (int t : {a, b}) c.instructions.push_back(gate("U3", {t}, {}, {angle(rng), angle(rng), angle(rng)}));
            for (const char* name : {"RXX", "RYY", "RZZ"}) c.instructions.push_back(gate(name, {a, b}, {}, {angle(rng)}));
            for (int t : {a, b}) c.instructions.push_back(gate("U3", {t}, {}, {angle(rng), angle(rng), angle(rng)}));
        }
    }
    return c;
}

// entanglement: full (every pair) or linear (neighbours).
CircuitData n_local(int n, int reps, unsigned seed, bool full) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(0, 6.28);
    CircuitData c(n);
    for (int r = 0; r <= reps; ++r) {
        for (int q = 0; q < n; ++q) c.instructions.push_back(gate("RY", {q}, {}, {angle(rng)}));
        for (int q = 0; q < n; ++q) c.instructions.push_back(gate("RZ", {q}, {}, {angle(rng)}));
        if (r == reps) break;
        for (int a = 0; a < n; ++a)
            for (int b = a + 1; b < (full ? n : std::min(a + 2, n)); ++b) c.instructions.push_back(gate("CX", {b}, {a}));
    }
    return c;
}

// The circuit of the batched-calls benchmark: layers of RY on every qubit,
// a CX chain and RZZ on random pairs.
CircuitData batch_layers(int n, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(-3, 3);
    CircuitData c(n);
    for (int l = 0; l < count; ++l) {
        for (int q = 0; q < n; ++q) c.instructions.push_back(gate("RY", {q}, {}, {angle(rng)}));
        for (int q = 0; q + 1 < n; ++q) c.instructions.push_back(gate("CX", {q + 1}, {q}));
        for (int q = 0; q < n; ++q) {
            const auto [a, b] = distinct_qubits(rng, n);
            c.instructions.push_back(gate("RZZ", {a, b}, {}, {angle(rng)}));
        }
    }
    return c;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool per_thread_states = false;

// Seconds of one run of the list on `state`, or, with per_thread_states, the
// slowest of one run per thread, each on a state of its own.
template <typename T>
double timed_run(StateVector<T>& state, const ReadyList<T>& list, const RunPlan& plan) {
    ResetRng rng;
    if (!per_thread_states) {
        const auto t0 = std::chrono::steady_clock::now();
        run_ready_list(state, list, plan, [&]() -> ResetRng& { return rng; });
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    double slowest = 0;
#pragma omp parallel num_threads(hardware_threads) reduction(max : slowest)
    {
        StateVector<T> own(state.num_qubits);
        ResetRng own_rng;
        const auto t0 = std::chrono::steady_clock::now();
        run_ready_list(own, list, plan, [&]() -> ResetRng& { return own_rng; });
        slowest = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (omp_get_thread_num() == 0) run_ready_list(state, list, plan, [&]() -> ResetRng& { return own_rng; });
    }
    return slowest;
}

template <typename T>
void compare(const char* label, const CircuitData& c, int reps) {
    GateMatrixCache cache;
    ReadyList<T> list;
    resolve_circuit(list, c, cache, 0);
    // With per_thread_states the plan is made inside a region of one state per
    // thread, as the sets of a batched call plan theirs.
    RunPlan blocked;
    if (per_thread_states) {
#pragma omp parallel num_threads(hardware_threads)
#pragma omp single
        blocked = plan_run(list, c.num_qubits, 1);
    } else {
        blocked = plan_run(list, c.num_qubits, pass_team(c.num_qubits));
    }
    size_t passes = 0, gates = 0;
    for (const PlannedSegment& seg : blocked.segments) {
        gates += seg.last - seg.first;
        if (seg.plan.empty()) passes += seg.last - seg.first;
        else {
            const PlanCounts counts = count_passes(seg.plan);
            passes += counts.chunk_runs + counts.exchanges;
        }
    }
    if (blocked.chunk_bits == 0) gates = passes = list.steps.size();
    StateVector<T> a(c.num_qubits), b(c.num_qubits);
    std::vector<double> by_gate, by_chunk;
    for (int r = 0; r < reps; ++r) {
        by_gate.push_back(timed_run(a, list, RunPlan{}));
        by_chunk.push_back(timed_run(b, list, blocked));
    }
    const bool same = std::memcmp(a.real, b.real, a.dim * sizeof(T)) == 0 && std::memcmp(a.imag, b.imag, a.dim * sizeof(T)) == 0;
    const double g = median(by_gate), k = median(by_chunk);
    const double ns = k / static_cast<double>(list.steps.size()) / static_cast<double>(a.dim) * 1e9;
    std::printf("| %-18s | %2d | %-6s | %2d | %8.4f (%.4f-%.4f) | %8.4f (%.4f-%.4f) | %5.2f | %5zu | %5zu | %s | %.3f |\n", label,
                c.num_qubits, sizeof(T) == 4 ? "float" : "double", blocked.chunk_bits, g,
                *std::min_element(by_gate.begin(), by_gate.end()), *std::max_element(by_gate.begin(), by_gate.end()), k,
                *std::min_element(by_chunk.begin(), by_chunk.end()), *std::max_element(by_chunk.begin(), by_chunk.end()),
                g / k, gates, passes, same ? "yes" : "NO", ns);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    int reps = 5;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--reps") && i + 1 < argc) reps = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--chunk-bits") && i + 1 < argc) chunk_bits_override = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--sets")) per_thread_states = true;
        else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) hardware_threads = std::atoi(argv[++i]);
        else sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) sizes = {20, 24};
    std::printf("| circuit | n | type | K | gate by gate s (min-max) | blocked s (min-max) | ratio | passes by gate | passes blocked | same bits | blocked ns per amplitude and gate |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (int n : sizes) {
        const CircuitData rand = random_gates(n, 200, 1), qv = quantum_volume(n, 2), nl = n_local(n, 2, 3, true),
                          linear = n_local(n, 4, 4, false), layers = batch_layers(n, 6, 7);
        compare<double>("batch layers", layers, reps);
        compare<double>("random 200", rand, reps);
        compare<float>("random 200", rand, reps);
        compare<double>("qv decomposed", qv, std::max(1, reps / 2));
        compare<float>("qv decomposed", qv, std::max(1, reps / 2));
        compare<double>("n-local full", nl, reps);
        compare<float>("n-local full", nl, reps);
        compare<double>("n-local linear", linear, reps);
        compare<float>("n-local linear", linear, reps);
    }
}

// The drivers' ready lists against the same circuits run one instruction at a
// time (apply_instruction): amplitudes, parameter sets in any order, batches,
// static and dynamic sampling, bit for bit, with the same draws; and the
// order in which resolution raises errors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "simulator/amplitudes.h"
#include "simulator/blocked_run.h"
#include "simulator/sampling.h"
#include "tests/cpp/error_text.h"
#include "tests/cpp/random_circuits.h"

namespace {

template <typename T>
class ReadyListTest : public testing::Test {};
using Precisions = testing::Types<float, double>;
TYPED_TEST_SUITE(ReadyListTest, Precisions);

template <typename T>
bool same_bits(const StateVector<T>& a, const StateVector<T>& b) {
    return a.dim == b.dim && std::memcmp(a.real, b.real, a.dim * sizeof(T)) == 0 &&
           std::memcmp(a.imag, b.imag, a.dim * sizeof(T)) == 0;
}

// The per-instruction path: every instruction through apply_instruction.
template <typename T>
void run_per_instruction(StateVector<T>& state, const CircuitData& c, int b, ResetRng& rng) {
    GateMatrixCache cache;
    for (const CircuitInstruction& ins : c.instructions)
        apply_instruction(state, ins, cache, b, [&]() -> ResetRng& { return rng; });
}

ResetRng seeded(int seed) { return ResetRng{seeded_engine(seed)}; }

}  // namespace

// One list, resolved for one set and refreshed for others in any order (a
// set index past the lists falls back to the first set), on 1 to 16 qubits.
TYPED_TEST(ReadyListTest, SetsInAnyOrderMatchPerInstruction) {
    using T = TypeParam;
    for (int n = 1; n <= 16; ++n) {
        RandomCircuitOptions opt;
        opt.sets = 3;
        opt.resets = true;
        const CircuitData c = random_circuit(n, n > 12 ? 20 : 60, 100 + n, opt);
        GateMatrixCache cache;
        ReadyList<T> list;
        bool resolved = false;
        for (int b : {2, 0, 5, 1}) {
            StateVector<T> want(n), got(n);
            ResetRng ref = seeded(7 + b), rng = seeded(7 + b);
            run_per_instruction(want, c, b, ref);
            if (resolved) refresh_for_set(list, c, b);
            else resolve_circuit(list, c, cache, b);
            resolved = true;
            run_ready_list(got, list, RunPlan{}, [&]() -> ResetRng& { return rng; });
            EXPECT_TRUE(same_bits(want, got)) << n << " qubits, set " << b;
            EXPECT_EQ(ref.engine, rng.engine) << n;  // the same draws
        }
    }
}

// Small chunks, so that layout changes come often; restored at scope exit.
struct ChunkBits {
    explicit ChunkBits(int k) { chunk_bits_override = k; }
    ~ChunkBits() { chunk_bits_override = 0; }
};

// The batch region (one thread below 15 qubits, the whole team above) gives
// every set's row as the per-instruction path does, with the chunks of the
// cache and with small ones, each thread reusing its state for its further
// sets (all nine on one thread at 4 qubits, two on one thread at 15).
TYPED_TEST(ReadyListTest, BatchRowsMatchPerInstruction) {
    using T = TypeParam;
    for (const auto& [n, k] : {std::pair{4, 0}, {15, 0}, {12, 6}}) {
        ChunkBits bits(k);
        RandomCircuitOptions opt;
        opt.sets = 9;
        const CircuitData c = random_circuit(n, 30, 300 + n, opt);
        std::vector<std::vector<std::complex<T>>> rows(9, std::vector<std::complex<T>>(uint64_t{1} << n));
        simulate_batches(c, rows);
        for (int b = 0; b < 9; ++b) {
            StateVector<T> want(n);
            ResetRng unused = seeded(1);
            run_per_instruction(want, c, b, unused);
            std::vector<std::complex<T>> row(want.dim);
            write_amplitudes(want, row.data());
            EXPECT_EQ(std::memcmp(row.data(), rows[b].data(), row.size() * sizeof(row[0])), 0) << n << " " << b;
        }
    }
}

// Static sampling: one simulation per set, then the shots (small chunks).
TYPED_TEST(ReadyListTest, StaticSamplingMatchesPerInstruction) {
    using T = TypeParam;
    ChunkBits bits(6);
    for (int n : {3, 9, 15}) {
        RandomCircuitOptions opt;
        opt.sets = 2;
        opt.resets = true;
        CircuitData c = random_circuit(n, 30, 500 + n, opt);
        for (int q = 0; q < n; ++q) {
            CircuitInstruction m;
            m.name = "MEASURE", m.targets = {q}, m.controls = {q};
            c.instructions.push_back(m);
        }
        const MeasureMap map = build_measure_map(c.instructions, n);
        ResetRng ref = seeded(11), rng = seeded(11);
        CircuitResolution<T> resolution(n, false);
        for (int b = 0; b < 2; ++b) {
            StateVector<T> state(n);
            run_per_instruction(state, c, b, ref);
            uint64_t read = 0;
            for (const auto& [qubit, cbit] : map) read |= uint64_t{1} << qubit;
            const IndexCounts found = sample_static_indices(state, build_sampling_table(state), 300, ref.engine, read);
            BitstringCounts want;
            for (const auto& [index, count] : found) {
                std::vector<int> reg(n);
                for (const auto& [qubit, cbit] : map) reg[cbit] = static_cast<int>((index >> qubit) & 1u);
                want[bitstring_of(reg)] += count;
            }
            EXPECT_EQ(sample_static<T>(c, b, 300, n, map, rng, resolution), want) << n << " " << b;
            EXPECT_EQ(ref.engine, rng.engine);
        }
    }
}

// Dynamic sampling: every shot runs the one list, mid-circuit measurements
// and RESETs drawing in circuit order (small chunks between them).
TYPED_TEST(ReadyListTest, DynamicShotsMatchPerInstruction) {
    using T = TypeParam;
    ChunkBits bits(6);
    for (int n : {2, 6, 13}) {
        RandomCircuitOptions opt;
        opt.sets = 2;
        opt.resets = true;
        opt.measures = true;
        const CircuitData c = random_circuit(n, 40, 700 + n, opt);
        const int cbits = 3, shots = n > 12 ? 3 : 20;
        ResetRng ref = seeded(5), rng = seeded(5);
        CircuitResolution<T> resolution(cbits, true);
        for (int b = 0; b < 2; ++b) {
            BitstringCounts want;
            for (int s = 0; s < shots; ++s) {
                StateVector<T> state(n);
                GateMatrixCache cache;
                std::vector<int> reg(cbits);
                for (const CircuitInstruction& ins : c.instructions) {
                    if (!is_measure(ins.name))
                        apply_instruction(state, ins, cache, b, [&]() -> ResetRng& { return ref; });
                    else if (const std::optional<int> cbit = kept_cbit(ins, cbits))
                        reg[*cbit] = measure_collapse(state, ins.targets[0], draw_uniform(ref.engine));
                }
                ++want[bitstring_of(reg)];
            }
            EXPECT_EQ(sample_dynamic<T>(c, b, shots, cbits, rng, resolution), want) << n << " " << b;
            EXPECT_EQ(ref.engine, rng.engine);
        }
    }
}

// Cache-blocked runs against gate by gate: random circuits over the whole
// vocabulary (controls and diagonal gates above the chunk, open controls, 4x4
// gates whose qubits the layout puts in either order), with RESETs between
// segments, on one thread and on the whole team; and a circuit that needs
// every qubit inside the chunk in turn.
TYPED_TEST(ReadyListTest, BlockedRunsMatchGateByGate) {
    using T = TypeParam;
    std::vector<CircuitData> circuits;
    for (const int n : {10, 12, 16}) {
        RandomCircuitOptions opt;
        opt.resets = true;
        circuits.push_back(random_circuit(n, n > 14 ? 60 : 150, 900 + n, opt));
    }
    CircuitData sweep(12);
    for (int round = 0; round < 3; ++round)
        for (int q = 11; q >= 0; --q) {
            CircuitInstruction h, cx;
            h.name = "H", h.targets = {q};
            cx.name = "CX", cx.targets = {(q + 5) % 12}, cx.controls = {q};
            sweep.instructions.push_back(h);
            sweep.instructions.push_back(cx);
        }
    circuits.push_back(sweep);
    for (const CircuitData& c : circuits) {
        const int n = c.num_qubits;
        ChunkBits bits(n > 14 ? 8 : 6);
        GateMatrixCache cache;
        ReadyList<T> list;
        resolve_circuit(list, c, cache, 0);
        const RunPlan plan = plan_run(list, n, pass_team(n));
        ASSERT_GT(plan.chunk_bits, 0) << n;
        size_t planned = 0;
        for (const PlannedSegment& seg : plan.segments) planned += !seg.plan.empty();
        EXPECT_GT(planned, 0u) << n;
        StateVector<T> want(n), got(n);
        ResetRng ref = seeded(3), rng = seeded(3);
        run_ready_list(want, list, RunPlan{}, [&]() -> ResetRng& { return ref; });
        run_ready_list(got, list, plan, [&]() -> ResetRng& { return rng; });
        EXPECT_TRUE(same_bits(want, got)) << n;
        EXPECT_EQ(ref.engine, rng.engine) << n;
    }
}

// The first instruction in circuit order that fails raises its error when
// the circuit is resolved; a dynamic circuit without shots resolves nothing.
TEST(ReadyList, FirstFailingInstructionRaises) {
    CircuitData c(3);
    const auto add = [&](std::string name, std::vector<int> targets) {
        CircuitInstruction ins;
        ins.name = std::move(name), ins.targets = std::move(targets);
        c.instructions.push_back(ins);
    };
    add("H", {0}), add("RESET", {1}), add("NOPE", {0}), add("X", {1}), add("X", {7});
    GateMatrixCache cache;
    ReadyList<double> list;
    EXPECT_EQ(error_text([&] { resolve_circuit(list, c, cache, 0); }), "Unknown gate: NOPE");
    c.instructions[2].name = "Z";
    EXPECT_EQ(error_text([&] { resolve_circuit(list, c, cache, 0); }), "X: qubit 7 out of range for 3 qubit(s)");
    c.instructions[1].targets = {3};
    EXPECT_EQ(error_text([&] { resolve_circuit(list, c, cache, 0); }), "RESET: qubit 3 out of range for 3 qubit(s)");
    ResetRng rng = seeded(1);
    CircuitResolution<double> resolution(1, true);
    EXPECT_TRUE(sample_dynamic<double>(c, 0, 0, 1, rng, resolution).empty());
}

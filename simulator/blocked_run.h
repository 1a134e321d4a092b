// Running a resolved circuit: gate by gate on small states, cache-blocked on
// states larger than a chunk.  Resolve (gate_application.h), plan
// (chunk_plan.h), run (here).
//
// Cache blocking.  The gates between two RESET or MEASURE steps form a
// segment.  Its plan alternates chunk runs (consecutive gates applied chunk
// by chunk, each chunk taking every gate of the run while it sits in the
// core's cache) and layout changes (one pass exchanging physical index bits,
// which moves amplitudes and computes none).  A layout maps each logical
// qubit to its physical bit; it is the identity at both ends of a segment, so
// RESET, measurements, sampling and the result read the state as always.  The
// three register-lane bits never move, so every gate runs the kernel path and
// the arithmetic it runs gate by gate: results are bit for bit the same.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "simulator/chunk_plan.h"
#include "simulator/gate_application.h"
#include "statevector/chunk_kernels.h"
#include "statevector/index_bit_exchange.h"
#include "statevector/state_vector.h"

// The logical qubits a gate step pairs on and its control and diagonal
// qubits (a control may name the target: then the gate changes nothing).
inline GateFootprint step_qubits(const ReadyStep& st, const std::vector<std::vector<uint64_t>>& control_masks) {
    const auto bit = [](int q) { return uint64_t{1} << q; };
    GateFootprint f{0, 0};
    switch (st.kind) {
        case ReadyKind::x: case ReadyKind::y: case ReadyKind::h: case ReadyKind::matrix_1q:
            f.pairs = bit(st.q0);
            break;
        case ReadyKind::z: case ReadyKind::s: case ReadyKind::sdg: case ReadyKind::t: case ReadyKind::tdg:
            f.selects = bit(st.q0);
            break;
        case ReadyKind::cz: f.selects = bit(st.q0) | bit(st.q1); break;
        case ReadyKind::swap: case ReadyKind::matrix_2q: f.pairs = bit(st.q0) | bit(st.q1); break;
        case ReadyKind::cx: case ReadyKind::controlled_matrix_1q:
            f.pairs = bit(st.q1), f.selects = bit(st.q0);
            break;
        case ReadyKind::ccx: f.pairs = bit(st.q2), f.selects = bit(st.q0) | bit(st.q1); break;
        case ReadyKind::multi_controlled_1q: case ReadyKind::multi_controlled_2q:
            f.pairs = st.kind == ReadyKind::multi_controlled_1q ? bit(st.q0) : bit(st.q0) | bit(st.q1);
            for (uint64_t m : control_masks[st.masks]) f.selects |= m;
            break;
        case ReadyKind::reset: case ReadyKind::measure: break;
    }
    return f;
}

// What the planner sees of a step: a qubit that is both paired and selecting
// counts as paired.
inline GateFootprint footprint_of(const ReadyStep& st, const std::vector<std::vector<uint64_t>>& control_masks) {
    GateFootprint f = step_qubits(st, control_masks);
    f.selects &= ~f.pairs;
    return f;
}

// The planned segments of a list for a state of num_qubits qubits: each
// segment's gates [first, last) and, when blocking takes few enough passes
// over the state for its gates (gates_per_pass), the plan.
struct PlannedSegment {
    size_t first, last;
    std::vector<PlanStep> plan;  // empty: gate by gate
};

struct RunPlan {
    int chunk_bits = 0;  // 0: gate by gate throughout
    std::vector<PlannedSegment> segments;
};

// True when the last-level cache holds the states of n qubits that run at
// once from here: this one, or inside a batch region one per thread.  Never
// when tests and benchmarks set the chunk bits: they block states of any size.
template <typename T>
bool cache_holds_states(int n) {
    if (chunk_bits_override != 0) return false;
    return last_level_holds(state_array_bytes<T>(n), running_states());
}

// Chunk bits for a state of n qubits run by `team` threads: those of the
// core's cache, lowered so that every thread has a chunk; 0 when the state is
// a single chunk or a chunk would be too small to pay, and for the states of
// a batch region that all fit the last-level cache together, where blocking
// gains nothing.
template <typename T>
int run_chunk_bits(int n, int team) {
    if (omp_in_parallel() && cache_holds_states<T>(n)) return 0;
    int k = chunk_bits<T>();
    const int spread = team > 1 ? std::bit_width(static_cast<unsigned>(team - 1)) : 0;
    if (n - spread < k) k = n - spread;
    const int least = chunk_bits_override > 0 ? 4 : kMinChunkBits;  // tests ask for small chunks
    return k >= least && k < n ? k : 0;
}

// Gates a blocked segment must have per pass over the state.  A state that
// the last-level cache holds streams from there gate by gate, so blocking
// pays only for long runs: on 17 to 22 qubits it gained up to 1.7x with ten
// or more gates a pass and lost up to 12 % with seven or eight.  States the
// cache cannot hold (with the other sets of a batch region, whose states all
// stream from memory) gain from any plan with fewer passes than gates.
template <typename T>
size_t gates_per_pass(int n) {
    return cache_holds_states<T>(n) ? 10 : 1;
}

// Plans a resolved list for a state of n qubits (team: the threads of its
// passes).
template <typename T>
RunPlan plan_run(const ReadyList<T>& list, int n, int team) {
    RunPlan plan;
    plan.chunk_bits = run_chunk_bits<T>(n, team);
    if (plan.chunk_bits == 0) return plan;
    const size_t per_pass = gates_per_pass<T>(n);
    size_t i = 0;
    std::vector<GateFootprint> gates;
    while (i < list.steps.size()) {
        const ReadyKind kind = list.steps[i].kind;
        if (kind == ReadyKind::reset || kind == ReadyKind::measure) {
            ++i;
            continue;
        }
        PlannedSegment seg{i, i, {}};
        gates.clear();
        for (; i < list.steps.size() && list.steps[i].kind != ReadyKind::reset &&
               list.steps[i].kind != ReadyKind::measure;
             ++i)
            gates.push_back(footprint_of(list.steps[i], list.control_masks));
        seg.last = i;
        std::vector<PlanStep> steps = plan_chunk_passes(gates, n, plan.chunk_bits);
        const PlanCounts counts = count_passes(steps);
        if ((counts.chunk_runs + counts.exchanges) * per_pass < gates.size()) seg.plan = std::move(steps);
        plan.segments.push_back(std::move(seg));
    }
    return plan;
}

// A gate step of a chunk run, in physical bits under the run's layout.
struct ChunkStep {
    const ReadyStep* step;
    int p0, p1, p2;                  // physical positions of q0, q1, q2
    uint64_t high;                   // control and diagonal bits at or above the chunk: select chunks
    uint64_t low;                    // control and diagonal bits inside the chunk
    uint64_t form_controls;          // every control bit, for the 2x2 fusion form
    std::vector<uint64_t> low_masks; // 4x4 under controls: the single-bit masks inside the chunk
};

inline ChunkStep chunk_step(const ReadyStep& st, const std::vector<std::vector<uint64_t>>& control_masks,
                            const std::vector<int>& layout, int k) {
    ChunkStep cs{&st, layout[st.q0], layout[st.q1], layout[st.q2], 0, 0, 0, {}};
    const GateFootprint f = step_qubits(st, control_masks);
    uint64_t selects = 0;  // in physical bits
    for (uint64_t rest = f.selects; rest != 0; rest &= rest - 1) selects |= uint64_t{1} << layout[std::countr_zero(rest)];
    const uint64_t chunk_mask = (uint64_t{1} << k) - 1;
    cs.high = selects & ~chunk_mask;
    cs.low = selects & chunk_mask;
    cs.form_controls = selects;
    if (st.kind == ReadyKind::multi_controlled_2q)
        for (uint64_t m : control_masks[st.masks]) {
            const uint64_t p = uint64_t{1} << layout[std::countr_zero(m)];
            if (p & chunk_mask) cs.low_masks.push_back(p);
        }
    return cs;
}

// One gate step on a chunk (or, with k equal to the qubit count, on the whole
// state under a layout).
template <typename T>
void run_chunk_step(StateVector<T>& chunk, const ReadyList<T>& list, const ChunkStep& cs) {
    const ReadyStep& st = *cs.step;
    switch (st.kind) {
        case ReadyKind::x: return apply_x(chunk, cs.p0);
        case ReadyKind::y: return apply_y(chunk, cs.p0);
        case ReadyKind::h: return apply_h(chunk, cs.p0);
        case ReadyKind::z: return apply_z_where(chunk, cs.low);
        case ReadyKind::s: return apply_s_where(chunk, cs.low);
        case ReadyKind::sdg: return apply_sdg_where(chunk, cs.low);
        case ReadyKind::t: return apply_t_where(chunk, cs.low);
        case ReadyKind::tdg: return apply_tdg_where(chunk, cs.low, cs.p0 == 1 || cs.p0 == 2);
        case ReadyKind::cz: return apply_cz_where(chunk, cs.low);
        case ReadyKind::swap: return apply_swap(chunk, cs.p0, cs.p1);
        case ReadyKind::cx: return apply_exchange_under(chunk, cs.p1, cs.low);
        case ReadyKind::ccx: return apply_exchange_under(chunk, cs.p2, cs.low);
        case ReadyKind::matrix_1q: return launch_matrix_1q(chunk, cs.p0, list.matrices_1q[st.matrix]);
        case ReadyKind::controlled_matrix_1q:
            return launch_matrix_1q_under(chunk, cs.p1, cs.low, cs.form_controls, list.matrices_1q[st.matrix]);
        case ReadyKind::multi_controlled_1q:
            return launch_matrix_1q_under(chunk, cs.p0, cs.low, cs.form_controls, list.matrices_1q[st.matrix]);
        case ReadyKind::matrix_2q:
        case ReadyKind::multi_controlled_2q: {
            const SplitMatrix2q& m = list.matrices_2q[st.matrix];
            return launch_matrix_2q_under(chunk, uint64_t{1} << cs.p0, uint64_t{1} << cs.p1, m.re, m.im,
                                          cs.low_masks.empty() ? nullptr : &cs.low_masks);
        }
        case ReadyKind::reset:
        case ReadyKind::measure: return;
    }
}

// One chunk run: the segment's gates [first, last) (the segment starting at
// step `offset` of the list) under the run's layout, every chunk taking all
// of them in order on one thread.
template <typename T>
void run_chunk_pass(StateVector<T>& state, const ReadyList<T>& list, size_t offset, const PlanStep& run, int k) {
    std::vector<ChunkStep> steps;
    steps.reserve(run.last - run.first);
    for (size_t i = offset + run.first; i < offset + run.last; ++i)
        steps.push_back(chunk_step(list.steps[i], list.control_masks, run.layout, k));
    for_each_chunk(state, k, [&](uint64_t c) {
        StateVector<T> chunk = chunk_view(state, k, c);
        const uint64_t base = c << k;
        for (const ChunkStep& cs : steps)
            if ((base & cs.high) == cs.high) run_chunk_step(chunk, list, cs);
    });
}

// Gates [first, last) of the list: by their plan, or gate by gate.
template <typename T>
void run_segment(StateVector<T>& state, const ReadyList<T>& list, const PlannedSegment& seg, int k) {
    if (seg.plan.empty()) {
        for (size_t i = seg.first; i < seg.last; ++i) run_gate_step(state, list, list.steps[i]);
        return;
    }
    for (const PlanStep& step : seg.plan) {
        if (step.kind == PlanStep::Kind::exchange) exchange_index_bits(state, step.exchanges);
        else run_chunk_pass(state, list, seg.first, step, k);
    }
}

// Runs a resolved list with its plan on the state: gate segments by their
// plans, a reset step draws from the ResetRng that reset_rng() returns (asked
// for only then), a measure step goes to measure(qubit, classical bit).
template <typename T, typename GetResetRng, typename Measure>
void run_ready_list(StateVector<T>& state, const ReadyList<T>& list, const RunPlan& plan, GetResetRng&& reset_rng,
                    Measure&& measure) {
    size_t next_segment = 0;
    for (size_t i = 0; i < list.steps.size();) {
        const ReadyStep& st = list.steps[i];
        if (st.kind == ReadyKind::reset) {
            ResetRng& rng = reset_rng();
            reset_qubit(state, static_cast<uint32_t>(st.q0), rng.engine, rng.distribution);
            ++i;
        } else if (st.kind == ReadyKind::measure) {
            measure(st.q0, st.q1);
            ++i;
        } else if (next_segment < plan.segments.size() && plan.segments[next_segment].first == i) {
            const PlannedSegment& seg = plan.segments[next_segment++];
            run_segment(state, list, seg, plan.chunk_bits);
            i = seg.last;
        } else {
            run_gate_step(state, list, st);
            ++i;
        }
    }
}

template <typename T, typename GetResetRng>
void run_ready_list(StateVector<T>& state, const ReadyList<T>& list, const RunPlan& plan, GetResetRng&& reset_rng) {
    run_ready_list(state, list, plan, reset_rng, [](int, int) {});
}

// A circuit resolved for a driver: its list for one parameter set at a time
// and the list's plan, made once (the steps do not depend on the set).
template <typename T>
struct ResolvedCircuit {
    ReadyList<T> list;
    RunPlan plan;
    bool resolved = false;

    // The list for set b: resolved on first use (team: the threads of the
    // state's passes), refreshed for later sets.
    template <typename OnMeasure>
    void for_set(const CircuitData& circuit, GateMatrixCache& cache, int b, int team, const OnMeasure& on_measure) {
        if (resolved) {
            refresh_for_set(list, circuit, b);
            return;
        }
        resolve_circuit(list, circuit, cache, b, on_measure);
        plan = plan_run(list, circuit.num_qubits, team);
        resolved = true;
    }
};

// Threads of the passes over a state of n qubits run from here: one inside
// an active region (a set of the batch region), else the thread rule's team.
inline int pass_team(int n) {
    return omp_in_parallel() ? 1 : std::max(1, region_team(kernel_team_size(n)));
}

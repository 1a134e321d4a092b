// Applying one circuit instruction for one parameter set, the per-call cache
// of dense gate matrices, and the ready list: a circuit resolved once into the
// kernel calls that gate application decides, which the drivers then run for
// every set and shot.  RESET is the one instruction that draws.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "circuit/circuit_data.h"
#include "circuit/memory_need.h"
#include "simulator/gate_library.h"
#include "simulator/instruction_names.h"
#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
#include "statevector/reset.h"
#include "statevector/state_vector.h"

struct GateMatrixKey {
    std::string name;
    std::vector<double> params;  // the parameter slice of one set
    std::vector<int> controls;
    bool dagger = false;
    std::string ctrl_state;

    bool operator==(const GateMatrixKey& o) const {
        return name == o.name && params == o.params && controls == o.controls && dagger == o.dagger &&
               ctrl_state == o.ctrl_state;
    }
};

struct GateMatrixKeyHash {
    static void combine(uint64_t& h, uint64_t v) { h ^= v + 0x9e3779b9u + (h << 6) + (h >> 2); }
    size_t operator()(const GateMatrixKey& k) const {
        uint64_t h = std::hash<std::string>{}(k.name);
        for (double p : k.params) combine(h, std::hash<double>{}(p));
        for (int c : k.controls) combine(h, static_cast<uint64_t>(static_cast<uint32_t>(c)));
        combine(h, k.dagger ? 1 : 0);
        combine(h, std::hash<std::string>{}(k.ctrl_state));
        return h;
    }
};

using GateMatrixCache = std::unordered_map<GateMatrixKey, GateMatrix, GateMatrixKeyHash>;

// True for the names that gate application passes over.
inline bool is_skipped_gate(std::string_view name) { return is_measure(name) || is_marker(name) || is_reset(name); }

// The values of a parameter list: one value, or the whole vector.
inline const double* param_values(const ParamValue& params, size_t& count) {
    if (const double* d = std::get_if<double>(&params)) {
        count = 1;
        return d;
    }
    const std::vector<double>& all = std::get<std::vector<double>>(params);
    count = all.size();
    return all.data();
}

// True when the list holds the values of several sets (k values each): more
// values than the gate takes.
inline bool holds_several_sets(int k, int total) { return k != 0 && k < total; }

// The values of one parameter set: k values at k*batch when the list holds
// more than k, falling back to the first set; else the whole list.
inline std::vector<double> parameter_slice(const ParamValue& params, const std::string& name, int batch) {
    size_t count = 0;
    const double* all = param_values(params, count);
    const int k = gate_param_count(name);
    const int total = static_cast<int>(count);
    if (holds_several_sets(k, total)) {
        // 64-bit arithmetic so that a huge set index cannot overflow.
        const int64_t start = static_cast<int64_t>(k) * batch;
        if (batch >= 0 && total >= start + k) return std::vector<double>(all + start, all + start + k);
        return std::vector<double>(all, all + k);
    }
    return std::vector<double>(all, all + count);
}

// The matrix of an instruction for one parameter slice: its base gate's
// matrix, conjugate-transposed under the dagger flag.
inline GateMatrix build_gate_matrix(const CircuitInstruction& ins, const std::vector<double>& slice) {
    GateMatrix m = controlled_base_matrix(ins.name, slice);
    if (ins.dagger) m = dagger_matrix(m);
    return m;
}

// Matrix of an instruction for one parameter slice, from the cache or built
// and stored on first use.  The reference stays valid while the cache lives.
// The slice becomes the key's parameters.
inline const GateMatrix& lookup_gate_matrix(GateMatrixCache& cache, const CircuitInstruction& ins,
                                            std::vector<double>&& slice) {
    GateMatrixKey key{ins.name, std::move(slice), ins.controls, ins.dagger, ins.ctrl_state};
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    GateMatrix m = build_gate_matrix(ins, key.params);
    return cache.emplace(std::move(key), std::move(m)).first->second;
}

inline const GateMatrix& lookup_gate_matrix(GateMatrixCache& cache, const CircuitInstruction& ins,
                                            const std::vector<double>& slice) {
    return lookup_gate_matrix(cache, ins, std::vector<double>(slice));
}

[[noreturn]] inline void throw_unsupported(const std::string& name, int nt, int nc, uint64_t size) {
    throw std::runtime_error("apply_gate_single_batch: unsupported configuration for gate " + name +
                             " (targets=" + std::to_string(nt) + ", ctrls=" + std::to_string(nc) +
                             ", matrix_size=" + std::to_string(size) + ")");
}

// Every qubit is validated before any kernel touches the state.
inline void check_gate_qubits(const CircuitInstruction& ins, int num_qubits) {
    for (int t : ins.targets) check_qubit_index(ins.name, t, num_qubits);
    for (int c : ins.controls) check_qubit_index(ins.name, c, num_qubits);
    if (ins.targets.size() == 2 && !ins.controls.empty() && ins.targets[0] == ins.targets[1])
        throw std::runtime_error(ins.name + ": qubit " + std::to_string(ins.targets[0]) +
                                 " used twice as a target of a controlled two-qubit gate (" +
                                 std::to_string(num_qubits) + " qubit(s))");
}

// The controls that a '0' of ctrl_state opens (those beyond the string stay
// active on |1>); they are flipped to |1> around the gate.
inline std::vector<int> open_controls_of(const CircuitInstruction& ins) {
    std::vector<int> open_controls;
    const size_t limit = std::min(ins.controls.size(), ins.ctrl_state.size());
    for (size_t i = 0; i < limit; ++i)
        if (ins.ctrl_state[i] == '0') open_controls.push_back(ins.controls[i]);
    return open_controls;
}

// ---------------------------------------------------------------------------
// The ready list: what gate application decides for an instruction, recorded
// as kernel calls that need nothing but the state.  A circuit is resolved into
// one list per call (its set-dependent matrices refreshed per parameter set),
// and every shot and set runs the list instead of resolving the circuit again.

// Kernel calls of a ready list, with the RESET and MEASURE steps the drivers
// handle themselves.
enum class ReadyKind : uint8_t {
    x, y, z, h, s, sdg, t, tdg, swap, cx, cz, ccx,
    matrix_1q, controlled_matrix_1q, matrix_2q, multi_controlled_1q, multi_controlled_2q,
    reset, measure
};

// One kernel call: its qubits in the order the launch takes them and, for the
// dense launches, the slot of its split matrix (and of its control masks).
struct ReadyStep {
    ReadyKind kind;
    int32_t q0 = 0, q1 = 0, q2 = 0;  // measure: q0 the qubit, q1 the classical bit
    uint32_t matrix = 0;
    uint32_t masks = 0;
};

// A 4x4 matrix split into double with bit 0 of the index belonging to the
// lower qubit, as the 4x4 launches read it.
struct SplitMatrix2q {
    double re[16];
    double im[16];
};

// The dense launches (the contiguous kinds matrix_1q .. multi_controlled_2q),
// and those of them on two targets.
inline bool has_matrix(ReadyKind k) { return k >= ReadyKind::matrix_1q && k <= ReadyKind::multi_controlled_2q; }
inline bool has_matrix_2q(ReadyKind k) { return k == ReadyKind::matrix_2q || k == ReadyKind::multi_controlled_2q; }

// An instruction whose parameter slice depends on the set, and the step whose
// matrix is looked up again for every new set.
struct SetDependentStep {
    uint32_t instruction;
    uint32_t step;
};

template <typename T>
struct ReadyList {
    std::vector<ReadyStep> steps;
    std::vector<SplitMatrix1q<T>> matrices_1q;
    std::vector<SplitMatrix2q> matrices_2q;
    std::vector<std::vector<uint64_t>> control_masks;
    std::vector<SetDependentStep> per_set;
    int batch = 0;  // the parameter set the matrices belong to

    void clear() {
        steps.clear();
        matrices_1q.clear();
        matrices_2q.clear();
        control_masks.clear();
        per_set.clear();
    }
    void add(ReadyKind kind, int q0 = 0, int q1 = 0, int q2 = 0) { steps.push_back({kind, q0, q1, q2}); }
    void add_1q(ReadyKind kind, const GateMatrix& m, int q0, int q1 = 0) {
        steps.push_back({kind, q0, q1, 0, static_cast<uint32_t>(matrices_1q.size())});
        matrices_1q.push_back(split_matrix_1q<T>(m));
    }
    // q0, q1: the targets in the instruction's order (bit 0 of m belongs to q0).
    void add_2q(ReadyKind kind, const GateMatrix& m, int q0, int q1) {
        steps.push_back({kind, std::min(q0, q1), std::max(q0, q1), 0, static_cast<uint32_t>(matrices_2q.size())});
        matrices_2q.emplace_back();
        set_matrix(steps.back(), m, q0, q1);
    }
    // Replaces the matrix of a dense step (targets as for add_2q).
    void set_matrix(const ReadyStep& st, const GateMatrix& m, int q0, int q1) {
        if (has_matrix_2q(st.kind)) {
            SplitMatrix2q& split = matrices_2q[st.matrix];
            split_4x4_lower_first(m, q0, q1, split.re, split.im);
        } else {
            matrices_1q[st.matrix] = split_matrix_1q<T>(m);
        }
    }
    // Bytes of the steps and matrices (what grows with the circuit).
    uint64_t bytes() const {
        return steps.size() * sizeof(ReadyStep) + matrices_1q.size() * sizeof(SplitMatrix1q<T>) +
               matrices_2q.size() * sizeof(SplitMatrix2q);
    }
};

// One instruction with its parameter slice and the cache its dense matrix
// comes from.
// Where the dense matrices of gates with parameters come from.  One
// instruction at a time they come from the cache like every matrix.  A
// resolved circuit builds them afresh: their values seldom repeat, and the
// build (a few sines and cosines) costs less than the key, lookup and
// insertion, while fixed matrices still come from the cache.
enum class ParametrisedMatrices { from_cache, built };

struct GateCall {
    const CircuitInstruction& ins;
    mutable std::vector<double> slice;  // moved into the cache's key when the matrix is looked up
    GateMatrixCache& cache;
    ParametrisedMatrices parametrised = ParametrisedMatrices::from_cache;
    mutable GateMatrix built{};  // the matrix when it is built, not looked up

    const GateMatrix& matrix() const {
        if (parametrised == ParametrisedMatrices::built && gate_param_count(ins.name) != 0)
            return built = build_gate_matrix(ins, slice);
        return lookup_gate_matrix(cache, ins, std::move(slice));
    }
};

// Throws the unsupported-configuration error unless the matrix has 4 entries
// for one target and 16 for two.
inline void check_matrix_size(const CircuitInstruction& ins, const GateMatrix& m) {
    const int nt = static_cast<int>(ins.targets.size());
    const size_t want = nt == 1 ? 4 : nt == 2 ? 16 : 0;
    if (want == 0 || m.size() != want) throw_unsupported(ins.name, nt, static_cast<int>(ins.controls.size()), m.size());
}

// The dense matrix of a call, checked to have 4 entries for one target and 16
// for two.
inline const GateMatrix& checked_matrix(const GateCall& g) {
    const GateMatrix& m = g.matrix();
    check_matrix_size(g.ins, m);
    return m;
}

// One target, no control: a fixed-gate kernel, else the dense 2x2.
template <typename T>
void record_uncontrolled_1q(ReadyList<T>& list, const GateCall& g) {
    const std::string_view name = g.ins.name;
    const int q = g.ins.targets[0];
    const bool plain = !g.ins.dagger;
    if (plain && name == "X") list.add(ReadyKind::x, q);
    else if (plain && name == "Z") list.add(ReadyKind::z, q);
    else if (plain && name == "Y") list.add(ReadyKind::y, q);
    else if (plain && name == "H") list.add(ReadyKind::h, q);
    else if (plain && name == "S") list.add(ReadyKind::s, q);
    else if (plain && name == "SDG") list.add(ReadyKind::sdg, q);
    else if (plain && name == "T") list.add(ReadyKind::t, q);
    else if (plain && (name == "Tdg" || name == "TDG")) list.add(ReadyKind::tdg, q);
    else list.add_1q(ReadyKind::matrix_1q, checked_matrix(g), q);
}

// Two targets, no control: CX and CZ take targets[0] as their control.
template <typename T>
void record_uncontrolled_2q(ReadyList<T>& list, const GateCall& g) {
    const std::string_view name = g.ins.name;
    const auto& tg = g.ins.targets;
    const bool plain = !g.ins.dagger;
    if (plain && (name == "CX" || name == "CNOT")) {
        list.add(ReadyKind::cx, tg[0], tg[1]);
    } else if (plain && name == "CZ") {
        list.add(ReadyKind::cz, tg[0], tg[1]);
    } else if (plain && name == "SWAP") {
        if (tg[0] != tg[1]) list.add(ReadyKind::swap, tg[0], tg[1]);  // equal targets: nothing
    } else {
        const GateMatrix& m = checked_matrix(g);
        if (tg[0] != tg[1]) list.add_2q(ReadyKind::matrix_2q, m, tg[0], tg[1]);
    }
}

// One target, one control.
template <typename T>
void record_single_controlled(ReadyList<T>& list, const GateCall& g) {
    const std::string_view name = g.ins.name;
    const int c = g.ins.controls[0], t = g.ins.targets[0];
    const bool plain = !g.ins.dagger;
    if (plain && (name == "CX" || name == "CNOT")) list.add(ReadyKind::cx, c, t);
    else if (plain && name == "CZ") list.add(ReadyKind::cz, c, t);
    else list.add_1q(ReadyKind::controlled_matrix_1q, checked_matrix(g), c, t);
}

// One target with two or more controls, or two targets with one or more: the
// dense matrix under every control mask.
template <typename T>
void record_multi_controlled(ReadyList<T>& list, const GateCall& g) {
    const auto& tg = g.ins.targets;
    const GateMatrix& m = checked_matrix(g);
    std::vector<uint64_t> control_masks;
    control_masks.reserve(g.ins.controls.size());
    for (int c : g.ins.controls) control_masks.push_back(uint64_t{1} << c);
    // check_gate_qubits has rejected equal targets under controls.
    if (tg.size() == 1) list.add_1q(ReadyKind::multi_controlled_1q, m, tg[0]);
    else list.add_2q(ReadyKind::multi_controlled_2q, m, tg[0], tg[1]);
    list.steps.back().masks = static_cast<uint32_t>(list.control_masks.size());
    list.control_masks.push_back(std::move(control_masks));
}

inline bool is_toffoli(std::string_view name) { return name == "CCX" || name == "TOFFOLI"; }

// The launch that fits the numbers of targets and controls.
template <typename T>
void record_gate_call(ReadyList<T>& list, const GateCall& g) {
    const int nt = static_cast<int>(g.ins.targets.size()), nc = static_cast<int>(g.ins.controls.size());
    if (nt == 1 && nc == 0) {
        record_uncontrolled_1q(list, g);
    } else if (nt == 2 && nc == 0) {
        record_uncontrolled_2q(list, g);
    } else if (nt == 1 && nc == 1) {
        record_single_controlled(list, g);
    } else if (nt == 1 && nc == 2 && !g.ins.dagger && (std::string_view(g.ins.name) == "CCX" ||
                                                       std::string_view(g.ins.name) == "TOFFOLI")) {
        list.add(ReadyKind::ccx, g.ins.controls[0], g.ins.controls[1], g.ins.targets[0]);
    } else if ((nt == 1 && nc >= 2) || (nt == 2 && nc >= 1)) {
        record_multi_controlled(list, g);
    } else {
        // No target, or three and more: always unsupported.
        throw_unsupported(g.ins.name, nt, nc, g.matrix().size());
    }
}

// Gate application for parameter set `batch`, recorded: the kernel calls the
// instruction makes on a state of num_qubits qubits are appended to the list
// (open-control flips, the gate, the flips again).  Every qubit is checked
// before anything is appended; an error leaves the steps appended before it.
template <typename T>
void apply_gate_single_batch(ReadyList<T>& list, int num_qubits, const CircuitInstruction& ins,
                             GateMatrixCache& cache, int batch,
                             ParametrisedMatrices parametrised = ParametrisedMatrices::from_cache) {
    if (is_skipped_gate(ins.name)) return;
    check_gate_qubits(ins, num_qubits);
    const std::vector<int> open_controls = open_controls_of(ins);
    for (int q : open_controls) list.add(ReadyKind::x, q);
    record_gate_call(list, GateCall{ins, parameter_slice(ins.params, ins.name, batch), cache, parametrised});
    for (int q : open_controls) list.add(ReadyKind::x, q);
}

// Runs one gate step of a list on the state.
template <typename T>
void run_gate_step(StateVector<T>& state, const ReadyList<T>& list, const ReadyStep& st) {
    switch (st.kind) {
        case ReadyKind::x: return apply_x(state, st.q0);
        case ReadyKind::y: return apply_y(state, st.q0);
        case ReadyKind::z: return apply_z(state, st.q0);
        case ReadyKind::h: return apply_h(state, st.q0);
        case ReadyKind::s: return apply_s(state, st.q0);
        case ReadyKind::sdg: return apply_sdg(state, st.q0);
        case ReadyKind::t: return apply_t(state, st.q0);
        case ReadyKind::tdg: return apply_tdg(state, st.q0);
        case ReadyKind::swap: return apply_swap(state, st.q0, st.q1);
        case ReadyKind::cx: return apply_cx(state, st.q0, st.q1);
        case ReadyKind::cz: return apply_cz(state, st.q0, st.q1);
        case ReadyKind::ccx: return apply_ccx(state, st.q0, st.q1, st.q2);
        case ReadyKind::matrix_1q: return launch_matrix_1q(state, st.q0, list.matrices_1q[st.matrix]);
        case ReadyKind::controlled_matrix_1q:
            return launch_controlled_matrix_1q(state, st.q0, st.q1, list.matrices_1q[st.matrix]);
        case ReadyKind::matrix_2q: {
            const SplitMatrix2q& m = list.matrices_2q[st.matrix];
            return launch_split_matrix_2q(state, st.q0, st.q1, m.re, m.im);
        }
        case ReadyKind::multi_controlled_1q: {
            const SplitMatrix1q<T>& m = list.matrices_1q[st.matrix];
            const uint64_t half = uint64_t{1} << st.q0;
            return launch_multi_controlled_matrix_1q(state, half, 2 * half, m.re, m.im, list.control_masks[st.masks]);
        }
        case ReadyKind::multi_controlled_2q: {
            const SplitMatrix2q& m = list.matrices_2q[st.matrix];
            const int lo = st.q0, hi = st.q1;
            const uint64_t inner = hi > lo + 1 ? uint64_t{1} << (hi - lo - 1) : 1;
            return launch_multi_controlled_matrix_2q(state, m.re, m.im, list.control_masks[st.masks],
                                                     uint64_t{1} << lo, uint64_t{1} << hi, uint64_t{2} << hi, inner);
        }
        case ReadyKind::reset:
        case ReadyKind::measure: return;  // the drivers' own steps
    }
}

// Runs every step of a list of gates on the state.
template <typename T>
void run_gate_steps(StateVector<T>& state, const ReadyList<T>& list) {
    for (const ReadyStep& st : list.steps) run_gate_step(state, list, st);
}

// One instruction on the state for parameter set `batch`: recorded, then run.
// When recording fails, the steps recorded before the error (open-control
// flips) have run, as they would have before the error was found.
template <typename T>
void apply_gate_single_batch(StateVector<T>& state, const CircuitInstruction& ins, GateMatrixCache& cache,
                             int batch) {
    ReadyList<T> list;
    try {
        apply_gate_single_batch(list, state.num_qubits, ins, cache, batch);
    } catch (...) {
        run_gate_steps(state, list);
        throw;
    }
    run_gate_steps(state, list);
}

// What a RESET draws from: an engine, and the uniform distribution over
// [0, 1) that takes one value of it per RESET.
struct ResetRng {
    std::mt19937 engine;
    std::uniform_real_distribution<double> distribution{0.0, 1.0};
};

// RESET of the first target (none: nothing), after checking the index.
template <typename T>
void reset_first_target(StateVector<T>& state, const CircuitInstruction& ins, ResetRng& rng) {
    if (ins.targets.empty()) return;
    check_qubit_index("RESET", ins.targets[0], state.num_qubits);
    reset_qubit(state, static_cast<uint32_t>(ins.targets[0]), rng.engine, rng.distribution);
}

// One instruction of a circuit for parameter set `batch`: a RESET draws from
// the ResetRng that reset_rng() returns, which is asked for only then; any
// other instruction goes to apply_gate_single_batch.  (The drivers run
// resolved lists; this is the same work one instruction at a time.)
template <typename T, typename GetResetRng>
void apply_instruction(StateVector<T>& state, const CircuitInstruction& ins, GateMatrixCache& cache, int batch,
                       GetResetRng&& reset_rng) {
    if (is_reset(ins.name))
        reset_first_target(state, ins, reset_rng());
    else
        apply_gate_single_batch(state, ins, cache, batch);
}

// True when the parameter slice of the instruction differs between sets
// (parameter_slice indexes its list by the set).
inline bool slice_depends_on_set(const CircuitInstruction& ins) {
    size_t count = 0;
    param_values(ins.params, count);
    return holds_several_sets(gate_param_count(ins.name), static_cast<int>(count));
}

// Resolves a circuit for parameter set `batch` into `list`, instruction by
// instruction in circuit order, so the first instruction that fails raises
// its error: RESET becomes a reset step (its qubit checked), MEASURE is passed
// to on_measure(list, instruction), anything else to apply_gate_single_batch.
template <typename T, typename OnMeasure>
void resolve_circuit(ReadyList<T>& list, const CircuitData& circuit, GateMatrixCache& cache, int batch,
                     const OnMeasure& on_measure) {
    list.clear();
    list.batch = batch;
    list.steps.reserve(circuit.instructions.size());
    cache.reserve(cache.size() + circuit.instructions.size());
    MemoryGrowth growth;
    const int n = circuit.num_qubits;
    for (size_t i = 0; i < circuit.instructions.size(); ++i) {
        const CircuitInstruction& ins = circuit.instructions[i];
        const size_t first = list.steps.size();
        const uint64_t bytes = list.bytes();
        if (is_reset(ins.name)) {
            if (ins.targets.empty()) continue;
            check_qubit_index("RESET", ins.targets[0], n);
            list.add(ReadyKind::reset, ins.targets[0]);
        } else if (is_measure(ins.name)) {
            on_measure(list, ins);
        } else {
            apply_gate_single_batch(list, n, ins, cache, batch, ParametrisedMatrices::built);
            if (slice_depends_on_set(ins))
                for (size_t k = first; k < list.steps.size(); ++k)
                    if (has_matrix(list.steps[k].kind))
                        list.per_set.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(k)});
        }
        growth.add(list.bytes() - bytes);
    }
}

template <typename T>
void resolve_circuit(ReadyList<T>& list, const CircuitData& circuit, GateMatrixCache& cache, int batch) {
    resolve_circuit(list, circuit, cache, batch, [](ReadyList<T>&, const CircuitInstruction&) {});
}

// The list of set `batch`: the set-dependent matrices are built again for
// that set (as a resolved circuit builds matrices with parameters) and replace
// those of the previous set; nothing else depends on the set.
template <typename T>
void refresh_for_set(ReadyList<T>& list, const CircuitData& circuit, int batch) {
    if (list.batch == batch) return;
    list.batch = batch;
    for (const SetDependentStep& dep : list.per_set) {
        const CircuitInstruction& ins = circuit.instructions[dep.instruction];
        const GateMatrix m = build_gate_matrix(ins, parameter_slice(ins.params, ins.name, batch));
        check_matrix_size(ins, m);
        const int second = ins.targets.size() > 1 ? ins.targets[1] : 0;
        list.set_matrix(list.steps[dep.step], m, ins.targets[0], second);
    }
}

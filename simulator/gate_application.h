// Applying one circuit instruction to a state for one parameter set, and the
// per-call cache of dense gate matrices.  RESET is the one instruction that
// draws; both drivers run their circuits through apply_instruction.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "circuit/circuit_data.h"
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
inline bool is_skipped_gate(const std::string& name) { return is_measure(name) || is_marker(name) || is_reset(name); }

// The values of one parameter set: k values at k*batch when the list holds
// more than k, falling back to the first set; else the whole list.
inline std::vector<double> parameter_slice(const ParamValue& params, const std::string& name, int batch) {
    std::vector<double> all;
    if (const double* d = std::get_if<double>(&params))
        all.assign(1, *d);
    else
        all = std::get<std::vector<double>>(params);
    const int k = gate_param_count(name);
    const int total = static_cast<int>(all.size());
    if (k != 0 && k < total) {
        // 64-bit arithmetic so that a huge set index cannot overflow.
        const int64_t start = static_cast<int64_t>(k) * batch;
        if (batch >= 0 && total >= start + k)
            return std::vector<double>(all.begin() + start, all.begin() + start + k);
        return std::vector<double>(all.begin(), all.begin() + k);
    }
    return all;
}

// Matrix of an instruction for one parameter slice, from the cache or built
// and stored on first use.
inline GateMatrix lookup_gate_matrix(GateMatrixCache& cache, const CircuitInstruction& ins,
                                     const std::vector<double>& slice) {
    GateMatrixKey key{ins.name, slice, ins.controls, ins.dagger, ins.ctrl_state};
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    GateMatrix m = controlled_base_matrix(ins.name, slice);
    if (ins.dagger) m = dagger_matrix(m);
    cache[key] = m;
    return m;
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

// One instruction with its parameter slice and the cache its dense matrix
// comes from.
struct GateCall {
    const CircuitInstruction& ins;
    std::vector<double> slice;
    GateMatrixCache& cache;
};

// The dense matrix of a call, checked to have 4 entries for one target and 16
// for two.
inline GateMatrix checked_matrix(const GateCall& g) {
    GateMatrix m = lookup_gate_matrix(g.cache, g.ins, g.slice);
    const int nt = static_cast<int>(g.ins.targets.size());
    const size_t want = nt == 1 ? 4 : nt == 2 ? 16 : 0;
    if (want == 0 || m.size() != want)
        throw_unsupported(g.ins.name, nt, static_cast<int>(g.ins.controls.size()), m.size());
    return m;
}

// One target, no control: a fixed-gate kernel, else the dense 2x2.
template <typename T>
void apply_uncontrolled_1q(StateVector<T>& state, const GateCall& g) {
    const std::string& name = g.ins.name;
    const int q = g.ins.targets[0];
    const bool plain = !g.ins.dagger;
    if (plain && name == "X") apply_x(state, q);
    else if (plain && name == "Z") apply_z(state, q);
    else if (plain && name == "Y") apply_y(state, q);
    else if (plain && name == "H") apply_h(state, q);
    else if (plain && name == "S") apply_s(state, q);
    else if (plain && name == "SDG") apply_sdg(state, q);
    else if (plain && name == "T") apply_t(state, q);
    else if (plain && (name == "Tdg" || name == "TDG")) apply_tdg(state, q);
    else apply_matrix_1q(state, q, checked_matrix(g));
}

// Two targets, no control: CX and CZ take targets[0] as their control.
template <typename T>
void apply_uncontrolled_2q(StateVector<T>& state, const GateCall& g) {
    const std::string& name = g.ins.name;
    const auto& tg = g.ins.targets;
    const bool plain = !g.ins.dagger;
    if (plain && (name == "CX" || name == "CNOT")) apply_cx(state, tg[0], tg[1]);
    else if (plain && name == "CZ") apply_cz(state, tg[0], tg[1]);
    else if (plain && name == "SWAP") apply_swap(state, tg[0], tg[1]);  // orders the qubits, equal: no-op
    else apply_matrix_2q(state, tg[0], tg[1], checked_matrix(g));
}

// One target, one control.
template <typename T>
void apply_single_controlled(StateVector<T>& state, const GateCall& g) {
    const std::string& name = g.ins.name;
    const int c = g.ins.controls[0], t = g.ins.targets[0];
    const bool plain = !g.ins.dagger;
    if (plain && (name == "CX" || name == "CNOT")) apply_cx(state, c, t);
    else if (plain && name == "CZ") apply_cz(state, c, t);
    else apply_controlled_matrix_1q(state, c, t, checked_matrix(g));
}

// One target with two or more controls, or two targets with one or more: the
// dense matrix under every control mask.
template <typename T>
void apply_multi_controlled(StateVector<T>& state, const GateCall& g) {
    const auto& tg = g.ins.targets;
    const GateMatrix m = checked_matrix(g);
    std::vector<uint64_t> control_masks;
    control_masks.reserve(g.ins.controls.size());
    for (int c : g.ins.controls) control_masks.push_back(uint64_t{1} << c);
    if (tg.size() == 1) {
        T mre[4], mim[4];
        for (int i = 0; i < 4; ++i) {
            mre[i] = static_cast<T>(m[i].real());
            mim[i] = static_cast<T>(m[i].imag());
        }
        const int t = tg[0];
        launch_multi_controlled_matrix_1q(state, uint64_t{1} << t, uint64_t{2} << t, mre, mim, control_masks);
        return;
    }
    const int lo = std::min(tg[0], tg[1]), hi = std::max(tg[0], tg[1]);
    double mre[16], mim[16];
    split_4x4_lower_first(m, tg[0], tg[1], mre, mim);
    const uint64_t inner = hi > lo + 1 ? uint64_t{1} << (hi - lo - 1) : 1;
    launch_multi_controlled_matrix_2q(state, mre, mim, control_masks, uint64_t{1} << lo, uint64_t{1} << hi,
                                      uint64_t{2} << hi, inner);
}

// The launch that fits the numbers of targets and controls.
template <typename T>
void apply_gate_call(StateVector<T>& state, const GateCall& g) {
    const int nt = static_cast<int>(g.ins.targets.size()), nc = static_cast<int>(g.ins.controls.size());
    if (nt == 1 && nc == 0) {
        apply_uncontrolled_1q(state, g);
    } else if (nt == 2 && nc == 0) {
        apply_uncontrolled_2q(state, g);
    } else if (nt == 1 && nc == 1) {
        apply_single_controlled(state, g);
    } else if (nt == 1 && nc == 2 && !g.ins.dagger && (g.ins.name == "CCX" || g.ins.name == "TOFFOLI")) {
        apply_ccx(state, g.ins.controls[0], g.ins.controls[1], g.ins.targets[0]);
    } else if ((nt == 1 && nc >= 2) || (nt == 2 && nc >= 1)) {
        apply_multi_controlled(state, g);
    } else {
        // No target, or three and more: always unsupported.
        throw_unsupported(g.ins.name, nt, nc, lookup_gate_matrix(g.cache, g.ins, g.slice).size());
    }
}

template <typename T>
void apply_gate_single_batch(StateVector<T>& state, const CircuitInstruction& ins, GateMatrixCache& cache,
                             int batch) {
    if (is_skipped_gate(ins.name)) return;
    check_gate_qubits(ins, state.num_qubits);
    const std::vector<int> open_controls = open_controls_of(ins);
    for (int q : open_controls) apply_x(state, q);
    apply_gate_call(state, GateCall{ins, parameter_slice(ins.params, ins.name, batch), cache});
    for (int q : open_controls) apply_x(state, q);
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
// other instruction goes to apply_gate_single_batch.
template <typename T, typename GetResetRng>
void apply_instruction(StateVector<T>& state, const CircuitInstruction& ins, GateMatrixCache& cache, int batch,
                       GetResetRng&& reset_rng) {
    if (is_reset(ins.name))
        reset_first_target(state, ins, reset_rng());
    else
        apply_gate_single_batch(state, ins, cache, batch);
}

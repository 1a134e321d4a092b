// Applying one circuit instruction to a state for one parameter set, and the
// per-call cache of dense gate matrices.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "circuit/circuit_data.h"
#include "simulator/gate_library.h"
#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
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
inline bool is_skipped_gate(const std::string& name) {
    return name == "MEASURE" || name == "BARRIER" || name == "RESET" || name == "QIF" || name == "QWHILE";
}

// The values of one parameter set: k values at k*batch when the list holds
// more than k, falling back to the first set; else the whole list.
inline std::vector<double> parameter_slice(const ParamValue& params, const std::string& name, int batch) {
    std::vector<double> all;
    if (const double* d = std::get_if<double>(&params))
        all.assign(1, *d);
    else
        all = std::get<std::vector<double>>(params);
    const int k = param_count_or_zero(name);
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

template <typename T>
void apply_gate_single_batch(StateVector<T>& state, const CircuitInstruction& ins, GateMatrixCache& cache,
                             int batch) {
    const std::string& name = ins.name;
    if (is_skipped_gate(name)) return;
    const int nt = static_cast<int>(ins.targets.size());
    const int nc = static_cast<int>(ins.controls.size());

    // Every qubit is validated before any kernel touches the state.
    for (int t : ins.targets) check_qubit_index(name, t, state.num_qubits);
    for (int c : ins.controls) check_qubit_index(name, c, state.num_qubits);
    if (nt == 2 && nc >= 1 && ins.targets[0] == ins.targets[1])
        throw std::runtime_error(name + ": qubit " + std::to_string(ins.targets[0]) +
                                 " used twice as a target of a controlled two-qubit gate (" +
                                 std::to_string(state.num_qubits) + " qubit(s))");

    // Open controls: flip them to |1> around the gate.
    std::vector<int> open_controls;
    if (!ins.ctrl_state.empty() && nc > 0) {
        const size_t limit = std::min(ins.controls.size(), ins.ctrl_state.size());
        for (size_t i = 0; i < limit; ++i)
            if (ins.ctrl_state[i] == '0') open_controls.push_back(ins.controls[i]);
        for (int q : open_controls) apply_x(state, q);
    }

    const std::vector<double> slice = parameter_slice(ins.params, name, batch);
    const bool plain = !ins.dagger;
    const auto& tg = ins.targets;
    const auto& ct = ins.controls;

    // Takes the matrix and checks it has 4 entries per target count 1, 16 for 2.
    auto matrix_for = [&](int targets) {
        GateMatrix m = lookup_gate_matrix(cache, ins, slice);
        const size_t want = targets == 1 ? 4 : targets == 2 ? 16 : 0;
        if (want == 0 || m.size() != want) throw_unsupported(name, nt, nc, m.size());
        return m;
    };

    if (nt == 1 && nc == 0) {
        const int q = tg[0];
        if (plain && name == "X") apply_x(state, q);
        else if (plain && name == "Z") apply_z(state, q);
        else if (plain && name == "Y") apply_y(state, q);
        else if (plain && name == "H") apply_h(state, q);
        else if (plain && name == "S") apply_s(state, q);
        else if (plain && name == "SDG") apply_sdg(state, q);
        else if (plain && name == "T") apply_t(state, q);
        else if (plain && (name == "Tdg" || name == "TDG")) apply_tdg(state, q);
        else apply_matrix_1q(state, q, matrix_for(1));
    } else if (nt == 2 && nc == 0) {
        if (plain && (name == "CX" || name == "CNOT")) apply_cx(state, tg[0], tg[1]);
        else if (plain && name == "CZ") apply_cz(state, tg[0], tg[1]);
        else if (plain && name == "SWAP") apply_swap(state, tg[0], tg[1]);  // orders the qubits, equal: no-op
        else apply_matrix_2q(state, tg[0], tg[1], matrix_for(2));
    } else if (nt == 1 && nc == 1) {
        if (plain && (name == "CX" || name == "CNOT")) apply_cx(state, ct[0], tg[0]);
        else if (plain && name == "CZ") apply_cz(state, ct[0], tg[0]);
        else apply_controlled_matrix_1q(state, ct[0], tg[0], matrix_for(1));
    } else if (nt == 1 && nc == 2 && plain && (name == "CCX" || name == "TOFFOLI")) {
        apply_ccx(state, ct[0], ct[1], tg[0]);
    } else if ((nt == 1 && nc >= 2) || (nt == 2 && nc >= 1)) {
        const GateMatrix m = matrix_for(nt);
        std::vector<uint64_t> control_masks;
        control_masks.reserve(ct.size());
        for (int c : ct) control_masks.push_back(uint64_t{1} << c);
        if (nt == 1) {
            T mre[4], mim[4];
            for (int i = 0; i < 4; ++i) {
                mre[i] = static_cast<T>(m[i].real());
                mim[i] = static_cast<T>(m[i].imag());
            }
            const int t = tg[0];
            launch_multi_controlled_matrix_1q(state, uint64_t{1} << t, uint64_t{2} << t, mre, mim, control_masks);
        } else {
            const int lo = std::min(tg[0], tg[1]), hi = std::max(tg[0], tg[1]);
            double mre[16], mim[16];
            split_4x4_lower_first(m, tg[0], tg[1], mre, mim);
            const uint64_t inner = hi > lo + 1 ? uint64_t{1} << (hi - lo - 1) : 1;
            launch_multi_controlled_matrix_2q(state, mre, mim, control_masks, uint64_t{1} << lo, uint64_t{1} << hi,
                                              uint64_t{2} << hi, inner);
        }
    } else {
        // No target, or three and more: always unsupported.
        const GateMatrix m = lookup_gate_matrix(cache, ins, slice);
        throw_unsupported(name, nt, nc, m.size());
    }

    for (int q : open_controls) apply_x(state, q);
}

// Random circuits over the simulator's whole vocabulary, for tests that
// compare two ways of running the same circuit bit for bit.
#pragma once

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "circuit/circuit_data.h"
#include "simulator/gate_library.h"

struct RandomCircuitOptions {
    int sets = 1;             // parameter sets carried by every parametrised gate
    bool resets = false;      // RESET instructions among the gates
    bool measures = false;    // MEASURE instructions among the gates (mid-circuit)
    double open_controls = 0.3;
    double dagger = 0.2;
};

// A circuit of `gates` instructions on n >= 3 qubits: fixed gates, rotations,
// 2x2 and 4x4 gates with none, one or several controls (some open), daggers,
// markers and, when asked for, RESET and MEASURE.
inline CircuitData random_circuit(int n, int gates, unsigned seed, const RandomCircuitOptions& opt = {}) {
    static const char* one[] = {"H", "X", "Y", "Z", "S", "SDG", "T", "TDG", "Tdg", "SX", "SY", "I",
                                "RX", "RY", "RZ", "P", "U1", "R", "U2", "U3", "U"};
    static const char* two[] = {"CX", "CNOT", "CZ", "SWAP", "ISWAP", "RZZ", "RXX", "RYY", "ISINGZZ"};
    static const char* controlled[] = {"CX", "CZ", "CY", "CH", "CRX", "CRY", "CRZ", "CP", "CU1", "CU3", "CU"};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(-3.2, 3.2);
    std::uniform_real_distribution<double> u(0, 1);
    CircuitData c(n);
    std::vector<int> qubits(n);
    std::iota(qubits.begin(), qubits.end(), 0);
    for (int g = 0; g < gates; ++g) {
        std::shuffle(qubits.begin(), qubits.end(), rng);
        CircuitInstruction ins;
        // Gates on two or three qubits only where the circuit has them.
        const int kind = n == 1 ? static_cast<int>(rng() % 3) : n == 2 && rng() % 10 == 7 ? 0 : static_cast<int>(rng() % 10);
        if (kind <= 2) {
            ins.name = one[rng() % std::size(one)];
            ins.targets = {qubits[0]};
        } else if (kind <= 4) {
            ins.name = two[rng() % std::size(two)];
            ins.targets = {qubits[0], qubits[1]};
        } else if (kind <= 6) {
            ins.name = controlled[rng() % std::size(controlled)];
            ins.targets = {qubits[0]};
            ins.controls = {qubits[1]};
        } else if (kind == 7) {  // several controls on one or two targets
            const bool pair = rng() % 2 == 0;
            ins.name = pair ? two[5 + rng() % 3] : (rng() % 3 == 0 ? "CCX" : one[12 + rng() % 9]);
            const int nt = pair ? 2 : 1;
            const int nc = std::min(n - nt, 1 + static_cast<int>(rng() % 3));
            ins.targets.assign(qubits.begin(), qubits.begin() + nt);
            ins.controls.assign(qubits.begin() + nt, qubits.begin() + nt + nc);
        } else if (kind == 8 && opt.resets && rng() % 2 == 0) {
            ins.name = "RESET";
            ins.targets = {qubits[0]};
        } else if (kind == 8 && opt.measures && rng() % 2 == 0) {
            ins.name = "MEASURE";
            ins.targets = {qubits[0]};
            ins.controls = {static_cast<int>(rng() % 4)};
        } else {
            ins.name = rng() % 4 == 0 ? "BARRIER" : "H";
            ins.targets = {qubits[0]};
        }
        if (!ins.controls.empty() && ins.name != "MEASURE" && u(rng) < opt.open_controls) {
            ins.ctrl_state.clear();
            for (size_t k = 0; k < ins.controls.size(); ++k) ins.ctrl_state += rng() % 2 ? '1' : '0';
        }
        // A dagger sends a fixed gate to its matrix: never for "Tdg", which only
        // the fixed-gate path knows, nor for CX and CZ on two targets, whose
        // matrices are one-qubit.
        const bool two_target_fixed = ins.targets.size() == 2 && ins.controls.empty() &&
                                      (ins.name == "CX" || ins.name == "CNOT" || ins.name == "CZ");
        ins.dagger = ins.name != "MEASURE" && ins.name != "RESET" && ins.name != "Tdg" && !two_target_fixed &&
                     u(rng) < opt.dagger;
        const int k = gate_param_count(ins.name);
        std::vector<double> params;
        const int sets = k > 0 && rng() % 4 != 0 ? opt.sets : 1;  // some gates hold one set for all
        for (int v = 0; v < k * sets; ++v) params.push_back(angle(rng));
        ins.params = params;
        c.instructions.push_back(std::move(ins));
    }
    return c;
}

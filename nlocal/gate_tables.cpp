#include "nlocal/gate_tables.h"

#include <stdexcept>

// Defined in this order so that gate_qubit_counts is destroyed first.
std::unordered_map<std::string, int> gate_param_counts;
std::unordered_map<std::string, int> gate_qubit_counts;

void init_gate_tables() {
    gate_param_counts = std::unordered_map<std::string, int>{
        {"H", 0},    {"I", 0},     {"ID", 0},      {"T", 0},    {"SX", 0},   {"X", 0},   {"Y", 0},
        {"Z", 0},    {"S", 0},     {"SY", 0},      {"RX", 1},   {"RY", 1},   {"RZ", 1},  {"P", 1},
        {"U1", 1},   {"U2", 2},    {"R", 2},       {"U3", 3},   {"U", 3},    {"SWAP", 0}, {"ISWAP", 0},
        {"CNOT", 0}, {"CX", 0},    {"CZ", 0},      {"IsingZZ", 1}, {"RXX", 1}, {"RYY", 1}, {"RZZ", 1},
        {"CRX", 1},  {"CRY", 1},   {"CRZ", 1},     {"CY", 0},   {"CU1", 1},  {"CU2", 2}, {"CU3", 3},
    };
    // CY, CU1, CU2 and CU3 have no qubit count: they cannot be placed.
    gate_qubit_counts = std::unordered_map<std::string, int>{
        {"H", 1},    {"I", 1},     {"ID", 1},      {"T", 1},    {"SX", 1},   {"X", 1},   {"Y", 1},
        {"Z", 1},    {"S", 1},     {"SY", 1},      {"RX", 1},   {"RY", 1},   {"RZ", 1},  {"P", 1},
        {"U1", 1},   {"U2", 1},    {"R", 1},       {"U3", 1},   {"U", 1},    {"SWAP", 2}, {"ISWAP", 2},
        {"CNOT", 2}, {"CX", 2},    {"CZ", 2},      {"IsingZZ", 2}, {"RXX", 2}, {"RYY", 2}, {"RZZ", 2},
        {"CRX", 2},  {"CRY", 2},   {"CRZ", 2},
    };
}

namespace {
const bool gate_tables_ready = (init_gate_tables(), true);
}  // namespace

int table_param_count(const std::string& name) { return gate_param_counts.at(name); }
int table_qubit_count(const std::string& name) { return gate_qubit_counts.at(name); }

// Gate vocabulary of the n-local builder: parameter and qubit count of every
// gate name a caller may use as a rotation or entanglement block.
#pragma once

#include <string>
#include <unordered_map>

// Built once at library load by init_gate_tables and only read afterwards.
extern std::unordered_map<std::string, int> gate_param_counts;  // 35 entries
extern std::unordered_map<std::string, int> gate_qubit_counts;  // 31 entries

// Fills both tables; run by static initialisation of gate_tables.cpp.
void init_gate_tables();

// Look-ups with unordered_map::at semantics: an absent name throws
// std::out_of_range("unordered_map::at").
int gate_param_count(const std::string& name);
int gate_qubit_count(const std::string& name);

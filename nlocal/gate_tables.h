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

// Look-ups in the tables with unordered_map::at semantics: a name that is not
// in the table throws std::out_of_range("unordered_map::at"); there is no
// default count.
int table_param_count(const std::string& name);
int table_qubit_count(const std::string& name);

#include "clifford/clifford_builder.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <stdexcept>

#include "circuit/memory_need.h"
#include "circuit/seeding.h"

namespace py = pybind11;

std::vector<std::string> all_gate_names;
std::unordered_set<std::string> two_qubit_gate_names;

void init_clifford_tables() {
    all_gate_names = {"cx", "cz", "cy", "swap", "x", "y", "z", "s", "sdg", "h"};
    for (const char* n : {"cx", "cz", "cy", "swap"}) two_qubit_gate_names.insert(n);
}

namespace {
// Defined after the tables in this file, so it runs after they are constructed;
// the tables are destroyed at unload like any other global.
const bool tables_ready = (init_clifford_tables(), true);

const char* const kGatesTypeMessage = "gates must be \"all\" or a list of gate name strings";
}  // namespace

bool is_two_qubit_gate(const std::string& name) { return two_qubit_gate_names.count(name) != 0; }

std::size_t qubits_taken(const std::string& name) {
    if (name == "swap") return 0;  // takes the whole list, whatever its length
    if (name == "cx" || name == "cz" || name == "cy") return 2;
    return 1;
}

CircuitInstruction make_instruction(const std::string& name, const std::vector<int>& qubits) {
    if (qubits.size() < qubits_taken(name))
        throw std::invalid_argument("gate '" + name + "' needs " + std::to_string(qubits_taken(name)) +
                                    " qubit(s), got " + std::to_string(qubits.size()));
    CircuitInstruction ins;
    if (name == "swap") {
        ins.name = "SWAP";
        ins.targets = qubits;
        return ins;
    }
    if (name == "cx" || name == "cz" || name == "cy") {
        ins.name = name == "cx" ? "CX" : name == "cz" ? "CZ" : "CY";
        ins.controls.push_back(qubits[0]);
        ins.targets.push_back(qubits[1]);
        return ins;
    }
    if (name == "x") ins.name = "X";
    else if (name == "y") ins.name = "Y";
    else if (name == "z") ins.name = "Z";
    else if (name == "h") ins.name = "H";
    else if (name == "s") ins.name = "S";
    else ins.name = "SDG";
    ins.targets.push_back(qubits[0]);
    return ins;
}

namespace {
// A fresh distribution per draw, as the circuit a seed gives depends on it.
int draw(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

std::vector<std::string> gate_list_from(const py::object& gates) {
    std::vector<std::string> names;
    if (py::isinstance<py::str>(gates)) {
        if (gates.cast<std::string>() != "all") throw std::invalid_argument(kGatesTypeMessage);
        return all_gate_names;
    }
    if (PyList_Check(gates.ptr()) || PyTuple_Check(gates.ptr())) {
        for (py::handle item : gates) names.push_back(item.cast<std::string>());
        return names;
    }
    throw std::invalid_argument(kGatesTypeMessage);
}
}  // namespace

CircuitData build_random_clifford_data(int num_qubits, int num_gates, py::object gates, int seed) {
    if (num_qubits < 1) throw std::invalid_argument("num_qubits must be >= 1");
    if (num_gates < 0) throw std::invalid_argument("num_gates must be >= 0");
    std::vector<std::string> names = gate_list_from(gates);
    if (names.empty()) throw std::invalid_argument("gates list must not be empty");

    const std::unordered_set<std::string> known(all_gate_names.begin(), all_gate_names.end());
    for (std::string& n : names) {
        for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!known.count(n))
            throw std::invalid_argument("Unsupported gate '" + n + "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h");
    }
    for (const std::string& n : names) {
        if (is_two_qubit_gate(n)) {
            if (num_qubits == 1) throw std::invalid_argument("Two-qubit gates require num_qubits >= 2");
            break;
        }
    }

    // Every gate has one target block ("swap" two targets in it); a draw
    // takes a controlled name ("cx", "cz", "cy") with this share, and such a
    // gate has a control block too.
    const auto controlled_names = std::count_if(names.begin(), names.end(), [](const std::string& n) {
        return is_two_qubit_gate(n) && n != "swap";
    });
    const uint64_t drawn = static_cast<uint64_t>(num_gates);
    const uint64_t controlled = saturating_mul(drawn, static_cast<uint64_t>(controlled_names)) / names.size();
    require_memory(saturating_mul(returned_record_copies,
                                  saturating_add(saturating_mul(drawn, instruction_bytes(1, 0)),
                                                 saturating_mul(controlled, heap_block_bytes(sizeof(int))))));

    std::mt19937 rng = seeded_engine(seed);

    CircuitData data(num_qubits);
    data.instructions.reserve(static_cast<std::size_t>(num_gates));
    const int m = static_cast<int>(names.size());
    std::vector<int> qubits;
    qubits.reserve(2);
    for (int k = 0; k < num_gates; ++k) {
        const std::string& name = names[static_cast<std::size_t>(draw(rng, 0, m - 1))];
        qubits.clear();
        if (is_two_qubit_gate(name)) {
            const int q0 = draw(rng, 0, num_qubits - 1);
            const int r = draw(rng, 0, num_qubits - 2);
            qubits.push_back(q0);
            qubits.push_back(r >= q0 ? r + 1 : r);
        } else {
            qubits.push_back(draw(rng, 0, num_qubits - 1));
        }
        data.instructions.push_back(make_instruction(name, qubits));
    }
    return data;
}

CircuitData build_random_clifford_from_indices(int num_qubits, const std::vector<std::string>& gate_names,
                                               const std::vector<std::vector<int>>& qubit_indices) {
    if (num_qubits < 1) throw std::invalid_argument("num_qubits must be >= 1");
    if (gate_names.size() != qubit_indices.size())
        throw std::invalid_argument("gate_names and qubit_indices must have the same length");
    // Every list is checked before the record is made, so a short one at the
    // end fails without building anything.
    for (std::size_t i = 0; i < gate_names.size(); ++i) {
        const std::size_t need = qubits_taken(gate_names[i]);
        if (qubit_indices[i].size() < need)
            throw std::invalid_argument("gate '" + gate_names[i] + "' at position " + std::to_string(i) + " needs " +
                                        std::to_string(need) + " qubit(s), got " +
                                        std::to_string(qubit_indices[i].size()));
    }
    // Every instruction as make_instruction fills it: "swap" takes the whole
    // list as targets, a two-qubit gate one control and one target, any other
    // gate one target.
    uint64_t bytes = 0;
    for (std::size_t i = 0; i < gate_names.size(); ++i) {
        const std::string& name = gate_names[i];
        bytes += name == "swap" ? instruction_bytes(qubit_indices[i].size(), 0)
                                : instruction_bytes(1, is_two_qubit_gate(name) ? 1 : 0);
    }
    require_memory(saturating_mul(returned_record_copies, bytes));
    CircuitData data(num_qubits);
    data.instructions.reserve(gate_names.size());
    for (std::size_t i = 0; i < gate_names.size(); ++i)
        data.instructions.push_back(make_instruction(gate_names[i], qubit_indices[i]));
    return data;
}

// The shot-sampling driver behind run_cpp: how often each classical bitstring
// comes out of a circuit's MEASURE instructions, per parameter set.  It runs
// on the calling Python thread with the interpreter lock held.
//
// A static circuit (nothing but measurements and markers after its first
// MEASURE) is simulated once per set and every shot samples a basis index
// from the final probabilities; a dynamic one is simulated shot by shot, each
// MEASURE drawing its outcome and collapsing the state where it stands.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "circuit/circuit_data.h"
#include "circuit/memory_need.h"
#include "circuit/seeding.h"
#include "simulator/batch_size.h"
#include "simulator/blocked_run.h"
#include "simulator/gate_application.h"
#include "simulator/instruction_names.h"
#include "statevector/state_vector.h"

// Up to this many amplitudes the static path searches cumulative_probabilities
// (one running sum per amplitude); above, block_cumulative (one per block of
// this many amplitudes), then the chosen block.
constexpr uint64_t sampling_block_size = 65536;

// (qubit, classical bit) of every MEASURE that writes a classical bit, in
// circuit order.
using MeasureMap = std::vector<std::pair<int, int>>;

// Shots per basis index (ascending), and per bitstring (ascending).
using IndexCounts = std::map<uint64_t, int>;
using BitstringCounts = std::map<std::string, int>;

// Uniform in [0, 1) from two engine outputs.
inline double draw_uniform(std::mt19937& engine) { return std::generate_canonical<double, 53>(engine); }

// Classical bit num_cbits - 1 first, bit 0 last; every entry is 0 or 1.
inline std::string bitstring_of(const std::vector<int>& classical_register) {
    const size_t n = classical_register.size();
    std::string s(n, '0');
    for (size_t c = 0; c < n; ++c) s[n - 1 - c] = static_cast<char>('0' + classical_register[c]);
    return s;
}

// ---------------------------------------------------------------------------
// Memory of the sampling results, which grows with the number of distinct
// outcomes and with num_cbits

// One entry of an IndexCounts map (a tree node).
inline constexpr uint64_t index_count_bytes = 64;

// Characters of a bitstring (a negative num_cbits makes none).
inline uint64_t bitstring_length(int num_cbits) { return static_cast<uint64_t>(std::max(0, num_cbits)); }

// One distinct bitstring in BitstringCounts: its tree node and, beyond the
// string's inline capacity, the characters.
inline uint64_t bitstring_count_bytes(int num_cbits) {
    const uint64_t chars = bitstring_length(num_cbits);
    return saturating_add(heap_block_bytes(72), chars > 15 ? heap_block_bytes(chars + 1) : 0);
}

// One entry of the returned dict: the key str (its header, the characters and
// a terminator), the count's int and the dict's slot.
inline uint64_t bitstring_dict_entry_bytes(int num_cbits) {
    return saturating_add(heap_block_bytes(saturating_add(41, bitstring_length(num_cbits))), 32 + 64);
}

// One shot's classical_register and the bitstring formed from it.
inline uint64_t register_bytes(int num_cbits) {
    const uint64_t n = bitstring_length(num_cbits);
    return saturating_add(heap_block_bytes(saturating_mul(n, sizeof(int))), heap_block_bytes(saturating_add(n, 1)));
}

// The classical bit a MEASURE writes: controls[0], else its qubit.
inline int measured_cbit(const CircuitInstruction& ins) {
    return ins.controls.empty() ? ins.targets[0] : ins.controls[0];
}

// The classical bit a MEASURE writes when it is kept: it has a target and its
// bit lies below num_cbits.  Any other MEASURE is passed over entirely.
inline std::optional<int> kept_cbit(const CircuitInstruction& ins, int num_cbits) {
    if (ins.targets.empty()) return std::nullopt;
    const int cbit = measured_cbit(ins);
    if (cbit >= num_cbits) return std::nullopt;
    return cbit;
}

template <typename T>
double amplitude_probability(const StateVector<T>& s, uint64_t i) {
    const double re = s.real[i], im = s.imag[i];
    return re * re + im * im;
}

// ---------------------------------------------------------------------------
// The steps of run_impl before the first parameter set

// Without a MEASURE there is nothing to sample.  Measured qubits must fit the
// 64-bit index masks and classical bits must not be negative; both are
// checked before any shot.
inline void check_measurements(const std::vector<CircuitInstruction>& instructions) {
    if (std::none_of(instructions.begin(), instructions.end(),
                     [](const CircuitInstruction& i) { return is_measure(i.name); }))
        throw std::runtime_error(
            "Circuit does not contain any MEASURE gate. Measurement requires explicit MEASURE gates in the "
            "circuit.");
    for (const CircuitInstruction& ins : instructions) {
        if (!is_measure(ins.name) || ins.targets.empty()) continue;
        const int q = ins.targets[0], cbit = measured_cbit(ins);
        if (q < 0 || q >= 64)
            throw std::runtime_error("run_cpp: MEASURE on qubit " + std::to_string(q) +
                                     " is out of range (qubits 0 to 63 can be measured)");
        if (cbit < 0)
            throw std::runtime_error("run_cpp: MEASURE into classical bit " + std::to_string(cbit) +
                                     " (classical bits must not be negative)");
    }
}

// Dynamic: an instruction other than a measurement or a marker follows the
// first MEASURE.  What comes before it never counts.
inline bool is_dynamic_circuit(const std::vector<CircuitInstruction>& instructions) {
    const auto first = std::find_if(instructions.begin(), instructions.end(),
                                    [](const CircuitInstruction& i) { return is_measure(i.name); });
    return std::any_of(first, instructions.end(),
                       [](const CircuitInstruction& i) { return !is_measure(i.name) && !is_marker(i.name); });
}

inline MeasureMap build_measure_map(const std::vector<CircuitInstruction>& instructions, int num_cbits) {
    MeasureMap measure_map;
    for (const CircuitInstruction& ins : instructions) {
        if (!is_measure(ins.name)) continue;
        if (const std::optional<int> cbit = kept_cbit(ins, num_cbits)) measure_map.emplace_back(ins.targets[0], *cbit);
    }
    return measure_map;
}

// ---------------------------------------------------------------------------
// The circuit of a run_cpp call, resolved once: one matrix cache and one ready
// list for the whole call.  The list is made when the first state exists, so
// the state's own errors come first and a call that simulates nothing (a
// dynamic circuit without shots) resolves nothing; each further parameter set
// refreshes only its set-dependent matrices.  A dynamic circuit's list keeps
// its kept MEASUREs as measure steps; a static one passes over them.
template <typename T>
struct CircuitResolution {
    int num_cbits;
    bool keep_measures;
    GateMatrixCache cache;
    ResolvedCircuit<T> resolved;

    CircuitResolution(int cbits, bool keep) : num_cbits(cbits), keep_measures(keep) {}

    // Runs the circuit's list for set b on the state.
    template <typename Measure>
    void run(StateVector<T>& state, const CircuitData& circuit, int b, ResetRng& rng, Measure&& measure) {
        resolved.for_set(circuit, cache, b, pass_team(circuit.num_qubits),
                         [this](ReadyList<T>& l, const CircuitInstruction& ins) {
                             if (!keep_measures) return;
                             if (const std::optional<int> cbit = kept_cbit(ins, num_cbits))
                                 l.add(ReadyKind::measure, ins.targets[0], *cbit);
                         });
        run_ready_list(state, resolved.list, resolved.plan, [&]() -> ResetRng& { return rng; }, measure);
    }
};

// ---------------------------------------------------------------------------
// Static path

// The sampling table: cumulative_probabilities (a running sum per amplitude)
// up to sampling_block_size amplitudes, else block_cumulative (a running sum
// per block of that many).  The last entry is set to 1.0, so every uniform
// below 1 lands inside.
template <typename T>
std::vector<double> build_sampling_table(const StateVector<T>& state) {
    const uint64_t dim = state.dim;
    std::vector<double> table;
    double sum = 0.0;
    if (dim <= sampling_block_size) {
        table.resize(dim);
        for (uint64_t i = 0; i < dim; ++i) table[i] = sum += amplitude_probability(state, i);
    } else {
        const int blocks = static_cast<int>(dim / sampling_block_size);
        table.resize(blocks);
        for (int j = 0; j < blocks; ++j) {
            double block = 0.0;
            const uint64_t base = static_cast<uint64_t>(j) * sampling_block_size;
            for (uint64_t i = base; i < base + sampling_block_size; ++i) block += amplitude_probability(state, i);
            table[j] = sum += block;
        }
    }
    table.back() = 1.0;
    return table;
}

// Position of the first running sum not less than r; the last position when
// every sum is below r.
inline size_t first_not_less(const std::vector<double>& sums, double r) {
    const auto pos = std::lower_bound(sums.begin(), sums.end(), r);
    return pos == sums.end() ? sums.size() - 1 : static_cast<size_t>(pos - sums.begin());
}

// Moves the hit counts of positions base + k into `found`, under the index's
// bits in `keep`, and clears `hits`.
inline void collect_hits(std::vector<int>& hits, uint64_t base, uint64_t keep, IndexCounts& found,
                         MemoryGrowth& growth) {
    for (size_t k = 0; k < hits.size(); ++k)
        if (hits[k]) {
            const auto [entry, added] = found.try_emplace((base + k) & keep, 0);
            if (added) growth.add(index_count_bytes);
            entry->second += hits[k];
            hits[k] = 0;
        }
}

// Running probabilities of the amplitudes of block j, summed from 0.0.
template <typename T>
void block_running_sums(const StateVector<T>& state, size_t j, std::vector<double>& running) {
    const uint64_t base = static_cast<uint64_t>(j) * sampling_block_size;
    double acc = 0.0;
    for (uint64_t k = 0; k < sampling_block_size; ++k) running[k] = acc += amplitude_probability(state, base + k);
}

// One chunk of shots of the two-level search, grouped by block: the uniforms
// of block j, each reduced by block_cumulative[j - 1], are
// rests[start[j]] .. rests[start[j + 1] - 1].
struct ShotsByBlock {
    std::vector<uint32_t> start;
    std::vector<double> rests;
};

// Draws m uniforms in shot order, finds each one's block and groups the
// reduced uniforms by block (a counting sort).
inline ShotsByBlock draw_shots_by_block(const std::vector<double>& block_cumulative, int m, std::mt19937& engine) {
    std::vector<uint32_t> block_of(m);
    std::vector<double> rest(m);
    for (int s = 0; s < m; ++s) {
        double r = draw_uniform(engine);
        const size_t j = first_not_less(block_cumulative, r);
        if (j > 0) r -= block_cumulative[j - 1];
        block_of[s] = static_cast<uint32_t>(j);
        rest[s] = r;
    }
    ShotsByBlock grouped{std::vector<uint32_t>(block_cumulative.size() + 1, 0), std::vector<double>(m)};
    for (uint32_t j : block_of) ++grouped.start[j + 1];
    for (size_t j = 0; j < block_cumulative.size(); ++j) grouped.start[j + 1] += grouped.start[j];
    std::vector<uint32_t> next(grouped.start.begin(), grouped.start.end() - 1);
    for (int s = 0; s < m; ++s) grouped.rests[next[block_of[s]]++] = rest[s];
    return grouped;
}

// Scratch of sample_static_indices beside the table: the hit counters, and
// above sampling_block_size amplitudes one block's running sums and one chunk
// of drawn shots.
inline constexpr int static_shot_chunk = 1 << 20;
inline uint64_t static_sampling_scratch_bytes(uint64_t dim, int shots) {
    if (dim <= sampling_block_size) return dim * sizeof(int);
    const uint64_t chunk = static_cast<uint64_t>(std::clamp(shots, 0, static_shot_chunk));
    return sampling_block_size * (sizeof(double) + sizeof(int)) + chunk * (sizeof(uint32_t) + 2 * sizeof(double)) +
           (dim / sampling_block_size) * 2 * sizeof(uint32_t);
}

// The sampling table (see build_sampling_table) of a state of dim amplitudes.
inline uint64_t sampling_table_bytes(uint64_t dim) {
    return (dim <= sampling_block_size ? dim : dim / sampling_block_size) * sizeof(double);
}

// Draws one uniform per shot, in shot order, and counts the basis index each
// one chooses, keeping only its bits in `keep` (the qubits the shots read).
// Above sampling_block_size amplitudes, the shots are drawn in chunks of 2^20
// (bounding the scratch memory) and the shots of one block are resolved
// together against that block's running sums, which gives the same index as
// scanning the block for every shot.
template <typename T>
IndexCounts sample_static_indices(const StateVector<T>& state, const std::vector<double>& table, int shots,
                                  std::mt19937& engine, uint64_t keep = ~uint64_t{0}) {
    IndexCounts found;
    MemoryGrowth growth;
    if (shots <= 0) return found;
    if (state.dim <= sampling_block_size) {
        std::vector<int> hits(state.dim, 0);
        for (int s = 0; s < shots; ++s) ++hits[first_not_less(table, draw_uniform(engine))];
        collect_hits(hits, 0, keep, found, growth);
        return found;
    }
    constexpr int chunk = static_shot_chunk;
    std::vector<double> running(sampling_block_size);
    std::vector<int> hits(sampling_block_size, 0);
    for (int done = 0, m = 0; done < shots; done += m) {
        m = std::min(chunk, shots - done);
        const ShotsByBlock grouped = draw_shots_by_block(table, m, engine);
        for (size_t j = 0; j < table.size(); ++j) {
            if (grouped.start[j] == grouped.start[j + 1]) continue;
            block_running_sums(state, j, running);
            for (uint32_t s = grouped.start[j]; s < grouped.start[j + 1]; ++s)
                ++hits[first_not_less(running, grouped.rests[s])];
            collect_hits(hits, static_cast<uint64_t>(j) * sampling_block_size, keep, found, growth);
        }
    }
    return found;
}

// Parameter set b of a static circuit: one simulation (its RESETs draw here,
// once), then one draw per shot; every shot that chose the same basis index
// reads the same classical_register.
template <typename T>
BitstringCounts sample_static(const CircuitData& circuit, int b, int shots, int num_cbits,
                              const MeasureMap& measure_map, ResetRng& rng, CircuitResolution<T>& resolution) {
    StateVector<T> state(circuit.num_qubits);
    resolution.run(state, circuit, b, rng, [](int, int) {});
    const std::vector<double> table = build_sampling_table(state);
    uint64_t read = 0;  // the qubits whose bits reach the register
    for (const auto& [qubit, cbit] : measure_map) read |= uint64_t{1} << qubit;
    const IndexCounts found = sample_static_indices(state, table, shots, rng.engine, read);
    // Every distinct index makes at most one new bitstring.
    require_memory(saturating_mul(found.size(), bitstring_count_bytes(num_cbits)));
    BitstringCounts counts;
    for (const auto& [index, count] : found) {
        std::vector<int> classical_register(num_cbits);
        for (const auto& [qubit, cbit] : measure_map)
            classical_register[cbit] = static_cast<int>((index >> qubit) & 1u);
        counts[bitstring_of(classical_register)] += count;
    }
    return counts;
}

// ---------------------------------------------------------------------------
// Dynamic path

// Measurement of qubit `q` inside a shot, given the drawn uniform `r`:
// collapse onto the outcome and renormalise.  An outcome whose probability is
// at or below the threshold is never taken (the other one is, with its own
// scale), so a shot never continues on an all-zero state.
template <typename T>
int measure_collapse(StateVector<T>& state, int q, double r) {
    const uint64_t mask = uint64_t{1} << q;
    double p0 = 0.0, p1 = 0.0;
    for (uint64_t i = 0; i < state.dim; ++i) {
        const double re = state.real[i], im = state.imag[i];
        if (i & mask) {
            p1 += re * re + im * im;
        } else {
            p0 += re * re;
            p0 += im * im;
        }
    }
    int outcome = r < p0 ? 0 : 1;
    if (outcome == 0 && !(p0 > 1e-15))
        outcome = 1;
    else if (outcome == 1 && (!(p0 < 0.999999999999999) || !(p1 > 1e-15)))
        outcome = 0;
    const double scale = outcome == 0 ? 1.0 / std::sqrt(p0) : 1.0 / std::sqrt(1.0 - p0);
    const uint64_t keep = outcome ? mask : 0;
    for (uint64_t i = 0; i < state.dim; ++i) {
        if ((i & mask) == keep) {
            state.real[i] = static_cast<T>(static_cast<double>(state.real[i]) * scale);
            state.imag[i] = static_cast<T>(static_cast<double>(state.imag[i]) * scale);
        } else {
            state.real[i] = 0;
            state.imag[i] = 0;
        }
    }
    return outcome;
}

// One shot of a dynamic circuit on `state`, which holds |0...0>: the
// circuit's list for set b is resolved at the first shot of the call or
// refreshed for the set; a kept MEASURE draws its outcome and writes it to
// the classical_register.
template <typename T>
std::string run_dynamic_shot(StateVector<T>& state, const CircuitData& circuit, int b, int num_cbits, ResetRng& rng,
                             CircuitResolution<T>& resolution) {
    std::vector<int> classical_register(num_cbits);
    resolution.run(state, circuit, b, rng, [&](int qubit, int cbit) {
        classical_register[cbit] = measure_collapse(state, qubit, draw_uniform(rng.engine));
    });
    return bitstring_of(classical_register);
}

// The shots of set b, each from |0...0> on one state made at the first shot
// and returned to |0...0> for each further one.
template <typename T>
BitstringCounts sample_dynamic(const CircuitData& circuit, int b, int shots, int num_cbits, ResetRng& rng,
                               CircuitResolution<T>& resolution) {
    BitstringCounts counts;
    MemoryGrowth growth;
    std::optional<StateVector<T>> state;
    for (int s = 0; s < shots; ++s) {
        StateVector<T>& shot_state = fresh_zero_state(state, circuit.num_qubits);
        const auto [entry, added] =
            counts.try_emplace(run_dynamic_shot<T>(shot_state, circuit, b, num_cbits, rng, resolution), 0);
        if (added) growth.add(bitstring_count_bytes(num_cbits));
        ++entry->second;
    }
    return counts;
}

// ---------------------------------------------------------------------------

inline pybind11::dict counts_to_dict(const BitstringCounts& counts, int num_cbits) {
    require_memory(saturating_mul(counts.size(), bitstring_dict_entry_bytes(num_cbits)));
    pybind11::dict d;
    for (const auto& [key, count] : counts) d[pybind11::str(key)] = pybind11::int_(count);
    return d;
}

// What a parameter set needs before its first outcome is counted: the state
// (with the static path's table and scratch) must fit, else the state is not
// made; then with it one shot's register and bitstring, else std::bad_alloc.
// A qubit count out of range is left to the state, which reports it where it
// is made; a dynamic circuit without shots makes no state.
template <typename T>
void check_sampling_memory(int num_qubits, int shots, int num_cbits, bool dynamic_circuit) {
    if (!num_qubits_in_range(num_qubits) || (dynamic_circuit && shots <= 0)) return;
    uint64_t state = state_vector_bytes<T>(num_qubits);
    if (!dynamic_circuit) {
        const uint64_t dim = uint64_t{1} << num_qubits;
        state = saturating_add(state, sampling_table_bytes(dim) + static_sampling_scratch_bytes(dim, shots));
    }
    const uint64_t outcome = saturating_add(register_bytes(num_cbits), bitstring_count_bytes(num_cbits));
    const uint64_t total = shots > 0 ? saturating_add(state, outcome) : state;
    if (memory_fits(total)) return;
    if (!memory_fits(state)) throw_state_allocation_failure();
    throw std::bad_alloc();
}

// All parameter sets, all shots and all RESETs draw from one engine, seeded
// once, so with a fixed seed set b depends on the draws of the sets before it.
template <typename T>
pybind11::object run_impl(const CircuitData& circuit, int shots, int num_cbits, int seed) {
    check_measurements(circuit.instructions);
    const int32_t batches = circuit_batch_size(circuit);
    const bool dynamic_circuit = is_dynamic_circuit(circuit.instructions);
    const MeasureMap measure_map = build_measure_map(circuit.instructions, num_cbits);
    check_sampling_memory<T>(circuit.num_qubits, shots, num_cbits, dynamic_circuit);
    ResetRng rng{seeded_engine(seed)};
    CircuitResolution<T> resolution(num_cbits, dynamic_circuit);

    pybind11::list result;
    for (int b = 0; b < std::max(1, static_cast<int>(batches)); ++b) {
        const BitstringCounts counts =
            dynamic_circuit ? sample_dynamic<T>(circuit, b, shots, num_cbits, rng, resolution)
                            : sample_static<T>(circuit, b, shots, num_cbits, measure_map, rng, resolution);
        result.append(counts_to_dict(counts, num_cbits));
    }
    if (batches <= 1) return pybind11::object(result[0]);
    return result;
}

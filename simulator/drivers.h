// The two drivers of the simulator: final amplitudes (cal_states_impl) and
// shot sampling (run_impl).  Both run on the calling Python thread with the
// interpreter lock held; worker threads never touch Python objects.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit/circuit_data.h"
#include "circuit/seeding.h"
#include "simulator/batch_size.h"
#include "simulator/gate_application.h"
#include "statevector/reset.h"
#include "statevector/state_vector.h"

// Per thread and per amplitude type: the engine and distribution of RESET in
// cal_states_impl, seeded once from the system random source on first use.
template <typename T>
struct ResetRng {
    std::mt19937 engine = seeded_engine(seed_from_device);
    std::uniform_real_distribution<double> distribution{0.0, 1.0};
};

template <typename T>
ResetRng<T>& reset_rng() {
    thread_local ResetRng<T> rng;
    return rng;
}

// RESET of the first target (none: nothing), after checking the index.
template <typename T>
void reset_first_target(StateVector<T>& state, const CircuitInstruction& ins, std::mt19937& engine,
                        std::uniform_real_distribution<double>& distribution) {
    if (ins.targets.empty()) return;
    check_qubit_index("RESET", ins.targets[0], state.num_qubits);
    reset_qubit(state, static_cast<uint32_t>(ins.targets[0]), engine, distribution);
}

// Runs every instruction of the circuit on `state` for parameter set b, with
// RESETs drawn from this thread's reset_rng.
template <typename T>
void apply_circuit_for_amplitudes(StateVector<T>& state, const CircuitData& circuit, GateMatrixCache& cache,
                                  int b) {
    for (const CircuitInstruction& ins : circuit.instructions) {
        if (ins.name == "RESET") {
            ResetRng<T>& rng = reset_rng<T>();
            reset_first_target(state, ins, rng.engine, rng.distribution);
        } else {
            apply_gate_single_batch(state, ins, cache, b);
        }
    }
}

// The state's planar amplitudes as interleaved complex numbers at dst.
template <typename T>
void write_amplitudes(const StateVector<T>& state, std::complex<T>* dst) {
    for (uint64_t i = 0; i < state.dim; ++i) dst[i] = std::complex<T>(state.real[i], state.imag[i]);
}

template <typename T>
pybind11::object cal_states_impl(const CircuitData& circuit) {
    namespace py = pybind11;
    const int n = circuit.num_qubits;
    const int32_t sets = circuit_batch_size(circuit);
    reset_rng<T>();
    GateMatrixCache cache;
    const int type_number = sizeof(T) == 4 ? 14 : 15;  // complex64 / complex128
    const py::ssize_t elem = static_cast<py::ssize_t>(2 * sizeof(T));

    if (sets < 2) {
        StateVector<T> state(n);
        apply_circuit_for_amplitudes(state, circuit, cache, 0);
        const py::ssize_t dim = static_cast<py::ssize_t>(state.dim);
        py::array out(py::dtype(type_number), {dim}, {elem});
        py::buffer_info view = out.request(true);
        auto* dst = static_cast<std::complex<T>*>(view.ptr);
        write_amplitudes(state, dst);
        return out;
    }

    // Batched: never form 2^n from an unsupported count.
    check_num_qubits_range(n);
    const uint64_t dim = uint64_t{1} << n;
    std::vector<std::vector<std::complex<T>>> rows;
    {
        std::vector<std::complex<T>> zero_row(dim);
        rows.assign(static_cast<size_t>(sets), zero_row);
    }

    std::exception_ptr failure;
    std::mutex failure_lock;
    std::atomic<bool> failed{false};
    const int team = kernel_team_size(n);
#pragma omp parallel num_threads(team)
    {
        // One cache per thread: the call's cache is never shared.
        GateMatrixCache local_cache;
        const BlockShare share = static_block_partition(sets, omp_get_num_threads(), omp_get_thread_num());
        for (int64_t b = share.first; b < share.first + share.count && !failed.load(); ++b) {
            try {
                StateVector<T> state(n);
                apply_circuit_for_amplitudes(state, circuit, local_cache, static_cast<int>(b));
                write_amplitudes(state, rows[static_cast<size_t>(b)].data());
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_lock);
                if (!failure) failure = std::current_exception();
                failed.store(true);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);

    py::array out(py::dtype(type_number), {static_cast<py::ssize_t>(sets), static_cast<py::ssize_t>(dim)},
                  {static_cast<py::ssize_t>(dim) * elem, elem});
    py::buffer_info view = out.request(true);
    auto* dst = static_cast<std::complex<T>*>(view.ptr);
    for (int32_t b = 0; b < sets; ++b) std::copy(rows[b].begin(), rows[b].end(), dst + static_cast<uint64_t>(b) * dim);
    return out;
}

// ---------------------------------------------------------------------------
// Shot sampling

constexpr uint64_t sampling_block_size = 65536;

// Uniform in [0, 1) from two engine outputs.
inline double draw_uniform(std::mt19937& engine) { return std::generate_canonical<double, 53>(engine); }

inline std::string bitstring_of(const std::vector<int>& reg) {
    std::string s;
    for (int v : reg) s += std::to_string(v);
    std::reverse(s.begin(), s.end());
    return s;
}

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

inline int measured_cbit(const CircuitInstruction& ins) {
    return ins.controls.empty() ? ins.targets[0] : ins.controls[0];
}

template <typename T>
double amplitude_probability(const StateVector<T>& s, uint64_t i) {
    const double re = s.real[i], im = s.imag[i];
    return re * re + im * im;
}

// Sampling table of the static path: running sums of the probabilities, per
// amplitude up to sampling_block_size amplitudes, else per block of that
// many; the last entry is set to 1.0 so every uniform below 1 lands inside.
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

// Draws one uniform per shot, in shot order, and returns how often each basis
// index was chosen (ascending index).  Per shot: the first table entry not
// less than the uniform; above sampling_block_size amplitudes, that entry is
// a block and, with the uniform reduced by the blocks before it, the index is
// the first one of the block whose running probability (summed from 0.0 in
// index order) is not less than it, or the block's last index.  The shots of
// one block are resolved together against that block's running sums, which
// gives the same indices as scanning the block for every shot.
template <typename T>
std::vector<std::pair<uint64_t, int>> sample_static_indices(const StateVector<T>& state,
                                                            const std::vector<double>& table, int shots,
                                                            std::mt19937& engine) {
    std::vector<std::pair<uint64_t, int>> result;
    if (shots <= 0) return result;
    const uint64_t dim = state.dim;
    if (dim <= sampling_block_size) {
        std::vector<int> hits(dim, 0);
        for (int s = 0; s < shots; ++s) {
            const double r = draw_uniform(engine);
            const auto pos = std::lower_bound(table.begin(), table.end(), r);
            ++hits[pos == table.end() ? dim - 1 : static_cast<uint64_t>(pos - table.begin())];
        }
        for (uint64_t i = 0; i < dim; ++i)
            if (hits[i]) result.emplace_back(i, hits[i]);
        return result;
    }

    const size_t blocks = table.size();
    constexpr int chunk = 1 << 20;  // bounds the per-shot scratch memory
    std::map<uint64_t, int> found;
    std::vector<double> running(sampling_block_size);
    std::vector<int> block_hits(sampling_block_size, 0);
    std::vector<uint32_t> first(blocks + 1);
    for (int done = 0; done < shots;) {
        const int m = std::min(chunk, shots - done);
        std::vector<double> rest(m);
        std::vector<uint32_t> block_of(m);
        for (int s = 0; s < m; ++s) {
            double r = draw_uniform(engine);
            const auto pos = std::lower_bound(table.begin(), table.end(), r);
            const size_t j = pos == table.end() ? blocks - 1 : static_cast<size_t>(pos - table.begin());
            if (j > 0) r -= table[j - 1];
            rest[s] = r;
            block_of[s] = static_cast<uint32_t>(j);
        }
        // Group the shots by block (counting sort).
        std::fill(first.begin(), first.end(), 0);
        for (int s = 0; s < m; ++s) ++first[block_of[s] + 1];
        for (size_t j = 0; j < blocks; ++j) first[j + 1] += first[j];
        std::vector<double> grouped(m);
        {
            std::vector<uint32_t> fill(first.begin(), first.end() - 1);
            for (int s = 0; s < m; ++s) grouped[fill[block_of[s]]++] = rest[s];
        }
        for (size_t j = 0; j < blocks; ++j) {
            if (first[j] == first[j + 1]) continue;
            const uint64_t base = static_cast<uint64_t>(j) * sampling_block_size;
            double acc = 0.0;
            for (uint64_t k = 0; k < sampling_block_size; ++k) running[k] = acc += amplitude_probability(state, base + k);
            for (uint32_t s = first[j]; s < first[j + 1]; ++s) {
                const auto pos = std::lower_bound(running.begin(), running.end(), grouped[s]);
                ++block_hits[pos == running.end() ? sampling_block_size - 1
                                                  : static_cast<uint64_t>(pos - running.begin())];
            }
            for (uint64_t k = 0; k < sampling_block_size; ++k)
                if (block_hits[k]) {
                    found[base + k] += block_hits[k];
                    block_hits[k] = 0;
                }
        }
        done += m;
    }
    result.assign(found.begin(), found.end());
    return result;
}

template <typename T>
pybind11::object run_impl(const CircuitData& circuit, int shots, int num_cbits, int seed) {
    namespace py = pybind11;
    const auto& instructions = circuit.instructions;
    if (std::none_of(instructions.begin(), instructions.end(),
                     [](const CircuitInstruction& i) { return i.name == "MEASURE"; }))
        throw std::runtime_error(
            "Circuit does not contain any MEASURE gate. Measurement requires explicit MEASURE gates in the "
            "circuit.");
    // Measured qubits must fit the 64-bit index masks; classical bits must not be negative.
    for (const CircuitInstruction& ins : instructions) {
        if (ins.name != "MEASURE" || ins.targets.empty()) continue;
        const int q = ins.targets[0];
        if (q < 0 || q >= 64)
            throw std::runtime_error("run_cpp: MEASURE on qubit " + std::to_string(q) +
                                     " is out of range (qubits 0 to 63 can be measured)");
        if (measured_cbit(ins) < 0)
            throw std::runtime_error("run_cpp: MEASURE into classical bit " + std::to_string(measured_cbit(ins)) +
                                     " (classical bits must not be negative)");
    }

    const int n = circuit.num_qubits;
    const int32_t batches = circuit_batch_size(circuit);

    bool dynamic_circuit = false;
    {
        bool seen = false;
        for (const CircuitInstruction& ins : instructions) {
            if (!seen) {
                seen = ins.name == "MEASURE";
                continue;
            }
            if (ins.name != "MEASURE" && ins.name != "BARRIER" && ins.name != "QIF" && ins.name != "QWHILE") {
                dynamic_circuit = true;
                break;
            }
        }
    }

    std::vector<std::pair<int, int>> measure_map;
    for (const CircuitInstruction& ins : instructions) {
        if (ins.name != "MEASURE" || ins.targets.empty()) continue;
        const int cbit = measured_cbit(ins);
        if (cbit < num_cbits) measure_map.emplace_back(ins.targets[0], cbit);
    }

    std::mt19937 engine = seeded_engine(seed);
    std::uniform_real_distribution<double> distribution(0.0, 1.0);

    const int nb = std::max(1, static_cast<int>(batches));
    py::list result;
    for (int b = 0; b < nb; ++b) {
        std::map<std::string, int> counts;
        if (dynamic_circuit) {
            for (int s = 0; s < shots; ++s) {
                StateVector<T> state(n);
                GateMatrixCache cache;
                std::vector<int> reg(num_cbits);
                for (const CircuitInstruction& ins : instructions) {
                    const std::string& name = ins.name;
                    if (name == "MEASURE") {
                        if (ins.targets.empty() || measured_cbit(ins) >= num_cbits) continue;
                        reg[measured_cbit(ins)] = measure_collapse(state, ins.targets[0], draw_uniform(engine));
                    } else if (name == "BARRIER" || name == "QIF" || name == "QWHILE") {
                        continue;
                    } else if (name == "RESET") {
                        reset_first_target(state, ins, engine, distribution);
                    } else {
                        apply_gate_single_batch(state, ins, cache, b);
                    }
                }
                ++counts[bitstring_of(reg)];
            }
        } else {
            StateVector<T> state(n);
            GateMatrixCache cache;
            for (const CircuitInstruction& ins : instructions) {
                if (ins.name == "RESET")
                    reset_first_target(state, ins, engine, distribution);
                else
                    apply_gate_single_batch(state, ins, cache, b);  // passes MEASURE and markers over
            }
            const std::vector<double> table = build_sampling_table(state);
            const auto index_counts = sample_static_indices(state, table, shots, engine);
            // Every shot that drew the same basis index gives the same bitstring.
            for (const auto& [index, count] : index_counts) {
                std::vector<int> reg(num_cbits);
                for (const auto& [qubit, cbit] : measure_map) reg[cbit] = static_cast<int>((index >> qubit) & 1u);
                counts[bitstring_of(reg)] += count;
            }
        }
        py::dict d;
        for (const auto& [key, count] : counts) d[py::str(key)] = py::int_(count);
        result.append(std::move(d));
    }
    if (batches <= 1) return py::object(result[0]);
    return result;
}

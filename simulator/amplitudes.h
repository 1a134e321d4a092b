// The amplitude driver behind cal_states_cpp: the final state of a circuit
// from |0...0>, one row per parameter set when there are two or more.  It runs
// on the calling Python thread with the interpreter lock held; the worker
// threads of simulate_batches never touch Python objects.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "circuit/circuit_data.h"
#include "circuit/memory_need.h"
#include "circuit/seeding.h"
#include "simulator/batch_size.h"
#include "simulator/blocked_run.h"
#include "simulator/gate_application.h"
#include "statevector/state_vector.h"
#include "statevector/thread_team.h"

// Per thread and per amplitude type: what RESET draws from in cal_states_impl,
// seeded from the system random source on the thread's first use and never
// reseeded, so RESET outcomes are not reproducible.
template <typename T>
ResetRng& reset_rng() {
    thread_local ResetRng rng{seeded_engine(seed_from_device)};
    return rng;
}

// The circuit resolved for parameter set b (or, when it already is for
// another set, refreshed for b), then run on `state` with RESETs drawn from
// this thread's reset_rng.
template <typename T>
void apply_circuit_for_amplitudes(StateVector<T>& state, const CircuitData& circuit, GateMatrixCache& cache, int b,
                                  ResolvedCircuit<T>& resolved) {
    resolved.for_set(circuit, cache, b, pass_team(circuit.num_qubits), [](ReadyList<T>&, const CircuitInstruction&) {});
    run_ready_list(state, resolved.list, resolved.plan, reset_rng<T>);
}

// The state's planar amplitudes as interleaved complex numbers at dst, by the
// kernels' team (on the calling thread alone inside a region, as for the sets
// of a batch), each thread a contiguous share.
template <typename T>
void write_amplitudes(const StateVector<T>& state, std::complex<T>* dst) {
    const T* const re = state.real;
    const T* const im = state.imag;
    launch_kernel(state.num_qubits, static_cast<int64_t>(state.dim), [=](int64_t first, int64_t count) {
        for (int64_t i = first; i < first + count; ++i) dst[i] = std::complex<T>(re[i], im[i]);
    });
}

// A new C-contiguous NumPy array of complex T (complex64 or complex128) with
// the given shape, whose data `fill` writes.
template <typename T, typename Fill>
pybind11::object new_complex_array(const std::vector<pybind11::ssize_t>& shape, Fill&& fill) {
    namespace py = pybind11;
    const int type_number = sizeof(T) == 4 ? 14 : 15;  // complex64 / complex128
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t stride = static_cast<py::ssize_t>(2 * sizeof(T));
    for (size_t k = shape.size(); k-- > 0;) {
        strides[k] = stride;
        stride *= shape[k];
    }
    py::array out(py::dtype(type_number), shape, strides);
    py::buffer_info view = out.request(true);
    fill(static_cast<std::complex<T>*>(view.ptr));
    return out;
}

// The parameter-set region: sets split in contiguous shares over a team of
// kernel_team_size(n) threads (one in a forked child), each thread with its
// own state (made at its first set, returned to |0...0> for each further
// one), its own matrix cache and its own ready list (resolved at its first
// set, refreshed for each further one); set b's amplitudes go to row_of(b).
// The first error of any set is rethrown after the region.
template <typename T, typename RowOf>
void simulate_batches(const CircuitData& circuit, int64_t sets, const RowOf& row_of) {
    const int n = circuit.num_qubits;
    std::exception_ptr failure;
    std::mutex failure_lock;
    std::atomic<bool> failed{false};
    run_parallel_region(kernel_team_size(n), [&]() {
        GateMatrixCache local_cache;
        ResolvedCircuit<T> resolved;
        std::optional<StateVector<T>> state;
        const BlockShare share = static_block_partition(sets, omp_get_num_threads(), omp_get_thread_num());
        for (int64_t b = share.first; b < share.first + share.count && !failed.load(); ++b) {
            try {
                StateVector<T>& s = fresh_zero_state(state, n);
                apply_circuit_for_amplitudes(s, circuit, local_cache, static_cast<int>(b), resolved);
                write_amplitudes(s, row_of(b));
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_lock);
                if (!failure) failure = std::current_exception();
                failed.store(true);
            }
        }
    });
    if (failure) std::rethrow_exception(failure);
}

template <typename T>
void simulate_batches(const CircuitData& circuit, std::vector<std::vector<std::complex<T>>>& rows) {
    simulate_batches<T>(circuit, static_cast<int64_t>(rows.size()),
                         [&rows](int64_t b) { return rows[static_cast<size_t>(b)].data(); });
}

// Bytes of `sets` rows of 2^n complex T (n already in range): the rows of a
// batched call, or the NumPy array returned for them.
template <typename T>
uint64_t amplitude_rows_bytes(uint64_t sets, int n) {
    return saturating_mul(sets, saturating_mul(uint64_t{1} << n, sizeof(std::complex<T>)));
}

// Fewer than two parameter sets: one state, returned as a one-dimensional array.
// The state and the array must fit together, else the state is not made.
template <typename T>
pybind11::object single_set_amplitudes(const CircuitData& circuit) {
    const int n = circuit.num_qubits;
    check_num_qubits_range(n);
    if (!memory_fits(saturating_add(state_vector_bytes<T>(n), amplitude_rows_bytes<T>(1, n))))
        throw_state_allocation_failure();
    GateMatrixCache cache;
    StateVector<T> state(circuit.num_qubits);
    ResolvedCircuit<T> resolved;
    apply_circuit_for_amplitudes(state, circuit, cache, 0, resolved);
    return new_complex_array<T>({static_cast<pybind11::ssize_t>(state.dim)},
                                [&](std::complex<T>* dst) { write_amplitudes(state, dst); });
}

// The memory a batched call is checked against: rows of all sets beside
// either a state per running thread or a second copy of the rows, whichever
// is larger.  The call itself needs less (the array, which the sets' threads
// write directly, and a state per thread), so every call the check lets
// through fits.
template <typename T>
uint64_t batched_amplitudes_bytes(int n, int32_t sets) {
    const uint64_t rows = amplitude_rows_bytes<T>(static_cast<uint64_t>(sets), n);
    const int threads = std::min(std::max(1, region_team(kernel_team_size(n))), static_cast<int>(sets));
    const uint64_t states = saturating_mul(static_cast<uint64_t>(threads), state_vector_bytes<T>(n));
    return saturating_add(rows, std::max(states, rows));
}

// Two or more parameter sets: an array of shape {sets, 2^n} whose row b the
// thread of set b writes in simulate_batches.
template <typename T>
pybind11::object batched_amplitudes(const CircuitData& circuit, int32_t sets) {
    check_num_qubits_range(circuit.num_qubits);  // never form 2^n from an unsupported count
    const uint64_t dim = uint64_t{1} << circuit.num_qubits;
    if (dim > std::vector<std::complex<T>>().max_size())
        throw std::length_error("cannot create std::vector larger than max_size()");
    require_memory(batched_amplitudes_bytes<T>(circuit.num_qubits, sets));
    return new_complex_array<T>({static_cast<pybind11::ssize_t>(sets), static_cast<pybind11::ssize_t>(dim)},
                                [&](std::complex<T>* dst) {
                                    simulate_batches<T>(circuit, sets, [dst, dim](int64_t b) {
                                        return dst + static_cast<uint64_t>(b) * dim;
                                    });
                                });
}

template <typename T>
pybind11::object cal_states_impl(const CircuitData& circuit) {
    const int32_t sets = circuit_batch_size(circuit);
    reset_rng<T>();  // the calling thread's engine is seeded whatever the path
    if (sets < 2) return single_set_amplitudes<T>(circuit);
    return batched_amplitudes<T>(circuit, sets);
}

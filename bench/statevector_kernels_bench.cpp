// Throughput of every state-vector kernel against a plain parallel copy of the
// two arrays, measured interleaved in the same run.
//
// Each benchmark reports bytes_per_second for the bytes the kernel must move
// (reads plus writes of the cache lines holding the amplitudes it touches) and
// `copy_ratio`, its byte rate over the copy's byte rate (copying real and imag
// of the same state into two other arrays: 2 x 2 x N x sizeof(T) bytes), and
// `scale_ratio`, its rate over that of an in-place scale of both arrays (the
// same bytes, read and written back in place, as a kernel does; the copy to
// cold arrays understates what the memory bus gives).  All rates use the
// median time of the interleaved repetitions.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <complex>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "statevector/dense_kernels.h"
#include "statevector/fixed_kernels.h"
#include "statevector/index_bit_exchange.h"
#include "statevector/reset.h"
#include "statevector/state_vector.h"

namespace {

constexpr int kThreads = 8;

template <typename T>
struct Workspace {
    std::unique_ptr<StateVector<T>> sv;
    T* copy_re = nullptr;
    T* copy_im = nullptr;
};

// One state and one copy target per qubit count and precision, shared by all
// benchmarks, so the large allocations happen once.
template <typename T>
Workspace<T>& workspace(int n) {
    static std::map<int, Workspace<T>> all;
    for (auto it = all.begin(); it != all.end();) {  // keep one size alive at a time
        if (it->first != n) {
            std::free(it->second.copy_re);
            std::free(it->second.copy_im);
            it = all.erase(it);
        } else {
            ++it;
        }
    }
    Workspace<T>& w = all[n];
    if (!w.sv) {
        w.sv = std::make_unique<StateVector<T>>(n);
        const uint64_t bytes = w.sv->dim * sizeof(T);
        w.copy_re = static_cast<T*>(std::aligned_alloc(64, bytes));
        w.copy_im = static_cast<T*>(std::aligned_alloc(64, bytes));
        const T v = static_cast<T>(1.0 / std::sqrt(2.0 * w.sv->dim));
        StateVector<T>& sv = *w.sv;
#pragma omp parallel for num_threads(kThreads) schedule(static)
        for (int64_t i = 0; i < static_cast<int64_t>(sv.dim); ++i) {
            sv.real[i] = v;
            sv.imag[i] = v;
            w.copy_re[i] = 0;
            w.copy_im[i] = 0;
        }
    }
    return w;
}

template <typename T>
void parallel_copy(const StateVector<T>& sv, T* re, T* im) {
    const int64_t n = static_cast<int64_t>(sv.dim);
#pragma omp parallel num_threads(kThreads)
    {
        const BlockShare s = static_block_partition(n, omp_get_num_threads(), omp_get_thread_num());
        std::memcpy(re + s.first, sv.real + s.first, s.count * sizeof(T));
        std::memcpy(im + s.first, sv.imag + s.first, s.count * sizeof(T));
    }
}

// Multiplies both arrays in place by a factor the compiler cannot see (1).
template <typename T>
void parallel_scale(StateVector<T>& sv) {
    static volatile double factor = 1.0;
    const T f = static_cast<T>(factor);
    const int64_t n = static_cast<int64_t>(sv.dim);
#pragma omp parallel num_threads(kThreads)
    {
        const BlockShare s = static_block_partition(n, omp_get_num_threads(), omp_get_thread_num());
        T* __restrict re = sv.real + s.first;
        T* __restrict im = sv.imag + s.first;
        for (int64_t j = 0; j < s.count; ++j) {
            re[j] *= f;
            im[j] *= f;
        }
    }
}

struct KernelSpec {
    std::string name;
    // Whether the kernel reads or writes the amplitude whose bits at the target
    // and the two further qubits are (bt, ba, bb).
    std::function<bool(int, int, int)> touches;
    bool read_only = false;
    bool write_only = false;
};

// Fraction of the state's cache lines (64 bytes) that hold a touched
// amplitude: the bytes the kernel must move.  Qubits below the line width
// select amplitudes inside a line, so a line is touched when any setting of
// those bits is.
double touched_fraction(const KernelSpec& k, const int q[3], int line_bits) {
    int groups = 0, touched = 0;
    for (int hi = 0; hi < 8; ++hi) {  // bits of the qubits at or above the line width
        bool skip = false, any = false;
        for (int j = 0; j < 3; ++j)
            if (q[j] < line_bits && ((hi >> j) & 1)) skip = true;
        if (skip) continue;
        ++groups;
        for (int lo = 0; lo < 8; ++lo) {  // bits of the qubits inside a line
            bool fits = true;
            for (int j = 0; j < 3; ++j)
                if (q[j] >= line_bits && ((lo >> j) & 1)) fits = false;
            if (!fits) continue;
            const int v = hi | lo;
            any = any || k.touches(v & 1, (v >> 1) & 1, (v >> 2) & 1);
        }
        touched += any ? 1 : 0;
    }
    return static_cast<double>(touched) / groups;
}

const double h = 0.7071067811865475;
const GateMatrix rx = {h, std::complex<double>(0, -h), std::complex<double>(0, -h), h};
GateMatrix dft4() {
    GateMatrix m(16);
    const std::complex<double> w[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[4 * r + c] = 0.5 * w[(r * c) % 4];
    return m;
}

// Runs kernel `name` with target t and further qubits a, b.
template <typename T>
void run_kernel(const std::string& name, StateVector<T>& sv, int t, int a, int b) {
    static const GateMatrix m4 = dft4();
    if (name == "x") apply_x(sv, t);
    else if (name == "y") apply_y(sv, t);
    else if (name == "z") apply_z(sv, t);
    else if (name == "h") apply_h(sv, t);
    else if (name == "s") apply_s(sv, t);
    else if (name == "sdg") apply_sdg(sv, t);
    else if (name == "t") apply_t(sv, t);
    else if (name == "tdg") apply_tdg(sv, t);
    else if (name == "swap") apply_swap(sv, t, a);
    else if (name == "cx") apply_cx(sv, a, t);
    else if (name == "cz") apply_cz(sv, a, t);
    else if (name == "ccx") apply_ccx(sv, a, b, t);
    else if (name == "matrix_1q") apply_matrix_1q(sv, t, rx);
    else if (name == "controlled_matrix_1q") apply_controlled_matrix_1q(sv, a, t, rx);
    else if (name == "matrix_2q") apply_matrix_2q(sv, t, a, m4);
    else if (name == "mc_matrix_1q") {
        T re[4], im[4];
        for (int k = 0; k < 4; ++k) re[k] = T(rx[k].real()), im[k] = T(rx[k].imag());
        launch_multi_controlled_matrix_1q(sv, uint64_t{1} << t, uint64_t{2} << t, re, im,
                                          {uint64_t{1} << a, uint64_t{1} << b});
    } else if (name == "mc_matrix_2q") {
        const int lo = std::min(t, a), hi = std::max(t, a);
        double re[16], im[16];
        for (int k = 0; k < 16; ++k) re[k] = m4[k].real(), im[k] = m4[k].imag();
        launch_multi_controlled_matrix_2q(sv, re, im, {uint64_t{1} << b}, uint64_t{1} << lo, uint64_t{1} << hi,
                                          uint64_t{2} << hi, uint64_t{1} << (hi - lo - 1));
    } else if (name == "zero_probability") benchmark::DoNotOptimize(zero_probability(sv, t));
    else if (name == "reset_collapse") reset_collapse(sv, t, 1.0, 0);
    else if (name == "zero_state") zero_state(sv);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Times run() interleaved with the copy and the in-place scale of the same
// state (a warm-up run first) and reports the rate of `bytes` per run against
// both, from the median times.
template <typename T, typename Run>
void time_against_copy(benchmark::State& state, Workspace<T>& w, double bytes, const Run& run) {
    StateVector<T>& sv = *w.sv;
    const double full = 2.0 * 2.0 * static_cast<double>(sv.dim) * sizeof(T);  // read + write of both arrays
    std::vector<double> kernel_s, copy_s, scale_s;
    run();  // warm up
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        kernel_s.push_back(std::chrono::duration<double>(t1 - t0).count());
        t0 = std::chrono::steady_clock::now();
        parallel_copy(sv, w.copy_re, w.copy_im);
        t1 = std::chrono::steady_clock::now();
        copy_s.push_back(std::chrono::duration<double>(t1 - t0).count());
        t0 = std::chrono::steady_clock::now();
        parallel_scale(sv);
        t1 = std::chrono::steady_clock::now();
        scale_s.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    const double kernel_rate = bytes / median(kernel_s), copy_rate = full / median(copy_s),
                 scale_rate = full / median(scale_s);
    state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
    state.counters["GBps"] = kernel_rate / 1e9;
    state.counters["copy_GBps"] = copy_rate / 1e9;
    state.counters["copy_ratio"] = kernel_rate / copy_rate;
    state.counters["scale_GBps"] = scale_rate / 1e9;
    state.counters["scale_ratio"] = kernel_rate / scale_rate;
}

template <typename T>
void bench_kernel(benchmark::State& state, KernelSpec spec, int n, int target, int a, int b) {
    Workspace<T>& w = workspace<T>(n);
    StateVector<T>& sv = *w.sv;
    const int q[3] = {target, a, b};
    const double touched = touched_fraction(spec, q, std::is_same_v<T, float> ? 4 : 3);
    const double full = 2.0 * 2.0 * static_cast<double>(sv.dim) * sizeof(T);  // read + write of both arrays
    const double bytes = spec.read_only || spec.write_only ? full * touched / 2 : full * touched;
    time_against_copy(state, w, bytes, [&] { run_kernel(spec.name, sv, target, a, b); });
    if (spec.name == "zero_state") {  // restore nonzero amplitudes for the next benchmarks
        const T v = static_cast<T>(1.0 / std::sqrt(2.0 * sv.dim));
        std::fill(sv.real, sv.real + sv.dim, v);
        std::fill(sv.imag, sv.imag + sv.dim, v);
    }
}

// Exchange of m index-bit pairs: positions 3 .. 2 + m with the top m positions
// (3 with the top one, 4 with the next, ...).  Bytes are those of the 64-byte
// lines holding an amplitude that moves.
template <typename T>
void bench_index_bit_exchange(benchmark::State& state, int n, int m) {
    Workspace<T>& w = workspace<T>(n);
    StateVector<T>& sv = *w.sv;
    std::vector<std::pair<int, int>> pairs;
    for (int k = 0; k < m; ++k) pairs.emplace_back(3 + k, n - 1 - k);
    const auto moves = [&pairs](uint64_t i) {
        for (const auto& [x, y] : pairs)
            if (((i >> x) ^ (i >> y)) & 1) return true;
        return false;
    };
    // Whether a line moves depends only on the pair bits: count the settings
    // of those above the line (the line's bits, `inner`, clear) whose line
    // holds a moving amplitude for some setting of the pair bits inside it.
    uint64_t pair_bits = 0;
    for (const auto& [x, y] : pairs) pair_bits |= (uint64_t{1} << x) | (uint64_t{1} << y);
    const uint64_t inner = pair_bits & (std::is_same_v<T, float> ? 15 : 7);
    uint64_t touched = 0, lines = 0;
    for (uint64_t p = 0; p < (uint64_t{1} << (2 * m)); ++p) {
        const uint64_t i = _pdep_u64(p, pair_bits);
        if ((i & inner) != 0) continue;
        ++lines;
        bool any = false;
        for (uint64_t s = inner;; s = (s - 1) & inner) {
            any = any || moves(i | s);
            if (s == 0) break;
        }
        touched += any ? 1 : 0;
    }
    const double full = 2.0 * 2.0 * static_cast<double>(sv.dim) * sizeof(T);
    time_against_copy(state, w, full * static_cast<double>(touched) / static_cast<double>(lines),
                      [&] { exchange_index_bits(sv, pairs); });
}

}  // namespace

int main(int argc, char** argv) {
    hardware_threads = kThreads;
    const auto all = [](int, int, int) { return true; };
    const auto t_set = [](int t, int, int) { return t == 1; };
    const auto a_set = [](int, int a, int) { return a == 1; };
    const auto ab_set = [](int, int a, int b) { return a == 1 && b == 1; };
    const std::vector<KernelSpec> kernels = {
        {"x", all},
        {"y", all},
        {"z", t_set},
        {"h", all},
        {"s", t_set},
        {"sdg", t_set},
        {"t", t_set},
        {"tdg", t_set},
        {"swap", [](int t, int a, int) { return t != a; }},
        {"cx", a_set},
        {"cz", [](int t, int a, int) { return t == 1 && a == 1; }},
        {"ccx", ab_set},
        {"matrix_1q", all},
        {"controlled_matrix_1q", a_set},
        {"matrix_2q", all},
        {"mc_matrix_1q", ab_set},
        {"mc_matrix_2q", [](int, int, int b) { return b == 1; }},
        {"zero_probability", [](int t, int, int) { return t == 0; }, true},
        {"reset_collapse", all},
        {"zero_state", all, false, true}};
    for (int n : {20, 24, 26}) {
        const int iterations = n == 20 ? 60 : n == 24 ? 10 : 5;
        for (int prec = 0; prec < 2; ++prec) {
            for (const KernelSpec& k : kernels) {
                // Target at the bottom, middle and top, the other qubits next to it.
                const int m = n / 2;
                const int pos[3][3] = {{0, 1, 2}, {m, m + 1, m + 2}, {n - 1, n - 2, n - 3}};
                const char* pos_name[3] = {"low", "mid", "high"};
                for (int p = 0; p < 3; ++p) {
                    if (k.name == "zero_state" && p > 0) continue;  // no target
                    const std::string name = k.name + "/" + std::to_string(n) + "/" + (prec ? "double" : "float") +
                                             "/" + pos_name[p];
                    auto* b = prec ? benchmark::RegisterBenchmark(name, bench_kernel<double>, k, n, pos[p][0],
                                                                  pos[p][1], pos[p][2])
                                   : benchmark::RegisterBenchmark(name, bench_kernel<float>, k, n, pos[p][0],
                                                                  pos[p][1], pos[p][2]);
                    b->Iterations(iterations)->UseManualTime()->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
    for (int n : {24, 26})
        for (int prec = 0; prec < 2; ++prec)
            for (int m : {1, 2, 4, 8}) {
                const std::string name = "index_bit_exchange/" + std::to_string(n) + "/" + (prec ? "double" : "float") +
                                         "/" + std::to_string(m) + "pairs";
                auto* b = prec ? benchmark::RegisterBenchmark(name, bench_index_bit_exchange<double>, n, m)
                               : benchmark::RegisterBenchmark(name, bench_index_bit_exchange<float>, n, m);
                b->Iterations(n == 24 ? 10 : 5)->UseManualTime()->Unit(benchmark::kMillisecond);
            }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

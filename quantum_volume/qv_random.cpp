#include "quantum_volume/qv_random.h"

#include <immintrin.h>

#include <Eigen/Dense>
#include <algorithm>

// AVX2 four-lane log and cos of glibc's vector maths library (libmvec), by
// their vector-function ABI names.
extern "C" {
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_cos(__m256d);
}

namespace {

constexpr double kUnitFrom32 = 2.3283064365386963e-10;    // 2^-32
constexpr double kAngleFrom32 = 1.4629180792671596e-9;    // 2*pi * 2^-32
constexpr double kSmallestU1 = 1e-15;

}  // namespace

void gaussian_fill(const uint64_t* outputs, double* samples, std::size_t count) noexcept {
    const __m256d small = _mm256_set1_pd(kSmallestU1);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d minus_two = _mm256_set1_pd(-2.0);
    const __m256d max_radius = _mm256_set1_pd(kMaxGaussianRadius);
    for (std::size_t k = 0; k < count; k += 4) {
        alignas(32) double u1[4];
        alignas(32) double angle[4];
        for (int j = 0; j < 4; ++j) {
            u1[j] = static_cast<double>(outputs[2 * (k + j)] >> 32) * kUnitFrom32;
            angle[j] = static_cast<double>(outputs[2 * (k + j) + 1] >> 32) * kAngleFrom32;
        }
        const __m256d vu1 = _mm256_load_pd(u1);
        // u1 below 1e-15 takes the fixed radius; log(1) stands in so that no
        // lane ever evaluates log(0).
        const __m256d tiny = _mm256_cmp_pd(vu1, small, _CMP_LT_OQ);
        const __m256d safe_u1 = _mm256_blendv_pd(vu1, one, tiny);
        const __m256d radius = _mm256_blendv_pd(
            _mm256_sqrt_pd(_mm256_mul_pd(minus_two, _ZGVdN4v_log(safe_u1))), max_radius, tiny);
        const __m256d c = _ZGVdN4v_cos(_mm256_load_pd(angle));
        _mm256_storeu_pd(samples + k, _mm256_mul_pd(radius, c));
    }
}

void random_su4_unitary(uint64_t seed, std::vector<std::complex<double>>& matrix) {
    XorShift128Plus rng(seed);
    alignas(32) uint64_t outputs[64];
    for (uint64_t& x : outputs) x = rng.next();
    alignas(32) double g[32];
    gaussian_fill(outputs, g, 32);

    // Row by row; sample 2m is the imaginary and 2m+1 the real part of entry m.
    Eigen::Matrix4cd a;
    for (int m = 0; m < 16; ++m) a(m / 4, m % 4) = std::complex<double>(g[2 * m + 1], g[2 * m]);

    const Eigen::HouseholderQR<Eigen::Matrix4cd> qr(a);
    Eigen::Matrix4cd q = qr.householderQ();
    // Make R's diagonal non-negative so that Q is Haar distributed.
    for (int i = 0; i < 4; ++i) {
        const std::complex<double> d = qr.matrixQR()(i, i);
        const double nd = std::norm(d);
        if (nd > 1.0000000000000003e-30) q.col(i) *= std::conj(d) / std::sqrt(nd);
    }

    matrix.resize(16);
    std::copy(q.data(), q.data() + 16, matrix.begin());
}
